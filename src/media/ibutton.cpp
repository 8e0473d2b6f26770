// iButton (TMEX) reader: reads the 64-bit ROM ID of a touch memory key.
// Each attempt runs in its own TMEX session that is ended before the next
// one starts, so a failed attempt never leaves the reader's port held.
#include "media/ibutton.h"

#include "base/result_codes.h"
#include "codec/codec.h"
#include "media/vendor/ibfs32.h"

namespace {

constexpr int kReadAttempts = 10;
constexpr int16_t kTmexPortType = 1;      // the port type every session asks for
constexpr int16_t kTmexReady = 1;         // TMSetup: the 1-Wire port is ready
constexpr int16_t kPresence = 1;          // TMTouchReset: a device answered
constexpr int16_t kAlarmingPresence = 2;  // ... a device in alarm state answered
constexpr int16_t kReadRomCommand = 0x33;
constexpr int16_t kReadSlots = 0xFF;      // all ones: the bus carries the device's bits

// ROM ID layout: family code, 48-bit serial (least significant first), CRC-8.
constexpr int kRomLength = 8;
constexpr uint8_t kRomCheckedLength = 7;
constexpr int kRomCheck = 7;

}  // namespace

int16_t TmReadRom(int32_t session, int16_t *values) {
    if (values == nullptr) return KS_ERR_UNAVAILABLE;
    if (session <= 0) return KS_ERR_OPEN_OR_NO_DEV;
    if (TMSetup(session) != kTmexReady) return KS_ERR_OPEN_OR_NO_DEV;
    const int16_t presence = TMTouchReset(session);
    if (presence != kPresence && presence != kAlarmingPresence) return kResultNotFound;
    TMTouchByte(session, kReadRomCommand);
    for (int i = 0; i < kRomLength; ++i) {
        // The host gets bytes 0..255 only, whatever else the touch reports.
        values[i] = static_cast<int16_t>(TMTouchByte(session, kReadSlots) & 0xFF);
    }
    return KS_OK;
}

int16_t TmReadSerialNumber(int16_t *values) {
    if (values == nullptr) return KS_ERR_UNAVAILABLE;
    // Taken once: a failed attempt may already have overwritten element 0.
    const int16_t port = values[0];

    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        const int32_t session = TMExtendedStartSession(port, kTmexPortType, nullptr);
        const int16_t read = TmReadRom(session, values);
        TMEndSession(session);
        if (read != KS_OK) continue;

        uint8_t rom[kRomLength];
        bool allZero = true;
        for (int i = 0; i < kRomLength; ++i) {
            rom[i] = static_cast<uint8_t>(values[i] & 0xFF);
            allZero = allZero && rom[i] == 0;
        }
        // Eight zero bytes pass the CRC-8 (its register starts at 0) but are
        // what a bus held low delivers, not a key: family code 0 does not
        // exist. Treated as a failed read so it is never handed out as an ID.
        if (allZero) continue;
        if (CardCrc8(rom, kRomCheckedLength) == rom[kRomCheck]) return KS_OK;
    }
    return KS_ERR_COMM;
}
