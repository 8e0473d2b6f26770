// Device side of the iButton reader model, for the IBFS32 facade: what the
// TMEX reader and the key on it do for one library call.
#pragma once

#include <cstdint>

#include "ibutton_bench.h"

namespace bench {
namespace ibutton {

// Status the model answers for a handle that is not an open session, and for
// a touch that cannot happen.
constexpr int16_t kBadSession = -1;

BENCH_API int32_t StartSession(int16_t port, int16_t portType, const void *options);  // > 0 handle
BENCH_API int16_t Setup(int32_t session);       // 1 ready, 0 refused / bad session
BENCH_API int16_t TouchReset(int32_t session);  // 0 none, 1 presence, 2 alarming presence
BENCH_API int16_t TouchByte(int32_t session, int16_t byte);  // byte read back from the bus
BENCH_API int16_t EndSession(int32_t session);  // 1 ended, 0 not a session

}  // namespace ibutton
}  // namespace bench
