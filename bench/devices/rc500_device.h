// Device side of the RC500 reader model, for the RC500_232 facade: what the
// reader and the card in its field do for one library call. Statuses are the
// model's (mifare_bench.h), without the noise byte; the facade adds it.
#pragma once

#include <cstdint>

#include "mifare_bench.h"

namespace bench {
namespace rc500 {

// Card movements due before an init (SwapMifareCardBeforeInit); runs even
// when the init itself is made to fail.
BENCH_API void BeforeInit();
BENCH_API int16_t Init(int16_t port, int32_t baud);
BENCH_API int16_t Config();
BENCH_API int16_t Request(uint8_t mode, uint8_t *answer);
BENCH_API int16_t Anticoll(uint8_t bitCount, uint32_t *serial);
BENCH_API int16_t Select(uint32_t serial, uint8_t *sizeCode);
BENCH_API int16_t Authkey(uint8_t mode, uint8_t sector, const uint8_t *key);
BENCH_API int16_t Read(uint8_t block, uint8_t *data);
BENCH_API int16_t Write(uint8_t block, const uint8_t *data);
BENCH_API int16_t Reset(uint8_t mode);
BENCH_API int16_t Close();
BENCH_API int16_t Exit();

}  // namespace rc500
}  // namespace bench
