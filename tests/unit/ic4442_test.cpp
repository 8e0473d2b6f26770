// The IC 4442 driver against the bench's contact encoder and SLE4442 cards
// from the bench's personalising station.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "bench.h"
#include "call_log.h"
#include "codec/codec.h"
#include "ic_bench.h"
#include "kestrane.h"
#include "media/ic4442.h"
#include "media/vendor/mwic_32.h"

namespace {

constexpr int kPort = 3;
const uint8_t kPassword[4] = {0xD2, 0x19, 0x7E, 0x4B};

using kstest::CallNames;

std::vector<uint8_t> RecordBytes(const bench::Sle4442Card &card) {
    return std::vector<uint8_t>(card.memory.begin() + 32, card.memory.begin() + 60);
}

// The driver opens the encoder on the configured port.
int16_t OpenOn(int port) {
    g_encoder.PortNumber = static_cast<uint8_t>(port);
    return IcOpen(g_encoder);
}

class Ic4442Test : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        g_encoder = kInitialEncoderState;
        std::memcpy(g_encoder.SystemPassword, kPassword, 4);
        bench::PlaceIcEncoder(kPort);
        Insert(bench::IcCardOptions{});
        ASSERT_EQ(OpenOn(kPort), KS_OK);
        bench::ClearCallLog();
        // A guest-card-like image: bytes 0-19 and 27 are the caller's.
        for (int i = 0; i < 32; ++i) image[i] = static_cast<int16_t>(0x40 + i);
        image[27] = 0x1B5;  // only the low byte counts
        serial.fill(-1);
    }
    void TearDown() override {
        IcClose(g_encoder);
        EXPECT_EQ(bench::TotalOpen(), 0);
    }

    void Insert(const bench::IcCardOptions &options) {
        options_ = options;
        bench::InsertSle4442(bench::MakeIcCard(options));
    }
    int16_t Write(int16_t type = 4) { return IcWriteCard(g_encoder, serial.data(), image.data(), type); }
    int16_t Read() { return IcReadCard(g_encoder, serial.data(), values.data()); }

    // Re-inserts the current card with one plain record byte changed
    // (and the record enciphered again, its check bytes left as they were).
    void TamperPlainByte(int offset) {
        bench::Sle4442Card card = bench::CurrentSle4442();
        uint8_t record[29];
        std::memcpy(record, &card.memory[32], 28);
        CardDecipher(record, 28);
        record[offset] ^= 0x10;
        CardEncipher(record, 28);
        std::memcpy(&card.memory[32], record, 28);
        bench::InsertSle4442(card);
    }

    bench::IcCardOptions options_;
    std::array<int16_t, 32> image{};
    std::array<int16_t, 8> serial{};
    std::array<int16_t, 32> values{};
};

TEST_F(Ic4442Test, OpenAndCloseFollowThePortAndTheHandle) {
    IcClose(g_encoder);
    EXPECT_EQ(IcClose(g_encoder), KS_ERR_IC_NOT_OPEN);
    // No encoder on COM2: the open fails and the driver stays closed.
    EXPECT_EQ(OpenOn(2), KS_ERR_OPEN_OR_NO_DEV);
    EXPECT_EQ(g_encoder.IcHandle, 0);
    EXPECT_EQ(g_encoder.IcPort, 0xFF);
    EXPECT_EQ(bench::OpenCount("MWIC_32"), 0);

    ASSERT_EQ(OpenOn(kPort), KS_OK);
    EXPECT_NE(g_encoder.IcHandle, 0);
    EXPECT_EQ(g_encoder.IcPort, kPort);
    const auto log = bench::CallLog();
    EXPECT_EQ(log.back().fn, "ic_init");
    EXPECT_EQ(log.back().args, (std::vector<int64_t>{kPort - 1, 9600}));
    EXPECT_EQ(IcClose(g_encoder), KS_OK);
    EXPECT_EQ(g_encoder.IcHandle, 0);
    EXPECT_EQ(g_encoder.IcPort, 0xFF);
    EXPECT_EQ(bench::OpenCount("MWIC_32"), 0);
}

