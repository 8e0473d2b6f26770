// Shared by the fuzz targets: a reader over the fuzz input, invariant checks
// that abort (so libFuzzer and the corpus replay both report them), and a
// private registry file for the bench so that parallel runs never share one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "api/encoder_state.h"
#include "bench.h"

namespace fuzz {

// Reads the input front to back; past its end every read gives zeros, so a
// short input is a valid input with zero defaults.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    int16_t Int16() {
        const uint8_t low = Byte();
        return static_cast<int16_t>(low | Byte() << 8);
    }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> out(n, 0);
        for (size_t i = 0; i < n; ++i) out[i] = Byte();
        return out;
    }
    // Up to n bytes, as many as are left (no padding).
    std::vector<uint8_t> Take(size_t n) {
        const size_t k = n < Left() ? n : Left();
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + k);
        pos_ += k;
        return out;
    }
    std::vector<uint8_t> Rest() { return Take(Left()); }
    size_t Left() const { return size_ - pos_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

[[noreturn]] inline void Fail(const char *file, int line, const char *what) {
    std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond)                                      \
    do {                                                      \
        if (!(cond)) ::fuzz::Fail(__FILE__, __LINE__, #cond); \
    } while (0)

inline bool OneOf(int64_t value, std::initializer_list<int64_t> allowed) {
    for (int64_t a : allowed)
        if (a == value) return true;
    return false;
}

// A result code must be one the export documents for this path.
#define FUZZ_CHECK_RESULT(value, ...)                                                      \
    do {                                                                                   \
        const int64_t fuzzResult_ = (value);                                               \
        if (!::fuzz::OneOf(fuzzResult_, {__VA_ARGS__})) {                                  \
            std::fprintf(stderr, "undocumented result %lld (0x%04llX)\n",                  \
                         static_cast<long long>(fuzzResult_),                              \
                         static_cast<unsigned long long>(fuzzResult_ & 0xFFFF));           \
            ::fuzz::Fail(__FILE__, __LINE__, #value " in {" #__VA_ARGS__ "}");            \
        }                                                                                  \
    } while (0)

// Every port, reader connection and bridge handle opened has been closed;
// `held` resources of the named kind may stay open (the contact encoder).
inline void CheckNothingOpen(const char *held = nullptr, int heldCount = 0) {
    const int heldOpen = held ? bench::OpenCount(held) : 0;
    if (held) FUZZ_CHECK(heldOpen <= heldCount);
    FUZZ_CHECK(bench::TotalOpen() == heldOpen);
}

// The bench writes the registry file the platform layer reads whenever a
// bridge is attached or the bench is reset. Give each fuzzing process its own
// file, in memory where possible: it is rewritten for nearly every input.
inline void UsePrivateRegistry() {
    static const bool done = [] {
        const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        const std::string path =
            std::string(dir) + "/kestrane-fuzz-registry-" + std::to_string(getpid());
        setenv("KESTRANE_REGISTRY", path.c_str(), 1);
        std::atexit([] {
            if (const char *p = std::getenv("KESTRANE_REGISTRY")) std::remove(p);
        });
        return true;
    }();
    (void)done;
}

// Every input starts from an empty bench and a library that has not been
// configured, so no input depends on the one before it.
inline void FreshStart() {
    UsePrivateRegistry();
    bench::Reset();
    g_encoder = kInitialEncoderState;
}

// Arms at most one bench fault from one input byte: 0 arms none; otherwise
// the low six bits give the call it hits (1..63) and the top two bits the kind.
inline void ArmFaultFrom(uint8_t spec) {
    if (spec == 0) return;
    const int nth = spec & 0x3F;
    if (nth == 0) return;
    static const bench::FaultKind kinds[] = {bench::FaultKind::FailOnce, bench::FaultKind::FailFromThenOn,
                                             bench::FaultKind::RemoveCard, bench::FaultKind::FailOnce};
    bench::ArmFault(nth, kinds[spec >> 6]);
}

}  // namespace fuzz

// The collector link pauses 1 ms after each byte and 10 ms before opening the
// port, which would hold a fuzzer to a hundred inputs a second. A target that
// drives the link puts this at file scope: pauses under a second then return
// at once (longer ones, such as libFuzzer's own, still sleep). The bench has
// no timing of its own, so nothing else changes.
#define FUZZ_SKIP_SHORT_PAUSES()                                                   \
    extern "C" int nanosleep(const struct timespec *request, struct timespec *remaining) { \
        if (request != nullptr && request->tv_sec == 0) return 0;                  \
        return static_cast<int>(syscall(SYS_nanosleep, request, remaining));       \
    }
