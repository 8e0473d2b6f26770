// Contact IC encoder driver: SLE4442 cards through MWIC_32.
//
// The card record sits enciphered at addresses 32-59, the card's three serial
// bytes at 60-62 with their CRC-8 at 63. Every write is preceded by the PSC,
// derived from those serial bytes; the SLE4442 spends one of its three tries
// on every wrong PSC, so the PSC is presented at most once per operation and
// never when the serial bytes fail their check.
#include "media/ic4442.h"

#include "base/result_codes.h"
#include "codec/codec.h"
#include "media/ic4442_psc.h"
#include "media/medium.h"
#include "media/vendor/mwic_32.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kIcBaudRate = 9600;
constexpr int16_t kIcBeepLength = 15;
// 24C64 data card: its log starts at card address 0.
constexpr int16_t k24c64LogAddress = 0;

// Record offsets the driver fills on every write.
constexpr uint8_t kRecordSystemPassword = 20;  // 4 bytes
constexpr uint8_t kSystemPasswordLength = 4;
constexpr uint8_t kRecordCardType = 24;

// Cleared record: byte n holds n + 1 for n = 0..15, then byte 0 the marker.
constexpr uint8_t kClearedPatternLength = 16;

// Raw card addresses 32-63 for the serial read, the PSC, the cleared test and
// the clear operation. The write and read keep buffers of their own.
uint8_t g_icWorkArea[kIcReadLength];

int16_t ReadCardArea(const EncoderState &enc, uint8_t *area) {
    return srd_4442(enc.IcHandle, kIcRecordAddress, kIcReadLength, area);
}

bool SerialCheckOk(const uint8_t *area) {
    return CardCrc8(area + kIcAreaSerial, kIcSerialLength) == area[kIcAreaSerialCheck];
}

// The serial bytes and their check byte (card addresses 60-63) of the card
// an operation checked first. A card pushed into the slot after those checks
// has passed none of them: every later read must still show this card.
constexpr uint8_t kIcIdentityLength = kIcSerialLength + 1;

void NoteIdentity(const uint8_t *area, uint8_t identity[kIcIdentityLength]) {
    for (uint8_t i = 0; i < kIcIdentityLength; ++i) identity[i] = area[kIcAreaSerial + i];
}

bool SameCard(const uint8_t *area, const uint8_t identity[kIcIdentityLength]) {
    for (uint8_t i = 0; i < kIcIdentityLength; ++i)
        if (area[kIcAreaSerial + i] != identity[i]) return false;
    return true;
}

// IcPresentCode, for the card whose identity was noted (none: any card). The
// PSC of another card is never presented: it would be wrong for the card in
// the slot and cost it one of its three tries.
int16_t PresentCodeTo(const EncoderState &enc, const uint8_t *checked) {
    if (ReadCardArea(enc, g_icWorkArea) != 0) return KS_ERR_OPEN_OR_NO_DEV;
    // A card whose serial fails its check would be given a PSC built from
    // wrong bytes and lose a try for nothing.
    if (!SerialCheckOk(g_icWorkArea)) return KS_ERR_CARD_INVALID;
    if (checked != nullptr && !SameCard(g_icWorkArea, checked)) return KS_ERR_COMM;
    uint8_t psc[kIcPscLength];
    IcDerivePsc(g_icWorkArea + kIcAreaSerial, psc);
    if (csc_4442(enc.IcHandle, kIcPscLength, psc) != 0) return KS_ERR_CARD_INVALID;
    return KS_OK;
}

void Beep(const EncoderState &enc) { dv_beep(enc.IcHandle, kIcBeepLength); }

}  // namespace

int16_t IcOpen(EncoderState &enc) {
    enc.IcPort = enc.PortNumber;
    enc.IcHandle = ic_init(static_cast<int16_t>(enc.PortNumber - 1), kIcBaudRate);
    if (enc.IcHandle == 0) {
        enc.IcPort = kNoPort;
        return KS_ERR_OPEN_OR_NO_DEV;
    }
    return KS_OK;
}

int16_t IcClose(EncoderState &enc) {
    if (enc.IcHandle == 0) return KS_ERR_IC_NOT_OPEN;
    enc.IcPort = kNoPort;
    ic_exit(enc.IcHandle);
    enc.IcHandle = 0;
    return KS_OK;
}

int16_t IcReadSerial(EncoderState &enc, int16_t *serial) {
    if (enc.IcHandle == 0) return KS_ERR_IC_NOT_OPEN;
    platform::ShowWaitCursor();
    if (ReadCardArea(enc, g_icWorkArea) != 0) return KS_ERR_COMM;
    if (!SerialCheckOk(g_icWorkArea)) return KS_ERR_CARD_INVALID;
    for (uint8_t i = 0; i <= kIcSerialLength; ++i) serial[i] = g_icWorkArea[kIcAreaSerial + i];
    return KS_OK;
}

int16_t IcPresentCode(EncoderState &enc) { return PresentCodeTo(enc, nullptr); }

