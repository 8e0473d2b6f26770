// PDA_SetTime, PDA_SetRoomNumber and the fetch frame against the bench's
// hand-held collector: bytes on the wire, retries, replies, discovery.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "bench.h"
#include "call_log.h"
#include "collector_bench.h"
#include "kestrane.h"
#include "test_support.h"
#include "usb_bench.h"

namespace {

constexpr int kPort = 5;
constexpr size_t kTimeFrameLength = 11;
constexpr size_t kRoomFrameLength = 15;

class CollectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        bench::AttachCollector(kPort);
    }

    void TearDown() override {
        // Every port the exports opened was closed again.
        EXPECT_EQ(bench::OpenCount("COLLECTOR"), 0);
        EXPECT_EQ(bench::OpenCount("CP2101"), 0);
        EXPECT_EQ(bench::CallCount("OpenPort"), bench::CallCount("ClosePort"));
    }

    // The bytes the library handed to SendData, in order.
    static std::vector<uint8_t> Sent() {
        std::vector<uint8_t> bytes;
        for (const bench::Call &c : bench::CallLog()) {
            if (c.fn != "SendData") continue;
            EXPECT_EQ(c.args, (std::vector<int64_t>{1})) << "one byte per SendData call";
            bytes.insert(bytes.end(), c.data.begin(), c.data.end());
        }
        return bytes;
    }
};

