// M1_ReadSn through the shipped library, without EncodeInit: the port comes
// from the host's array, the serial from the RC500 reader on the bench.
#include <gtest/gtest.h>

#include <vector>

#include "bench.h"
#include "kestrane.h"
#include "mifare_bench.h"

namespace {

constexpr int kPort = 5;

class MifareSerial : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        bench::PlaceRc500Reader(kPort);
    }
};

TEST_F(MifareSerial, ReadsTheCardInTheField) {
    struct Case {
        const char *name;
        bool card;
        int port;
        int16_t result;
        std::vector<int16_t> after;
    };
    const std::vector<Case> cases = {
        {"no card", false, kPort, KS_ERR_COMM, {kPort, 7, 7, 7, 7, 7, 7, 7}},
        {"card, wrong port", true, kPort + 1, KS_ERR_COMM, {kPort + 1, 7, 7, 7, 7, 7, 7, 7}},
        {"card", true, kPort, KS_OK, {0xC4, 0x03, 0x9A, 0xF0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bench::Reset();
        bench::PlaceRc500Reader(kPort);
        if (c.card) bench::PlaceMifareCard(bench::MifareBlankCard({{0xC4, 0x03, 0x9A, 0xF0}}));
        std::vector<int16_t> values = {static_cast<int16_t>(c.port), 7, 7, 7, 7, 7, 7, 7};
        EXPECT_EQ(M1_ReadSn(values.data()), c.result);
        EXPECT_EQ(values, c.after);
        EXPECT_EQ(bench::OpenCount("RC500"), 0);
        const std::vector<bench::Call> log = bench::CallLog();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log.front().fn, "RC500_232_init");
        EXPECT_EQ(log.front().args, (std::vector<int64_t>{c.port, 19200}));
        EXPECT_EQ(log[log.size() - 3].fn, "RC500_232_reset");
        EXPECT_EQ(log[log.size() - 2].fn, "RC500_232_close");
        EXPECT_EQ(log.back().fn, "RC500_232_exit");
    }
}

}  // namespace
