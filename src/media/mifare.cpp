// Mifare Classic driver through the RC500 reader.
//
// Two things protect a card: its record sector opens only with a key derived
// from the card's own serial and the hotel's SystemPassword, and the record
// is sealed to the card's first serial byte. Every operation opens its own
// reader connection and runs the closing sequence (reset, close, exit) on
// every path, so the reader's port is free again whatever happened.
#include "media/mifare.h"

#include "base/result_codes.h"
#include "media/vendor/clsic32.h"
#include "codec/codec.h"
#include "media/vendor/rc500_232.h"
#include "platform/platform.h"

namespace {

// The reader's fixed dialogue values.
constexpr int32_t kReaderBaud = 19200;
constexpr uint8_t kRequestMode = 1;
constexpr uint8_t kAnticollBitCount = 0;
constexpr uint8_t kKeyModeA = 0;
constexpr uint8_t kResetMode = 0;
// The size code a Mifare Classic 1K answers to select; any other card is refused.
constexpr uint8_t kClassic1KSizeCode = 8;
constexpr int kReaderAnswerBytes = 4;  // room the reader may fill for request and select

constexpr int kSerialBytes = 4;       // s0 (least significant) to s3
constexpr int kSerialElements = 8;    // elements 4-7 are reported as zero
constexpr int kImageElements = 64;
constexpr int kKeyBytes = 6;

// Card layout: the record sector's first three blocks hold image bytes 0-47
// in order (block 4s: sealed 0-15; 4s+1: sealed 16-27, plain 28-31; 4s+2:
// the plain extension block 32-47). The trailer (4s+3) is never touched.
constexpr int kBlockBytes = 16;
constexpr int kBlocksPerSector = 4;
constexpr int kRecordBlocks = 3;
constexpr int kStoredBytes = kRecordBlocks * kBlockBytes;  // 48

// Record offsets the driver sets.
constexpr int kPasswordOffset = 20;  // SystemPassword bytes 0-3
constexpr int kPasswordBytes = 4;
constexpr int kCardTypeOffset = 24;
constexpr int kExtensionOffset = 32;  // block 4s+2: the plain extension block
constexpr uint8_t kSystemPasswordCardType = 1;  // never cleared: it carries the hotel's password
// The system password card holds its record in this sector, whatever sector
// the configuration names for ordinary cards.
constexpr uint8_t kSystemPasswordSector = 15;

// Key derivation: the serial's first three bytes and password bytes 2 and 3.
constexpr int kKeySerialBytes = 3;
constexpr int kKeyMixBytes = 4;  // k0-k3 enter the second checksum
constexpr int kKeyPasswordLow = 2;
constexpr int kKeyPasswordHigh = 3;

// Room for the record plus the spare byte the cipher borrows (image byte 28,
// which it puts back).
using StoredBytes = uint8_t[kStoredBytes + 1];

bool SameSerial(const uint8_t a[kSerialBytes], const uint8_t b[kSerialBytes]) {
    for (int i = 0; i < kSerialBytes; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

uint8_t RecordBlock(uint8_t sector, int index) {
    return static_cast<uint8_t>(sector * kBlocksPerSector + index);
}

void ReportSerial(int16_t *out, const uint8_t serial[kSerialBytes]) {
    for (int i = 0; i < kSerialElements; ++i) out[i] = i < kSerialBytes ? serial[i] : 0;
}

// init, config, request, anticoll, select. Only the card's answers count:
// init and config report nothing the driver relies on. Returns KS_OK with the
// serial and the size code, or KS_ERR_COMM when no card could be selected.
int16_t SelectCard(int16_t port, uint8_t serial[kSerialBytes], uint8_t *sizeCode) {
    RC500_232_init(port, kReaderBaud);
    RC500_232_config();
    uint8_t answer[kReaderAnswerBytes] = {};
    if (!Rc500Ok(RC500_232_request(kRequestMode, answer))) return KS_ERR_COMM;
    uint32_t wire = 0;
    if (!Rc500Ok(RC500_232_anticoll(kAnticollBitCount, &wire))) return KS_ERR_COMM;
    uint8_t size[kReaderAnswerBytes] = {};
    if (!Rc500Ok(RC500_232_select(wire, size))) return KS_ERR_COMM;
    for (int i = 0; i < kSerialBytes; ++i) serial[i] = static_cast<uint8_t>(wire >> (8 * i));
    *sizeCode = size[0];
    return KS_OK;
}

void CloseReader() {
    RC500_232_reset(kResetMode);
    RC500_232_close();
    RC500_232_exit();
}

// The opening steps of a card operation on PortNumber: a selected Classic 1K.
int16_t OpenCard(const EncoderState &enc, uint8_t serial[kSerialBytes]) {
    uint8_t sizeCode = 0;
    const int16_t result = SelectCard(enc.PortNumber, serial, &sizeCode);
    if (result != KS_OK) return result;
    return sizeCode == kClassic1KSizeCode ? KS_OK : KS_ERR_NOT_MIFARE_1K;
}

int16_t AuthenticateRecordSector(const EncoderState &enc, uint8_t sector, const uint8_t serial[kSerialBytes]) {
    uint8_t key[kKeyBytes];
    DeriveMifareSectorKey(serial, enc.SystemPassword, key);
    return Rc500Ok(RC500_232_authkey(kKeyModeA, sector, key)) ? KS_OK : KS_ERR_COMM;
}

int16_t WriteRecordBlocks(uint8_t sector, const uint8_t stored[kStoredBytes]) {
    for (int b = 0; b < kRecordBlocks; ++b) {
        if (!Rc500Ok(RC500_232_write(RecordBlock(sector, b), stored + b * kBlockBytes)))
            return KS_ERR_COMM;
    }
    return KS_OK;
}

// Read on an open, selected card: authenticate, read the three blocks, open
// the record. On success `stored` holds the plain record and bytes 28-47.
int16_t ReadRecord(const EncoderState &enc, uint8_t sector, const uint8_t serial[kSerialBytes], StoredBytes stored) {
    if (AuthenticateRecordSector(enc, sector, serial) != KS_OK) return KS_ERR_COMM;
    for (int b = 0; b < kRecordBlocks; ++b) {
        if (!Rc500Ok(RC500_232_read(RecordBlock(sector, b), stored + b * kBlockBytes)))
            return KS_ERR_COMM;
    }
    return OpenCardRecord(stored, SealVariant::SerialBound, serial[0]) ? KS_OK : KS_ERR_COMM;
}

// One whole read connection; the serial of the card read comes back in `serial`.
int16_t ReadCardBytes(const EncoderState &enc, uint8_t sector, uint8_t serial[kSerialBytes], StoredBytes stored,
                      int16_t *serialOut) {
    int16_t result = OpenCard(enc, serial);
    if (result == KS_OK) {
        if (serialOut != nullptr) ReportSerial(serialOut, serial);
        result = ReadRecord(enc, sector, serial, stored);
    }
    CloseReader();
    return result;
}

// The blank-card test, also telling which card it looked at.
int16_t CheckCleared(const EncoderState &enc, uint8_t serial[kSerialBytes]) {
    StoredBytes stored = {};
    const int16_t result = ReadCardBytes(enc, enc.MifareSector, serial, stored, nullptr);
    if (result != KS_OK) return result;
    return stored[0] == kClearedRecordMarker ? kResultCleared : KS_ERR_NOT_CLEARED;
}

// The second connection of a write or clear: the card must be the one the
// first connection checked. A card swapped in between has passed no check,
// and writing on it could overwrite a valid card.
int16_t ReopenSameCard(const EncoderState &enc, const uint8_t checked[kSerialBytes], uint8_t serial[kSerialBytes],
                       int16_t *serialOut) {
    const int16_t result = OpenCard(enc, serial);
    if (result != KS_OK) return result;
    ReportSerial(serialOut, serial);
    if (!SameSerial(serial, checked)) return KS_ERR_COMM;
    return AuthenticateRecordSector(enc, enc.MifareSector, serial);
}

// A whole read of the record in `sector`: the serial goes to `serial` (8
// elements) once the card is selected, the record to `image` (64 elements).
int16_t ReadImage(const EncoderState &enc, uint8_t sector, int16_t *serial, int16_t *image) {
    uint8_t cardSerial[kSerialBytes] = {};
    StoredBytes stored = {};
    const int16_t result = ReadCardBytes(enc, sector, cardSerial, stored, serial);
    if (result != KS_OK) return result;
    for (int i = 0; i < kImageElements; ++i) image[i] = i < kStoredBytes ? stored[i] : 0;
    return KS_OK;
}

}  // namespace

void DeriveMifareSectorKey(const uint8_t serial[4], const uint8_t password[4], uint8_t key[6]) {
    uint8_t low = 0;
    uint8_t high = 0;
    CardChecksum(serial, kKeySerialBytes, &low, &high);
    key[0] = static_cast<uint8_t>(~low);
    key[1] = static_cast<uint8_t>(~high);
    key[2] = static_cast<uint8_t>(password[kKeyPasswordLow] ^ key[1]);
    const uint8_t p3 = password[kKeyPasswordHigh];
    const uint8_t p3Rotated = static_cast<uint8_t>((p3 << 1) | (p3 >> 7));
    key[3] = static_cast<uint8_t>(p3Rotated ^ serial[0]);
    CardChecksum(key, kKeyMixBytes, &low, &high);
    key[4] = static_cast<uint8_t>(high ^ key[0]);
    key[5] = static_cast<uint8_t>(low ^ key[2]);
}

int16_t MifareReadCard(EncoderState &enc, int16_t *serial, int16_t *image) {
    if (serial == nullptr || image == nullptr) return KS_ERR_UNAVAILABLE;
    return ReadImage(enc, enc.MifareSector, serial, image);
}

int16_t MifareReadSystemCard(EncoderState &enc, int16_t *image) {
    int16_t serial[kSerialElements] = {};
    return ReadImage(enc, kSystemPasswordSector, serial, image);
}

int16_t MifareCheckCleared(EncoderState &enc) {
    uint8_t serial[kSerialBytes] = {};
    return CheckCleared(enc, serial);
}

int16_t MifareWriteCard(EncoderState &enc, int16_t *serial, int16_t *image, int16_t cardType) {
    if (serial == nullptr || image == nullptr) return KS_ERR_UNAVAILABLE;
    uint8_t checked[kSerialBytes] = {};
    const int16_t check = CheckCleared(enc, checked);
    if (check != kResultCleared) return check;

    uint8_t cardSerial[kSerialBytes] = {};
    int16_t result = ReopenSameCard(enc, checked, cardSerial, serial);
    if (result == KS_OK) {
        StoredBytes stored = {};
        for (int i = 0; i < kStoredBytes; ++i) stored[i] = static_cast<uint8_t>(image[i] & 0xFF);
        for (int i = 0; i < kPasswordBytes; ++i) stored[kPasswordOffset + i] = enc.SystemPassword[i];
        stored[kCardTypeOffset] = static_cast<uint8_t>(cardType & 0xFF);
        SealCardRecord(stored, SealVariant::SerialBound, cardSerial[0]);
        result = WriteRecordBlocks(enc.MifareSector, stored);
    }
    CloseReader();
    return result;
}

int16_t MifareClearCard(EncoderState &enc, int16_t *serial) {
    if (serial == nullptr) return KS_ERR_UNAVAILABLE;
    platform::ShowWaitCursor();
    uint8_t checked[kSerialBytes] = {};
    StoredBytes old = {};
    if (ReadCardBytes(enc, enc.MifareSector, checked, old, serial) != KS_OK) return KS_ERR_COMM;
    if (old[kCardTypeOffset] == kSystemPasswordCardType) return KS_ERR_NOT_MIFARE_1K;

    uint8_t cardSerial[kSerialBytes] = {};
    int16_t result = ReopenSameCard(enc, checked, cardSerial, serial);
    if (result == KS_OK) {
        // The cleared record: the marker, then n + 1 in every byte; no
        // SystemPassword, no card type. Block 4s+2 (extension block) zero.
        StoredBytes stored = {};
        for (int i = 0; i < kExtensionOffset; ++i) stored[i] = static_cast<uint8_t>(i + 1);
        stored[0] = kClearedRecordMarker;
        SealCardRecord(stored, SealVariant::SerialBound, cardSerial[0]);
        result = WriteRecordBlocks(enc.MifareSector, stored);
    }
    CloseReader();
    return result;
}

// The data-card reader's own failure status goes to the host as it is.
int16_t MifareReadDataCard(EncoderState &enc, uint8_t *log) {
    M1_OpenCommPort(static_cast<int16_t>(enc.PortNumber));
    const int16_t read = M1_ReadDataCard(log);
    M1_CloseCommPort();
    // The data-card reader leaves the encoder in a state the RC500 library
    // does not expect; put it back whether or not the read worked.
    RC500_232_init(static_cast<int16_t>(enc.PortNumber), kReaderBaud);
    CloseReader();
    return read == kDataCardDelivered ? KS_OK : read;
}

int16_t MifareReadSerialNumber(int16_t *values) {
    if (values == nullptr) return KS_ERR_UNAVAILABLE;
    uint8_t serial[kSerialBytes] = {};
    uint8_t sizeCode = 0;
    if (SelectCard(values[0], serial, &sizeCode) != KS_OK) {
        CloseReader();
        return KS_ERR_COMM;
    }
    RC500_232_exit();
    ReportSerial(values, serial);
    CloseReader();
    return KS_OK;
}
