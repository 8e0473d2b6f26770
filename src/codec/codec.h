// Card codec: check bytes, whole-buffer bit rotations, the card-record cipher
// and record sealing. Pure functions over caller buffers; no state.
#pragma once
#include <cstdint>

// A card record: the 28 bytes every medium seals and enciphers.
constexpr uint8_t kCardRecordLength = 28;
// Record byte 0 of a cleared card.
constexpr uint8_t kClearedRecordMarker = 0x63;

// CRC-16/MODBUS over `length` bytes: low and high check byte.
void CardChecksum(const uint8_t *bytes, uint8_t length, uint8_t *low, uint8_t *high);
// CRC-8/MAXIM (Dallas 1-Wire) over `length` bytes; stored in *out when given, and returned.
uint8_t CardCrc8(const uint8_t *bytes, uint8_t length, uint8_t *out = nullptr);

// Rotate the n-byte big-endian bit string by `count` bits. The buffer must
// have length + 1 bytes: byte[length] is scratch and comes back unchanged.
void RotateBitsLeft(uint8_t *buffer, uint8_t length, uint8_t count);
void RotateBitsRight(uint8_t *buffer, uint8_t length, uint8_t count);

// The record cipher (length >= 9, always 28 in use; length + 1 bytes of room).
void CardEncipher(uint8_t *buffer, uint8_t length);
void CardDecipher(uint8_t *buffer, uint8_t length);

// Sealing variants: serial-bound (Mifare, IC 4442: bytes 25-26 carry the
// checksum of bytes 0-24 mixed with serial byte S) and trailing (TEMIC: byte
// 27 is the low checksum byte of bytes 0-26).
enum class SealVariant { SerialBound, Trailing };

// Check bytes then cipher, in place; record has 29 bytes (28 + spare).
void SealCardRecord(uint8_t *record, SealVariant variant, uint8_t serialByte = 0);
// Decipher then test, in place; true when the record is valid. The
// serial-bound variant leaves the plain check bytes in 25 and 26.
bool OpenCardRecord(uint8_t *record, SealVariant variant, uint8_t serialByte = 0);

// Value of one hexadecimal digit (either case), or -1 for any other character.
int HexDigitValue(char c);
// Bytes from hexadecimal text, two digits a byte, as the contact encoder
// library's asc_hex converts them: `out` is cleared first, and the
// conversion stops at the first character that is not a digit (false).
bool HexTextToBytes(const char *text, uint8_t *out, int32_t count);
