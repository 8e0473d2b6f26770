// TEMIC driver against the bench's TEMIC encoder and AT88RF256 cards.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "base/result_codes.h"
#include "call_log.h"
#include "kestrane.h"
#include "media/temic.h"
#include "temic_bench.h"

namespace {

using bench::TemicCard;
using bench::TemicRecord;

constexpr int kComPort = 4;
const std::array<uint8_t, 4> kPassword = {{0xD2, 0x19, 0x7E, 0x4B}};
const bench::TemicBlock kId = {{0xA0, 0xA1, 0xA2, 0xA3}};
const std::array<uint8_t, 2> kIdentity = {{0x5C, 0x17}};

TemicCard Factory(const std::array<uint8_t, 4> &password = kPassword) {
    return bench::MakeFactoryTemicCard(kId, kIdentity, password);
}

// A card of this hotel whose record says what `edit` makes of the factory record.
TemicCard WithRecord(const std::function<void(TemicRecord &)> &edit) {
    TemicCard card = Factory();
    TemicRecord record{};
    EXPECT_TRUE(bench::ReadTemicRecord(card, &record));
    edit(record);
    bench::WriteTemicRecord(card, record);
    return card;
}

std::vector<int16_t> GuestImage() {
    std::vector<int16_t> image(32);
    for (int i = 0; i < 32; ++i) image[i] = static_cast<int16_t>(0x30 + i);
    image[0] = 26;  // year, not the cleared marker
    image[7] = 0x1FF;  // only the low byte reaches the card
    return image;
}

bool IsBlockWrite(const bench::Call &c) { return c.fn == "Command57" && c.args[3] == 2; }

size_t BlockWrites() {
    const std::vector<bench::Call> log = bench::CallLog();
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), IsBlockWrite));
}

std::vector<int64_t> Beeps() { return kstest::ArgOfEach("AT88RF256_12_Beep", 0); }

// The encoder is closed by the last call, with the 1-based port.
void ExpectClosedLast() {
    const std::vector<bench::Call> log = bench::CallLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().fn, "InitCommDev");
    EXPECT_EQ(log.back().fn, "CloseCommDev");
    EXPECT_EQ(log.back().args, std::vector<int64_t>{kComPort});
    EXPECT_EQ(bench::CallCount("InitCommDev"), 1u);
    EXPECT_EQ(bench::CallCount("CloseCommDev"), 1u);
}

class TemicDriver : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        g_encoder = kInitialEncoderState;
        g_encoder.LockType = kLockTemic;
        g_encoder.medium = MediumFor(g_encoder.LockType);
        g_encoder.PortNumber = kComPort;
        std::copy(kPassword.begin(), kPassword.end(), g_encoder.SystemPassword);
        bench::PlaceTemicEncoder(kComPort);
    }

    int16_t Write(std::vector<int16_t> image = GuestImage(), int16_t type = 4) {
        serial_.assign(8, -1);
        return TemicWriteCard(g_encoder, serial_.data(), image.data(), type);
    }
    int16_t Clear() {
        serial_.assign(8, -1);
        return TemicClearCard(g_encoder, serial_.data());
    }
    int16_t Read() {
        serial_.assign(8, -1);
        values_.assign(32, -1);
        return TemicReadCard(g_encoder, serial_.data(), values_.data());
    }
    int16_t Run(int op) { return op == 0 ? Write() : op == 1 ? Clear() : Read(); }

    std::vector<int16_t> serial_;
    std::vector<int16_t> values_;
};

TEST_F(TemicDriver, BenchCardsCarryTheLibrarysAccessCode) {
    EXPECT_TRUE(std::equal(bench::kTemicSystemAccessCode.begin(), bench::kTemicSystemAccessCode.end(), kTemicAccessCode));
    EXPECT_EQ(Factory().blocks[bench::kTemicAccessBlock], bench::kTemicSystemAccessCode);
}

