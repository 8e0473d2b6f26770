// TEMIC AT88RF256 driver through clsic32.
//
// The record lives enciphered in blocks 1-7 with the trailing seal; its bytes
// 25-26 are the card's own identity bytes, set when the card was initialised
// and carried over by every write and clear. Every operation opens the
// encoder, works, and closes it on every path; only the write beeps.
#include "media/temic.h"

#include "base/result_codes.h"
#include "codec/codec.h"
#include "media/vendor/clsic32.h"

const uint8_t kTemicAccessCode[kTemicAccessCodeLength] = {0x3A, 0x9C, 0x51, 0xE6};

namespace {

constexpr int16_t kDeviceOk = 0;
// Command57's three unused arguments.
constexpr int32_t kCommandReserved = 0;

constexpr uint8_t kFirstRecordBlock = 1;
constexpr uint8_t kLastRecordBlock = 7;
constexpr int kBlockBytes = 4;

constexpr int16_t kBeepSuccess = 3;
constexpr int16_t kBeepFailure = 12;

// Record offsets.
constexpr int kImageBytesTaken = 25;  // the caller's image elements 0-24
constexpr int kPasswordOffset = 20;   // SystemPassword bytes 0-3
constexpr int kPasswordBytes = 4;
constexpr int kCardTypeOffset = 24;
constexpr int kIdentityOffset = 25;   // the card's two identity bytes
constexpr int kIdentityBytes = 2;
constexpr uint8_t kSystemPasswordCardType = 1;  // never cleared: it carries the hotel's password
constexpr int kClearedPatternLength = 16;       // bytes 0-15: marker, then n + 1

constexpr int kSerialReported = 4;  // CardSerial elements a write or read fills
constexpr int kReadValues = 32;     // values TemicReadCard fills: the record, then zeros

// A record with the spare byte the cipher borrows.
using RecordBytes = uint8_t[kCardRecordLength + 1];

// InitCommDev's own statuses go to the host as they are, except those that
// would read as one of this library's results: a failed open must never
// look like success (1), a cleared card (0x14) or the internal "not found".
int16_t OpenFailure(int16_t status) {
    if (status == KS_OK || status == kResultCleared || status == kResultNotFound) return KS_ERR_COMM;
    return status;
}

bool ReadBlocks(uint8_t *bytes) {
    for (uint8_t block = kFirstRecordBlock; block <= kLastRecordBlock; ++block) {
        if (Command57(kCommandReserved, kCommandReserved, kTemicAccessCode, kCommandReserved, kCommand57ReadBlock,
                      block, bytes + (block - kFirstRecordBlock) * kBlockBytes) != kDeviceOk)
            return false;
    }
    return true;
}

bool WriteBlocks(const uint8_t *bytes) {
    for (uint8_t block = kFirstRecordBlock; block <= kLastRecordBlock; ++block) {
        uint8_t data[kBlockBytes];
        for (int i = 0; i < kBlockBytes; ++i) data[i] = bytes[(block - kFirstRecordBlock) * kBlockBytes + i];
        if (Command57(kCommandReserved, kCommandReserved, kTemicAccessCode, kCommandReserved, kCommand57WriteBlock,
                      block, data) != kDeviceOk)
            return false;
    }
    return true;
}

// The card's current record, deciphered and checked; `readFailure` is what a
// failed block read means to the caller.
int16_t ReadCurrentRecord(RecordBytes record, int16_t readFailure) {
    if (!ReadBlocks(record)) return readFailure;
    return OpenCardRecord(record, SealVariant::Trailing) ? KS_OK : KS_ERR_CARD_INVALID;
}

// CardSerial of a TEMIC card: its two identity bytes, then zeros.
void ReportIdentity(int16_t *serial, const uint8_t *record) {
    for (int i = 0; i < kSerialReported; ++i) serial[i] = i < kIdentityBytes ? record[kIdentityOffset + i] : 0;
}

bool SamePassword(const EncoderState &enc, const uint8_t *record) {
    for (int i = 0; i < kPasswordBytes; ++i)
        if (record[kPasswordOffset + i] != enc.SystemPassword[i]) return false;
    return true;
}

int16_t WriteOnOpenEncoder(const EncoderState &enc, int16_t *serial, const int16_t *image, int16_t cardType) {
    RecordBytes record = {};
    const int16_t read = ReadCurrentRecord(record, KS_ERR_COMM);
    if (read != KS_OK) return read;
    ReportIdentity(serial, record);
    if (!SamePassword(enc, record)) return KS_ERR_OTHER_HOTEL;
    if (record[0] != kClearedRecordMarker) return KS_ERR_NOT_CLEARED;

    for (int i = 0; i < kImageBytesTaken; ++i) record[i] = static_cast<uint8_t>(image[i] & 0xFF);
    for (int i = 0; i < kPasswordBytes; ++i) record[kPasswordOffset + i] = enc.SystemPassword[i];
    record[kCardTypeOffset] = static_cast<uint8_t>(cardType & 0xFF);
    SealCardRecord(record, SealVariant::Trailing);  // identity bytes 25-26 stay as read
    if (!WriteBlocks(record)) return KS_ERR_COMM;

    // The card confirms only what it holds now: a block it lost in the field
    // shows up here, not at the door.
    uint8_t readBack[kCardRecordLength] = {};
    if (!ReadBlocks(readBack)) return KS_ERR_COMM;
    for (int i = 0; i < kCardRecordLength; ++i)
        if (readBack[i] != record[i]) return KS_ERR_COMM;
    return KS_OK;
}

int16_t ClearOnOpenEncoder() {
    RecordBytes record = {};
    const int16_t read = ReadCurrentRecord(record, KS_ERR_COMM);
    if (read != KS_OK) return read;
    if (record[kCardTypeOffset] == kSystemPasswordCardType) return KS_ERR_CARD_INVALID;
    for (int i = 0; i < kClearedPatternLength; ++i) record[i] = static_cast<uint8_t>(i + 1);
    record[0] = kClearedRecordMarker;
    SealCardRecord(record, SealVariant::Trailing);  // 16-26 kept as they were
    return WriteBlocks(record) ? KS_OK : KS_ERR_COMM;
}

int16_t ReadOnOpenEncoder(int16_t *serial, int16_t *values) {
    RecordBytes record = {};
    const int16_t read = ReadCurrentRecord(record, kResultNotFound);
    if (read != KS_OK) return read;
    for (int i = 0; i < kReadValues; ++i) values[i] = i < kCardRecordLength ? record[i] : 0;
    ReportIdentity(serial, record);
    return KS_OK;
}

int32_t PortIndex(const EncoderState &enc) { return static_cast<int32_t>(enc.PortNumber) - 1; }

}  // namespace

