#include "devices/mifare_temic_codec.h"

namespace bench {
namespace cardsys {
namespace {

constexpr uint8_t kMaskFirstNine = 0xA7;  // over record bytes 0-8
constexpr size_t kMaskFirstNineLength = 9;
constexpr uint8_t kMaskAll = 0x9E;        // over every record byte
constexpr size_t kRotateBits = 5;         // the record rotates left by five bits
constexpr size_t kRecordBits = 28 * 8;

constexpr size_t kSerialCheckedLength = 25;  // serial-bound: checksum over 0-24
constexpr size_t kTrailingCheckedLength = 27;  // trailing: checksum over 0-26

bool BitAt(const Record &r, size_t i) { return (r[i / 8] >> (7 - i % 8)) & 1; }

// The record as one big-endian 224-bit number, rotated left by `bits`.
Record RotateLeft(const Record &in, size_t bits) {
    Record out{};
    for (size_t byte = 0; byte < out.size(); ++byte) {
        uint8_t value = 0;
        for (size_t bit = 0; bit < 8; ++bit)
            value = static_cast<uint8_t>((value << 1) | (BitAt(in, (byte * 8 + bit + bits) % kRecordBits) ? 1 : 0));
        out[byte] = value;
    }
    return out;
}

}  // namespace

uint16_t Crc16(const uint8_t *bytes, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

Record Encipher(const Record &plain) {
    Record masked = plain;
    for (size_t i = 0; i < kMaskFirstNineLength; ++i) masked[i] ^= kMaskFirstNine;
    const Record rotated = RotateLeft(masked, kRotateBits);
    Record out{};
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(rotated[i] ^ kMaskAll);
    return out;
}

Record Decipher(const Record &sealed) {
    Record unmasked{};
    for (size_t i = 0; i < unmasked.size(); ++i) unmasked[i] = static_cast<uint8_t>(sealed[i] ^ kMaskAll);
    Record out = RotateLeft(unmasked, kRecordBits - kRotateBits);
    for (size_t i = 0; i < kMaskFirstNineLength; ++i) out[i] ^= kMaskFirstNine;
    return out;
}

Record SealSerialBound(Record plain, uint8_t s) {
    const uint16_t crc = Crc16(plain.data(), kSerialCheckedLength);
    plain[25] = static_cast<uint8_t>((crc & 0xFF) ^ s);
    plain[26] = static_cast<uint8_t>(~((crc >> 8) ^ s));
    return Encipher(plain);
}

bool OpenSerialBound(const Record &sealed, uint8_t s, Record *plain) {
    Record r = Decipher(sealed);
    r[25] = static_cast<uint8_t>(r[25] ^ s);
    r[26] = static_cast<uint8_t>(~r[26] ^ s);
    const uint16_t crc = Crc16(r.data(), kSerialCheckedLength);
    *plain = r;
    return r[25] == (crc & 0xFF) && r[26] == (crc >> 8);
}

Record SealTrailing(Record plain) {
    plain[27] = static_cast<uint8_t>(Crc16(plain.data(), kTrailingCheckedLength) & 0xFF);
    return Encipher(plain);
}

bool OpenTrailing(const Record &sealed, Record *plain) {
    *plain = Decipher(sealed);
    return (*plain)[27] == (Crc16(plain->data(), kTrailingCheckedLength) & 0xFF);
}

std::array<uint8_t, 6> MifareKey(const std::array<uint8_t, 4> &serial, const std::array<uint8_t, 4> &password) {
    std::array<uint8_t, 6> k{};
    const uint16_t first = Crc16(serial.data(), 3);
    k[0] = static_cast<uint8_t>(~first & 0xFF);
    k[1] = static_cast<uint8_t>(~(first >> 8) & 0xFF);
    k[2] = static_cast<uint8_t>(password[2] ^ k[1]);
    const uint8_t p3 = password[3];
    k[3] = static_cast<uint8_t>(((p3 << 1) | (p3 >> 7)) ^ serial[0]);
    const uint16_t second = Crc16(k.data(), 4);
    k[4] = static_cast<uint8_t>((second >> 8) ^ k[0]);
    k[5] = static_cast<uint8_t>((second & 0xFF) ^ k[2]);
    return k;
}

}  // namespace cardsys
}  // namespace bench