TEST_F(Ic4442Test, ASealedRecordReadsBackWithPasswordTypeAndSerial) {
    ASSERT_EQ(Write(4), KS_OK);
    const bench::Sle4442Card card = bench::CurrentSle4442();
    // CardSerial: card addresses 60-63.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(serial[i], card.memory[60 + i]) << i;
    EXPECT_EQ(serial[4], -1);
    // The caller's image was completed in place.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(image[20 + i], kPassword[i]);
    EXPECT_EQ(image[24], 4);

    // The wire: cleared test, serial read, PSC read, one PSC, one write, beep.
    EXPECT_EQ(CallNames(), (std::vector<std::string>{"srd_4442", "srd_4442", "srd_4442", "csc_4442",
                                                     "swr_4442", "dv_beep"}));
    const auto log = bench::CallLog();
    EXPECT_EQ(log[0].args, (std::vector<int64_t>{g_encoder.IcHandle, 32, 32}));
    EXPECT_EQ(log[3].data, std::vector<uint8_t>(card.psc.begin(), card.psc.end()));
    EXPECT_EQ(log[4].args, (std::vector<int64_t>{g_encoder.IcHandle, 32, 28}));
    EXPECT_EQ(log[5].args, (std::vector<int64_t>{g_encoder.IcHandle, 15}));
    EXPECT_EQ(bench::IcBeepCount(), 1);
    // The serial and its check byte were never written.
    EXPECT_EQ(card.memory[60], options_.serial[0]);

    ASSERT_EQ(Read(), KS_OK);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(values[i], 0x40 + i) << i;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(values[20 + i], kPassword[i]);
    EXPECT_EQ(values[24], 4);
    EXPECT_EQ(values[27], 0xB5);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(values[28 + i], card.memory[60 + i]);
}

TEST_F(Ic4442Test, ClearingLeavesTheClearedPatternAndKeepsTheRest) {
    ASSERT_EQ(Write(9), KS_OK);
    bench::ClearCallLog();
    ASSERT_EQ(IcClearCard(g_encoder, serial.data()), KS_OK);
    EXPECT_EQ(bench::IcBeepCount(), 1);  // clearing does not beep
    EXPECT_EQ(bench::CallCount("csc_4442"), 1u);
    ASSERT_EQ(Read(), KS_OK);
    EXPECT_EQ(values[0], 0x63);
    for (int n = 1; n <= 15; ++n) EXPECT_EQ(values[n], n + 1) << n;
    for (int n = 16; n < 20; ++n) EXPECT_EQ(values[n], 0x40 + n) << n;  // previous record kept
    EXPECT_EQ(values[24], 9);
    EXPECT_EQ(values[27], 0xB5);

    // A cleared card can be issued again.
    ASSERT_EQ(Write(5), KS_OK);
    ASSERT_EQ(Read(), KS_OK);
    EXPECT_EQ(values[24], 5);
}

TEST_F(Ic4442Test, AFactoryCardReadsBackAsCleared) {
    ASSERT_EQ(Read(), KS_OK);
    EXPECT_EQ(values[0], 0x63);
    for (int n = 1; n <= 15; ++n) EXPECT_EQ(values[n], n + 1) << n;
    EXPECT_EQ(IcCheckCleared(g_encoder), 0x14);
}

TEST_F(Ic4442Test, AnIssuedCardIsRefusedBeforeItsPscIsPresented) {
    ASSERT_EQ(Write(), KS_OK);
    const auto before = RecordBytes(bench::CurrentSle4442());
    bench::ClearCallLog();
    EXPECT_EQ(Write(), KS_ERR_NOT_CLEARED);
    EXPECT_EQ(CallNames(), (std::vector<std::string>{"srd_4442"}));
    EXPECT_EQ(RecordBytes(bench::CurrentSle4442()), before);
    EXPECT_EQ(bench::IcBeepCount(), 1);  // only the successful write beeped
}

TEST_F(Ic4442Test, AWrongSerialCheckByteStopsEveryOperationBeforeThePsc) {
    bench::IcCardOptions bad;
    bad.wrongSerialCheck = true;
    Insert(bad);
    const auto before = RecordBytes(bench::CurrentSle4442());
    EXPECT_EQ(IcReadSerial(g_encoder, serial.data()), KS_ERR_CARD_INVALID);
    EXPECT_EQ(Write(), KS_ERR_CARD_INVALID);
    EXPECT_EQ(IcClearCard(g_encoder, serial.data()), KS_ERR_CARD_INVALID);
    EXPECT_EQ(IcPresentCode(g_encoder), KS_ERR_CARD_INVALID);
    EXPECT_EQ(IcCheckCleared(g_encoder), KS_ERR_CARD_INVALID);
    EXPECT_EQ(bench::CallCount("csc_4442"), 0u);
    EXPECT_EQ(bench::CallCount("swr_4442"), 0u);
    EXPECT_EQ(serial[0], -1);
    EXPECT_EQ(bench::CurrentSle4442().triesLeft, 3);
    EXPECT_EQ(RecordBytes(bench::CurrentSle4442()), before);
    // The read does not test the serial check byte.
    EXPECT_EQ(Read(), KS_OK);
}

