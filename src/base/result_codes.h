// Result codes every layer shares. The host-visible ones are the KS_
// constants of kestrane.h; the two below travel only between the library's
// own functions.
#pragma once
#include <cstdint>
#include "kestrane.h"

// A driver's blank-card test: the card holds a cleared record (issuing goes on).
constexpr int16_t kResultCleared = 0x14;
// Port discovery, the iButton touch layer and the TEMIC card read: nothing found / read failed.
constexpr int16_t kResultNotFound = -1;