TEST_F(TemicDriver, WriteThenReadReturnsTheRecord) {
    bench::PlaceTemicCard(Factory());
    const std::vector<int16_t> image = GuestImage();
    ASSERT_EQ(Write(image, 0x104), KS_OK);
    EXPECT_EQ(serial_, (std::vector<int16_t>{0x5C, 0x17, 0, 0, -1, -1, -1, -1}));
    EXPECT_EQ(bench::TemicBeeps(), std::vector<int>{3});

    TemicRecord onCard{};
    ASSERT_TRUE(bench::ReadTemicRecord(*bench::CurrentTemicCard(), &onCard));
    ASSERT_EQ(Read(), KS_OK);
    for (int i = 0; i < 20; ++i) { EXPECT_EQ(values_[i], image[i] & 0xFF) << "offset " << i; }
    EXPECT_EQ((std::vector<int16_t>(values_.begin() + 20, values_.begin() + 24)),
              (std::vector<int16_t>(kPassword.begin(), kPassword.end())));
    EXPECT_EQ(values_[24], 4);
    EXPECT_EQ(values_[25], kIdentity[0]);
    EXPECT_EQ(values_[26], kIdentity[1]);
    for (int i = 0; i < 28; ++i) { EXPECT_EQ(values_[i], onCard[i]) << "offset " << i; }
    for (int i = 28; i < 32; ++i) { EXPECT_EQ(values_[i], 0); }
    EXPECT_EQ(bench::CurrentTemicCard()->blocks[0], kId);  // the ID block is never written
}

TEST_F(TemicDriver, OneWriteOnTheWire) {
    const TemicCard before = Factory();
    bench::PlaceTemicCard(before);
    const std::vector<int16_t> image = GuestImage();
    ASSERT_EQ(Write(image), KS_OK);

    // What the card must hold, computed by the bench's own sealing.
    TemicRecord plain{};
    ASSERT_TRUE(bench::ReadTemicRecord(before, &plain));
    for (int i = 0; i < 25; ++i) plain[i] = static_cast<uint8_t>(image[i] & 0xFF);
    std::copy(kPassword.begin(), kPassword.end(), plain.begin() + 20);
    plain[24] = 4;
    TemicCard expectedCard = before;
    bench::WriteTemicRecord(expectedCard, plain);
    const TemicRecord oldRaw = bench::TemicRawRecord(before);
    const TemicRecord newRaw = bench::TemicRawRecord(expectedCard);
    EXPECT_EQ(bench::TemicRawRecord(*bench::CurrentTemicCard()), newRaw);

    struct Expected {
        std::string fn;
        std::vector<int64_t> args;
        std::vector<uint8_t> data;
    };
    std::vector<Expected> expected = {{"InitCommDev", {kComPort - 1}, {}}};
    auto blocks = [&](int op, const TemicRecord &raw) {
        for (int b = 1; b <= 7; ++b)
            expected.push_back({"Command57", {0, 0, 0, op, b}, {raw.begin() + (b - 1) * 4, raw.begin() + b * 4}});
    };
    blocks(3, oldRaw);
    blocks(2, newRaw);
    blocks(3, newRaw);
    expected.push_back({"AT88RF256_12_Beep", {3}, {}});
    expected.push_back({"CloseCommDev", {kComPort}, {}});

    const std::vector<bench::Call> log = bench::CallLog();
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].fn, expected[i].fn) << "call " << i;
        EXPECT_EQ(log[i].args, expected[i].args) << "call " << i;
        EXPECT_EQ(log[i].data, expected[i].data) << "call " << i;
        EXPECT_EQ(log[i].result, 0) << "call " << i;
    }
    EXPECT_EQ(bench::OpenCount("TEMIC"), 0);
}