TEST_F(Ic4442Test, EachWriteOntoACardWithForeignPscSpendsExactlyOneTry) {
    bench::IcCardOptions foreign;
    foreign.foreignPscMasks = true;
    Insert(foreign);
    const auto before = RecordBytes(bench::CurrentSle4442());
    for (int attempt = 1; attempt <= 4; ++attempt) {
        SCOPED_TRACE(attempt);
        serial.fill(-1);
        EXPECT_EQ(Write(), KS_ERR_CARD_INVALID);
        EXPECT_EQ(bench::CallCount("csc_4442"), static_cast<size_t>(attempt));
        EXPECT_EQ(bench::CurrentSle4442().triesLeft, attempt >= 3 ? 0 : 3 - attempt);
        // CardSerial is filled before the PSC is presented.
        EXPECT_EQ(serial[0], options_.serial[0]);
    }
    EXPECT_EQ(bench::CallCount("swr_4442"), 0u);
    EXPECT_EQ(bench::IcBeepCount(), 0);
    EXPECT_EQ(RecordBytes(bench::CurrentSle4442()), before);

    // Locked for good: even the card's own PSC is refused now.
    const auto psc = bench::IcCardPsc(foreign);
    EXPECT_NE(csc_4442(g_encoder.IcHandle, 3, psc.data()), 0);
    EXPECT_EQ(IcClearCard(g_encoder, serial.data()), KS_ERR_CARD_INVALID);
}

TEST_F(Ic4442Test, FailureOrderOfAWrite) {
    // Wrong serial check byte comes before "not cleared"; "not cleared"
    // before a PSC that would be refused.
    bench::IcCardOptions both;
    both.wrongSerialCheck = true;
    both.clearedRecord = false;
    Insert(both);
    EXPECT_EQ(Write(), KS_ERR_CARD_INVALID);

    bench::IcCardOptions issued;
    issued.foreignPscMasks = true;
    issued.clearedRecord = false;
    Insert(issued);
    EXPECT_EQ(Write(), KS_ERR_NOT_CLEARED);
    EXPECT_EQ(bench::CurrentSle4442().triesLeft, 3);
}

TEST_F(Ic4442Test, DeviceFailuresMapToTheirCodesAndNeverReachTheCard) {
    struct Case {
        const char *fn;
        int nth;  // which call of fn fails
        int16_t expected;
    };
    const Case cases[] = {
        {"srd_4442", 1, KS_ERR_COMM},            // cleared test
        {"srd_4442", 2, KS_ERR_COMM},            // serial read
        {"srd_4442", 3, KS_ERR_OPEN_OR_NO_DEV},  // read inside the PSC step
        {"csc_4442", 1, KS_ERR_CARD_INVALID},
        {"swr_4442", 1, KS_ERR_COMM},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.fn) + " #" + std::to_string(c.nth));
        Insert(bench::IcCardOptions{});
        const auto before = RecordBytes(bench::CurrentSle4442());
        const int beeps = bench::IcBeepCount();
        bench::ClearFaults();
        bench::ArmFault(c.nth, bench::FaultKind::FailOnce, c.fn);
        EXPECT_EQ(Write(), c.expected);
        EXPECT_EQ(RecordBytes(bench::CurrentSle4442()), before);
        EXPECT_EQ(bench::IcBeepCount(), beeps);  // failures are silent
        bench::ClearFaults();
        EXPECT_EQ(Write(), KS_OK);  // and the next call works
    }
}

TEST_F(Ic4442Test, ClearFailuresMapToTheirCodes) {
    struct Case {
        const char *fn;
        int nth;
        int16_t expected;
    };
    const Case cases[] = {
        {"srd_4442", 1, KS_ERR_COMM},            // serial read
        {"srd_4442", 2, KS_ERR_OPEN_OR_NO_DEV},  // PSC step
        {"srd_4442", 3, KS_ERR_COMM},            // record read
        {"csc_4442", 1, KS_ERR_CARD_INVALID},
        {"swr_4442", 1, KS_ERR_COMM},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.fn) + " #" + std::to_string(c.nth));
        Insert(bench::IcCardOptions{});
        ASSERT_EQ(Write(), KS_OK);
        const auto before = RecordBytes(bench::CurrentSle4442());
        bench::ArmFault(c.nth, bench::FaultKind::FailOnce, c.fn);
        EXPECT_EQ(IcClearCard(g_encoder, serial.data()), c.expected);
        EXPECT_EQ(RecordBytes(bench::CurrentSle4442()), before);
        bench::ClearFaults();
    }
}

