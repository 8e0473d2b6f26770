// TM_ReadSn against the bench's iButton reader.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "bench.h"
#include "ibutton_bench.h"
#include "kestrane.h"

namespace {

constexpr int kPort = 3;
constexpr int kAttempts = 10;
constexpr uint8_t kReadRom = 0x33;

class IButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        rom = bench::MakeIButtonRom(0x01, 0x0000123456789ABCull);
        bench::AttachIButtonReader(kPort);
        bench::PlaceIButton(rom);
    }

    int16_t Read(int port = kPort) {
        values.fill(static_cast<int16_t>(0x7777));
        values[0] = static_cast<int16_t>(port);
        return TM_ReadSn(values.data());
    }

    std::vector<int16_t> RomElements() const { return std::vector<int16_t>(rom.begin(), rom.end()); }
    std::vector<int16_t> Values() const { return std::vector<int16_t>(values.begin(), values.end()); }

    // Every session the driver started was ended, and no TMEX call went to a
    // handle the reader never gave out.
    void ExpectSessionsBalanced() {
        EXPECT_EQ(bench::OpenCount("TMEX"), 0);
        EXPECT_EQ(bench::CallCount("TMExtendedStartSession"), bench::CallCount("TMEndSession"));
    }

    bench::IButtonRom rom{};
    std::array<int16_t, 8> values{};
};

TEST_F(IButtonTest, ReadsTheRomIdOfAGoodKeyInOneSession) {
    ASSERT_EQ(Read(), KS_OK);
    EXPECT_EQ(Values(), RomElements());
    EXPECT_EQ(values[0], 0x01);  // the family code replaced the port number
    EXPECT_EQ(bench::CallCount("TMExtendedStartSession"), 1u);
    ExpectSessionsBalanced();

    // On the wire: port and type 1 with no options, the Read ROM command, then
    // eight read slots; the session ended last.
    const auto log = bench::CallLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().fn, "TMExtendedStartSession");
    EXPECT_EQ(log.front().args, (std::vector<int64_t>{kPort, 1, 0}));
    std::vector<int64_t> sent;
    std::vector<uint8_t> read;
    for (const auto &c : log) {
        if (c.fn != "TMTouchByte") continue;
        sent.push_back(c.args.at(1));
        if (c.args.at(1) == 0xFF) read.insert(read.end(), c.data.begin(), c.data.end());
    }
    EXPECT_EQ(sent, (std::vector<int64_t>{kReadRom, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(read, std::vector<uint8_t>(rom.begin(), rom.end()));
    EXPECT_EQ(log.back().fn, "TMEndSession");
}

TEST_F(IButtonTest, AlarmingPresenceIsReadLikeAnyOther) {
    bench::SetIButtonMode(bench::IButtonMode::AlarmingPresence);
    ASSERT_EQ(Read(), KS_OK);
    EXPECT_EQ(Values(), RomElements());
    EXPECT_EQ(bench::CallCount("TMExtendedStartSession"), 1u);
    ExpectSessionsBalanced();
}

// Every way an attempt can fail is retried ten times, each attempt in a
// session of its own that is ended again, and then reported as 0xFFFB.
TEST_F(IButtonTest, FailuresAreRetriedTenTimesThenReported) {
    struct Case {
        const char *name;
        std::function<void()> arrange;
        int port;
        size_t romReads;  // Read ROM commands the key answered
    } cases[] = {
        {"bad CRC-8", [] { bench::SetIButtonMode(bench::IButtonMode::BadCrc); }, kPort, kAttempts},
        {"no key on the reader", [] { bench::RemoveIButton(); }, kPort, 0},
        {"nothing answers the reset", [] { bench::SetIButtonMode(bench::IButtonMode::NoDevice); }, kPort, 0},
        {"session cannot start", [] { bench::SetIButtonMode(bench::IButtonMode::NoSession); }, kPort, 0},
        {"setup refused", [] { bench::SetIButtonMode(bench::IButtonMode::SetupRefused); }, kPort, 0},
        {"wrong port", [] {}, kPort + 1, 0},
        {"no reader at all", [] { bench::DetachIButtonReader(); }, kPort, 0},
        {"all-zero ROM ID", [] { bench::PlaceIButton(bench::IButtonRom{}); }, kPort, kAttempts},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.arrange();
        EXPECT_EQ(Read(c.port), KS_ERR_COMM);
        EXPECT_EQ(bench::CallCount("TMExtendedStartSession"), static_cast<size_t>(kAttempts));
        EXPECT_EQ(static_cast<size_t>(bench::IButtonRomReads()), c.romReads);
        ExpectSessionsBalanced();
    }
}

TEST_F(IButtonTest, AFailedAttemptIsFollowedByAGoodOne) {
    // One call of the first attempt fails: the second attempt reads the key.
    const struct {
        const char *fn;
        int nth;
    } faults[] = {{"TMExtendedStartSession", 1}, {"TMSetup", 1}, {"TMTouchReset", 1},
                  {"TMTouchByte", 1},  // the Read ROM command
                  {"TMTouchByte", 2},  // the family code
                  {"TMTouchByte", 9}}; // the check byte
    for (const auto &f : faults) {
        SCOPED_TRACE(std::string(f.fn) + " fails at call " + std::to_string(f.nth));
        SetUp();
        bench::ArmFault(f.nth, bench::FaultKind::FailOnce, f.fn);
        ASSERT_EQ(Read(), KS_OK);
        EXPECT_EQ(Values(), RomElements());
        EXPECT_EQ(bench::CallCount("TMExtendedStartSession"), 2u);
        ExpectSessionsBalanced();
    }
}

TEST_F(IButtonTest, KeyTakenAwayDuringTheReadIsNotReportedAsRead) {
    // The key leaves while its ROM bytes are being read: the bus reads high
    // from then on and the check byte cannot match.
    bench::ArmFault(5, bench::FaultKind::RemoveCard, "TMTouchByte");
    EXPECT_EQ(Read(), KS_ERR_COMM);
    ExpectSessionsBalanced();
}

TEST_F(IButtonTest, NullArrayIsRefusedWithoutTouchingTheReader) {
    EXPECT_EQ(TM_ReadSn(nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(bench::TotalCalls(), 0u);
}

}  // namespace