// Cards the driver must refuse: the code each operation answers (write,
// clear, read), whether the write beeps its failure; nothing is written.
TEST_F(TemicDriver, RefusedCardsStayUnchanged) {
    struct Case {
        const char *name;
        std::function<TemicCard()> card;
        int16_t write, clear, read;
    };
    const std::vector<Case> cases = {
        {"record fails its check",
         [] {
             TemicCard c = Factory();
             c.blocks[3][2] ^= 0x10;
             return c;
         },
         KS_ERR_CARD_INVALID, KS_ERR_CARD_INVALID, KS_ERR_CARD_INVALID},
        {"card with another access code",
         [] {
             TemicCard c = Factory();
             c.blocks[bench::kTemicAccessBlock] = {{1, 2, 3, 4}};
             return c;
         },
         KS_ERR_COMM, KS_ERR_COMM, kResultNotFound},
        {"system password card",
         [] {
             return WithRecord([](TemicRecord &r) {
                 r[0] = 0;
                 r[24] = 1;
             });
         },
         KS_ERR_NOT_CLEARED, KS_ERR_CARD_INVALID, KS_OK},
        {"cleared card of another hotel", [] { return Factory({{1, 2, 3, 4}}); }, KS_ERR_OTHER_HOTEL, KS_OK, KS_OK},
        {"issued card of this hotel", [] { return WithRecord([](TemicRecord &r) { r[0] = 26; }); },
         KS_ERR_NOT_CLEARED, KS_OK, KS_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (int op = 0; op < 3; ++op) {
            const int16_t want = op == 0 ? c.write : op == 1 ? c.clear : c.read;
            bench::Reset();
            bench::PlaceTemicEncoder(kComPort);
            const TemicCard before = c.card();
            bench::PlaceTemicCard(before);
            EXPECT_EQ(Run(op), want) << "operation " << op;
            ExpectClosedLast();
            EXPECT_EQ(bench::OpenCount("TEMIC"), 0);
            if (op == 0) { EXPECT_EQ(Beeps(), std::vector<int64_t>{want == KS_OK ? 3 : 12}); }
            else EXPECT_TRUE(Beeps().empty());
            if (want != KS_OK || op == 2) {
                EXPECT_EQ(BlockWrites(), 0u) << "operation " << op;
                EXPECT_EQ(bench::CurrentTemicCard()->blocks, before.blocks) << "operation " << op;
            }
        }
    }
}

TEST_F(TemicDriver, ClearKeepsIdentityAndMakesTheCardIssuable) {
    const TemicCard issued = WithRecord([](TemicRecord &r) {
        for (int i = 0; i < 20; ++i) r[i] = static_cast<uint8_t>(0xF0 - i);
        r[24] = 4;
    });
    bench::PlaceTemicCard(issued);
    ASSERT_EQ(Write(), KS_ERR_NOT_CLEARED);
    ASSERT_EQ(Clear(), KS_OK);
    EXPECT_EQ(serial_, std::vector<int16_t>(8, -1));  // the clear leaves the caller's array alone
    TemicRecord before{}, after{};
    ASSERT_TRUE(bench::ReadTemicRecord(issued, &before));
    ASSERT_TRUE(bench::ReadTemicRecord(*bench::CurrentTemicCard(), &after));
    EXPECT_EQ(after[0], 0x63);
    for (int i = 1; i < 16; ++i) { EXPECT_EQ(after[i], i + 1) << "offset " << i; }
    for (int i = 16; i < 27; ++i) { EXPECT_EQ(after[i], before[i]) << "offset " << i; }
    bench::ClearCallLog();
    EXPECT_EQ(Write(), KS_OK);
    EXPECT_EQ(Beeps(), std::vector<int64_t>{3});
}

TEST_F(TemicDriver, EncoderThatDoesNotOpen) {
    struct Case {
        const char *name;
        int16_t status;    // what InitCommDev answers
        int16_t expected;  // what every operation returns
    };
    const std::vector<Case> cases = {
        {"device status passed on", bench::kTemicNoEncoder, bench::kTemicNoEncoder},
        {"another device status", 0x7F01, 0x7F01},
        // A status that would read as success, a cleared card or "not found"
        // inside the library must not reach the host as such.
        {"status 1", 1, KS_ERR_COMM},
        {"status 0x14", 0x14, KS_ERR_COMM},
        {"status -1", -1, KS_ERR_COMM},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (int op = 0; op < 3; ++op) {
            bench::Reset();
            bench::PlaceTemicEncoder(kComPort + 1);  // the encoder sits elsewhere
            bench::SetTemicNoEncoderStatus(c.status);
            bench::PlaceTemicCard(Factory());
            EXPECT_EQ(Run(op), c.expected) << "operation " << op;
            ExpectClosedLast();
            EXPECT_EQ(bench::CallCount("Command57"), 0u);
            EXPECT_EQ(Beeps(), op == 0 ? std::vector<int64_t>{12} : std::vector<int64_t>{});
        }
    }
}

TEST_F(TemicDriver, LostBlockWriteIsCaughtByTheReadBack) {
    for (int lost = 1; lost <= 7; ++lost) {
        SCOPED_TRACE("block " + std::to_string(lost));
        bench::Reset();
        bench::PlaceTemicEncoder(kComPort);
        bench::PlaceTemicCard(Factory());
        bench::TemicDropBlockWrite(lost);
        EXPECT_EQ(Write(), KS_ERR_COMM);
        EXPECT_EQ(Beeps(), std::vector<int64_t>{12});
        ExpectClosedLast();
    }
}

TEST_F(TemicDriver, NullArraysAreRefusedBeforeTheEncoder) {
    std::vector<int16_t> a(32, 0);
    bench::PlaceTemicCard(Factory());
    EXPECT_EQ(TemicWriteCard(g_encoder, nullptr, a.data(), 4), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(TemicWriteCard(g_encoder, a.data(), nullptr, 4), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(TemicReadCard(g_encoder, a.data(), nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(bench::TotalCalls(), 0u);
    EXPECT_EQ(TemicClearCard(g_encoder, nullptr), KS_OK);  // the clear never touches the array
}

// A fault at every vendor call: a documented code comes back, CloseCommDev
// is the last call, nothing is written before the checks passed, and the
// operation succeeds once the fault is gone.
TEST_F(TemicDriver, FaultAtEveryCallClosesTheEncoder) {
    const std::vector<std::vector<int16_t>> allowed = {
        {KS_OK, KS_ERR_COMM, KS_ERR_CARD_INVALID, bench::kTemicFaulted},
        {KS_OK, KS_ERR_COMM, KS_ERR_CARD_INVALID, bench::kTemicFaulted},
        {KS_OK, kResultNotFound, KS_ERR_CARD_INVALID, bench::kTemicFaulted},
    };
    for (int op = 0; op < 3; ++op) {
        bench::Reset();
        bench::PlaceTemicEncoder(kComPort);
        bench::PlaceTemicCard(Factory());
        ASSERT_EQ(Run(op), KS_OK);
        const size_t calls = bench::TotalCalls();
        for (bench::FaultKind kind : {bench::FaultKind::FailOnce, bench::FaultKind::RemoveCard}) {
            for (size_t nth = 1; nth <= calls; ++nth) {
                SCOPED_TRACE("operation " + std::to_string(op) + " fault at call " + std::to_string(nth) +
                             (kind == bench::FaultKind::RemoveCard ? " (card removed)" : ""));
                bench::Reset();
                bench::PlaceTemicEncoder(kComPort);
                bench::PlaceTemicCard(Factory());
                bench::ArmFault(static_cast<int>(nth), kind);
                const int16_t result = Run(op);
                EXPECT_NE(std::find(allowed[op].begin(), allowed[op].end(), result), allowed[op].end()) << result;
                ExpectClosedLast();
                const std::vector<bench::Call> log = bench::CallLog();
                if (!log.back().faulted) { EXPECT_EQ(bench::OpenCount("TEMIC"), 0); }
                // No block write before all seven blocks were read and checked.
                size_t reads = 0;
                for (const bench::Call &c : log) {
                    if (c.fn == "Command57" && c.args[3] == 3 && c.result == 0) ++reads;
                    if (IsBlockWrite(c)) { EXPECT_GE(reads, 7u); }
                }
                if (op == 0) { EXPECT_EQ(Beeps(), std::vector<int64_t>{result == KS_OK ? 3 : 12}); }

                bench::Reset();
                bench::PlaceTemicEncoder(kComPort);
                bench::PlaceTemicCard(Factory());
                EXPECT_EQ(Run(op), KS_OK);
            }
        }
    }
}

}  // namespace