int16_t TemicWriteCard(EncoderState &enc, int16_t *serial, int16_t *image, int16_t cardType) {
    if (serial == nullptr || image == nullptr) return KS_ERR_UNAVAILABLE;
    const int16_t opened = InitCommDev(PortIndex(enc));
    const int16_t result =
        opened == kDeviceOk ? WriteOnOpenEncoder(enc, serial, image, cardType) : OpenFailure(opened);
    AT88RF256_12_Beep(result == KS_OK ? kBeepSuccess : kBeepFailure);
    CloseCommDev(enc.PortNumber);
    return result;
}

int16_t TemicClearCard(EncoderState &enc, int16_t *) {
    const int16_t opened = InitCommDev(PortIndex(enc));
    const int16_t result = opened == kDeviceOk ? ClearOnOpenEncoder() : OpenFailure(opened);
    CloseCommDev(enc.PortNumber);
    return result;
}

int16_t TemicReadCard(EncoderState &enc, int16_t *serial, int16_t *values) {
    if (serial == nullptr || values == nullptr) return KS_ERR_UNAVAILABLE;
    const int16_t opened = InitCommDev(PortIndex(enc));
    const int16_t result = opened == kDeviceOk ? ReadOnOpenEncoder(serial, values) : OpenFailure(opened);
    CloseCommDev(enc.PortNumber);
    return result;
}

// The data-card reader's own failure status goes to the host as it is.
int16_t TemicReadDataCard(EncoderState &enc, uint8_t *log) {
    AT88RF256_12_OpenCommPort(static_cast<int16_t>(enc.PortNumber));
    const int16_t read = AT88RF256_12_ReadDataCard(log);
    if (read == kDataCardDelivered) AT88RF256_12_Beep(kBeepSuccess);
    AT88RF256_12_CloseCommPort();
    return read == kDataCardDelivered ? KS_OK : read;
}
