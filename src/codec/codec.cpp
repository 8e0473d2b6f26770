#include "codec/codec.h"

#include <cstring>

namespace {

// Cipher masks: constants of the card system. Changing either makes every
// card already issued unreadable.
constexpr uint8_t kCipherMaskA = 0xA7;  // over the first kMaskALength bytes
constexpr uint8_t kCipherMaskB = 0x9E;  // over every byte
constexpr uint8_t kMaskALength = 9;
constexpr uint8_t kCipherRotation = 5;  // bits

constexpr uint16_t kCrc16Poly = 0xA001;  // CRC-16/MODBUS, reflected
constexpr uint8_t kCrc8Poly = 0x8C;      // CRC-8/MAXIM, reflected

// Record offsets of the check bytes.
constexpr int kCheckedLength = 25;  // serial-bound: checksum over bytes 0-24
constexpr int kCheckLow = 25;
constexpr int kCheckHigh = 26;
constexpr int kTrailingCovered = 27;  // trailing: checksum over bytes 0-26
constexpr int kTrailingCheck = 27;

void XorBytes(uint8_t *buffer, uint8_t length, uint8_t mask) {
    for (uint8_t i = 0; i < length; ++i) buffer[i] ^= mask;
}

}  // namespace

void CardChecksum(const uint8_t *bytes, uint8_t length, uint8_t *low, uint8_t *high) {
    uint16_t reg = 0xFFFF;
    for (uint8_t i = 0; i < length; ++i) {
        reg ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = reg & 1;
            reg >>= 1;
            if (carry) reg ^= kCrc16Poly;
        }
    }
    *low = static_cast<uint8_t>(reg & 0xFF);
    *high = static_cast<uint8_t>(reg >> 8);
}

uint8_t CardCrc8(const uint8_t *bytes, uint8_t length, uint8_t *out) {
    uint8_t reg = 0;
    for (uint8_t i = 0; i < length; ++i) {
        uint8_t data = bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool f = (reg ^ data) & 1;
            reg >>= 1;
            if (f) reg ^= kCrc8Poly;
            data >>= 1;
        }
    }
    if (out != nullptr) *out = reg;
    return reg;
}

void RotateBitsLeft(uint8_t *buffer, uint8_t length, uint8_t count) {
    if (length == 0) return;
    const uint8_t spare = buffer[length];
    for (uint8_t step = 0; step < count; ++step) {
        buffer[length] = buffer[0];  // byte 0's top bit wraps round to the end
        for (uint8_t j = 0; j < length; ++j)
            buffer[j] = static_cast<uint8_t>((buffer[j] << 1) | (buffer[j + 1] >> 7));
    }
    buffer[length] = spare;
}

void RotateBitsRight(uint8_t *buffer, uint8_t length, uint8_t count) {
    if (length == 0) return;
    const uint8_t spare = buffer[length];
    for (uint8_t step = 0; step < count; ++step) {
        const uint8_t wrap = buffer[length - 1];  // the last bit wraps round to byte 0
        for (int j = length - 1; j > 0; --j)
            buffer[j] = static_cast<uint8_t>((buffer[j] >> 1) | (buffer[j - 1] << 7));
        buffer[0] = static_cast<uint8_t>((buffer[0] >> 1) | (wrap << 7));
    }
    buffer[length] = spare;
}

void CardEncipher(uint8_t *buffer, uint8_t length) {
    XorBytes(buffer, kMaskALength, kCipherMaskA);
    RotateBitsLeft(buffer, length, kCipherRotation);
    XorBytes(buffer, length, kCipherMaskB);
}

void CardDecipher(uint8_t *buffer, uint8_t length) {
    XorBytes(buffer, length, kCipherMaskB);
    RotateBitsRight(buffer, length, kCipherRotation);
    XorBytes(buffer, kMaskALength, kCipherMaskA);
}

void SealCardRecord(uint8_t *record, SealVariant variant, uint8_t serialByte) {
    uint8_t low = 0;
    uint8_t high = 0;
    if (variant == SealVariant::SerialBound) {
        CardChecksum(record, kCheckedLength, &low, &high);
        record[kCheckLow] = static_cast<uint8_t>(low ^ serialByte);
        record[kCheckHigh] = static_cast<uint8_t>(~(high ^ serialByte));
    } else {
        CardChecksum(record, kTrailingCovered, &low, &high);
        record[kTrailingCheck] = low;
    }
    CardEncipher(record, kCardRecordLength);
}

bool OpenCardRecord(uint8_t *record, SealVariant variant, uint8_t serialByte) {
    CardDecipher(record, kCardRecordLength);
    uint8_t low = 0;
    uint8_t high = 0;
    if (variant == SealVariant::SerialBound) {
        record[kCheckLow] ^= serialByte;
        record[kCheckHigh] = static_cast<uint8_t>(~record[kCheckHigh] ^ serialByte);
        // Data followed by its own low and high check byte sums to zero.
        CardChecksum(record, kTrailingCovered, &low, &high);
        return low == 0 && high == 0;
    }
    CardChecksum(record, kTrailingCovered, &low, &high);
    return low == record[kTrailingCheck];
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool HexTextToBytes(const char *text, uint8_t *out, int32_t count) {
    std::memset(out, 0, static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        const int high = HexDigitValue(text[2 * i]);
        const int low = high < 0 ? -1 : HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}
