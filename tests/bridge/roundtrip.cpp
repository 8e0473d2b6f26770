// The bridge's round trip: the same calls timed against the 32-bit
// Kestrane.dll (this program built 32-bit) and over Kestrane64.dll (built
// 64-bit); roundtrip.sh runs both in one Wine session and prints the table
// of docs/performance.md. Usage: roundtrip BENCH_FOLDER ITERATIONS
// Prints "<call> <median microseconds per call>" lines; fails if a call does
// not answer KS_OK.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestrane.h"

namespace {

constexpr int kBatches = 7;  // the median of these is reported

template <typename Call>
bool Time(const char *name, int iterations, Call call) {
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    std::vector<double> perCall;
    for (int b = 0; b < kBatches; ++b) {
        QueryPerformanceCounter(&t0);
        for (int i = 0; i < iterations; ++i)
            if (call() != KS_OK) {
                std::fprintf(stderr, "%s did not answer KS_OK\n", name);
                return false;
            }
        QueryPerformanceCounter(&t1);
        perCall.push_back(1e6 * double(t1.QuadPart - t0.QuadPart) / double(f.QuadPart) / iterations);
    }
    std::sort(perCall.begin(), perCall.end());
    std::printf("%s %.1f\n", name, perCall[kBatches / 2]);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    static std::string variable = std::string("KESTRANE_BENCH=") + argv[1];
    putenv(&variable[0]);
    const int iterations = std::atoi(argv[2]);
    char path[255] = {};
    std::snprintf(path, sizeof path, "%s/config.ini", argv[1]);
    if (EncodeInit(path) != KS_OK) return 1;
    int16_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    int16_t serial[8], number[1], a[4], b[4], wide[12], option[1], type[1], c[4], start[6], end[6];
    auto des = [&] { return Des2(data, 8, 0); };
    auto read = [&] { return ReadCard(serial, 0, number, a, b, wide, option, type, c, start, end); };
    des(), read();  // the host starts, the bench folder loads
    const bool ok = Time("Des2_8", iterations * 10, des) && Time("ReadCard", iterations, read);
    return ok ? 0 : 1;
}
