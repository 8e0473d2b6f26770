// The bench's call log keeps recent calls only, so a host suite issuing
// cards by the hundred thousand does not grow without end, while the count of
// calls stays exact.
#include <gtest/gtest.h>

#include "bench.h"
#include "media/vendor/cp2101.h"

TEST(BenchCallLog, KeepsTheRecentCallsAndCountsThemAll) {
    bench::Reset();
    const size_t calls = (1u << 16) + 1000;
    uint32_t count = 0;
    for (size_t i = 0; i < calls; ++i) CP2101_GetNumDevices(&count);
    EXPECT_EQ(bench::TotalCalls(), calls);
    const std::vector<bench::Call> log = bench::CallLog();
    EXPECT_EQ(log.size(), 1u << 16);
    EXPECT_EQ(log.back().fn, "CP2101_GetNumDevices");
    bench::ClearCallLog();
    EXPECT_EQ(bench::TotalCalls(), 0u);
    EXPECT_TRUE(bench::CallLog().empty());
}
