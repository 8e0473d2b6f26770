// Device side of the CP2101 bridge model, for the CP2101 facade. Statuses are
// those the facade returns (0 = success).
#pragma once

#include <cstdint>

#include "usb_bench.h"

namespace bench {
namespace usb {

constexpr int32_t kStatusOk = 0x00;
constexpr int32_t kStatusInvalidHandle = 0x01;
constexpr int32_t kStatusInvalidParameter = 0x02;
constexpr int32_t kStatusNotFound = 0xFF;

BENCH_API int32_t Count(uint32_t *count);
BENCH_API int32_t Open(uint32_t index, void **handle);
BENCH_API int32_t Close(void *handle);
// Text is written without a terminator; *length gets the number of characters.
BENCH_API int32_t ProductString(void *handle, char *text, uint8_t *length);
BENCH_API int32_t SerialString(void *handle, char *text, uint8_t *length);
BENCH_API int32_t Vid(void *handle, uint16_t *vid);
BENCH_API int32_t Pid(void *handle, uint16_t *pid);

}  // namespace usb
}  // namespace bench