TEST_F(Ic4442Test, NoCardInTheEncoder) {
    bench::RemoveIcCard();
    EXPECT_EQ(Write(), KS_ERR_COMM);
    EXPECT_EQ(IcClearCard(g_encoder, serial.data()), KS_ERR_COMM);
    EXPECT_EQ(IcReadSerial(g_encoder, serial.data()), KS_ERR_COMM);
    EXPECT_EQ(Read(), KS_ERR_COMM);
    EXPECT_EQ(bench::CallCount("csc_4442"), 0u);
}

TEST_F(Ic4442Test, WithTheEncoderClosedNothingReachesTheDevice) {
    IcClose(g_encoder);
    bench::ClearCallLog();
    EXPECT_EQ(Write(), KS_ERR_IC_NOT_OPEN);
    EXPECT_EQ(IcClearCard(g_encoder, serial.data()), KS_ERR_IC_NOT_OPEN);
    EXPECT_EQ(IcReadSerial(g_encoder, serial.data()), KS_ERR_IC_NOT_OPEN);
    EXPECT_EQ(Read(), KS_ERR_COMM);
    EXPECT_EQ(bench::TotalCalls(), 0u);
}

TEST_F(Ic4442Test, EveryPlainByteUpTo26IsCoveredByTheCheck) {
    for (int offset = 0; offset < 28; ++offset) {
        SCOPED_TRACE(offset);
        Insert(bench::IcCardOptions{});
        ASSERT_EQ(Write(), KS_OK);
        TamperPlainByte(offset);
        EXPECT_EQ(Read(), offset == 27 ? KS_OK : KS_ERR_CARD_INVALID);
    }
}

TEST_F(Ic4442Test, ARecordCopiedOntoACardWithAnotherFirstSerialByteFails) {
    ASSERT_EQ(Write(), KS_OK);
    const auto sealed = RecordBytes(bench::CurrentSle4442());
    struct {
        std::array<uint8_t, 3> serial;
        int16_t expected;
    } cases[] = {
        {{0x5B, 0x12, 0x34}, KS_ERR_CARD_INVALID},  // first byte differs
        {{0x5A, 0x99, 0x77}, KS_OK},                // only the first byte binds
    };
    for (const auto &c : cases) {
        bench::IcCardOptions other;
        other.serial = c.serial;
        bench::Sle4442Card card = bench::MakeIcCard(other);
        std::copy(sealed.begin(), sealed.end(), card.memory.begin() + 32);
        bench::InsertSle4442(card);
        EXPECT_EQ(Read(), c.expected);
    }
}

// The bench's SLE4442 itself: the behaviour the driver tests above rely on.
TEST_F(Ic4442Test, BenchCardRefusesWritesUntilThePscAndProtectsItsFirstBytes) {
    const int32_t h = g_encoder.IcHandle;
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_NE(swr_4442(h, 32, 4, data), 0);
    const auto psc = bench::IcCardPsc(options_);
    ASSERT_EQ(csc_4442(h, 3, psc.data()), 0);
    EXPECT_EQ(swr_4442(h, 30, 4, data), 0);
    const auto card = bench::CurrentSle4442();
    EXPECT_EQ(card.memory[30], 0xFF);  // protected
    EXPECT_EQ(card.memory[32], 3);
    // Re-inserting powers the card up again: the PSC must be presented anew.
    bench::InsertSle4442(card);
    EXPECT_NE(swr_4442(h, 32, 4, data), 0);
    // A 24C64 card: chk_24c64 accepts it, an SLE4442 card it refuses.
    EXPECT_NE(chk_24c64(h), 0);
    std::vector<uint8_t> eeprom(8192);
    for (size_t i = 0; i < eeprom.size(); ++i) eeprom[i] = static_cast<uint8_t>(i * 7);
    bench::Insert24c64(eeprom);
    EXPECT_EQ(chk_24c64(h), 0);
    std::vector<uint8_t> got(2049);
    ASSERT_EQ(srd_24c64(h, 0, 2049, got.data()), 0);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), eeprom.begin()));
    uint8_t area[32];
    EXPECT_NE(srd_4442(h, 32, 32, area), 0);
}

TEST_F(Ic4442Test, BenchHexConversionTakesPairsFirstDigitHigh) {
    uint8_t out[4];
    EXPECT_EQ(asc_hex("4B7e19D2", out, 4), 0);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x4B, 0x7E, 0x19, 0xD2}));
    EXPECT_NE(asc_hex("4B7", out, 4), 0);
}

}  // namespace
