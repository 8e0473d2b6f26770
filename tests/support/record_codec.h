// The card system's record rules written out here on their own, apart from
// the library, so that tests read and forge records as a technician with a
// card writer could: an independent oracle for what the library writes.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kstest {

using CardRecord = std::array<uint8_t, 28>;

// CRC-16 of the card records (reflected polynomial 0xA001, start 0xFFFF).
uint16_t Crc16(const uint8_t *bytes, size_t n);
// The bytes as one big-endian bit string, rotated left by `bits`.
std::vector<uint8_t> RotateLeftBits(const std::vector<uint8_t> &in, unsigned bits);
// The record cipher: bytes 0-8 xor A7, the whole rotated left by 5 bits, xor 9E.
CardRecord EncipherRecord(CardRecord plain);
CardRecord DecipherRecord(CardRecord raw);
// A plain record sealed as the serial-bound media (IC 4442, Mifare) seal it:
// the CRC-16 of bytes 0-24 bound to the card's first serial byte in bytes
// 25-26, then enciphered.
CardRecord SealSerialBound(CardRecord plain, uint8_t serialByte);

}  // namespace kstest
