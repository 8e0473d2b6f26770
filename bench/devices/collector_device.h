// Device side of the collector and the data-card readers, for the clsic32
// facade files. Each function is what the device does for one library call.
#pragma once

#include <cstdint>

#include "collector_bench.h"
#include "datacard_bench.h"

namespace bench {
namespace collector {

constexpr int16_t kOk = 1;
constexpr int16_t kFailed = 0;   // port not open, nothing waiting, wait timed out

BENCH_API int16_t OpenPort(int16_t port, int32_t baud);
BENCH_API int16_t ClosePort();
BENCH_API int16_t Send(const uint8_t *data, int32_t count);
BENCH_API int16_t WaitForByte();
BENCH_API int16_t ReceiveByte(uint8_t *byte);
// Delivers the log after a fetch frame; *written = bytes put into the buffer.
BENCH_API int16_t DeliverLog(uint8_t *buffer, size_t *written);

}  // namespace collector

namespace datareader {

BENCH_API int16_t Open(DataReader reader, int16_t port);
BENCH_API int16_t Close(DataReader reader);
// 1 with the card's image in the buffer, or a status of the reader's own;
// *written = bytes put into the buffer.
BENCH_API int16_t Read(DataReader reader, uint8_t *buffer, size_t *written);

}  // namespace datareader
}  // namespace bench