int16_t SetTime(std::array<int16_t, 6> time) { return PDA_SetTime(time.data()); }
int16_t SetRoom() {
    std::array<int16_t, 10> room{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
    return PDA_SetRoomNumber(room.data());
}

TEST_F(CollectorTest, SetTimeSendsTheBcdFrameAndKeepsTheReducedYear) {
    struct Case {
        std::array<int16_t, 6> time;
        const char *wire;
        int16_t reducedYear;
        bench::CollectorClock clock;
    };
    const Case cases[] = {
        {{{2009, 12, 31, 23, 59, 58}}, "53 08 00 02 09 12 31 23 59 58 22", 9, {2009, 12, 31, 23, 59, 58}},
        {{{2100, 1, 2, 3, 4, 5}}, "53 08 00 02 A0 01 02 03 04 05 B1", 100, {2100, 1, 2, 3, 4, 5}},
        {{{2000, 1, 1, 0, 0, 0}}, "53 08 00 02 00 01 01 00 00 00 04", 0, {2000, 1, 1, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        bench::ClearCallLog();
        std::array<int16_t, 6> time = c.time;
        ASSERT_EQ(PDA_SetTime(time.data()), KS_OK) << c.wire;
        EXPECT_EQ(Sent(), kstest::Hex(c.wire));
        EXPECT_EQ(time[0], c.reducedYear);
        EXPECT_EQ(time[1], c.time[1]);  // only the year element changes
        EXPECT_EQ(kstest::FirstArgs("OpenPort"), (std::vector<int64_t>{kPort, 2400}));
        const bench::CollectorClock clock = bench::CollectorTime();
        EXPECT_EQ(std::vector<int>({clock.year, clock.month, clock.day, clock.hour, clock.minute, clock.second}),
                  std::vector<int>({c.clock.year, c.clock.month, c.clock.day, c.clock.hour, c.clock.minute,
                                    c.clock.second}));
    }
}

TEST_F(CollectorTest, SetRoomNumberSendsTheLowByteOfEachElement) {
    struct Case {
        std::array<int16_t, 10> room;
        const char *wire;
    };
    const Case cases[] = {
        {{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}, "53 0C 00 03 01 02 03 04 05 06 07 08 09 0A 3A"},
        {{{0x0141, -1, 0x7F00, 0, 0, 0, 0, 0, 0, 0x22}}, "53 0C 00 03 41 FF 00 00 00 00 00 00 00 22 65"},
    };
    for (const Case &c : cases) {
        bench::ClearCallLog();
        std::array<int16_t, 10> room = c.room;
        ASSERT_EQ(PDA_SetRoomNumber(room.data()), KS_OK) << c.wire;
        const std::vector<uint8_t> wire = kstest::Hex(c.wire);
        EXPECT_EQ(Sent(), wire);
        EXPECT_EQ(room, c.room);  // the host's array is left alone
        const std::array<uint8_t, 10> held = bench::CollectorRoomNumber();
        EXPECT_TRUE(std::equal(held.begin(), held.end(), wire.begin() + 4));
    }
}

TEST_F(CollectorTest, TheFetchSendsItsFixedFrame) {
    bench::CollectorSetLog(bench::OpenDoorLogImage({0, 0, 0}, {}));
    EXPECT_EQ(ReadDataCard(0), KS_OK);
    EXPECT_EQ(Sent(), kstest::Hex("53 03 00 09 00 09"));
    EXPECT_EQ(kstest::FirstArgs("OpenPort"), (std::vector<int64_t>{kPort, 2400}));
    EXPECT_EQ(bench::CallCount("PDA_RcvOpenDoorData"), 1u);
}

// What the collector does to the replies, and how many times the frame goes out.
TEST_F(CollectorTest, RefusalsSilenceAndNoiseAreRetriedUpToThreeTimes) {
    struct Case {
        const char *what;
        std::function<void()> arrange;
        int16_t result;
        size_t framesSent;
    };
    const Case cases[] = {
        {"accepting", [] {}, KS_OK, 1},
        {"two refusals", [] { bench::CollectorRefuse(2); }, KS_OK, 3},
        {"three refusals", [] { bench::CollectorRefuse(3); }, KS_ERR_COLLECTOR, 3},
        {"silent", [] { bench::CollectorStaySilent(true); }, KS_ERR_COLLECTOR, 3},
        {"seven noise bytes", [] { bench::CollectorNoiseBeforeReply(7); }, KS_OK, 1},
        // Eight end the attempt; the reply still on the line then answers the second.
        {"eight noise bytes", [] { bench::CollectorNoiseBeforeReply(8); }, KS_OK, 2},
        {"wait fails inside the reply",
         [] { bench::ArmFault(2, bench::FaultKind::FailOnce, "WaitForCommRxd"); }, KS_OK, 2},
        {"first byte never arrives",
         [] { bench::ArmFault(1, bench::FaultKind::FailOnce, "WaitForCommRxd"); }, KS_OK, 2},
    };
    struct Export {
        const char *name;
        std::function<int16_t()> call;
        size_t frameLength;
    };
    const Export exports[] = {
        {"PDA_SetTime", [] { return SetTime({{2024, 5, 6, 7, 8, 9}}); }, kTimeFrameLength},
        {"PDA_SetRoomNumber", SetRoom, kRoomFrameLength},
    };
    for (const Export &e : exports) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(e.name) + ": " + c.what);
            bench::Reset();
            bench::AttachCollector(kPort);
            c.arrange();
            EXPECT_EQ(e.call(), c.result);
            EXPECT_EQ(Sent().size(), c.framesSent * e.frameLength);
            EXPECT_EQ(bench::CollectorFrames().size(), c.framesSent);
            EXPECT_EQ(bench::CallCount("OpenPort"), 1u);
            EXPECT_EQ(bench::CallCount("ClosePort"), 1u);
            EXPECT_EQ(bench::OpenCount("COLLECTOR"), 0);
        }
    }
}

TEST_F(CollectorTest, RefusedSettingsDoNotReachTheCollector) {
    bench::CollectorRefuse(3);
    EXPECT_EQ(SetTime({{2024, 5, 6, 7, 8, 9}}), KS_ERR_COLLECTOR);
    EXPECT_FALSE(bench::CollectorClockSet());
    EXPECT_EQ(SetTime({{2024, 5, 6, 7, 8, 9}}), KS_OK);
    EXPECT_TRUE(bench::CollectorClockSet());
}

