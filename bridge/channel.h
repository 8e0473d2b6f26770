// The bridge's transport: one block of memory shared by Kestrane64.dll and
// its host (an unnamed section whose handle only the host inherits) and two
// unnamed events. Each side writes a whole message into its half and then
// publishes it by advancing a sequence number; the other side spins briefly
// for it and only then sleeps on the event. Under Wine every pipe read or
// write, event and wait is a round trip through the Wine server, which on a
// busy machine waits for its turn on a processor: a call that finishes within
// the spin takes none of them.
//
// The layout is the same in the 32-bit host and the 64-bit client: fixed
// sizes, 4-byte atomics. Each side copies a message out before it reads it,
// so nothing changes under its decoder.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "protocol.h"

namespace bridge {

constexpr size_t kMessageCapacity = kHeaderSize + kMaxBody;

struct SharedChannel {
    std::atomic<uint32_t> requestSeq;    // advanced by the client once a request is in place
    std::atomic<uint32_t> takenSeq;      // the request the host has copied out
    std::atomic<uint32_t> replySeq;      // advanced by the host once the reply is in place
    std::atomic<uint32_t> hostSleeping;  // the host is (about to be) asleep on the request event
    std::atomic<uint32_t> clientSleeping;
    // Set by the host once it has loaded Kestrane.dll: until then the
    // client's time-out for a call does not run (a slow start is no stall).
    std::atomic<uint32_t> hostReady;
    uint32_t reserved[10];
    uint8_t request[kMessageCapacity];
    uint8_t reply[kMessageCapacity];
};
static_assert(sizeof(std::atomic<uint32_t>) == 4, "the layout is shared by 32- and 64-bit processes");

// How long a side spins for the other's message before it sleeps.
constexpr double kSpinMicroseconds = 200.0;

// Publishes: advances seq, then wakes the other side if it went to sleep.
// The sleeper sets its flag before it looks at seq a last time, so one of
// the two always sees the other (both are sequentially consistent).
inline void Publish(std::atomic<uint32_t> &seq, uint32_t value, std::atomic<uint32_t> &otherSleeping, HANDLE wake) {
    seq.store(value);
    if (otherSleeping.load()) SetEvent(wake);
}

// Waits until seq differs from `last`. Returns false when `watched` (the
// other process) ends first.
inline bool WaitFor(const std::atomic<uint32_t> &seq, uint32_t last, std::atomic<uint32_t> &sleeping, HANDLE wake,
                    HANDLE watched) {
    LARGE_INTEGER freq, start, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    const LONGLONG spinTicks = static_cast<LONGLONG>(freq.QuadPart * kSpinMicroseconds / 1e6);
    for (unsigned n = 0;; ++n) {
        if (seq.load(std::memory_order_acquire) != last) return true;
        if ((n & 15) == 15) {
            QueryPerformanceCounter(&now);
            if (now.QuadPart - start.QuadPart > spinTicks) break;
            SwitchToThread();  // the other side may need this processor
        } else {
            YieldProcessor();
        }
    }
    HANDLE both[2] = {wake, watched};
    for (;;) {
        sleeping.store(1);
        if (seq.load() != last) break;
        const DWORD w = WaitForMultipleObjects(2, both, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0) {
            sleeping.store(0);
            return seq.load() != last;
        }
        if (seq.load() != last) break;
    }
    sleeping.store(0);
    return true;
}

}  // namespace bridge
