#include "record_codec.h"

namespace kstest {

namespace {

constexpr int kCipherRotation = 5;
constexpr int kMaskedBytes = 9;

// The n bytes at `in` as one big-endian bit string, rotated left into `out`.
void RotateInto(const uint8_t *in, size_t n, unsigned bits, uint8_t *out) {
    const size_t total = n * 8;
    for (size_t i = 0; i < n; ++i) out[i] = 0;
    for (size_t i = 0; i < total; ++i) {
        // bit i counted from the most significant bit of byte 0
        const size_t from = (i + bits) % total;
        const int bit = (in[from / 8] >> (7 - from % 8)) & 1;
        out[i / 8] = static_cast<uint8_t>(out[i / 8] | bit << (7 - i % 8));
    }
}

CardRecord Rotated(const CardRecord &r, unsigned bits) {
    CardRecord out{};
    RotateInto(r.data(), r.size(), bits, out.data());
    return out;
}

CardRecord XorAll(CardRecord r, uint8_t mask) {
    for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(r[i] ^ mask);
    return r;
}

}  // namespace

uint16_t Crc16(const uint8_t *bytes, size_t n) {
    uint16_t r = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        r ^= bytes[i];
        for (int b = 0; b < 8; ++b) r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0xA001) : static_cast<uint16_t>(r >> 1);
    }
    return r;
}

std::vector<uint8_t> RotateLeftBits(const std::vector<uint8_t> &in, unsigned bits) {
    std::vector<uint8_t> out(in.size());
    if (!in.empty()) RotateInto(in.data(), in.size(), bits, out.data());
    return out;
}

CardRecord EncipherRecord(CardRecord r) {
    for (int i = 0; i < kMaskedBytes; ++i) r[i] ^= 0xA7;
    return XorAll(Rotated(r, kCipherRotation), 0x9E);
}

CardRecord DecipherRecord(CardRecord r) {
    r = Rotated(XorAll(r, 0x9E), static_cast<unsigned>(r.size() * 8 - kCipherRotation));
    for (int i = 0; i < kMaskedBytes; ++i) r[i] ^= 0xA7;
    return r;
}

CardRecord SealSerialBound(CardRecord plain, uint8_t serialByte) {
    const uint16_t crc = Crc16(plain.data(), 25);
    plain[25] = static_cast<uint8_t>((crc & 0xFF) ^ serialByte);
    plain[26] = static_cast<uint8_t>(~((crc >> 8) ^ serialByte));
    return EncipherRecord(plain);
}

}  // namespace kstest
