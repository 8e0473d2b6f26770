// Device side of the contact IC encoder model, for the MWIC_32 facade. Each
// function is what the encoder and the card in it do for one library call;
// statuses are those the facade returns (0 = success).
#pragma once

#include <cstdint>

#include "ic_bench.h"

namespace bench {
namespace ic {

// Nonzero statuses of the model.
constexpr int16_t kStatusOk = 0;
constexpr int16_t kStatusBadHandle = -1;   // handle is not the open encoder
constexpr int16_t kStatusNoCard = -2;      // no card, or a card of the other kind
constexpr int16_t kStatusRange = -3;       // address / length outside the memory
constexpr int16_t kStatusRefused = -4;     // PSC not verified, wrong PSC, card locked
constexpr int16_t kStatusBadArgument = -5; // null buffer, non-hex text

BENCH_API int32_t Open(int16_t portIndex, int32_t baud);  // handle, 0 = failed
BENCH_API int16_t Close(int32_t handle);
BENCH_API int16_t Read4442(int32_t handle, int16_t address, int16_t length, uint8_t *out);
BENCH_API int16_t Write4442(int32_t handle, int16_t address, int16_t length, const uint8_t *in);
BENCH_API int16_t ComparePsc(int32_t handle, int16_t length, const uint8_t *psc);
BENCH_API int16_t Beep(int32_t handle, int16_t length);
BENCH_API int16_t Check24c64(int32_t handle);
BENCH_API int16_t Read24c64(int32_t handle, int16_t address, int16_t length, uint8_t *out);

}  // namespace ic
}  // namespace bench
