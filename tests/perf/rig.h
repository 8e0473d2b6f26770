// What the benchmarks and the allocation test share beyond the medium rig of
// the test support: the ports of their other devices, and a replayer that
// sends the vendor calls one export made (as the bench's call log recorded
// them) straight to the bench's vendor functions, so the bench's own cost can
// be measured without the library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench.h"
#include "medium_rig.h"

namespace rig {

constexpr int kCollectorPort = 6;
constexpr int kIButtonPort = 1;

// The host's path buffer naming the configuration of the medium.
kstest::PathBuffer ConfigFor(kstest::Medium m);

// ---------------------------------------------------------------------------
// Replay of recorded vendor calls.
struct ReplayStep {
    int fn;                       // index into the replayer's table
    int64_t args[6];              // the scalar arguments as logged
    std::vector<uint8_t> data;    // the bytes the call carried in (writes) or out (reads)
};
using Replay = std::vector<ReplayStep>;
// Turns a call log into steps; false (and the function's name) when a call
// is not one the replayer can make.
bool CompileReplay(const std::vector<bench::Call> &log, Replay *out, std::string *unknown);
// Makes the calls, in order, against the bench's vendor functions.
void RunReplay(const Replay &replay);
// Bytes that crossed the vendor calls (the data of every call in the log).
size_t PayloadBytes(const std::vector<bench::Call> &log);

}  // namespace rig
