// ReadDataCard: the collector is asked first; when it does not deliver, the
// data card in the reader of the configured medium is read.
#include <cstdint>

#include "api/encoder_state.h"
#include "api/result_codes.h"
#include "datacollect/collector_link.h"
#include "datacollect/datacollect.h"
#include "datacollect/open_door_log.h"
#include "media/ic4442.h"
#include "media/vendor/clsic32.h"
#include "media/vendor/mwic_32.h"
#include "media/vendor/rc500_232.h"
#include "platform/platform.h"

namespace {

// 24C64 data card in the contact encoder: its log starts at card address 0.
constexpr int16_t k24c64LogAddress = 0;
constexpr int16_t k24c64LogLength = 2049;
static_assert(k24c64LogLength <= static_cast<int16_t>(kOpenDoorBufferSize), "card log fits the buffer");

constexpr int16_t kDataReaderOk = 1;       // clsic32 data-card reads: the log is in the buffer
constexpr int16_t kTemicBeepSuccess = 3;
constexpr int32_t kRc500Baud = 19200;
constexpr uint8_t kRc500ResetMode = 0;

int16_t ReadIcDataCard() {
    if (g_encoder.IcHandle == 0) return KS_ERR_IC_NOT_OPEN;
    platform::ShowWaitCursor();
    if (chk_24c64(g_encoder.IcHandle) != 0) return KS_ERR_CARD_INVALID;
    BeginOpenDoorFetch();
    if (srd_24c64(g_encoder.IcHandle, k24c64LogAddress, k24c64LogLength, OpenDoorBuffer()) != 0) {
        AbandonOpenDoorFetch();
        return KS_ERR_CARD_INVALID;
    }
    CompleteOpenDoorFetch();
    IcBeep();
    return KS_OK;
}

int16_t ReadTemicDataCard() {
    AT88RF256_12_OpenCommPort(static_cast<int16_t>(g_encoder.PortNumber));
    BeginOpenDoorFetch();
    const int16_t read = AT88RF256_12_ReadDataCard(OpenDoorBuffer());
    if (read != kDataReaderOk) {
        AbandonOpenDoorFetch();
        AT88RF256_12_CloseCommPort();
        return read;
    }
    AT88RF256_12_Beep(kTemicBeepSuccess);
    AT88RF256_12_CloseCommPort();
    CompleteOpenDoorFetch();
    return KS_OK;
}

int16_t ReadMifareDataCard() {
    M1_OpenCommPort(static_cast<int16_t>(g_encoder.PortNumber));
    BeginOpenDoorFetch();
    const int16_t read = M1_ReadDataCard(OpenDoorBuffer());
    M1_CloseCommPort();
    // The data-card reader leaves the encoder in a state the RC500 library
    // does not expect; put it back whether or not the read worked.
    RC500_232_init(static_cast<int16_t>(g_encoder.PortNumber), kRc500Baud);
    RC500_232_reset(kRc500ResetMode);
    RC500_232_close();
    RC500_232_exit();
    if (read != kDataReaderOk) {
        AbandonOpenDoorFetch();
        return read;
    }
    CompleteOpenDoorFetch();
    return KS_OK;
}

}  // namespace

int16_t FetchOpenDoorLog() {
    // The previous log goes first: whatever this call ends in, no record of
    // an earlier fetch is served after it, and a failed call leaves none.
    BeginOpenDoorFetch();
    // The collector's own failure only means it did not deliver.
    if (CollectorFetchLog() == KS_OK) return KS_OK;

    switch (g_encoder.LockType) {
        case kLockReserved1:
        case kLockReserved4:
            return KS_ERR_MEDIUM_RESERVED;
        case kLockIc4442:
            return ReadIcDataCard();
        case kLockTemic:
            return ReadTemicDataCard();
        case kLockMifare:
            return ReadMifareDataCard();
        default:
            return KS_ERR_UNAVAILABLE;
    }
}
