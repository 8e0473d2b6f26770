// The library's DES engine (FIPS 46 tables, but least-significant-bit-first
// bit numbering, S-box outputs placed LSB first and no final exchange of the
// halves) and the Des2 utility built on it.
#pragma once
#include <cstdint>

struct DesSubkeys {
    uint8_t k[16][48];  // K1..K16, one bit per byte
};

void DesKeySchedule(const uint8_t key[8], DesSubkeys *out);
void DesBlock(uint8_t out[8], const uint8_t in[8], const DesSubkeys &keys, bool decipher);
// ECB over length rounded up to a multiple of 8; keys longer than 8 bytes run
// two-key triple DES. False (and nothing done) when the rounded length is 0.
bool DesBuffer(uint8_t *out, const uint8_t *in, uint32_t length, const uint8_t *key,
               uint32_t keyLength, bool decipher);

// Des2's fixed key: 15 bytes, the 16th key byte is 0.
constexpr uint32_t kDes2KeyLength = 15;
extern const uint8_t kDes2Key[kDes2KeyLength];

// Body of the Des2 export: length's low 8 bits count, mode 0 enciphers.
int16_t RunDes2(int16_t *data, int32_t length, int32_t mode);
