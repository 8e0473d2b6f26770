// Device side of the TEMIC encoder model, for the clsic32 facade: what the
// encoder and the AT88RF256 card in its field do for one library call.
// Statuses are the model's (temic_bench.h); 0 = success.
#pragma once

#include <cstdint>

#include "temic_bench.h"

namespace bench {
namespace temic {

BENCH_API int16_t InitCommDev(int32_t portIndex);
BENCH_API int16_t Command57(const uint8_t *accessCode, int32_t operation, uint8_t block, uint8_t *data);
BENCH_API int16_t CloseCommDev(uint8_t port);
BENCH_API int16_t Beep(int16_t pattern);

}  // namespace temic
}  // namespace bench