TEST_F(CollectorTest, AFailedSendEndsTheExchangeWithItsStatus) {
    const std::function<int16_t()> exports[] = {[] { return SetTime({{2024, 5, 6, 7, 8, 9}}); }, SetRoom};
    for (const auto &call : exports) {
        for (int nth : {1, 4}) {
            bench::Reset();
            bench::AttachCollector(kPort);
            bench::ArmFault(nth, bench::FaultKind::FailOnce, "SendData");
            EXPECT_EQ(call(), 0) << "the facade's failed-send status, passed on";
            EXPECT_EQ(bench::CallCount("SendData"), static_cast<size_t>(nth)) << "no retry after a failed send";
            EXPECT_EQ(bench::CallCount("WaitForCommRxd"), 0u);
            EXPECT_EQ(bench::CallCount("ClosePort"), 1u);
        }
    }
}

TEST_F(CollectorTest, OnlyTheCollectorFoundFirstIsTalkedTo) {
    const std::function<int16_t()> exports[] = {[] { return SetTime({{2024, 5, 6, 7, 8, 9}}); }, SetRoom};
    for (const auto &call : exports) {
        // Nothing known attached.
        bench::Reset();
        EXPECT_EQ(call(), KS_ERR_OPEN_OR_NO_DEV);
        EXPECT_EQ(bench::CallCount("OpenPort"), 0u);

        // Only a lock encoder: found, but it is not the collector.
        bench::Reset();
        bench::AttachBridge(bench::Bridge{"Mifare Card Lock Device", "", 0x10C4, 0xEA60, 6});
        EXPECT_EQ(call(), KS_ERR_COLLECTOR);
        EXPECT_EQ(bench::CallCount("OpenPort"), 0u);

        // A lock encoder attached first and the collector after it: the
        // collector's kind is searched first.
        bench::AttachCollector(kPort);
        EXPECT_EQ(call(), KS_OK);
        EXPECT_EQ(kstest::FirstArgs("OpenPort"), (std::vector<int64_t>{kPort, 2400}));
    }
}

TEST_F(CollectorTest, TheYearIsOnlyReducedWhenThePortIsReached) {
    bench::DetachAllBridges();
    std::array<int16_t, 6> time{{2024, 5, 6, 7, 8, 9}};
    EXPECT_EQ(PDA_SetTime(time.data()), KS_ERR_OPEN_OR_NO_DEV);
    EXPECT_EQ(time[0], 2024);
    bench::AttachCollector(kPort);
    bench::CollectorStaySilent(true);
    EXPECT_EQ(PDA_SetTime(time.data()), KS_ERR_COLLECTOR);
    EXPECT_EQ(time[0], 24) << "reduced even though the exchange failed";
}

TEST_F(CollectorTest, ThePortIsFoundAgainOnEveryCall) {
    EXPECT_EQ(SetRoom(), KS_OK);
    bench::DetachAllBridges();
    bench::AttachCollector(8);
    bench::ClearCallLog();
    EXPECT_EQ(SetRoom(), KS_OK);
    EXPECT_EQ(kstest::FirstArgs("OpenPort"), (std::vector<int64_t>{8, 2400}));
}

TEST_F(CollectorTest, NullArraysAreRefusedBeforeAnythingIsTouched) {
    EXPECT_EQ(PDA_SetTime(nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(PDA_SetRoomNumber(nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(bench::TotalCalls(), 0u) << "no discovery, no port";
}

TEST_F(CollectorTest, SetTimePausesBeforeOpeningAndAfterEachByte) {
    bench::CollectorRefuse(3);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SetTime({{2024, 5, 6, 7, 8, 9}}), KS_ERR_COLLECTOR);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // 10 ms before the port opens, 1 ms after each of 3 x 11 bytes.
    EXPECT_GE(elapsed, std::chrono::milliseconds(10 + 3 * 11));
}

}  // namespace
