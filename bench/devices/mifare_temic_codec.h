// The card system's record rules as the personalising station applies them:
// CRC-16/MODBUS check bytes, the record cipher, the two ways a record is
// sealed, and the Mifare per-card key. Written for the bench on its own,
// apart from the library's codec, so that a fault in either shows up as a
// mismatch between them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bench.h"

namespace bench {
namespace cardsys {

using Record = std::array<uint8_t, 28>;

// CRC-16/MODBUS: low byte in bits 0-7 of the result, high byte in 8-15.
BENCH_API uint16_t Crc16(const uint8_t *bytes, size_t length);

// The record cipher over all 28 bytes.
BENCH_API Record Encipher(const Record &plain);
BENCH_API Record Decipher(const Record &sealed);

// Serial-bound seal (Mifare): bytes 25-26 from the checksum of 0-24 mixed
// with serial byte s; byte 27 kept. Open: true when the check holds; the
// plain record keeps the unmixed check bytes in 25-26.
BENCH_API Record SealSerialBound(Record plain, uint8_t s);
BENCH_API bool OpenSerialBound(const Record &sealed, uint8_t s, Record *plain);

// Trailing seal (TEMIC): byte 27 the low checksum byte of bytes 0-26.
BENCH_API Record SealTrailing(Record plain);
BENCH_API bool OpenTrailing(const Record &sealed, Record *plain);

// Mifare sector key from serial bytes s0-s2 and password bytes p2-p3.
BENCH_API std::array<uint8_t, 6> MifareKey(const std::array<uint8_t, 4> &serial, const std::array<uint8_t, 4> &password);

}  // namespace cardsys
}  // namespace bench