int16_t IcCheckCleared(EncoderState &enc) {
    if (ReadCardArea(enc, g_icWorkArea) != 0) return KS_ERR_COMM;
    if (!SerialCheckOk(g_icWorkArea)) return KS_ERR_CARD_INVALID;
    // Deciphering bytes 0-27 borrows byte 28 as scratch and puts it back.
    CardDecipher(g_icWorkArea, kCardRecordLength);
    return g_icWorkArea[0] == kClearedRecordMarker ? kResultCleared : KS_ERR_NOT_CLEARED;
}

int16_t IcWriteCard(EncoderState &enc, int16_t *serial, int16_t *image, int16_t cardType) {
    if (enc.IcHandle == 0) return KS_ERR_IC_NOT_OPEN;
    platform::ShowWaitCursor();
    // Only a cleared card may be issued: a card that still holds a key is
    // refused before its PSC is ever presented.
    int16_t result = IcCheckCleared(enc);
    if (result != kResultCleared) return result;
    uint8_t checked[kIcIdentityLength];
    NoteIdentity(g_icWorkArea, checked);  // deciphering left bytes 28-31 as read
    result = IcReadSerial(enc, serial);
    if (result != KS_OK) return result;
    if (!SameCard(g_icWorkArea, checked)) return KS_ERR_COMM;
    const uint8_t serialByte = g_icWorkArea[kIcAreaSerial];
    result = PresentCodeTo(enc, checked);
    if (result != KS_OK) return result;

    for (uint8_t i = 0; i < kSystemPasswordLength; ++i)
        image[kRecordSystemPassword + i] = enc.SystemPassword[i];
    image[kRecordCardType] = cardType;
    uint8_t record[kIcReadLength];
    for (uint8_t i = 0; i < kIcReadLength; ++i) record[i] = static_cast<uint8_t>(image[i]);
    SealCardRecord(record, SealVariant::SerialBound, serialByte);
    if (swr_4442(enc.IcHandle, kIcRecordAddress, kIcWriteLength, record) != 0) return KS_ERR_COMM;
    Beep(enc);
    return KS_OK;
}

int16_t IcClearCard(EncoderState &enc, int16_t *serial) {
    if (serial == nullptr) return KS_ERR_UNAVAILABLE;
    if (enc.IcHandle == 0) return KS_ERR_IC_NOT_OPEN;
    platform::ShowWaitCursor();
    int16_t result = IcReadSerial(enc, serial);
    if (result != KS_OK) return result;
    uint8_t checked[kIcIdentityLength];
    NoteIdentity(g_icWorkArea, checked);
    const uint8_t serialByte = g_icWorkArea[kIcAreaSerial];
    result = PresentCodeTo(enc, checked);
    if (result != KS_OK) return result;

    if (ReadCardArea(enc, g_icWorkArea) != 0) return KS_ERR_COMM;
    if (!SameCard(g_icWorkArea, checked)) return KS_ERR_COMM;
    CardDecipher(g_icWorkArea, kCardRecordLength);
    // Bytes 16-24 and 27 keep what the previous record held.
    for (uint8_t n = 0; n < kClearedPatternLength; ++n) g_icWorkArea[n] = static_cast<uint8_t>(n + 1);
    g_icWorkArea[0] = kClearedRecordMarker;
    SealCardRecord(g_icWorkArea, SealVariant::SerialBound, serialByte);
    if (swr_4442(enc.IcHandle, kIcRecordAddress, kIcWriteLength, g_icWorkArea) != 0)
        return KS_ERR_COMM;
    return KS_OK;
}

int16_t IcReadCard(EncoderState &enc, int16_t *serial, int16_t *values) {
    // Nothing is open: there is no card to read (its callers report 0xFFFD).
    if (enc.IcHandle == 0) return KS_ERR_COMM;
    uint8_t area[kIcReadLength];
    if (ReadCardArea(enc, area) != 0) return KS_ERR_COMM;
    // The check bytes are bound to the card's first serial byte: a record
    // copied onto another card fails here.
    if (!OpenCardRecord(area, SealVariant::SerialBound, area[kIcAreaSerial])) return KS_ERR_CARD_INVALID;
    for (uint8_t i = 0; i < kIcReadLength; ++i) values[i] = area[i];
    for (uint8_t i = 0; i <= kIcSerialLength; ++i) serial[i] = area[kIcAreaSerial + i];
    return KS_OK;
}

int16_t IcReadDataCard(EncoderState &enc, uint8_t *log) {
    if (enc.IcHandle == 0) return KS_ERR_IC_NOT_OPEN;
    platform::ShowWaitCursor();
    if (chk_24c64(enc.IcHandle) != 0) return KS_ERR_CARD_INVALID;
    if (srd_24c64(enc.IcHandle, k24c64LogAddress, kDataCardLogLength, log) != 0) return KS_ERR_CARD_INVALID;
    Beep(enc);
    return KS_OK;
}
