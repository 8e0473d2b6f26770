// The DES engine behind Des2. Tables are those of FIPS 46, applied to bit
// numbers 1..64, but bit k is bit (k-1) mod 8 of byte (k-1) div 8 (least
// significant first), S-box outputs go into the row least significant bit
// first, and the halves are not exchanged after round 16. Each of these
// differs from standard DES on purpose: data already enciphered by hosts in
// the field deciphers only with exactly this engine, so none may be "fixed".
//
// Bits are kept one per byte in small rows; everything lives on the stack of
// the call, so no state survives from one call to the next.
#include "codec/des.h"

#include "base/result_codes.h"

namespace {

constexpr int kBlockBytes = 8;
constexpr int kBlockBits = 64;
constexpr int kHalfBits = 32;
constexpr int kKeyHalfBits = 28;
constexpr int kPermutedKeyBits = 56;
constexpr int kSubkeyBits = 48;
constexpr int kRounds = 16;
constexpr int kSBoxes = 8;
constexpr uint32_t kKeyBufferBytes = 16;  // keys longer than this are cut

// Des2: only the low byte of the length and the low 16 bits of the mode
// count; 255 data bytes round up to 32 blocks of work buffer.
constexpr uint32_t kDes2WorkBytes = 256;
constexpr uint32_t kDes2LengthMask = 0xFF;
constexpr uint32_t kDes2ModeMask = 0xFFFF;

// Initial permutation IP: output bit i comes from input bit kIp[i].
static const uint8_t kIp[kBlockBits] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

// Inverse of IP.
static const uint8_t kIpInverse[kBlockBits] = {
    40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
    38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
    36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
    34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

// Expansion E: 32 bits of R to 48.
static const uint8_t kExpansion[kSubkeyBits] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
    12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
    22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

// Permutation P of the 32 S-box output bits.
static const uint8_t kPermutation[kHalfBits] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// Permuted choice 1: 56 of the 64 key bits (every eighth bit is dropped).
static const uint8_t kPc1[kPermutedKeyBits] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// Permuted choice 2: 48 of the 56 rotated key bits form one subkey.
static const uint8_t kPc2[kSubkeyBits] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

// Left rotations of both key halves before each of the 16 subkeys.
static const uint8_t kKeyShifts[kRounds] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// The eight S-boxes: [box][row][column], 4-bit outputs.
static const uint8_t kSBox[kSBoxes][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

// Row of bit numbers: row[k - 1] holds bit k, which is bit (k-1) mod 8 of
// byte (k-1) div 8.
void BytesToRow(const uint8_t bytes[kBlockBytes], uint8_t row[kBlockBits]) {
    for (int k = 0; k < kBlockBits; ++k) row[k] = (bytes[k / 8] >> (k % 8)) & 1u;
}

void RowToBytes(const uint8_t row[kBlockBits], uint8_t bytes[kBlockBytes]) {
    for (int i = 0; i < kBlockBytes; ++i) bytes[i] = 0;
    for (int k = 0; k < kBlockBits; ++k)
        bytes[k / 8] = static_cast<uint8_t>(bytes[k / 8] | (row[k] << (k % 8)));
}

// out[i] = in[table[i] - 1] for the `count` entries of a FIPS table.
void Permute(uint8_t *out, const uint8_t *in, const uint8_t *table, int count) {
    for (int i = 0; i < count; ++i) out[i] = in[table[i] - 1];
}

void RotateHalfLeft(uint8_t *half, int places) {
    for (int p = 0; p < places; ++p) {
        const uint8_t first = half[0];
        for (int j = 0; j < kKeyHalfBits - 1; ++j) half[j] = half[j + 1];
        half[kKeyHalfBits - 1] = first;
    }
}

// The cipher function f(R, K), 32 bits out.
void CipherFunction(const uint8_t r[kHalfBits], const uint8_t key[kSubkeyBits],
                    uint8_t out[kHalfBits]) {
    uint8_t x[kSubkeyBits];
    Permute(x, r, kExpansion, kSubkeyBits);
    for (int i = 0; i < kSubkeyBits; ++i) x[i] ^= key[i];

    uint8_t s[kHalfBits];
    for (int g = 0; g < kSBoxes; ++g) {
        const uint8_t *b = &x[6 * g];  // b[0] is b1 ... b[5] is b6
        const int row = 2 * b[0] + b[5];
        const int column = 8 * b[1] + 4 * b[2] + 2 * b[3] + b[4];
        const uint8_t v = kSBox[g][row][column];
        // Least significant output bit first: this engine's own order.
        for (int j = 0; j < 4; ++j) s[4 * g + j] = (v >> j) & 1u;
    }
    Permute(out, s, kPermutation, kHalfBits);
}

// Key buffer: up to 16 key bytes over zeros.
void LoadKeyBuffer(const uint8_t *key, uint32_t keyLength, uint8_t buffer[kKeyBufferBytes]) {
    const uint32_t used = keyLength < kKeyBufferBytes ? keyLength : kKeyBufferBytes;
    for (uint32_t i = 0; i < kKeyBufferBytes; ++i) buffer[i] = i < used ? key[i] : 0;
}

}  // namespace

const uint8_t kDes2Key[kDes2KeyLength] = {'K', 'e', 's', 't', 'r', 'a', 'n', 'e',
                                          '-', 'D', 'E', 'S', '2', '-', 'K'};

void DesKeySchedule(const uint8_t key[8], DesSubkeys *out) {
    uint8_t row[kBlockBits];
    BytesToRow(key, row);
    uint8_t cd[kPermutedKeyBits];  // C = bits 1-28, D = bits 29-56
    Permute(cd, row, kPc1, kPermutedKeyBits);
    for (int i = 0; i < kRounds; ++i) {
        RotateHalfLeft(cd, kKeyShifts[i]);
        RotateHalfLeft(cd + kKeyHalfBits, kKeyShifts[i]);
        Permute(out->k[i], cd, kPc2, kSubkeyBits);
    }
}

void DesBlock(uint8_t out[8], const uint8_t in[8], const DesSubkeys &keys, bool decipher) {
    uint8_t row[kBlockBits];
    BytesToRow(in, row);
    uint8_t lr[kBlockBits];  // L = lr[0..31], R = lr[32..63]
    Permute(lr, row, kIp, kBlockBits);
    uint8_t *l = lr;
    uint8_t *r = lr + kHalfBits;
    uint8_t f[kHalfBits];

    for (int round = 0; round < kRounds; ++round) {
        if (!decipher) {
            // (L, R) <- (R, L xor f(R, K_i))
            CipherFunction(r, keys.k[round], f);
            for (int j = 0; j < kHalfBits; ++j) {
                const uint8_t newR = l[j] ^ f[j];
                l[j] = r[j];
                r[j] = newR;
            }
        } else {
            // (L, R) <- (R xor f(L, K_i), L), subkeys in reverse: undoes one round.
            CipherFunction(l, keys.k[kRounds - 1 - round], f);
            for (int j = 0; j < kHalfBits; ++j) {
                const uint8_t newL = r[j] ^ f[j];
                r[j] = l[j];
                l[j] = newL;
            }
        }
    }
    // No exchange of the halves: L then R goes through the inverse of IP.
    Permute(row, lr, kIpInverse, kBlockBits);
    RowToBytes(row, out);
}

bool DesBuffer(uint8_t *out, const uint8_t *in, uint32_t length, const uint8_t *key,
               uint32_t keyLength, bool decipher) {
    // Counted in blocks, so a length near the top of the range cannot wrap.
    const uint32_t blocks = length / kBlockBytes + (length % kBlockBytes != 0 ? 1 : 0);
    if (blocks == 0) return false;

    uint8_t keyBuffer[kKeyBufferBytes];
    LoadKeyBuffer(key, keyLength, keyBuffer);
    DesSubkeys first;
    DesSubkeys second;
    DesKeySchedule(keyBuffer, &first);
    const bool tripleDes = keyLength > kBlockBytes;
    if (tripleDes) DesKeySchedule(keyBuffer + kBlockBytes, &second);

    for (uint32_t b = 0; b < blocks; ++b) {
        uint8_t block[kBlockBytes];
        uint8_t work[kBlockBytes];
        const uint32_t at = b * kBlockBytes;
        for (int i = 0; i < kBlockBytes; ++i) block[i] = in[at + i];  // out may be in
        if (tripleDes) {
            // Two-key triple DES: E_A D_B E_A, undone by D_A E_B D_A.
            DesBlock(work, block, first, decipher);
            DesBlock(block, work, second, !decipher);
            DesBlock(work, block, first, decipher);
        } else {
            DesBlock(work, block, first, decipher);
        }
        for (int i = 0; i < kBlockBytes; ++i) out[at + i] = work[i];
    }
    return true;
}

int16_t RunDes2(int16_t *data, int32_t length, int32_t mode) {
    const uint32_t count = static_cast<uint32_t>(length) & kDes2LengthMask;
    if (count == 0) return KS_OK;
    // A null array with bytes to process would be dereferenced: refuse it.
    if (data == nullptr) return KS_ERR_UNAVAILABLE;
    const bool decipher = (static_cast<uint32_t>(mode) & kDes2ModeMask) != 0;

    // Zeroed first: a length that is not a multiple of 8 completes its last
    // block with these zeros.
    uint8_t work[kDes2WorkBytes] = {};
    for (uint32_t i = 0; i < count; ++i) work[i] = static_cast<uint8_t>(data[i] & 0xFF);
    DesBuffer(work, work, count, kDes2Key, kDes2KeyLength, decipher);
    for (uint32_t i = 0; i < count; ++i) data[i] = work[i];
    return KS_OK;
}
