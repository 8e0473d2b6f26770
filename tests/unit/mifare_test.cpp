// Mifare driver against the bench's RC500 reader and Mifare Classic cards.
#include <sstream>
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "base/result_codes.h"
#include "call_log.h"
#include "kestrane.h"
#include "media/mifare.h"
#include "mifare_bench.h"
#include "test_support.h"

namespace {

using bench::MifareCard;

constexpr int kComPort = 3;
constexpr uint8_t kSector = 1;
const std::array<uint8_t, 4> kPassword = {{0xD2, 0x19, 0x7E, 0x4B}};  // Pass=4B7E19D2
const bench::MifareUid kUid = {{0x11, 0x22, 0x33, 0x44}};

std::vector<int16_t> Elements(const std::vector<uint8_t> &bytes, size_t size) {
    std::vector<int16_t> out(size, 0);
    for (size_t i = 0; i < bytes.size() && i < size; ++i) out[i] = bytes[i];
    return out;
}

std::vector<uint8_t> Bytes(const bench::MifareBlock &block) { return {block.begin(), block.end()}; }

// The guest image of the published vector, as MakeGuestCard hands it to the driver.
std::vector<int16_t> GuestImage() {
    std::vector<int16_t> image(64);
    for (int i = 0; i < 64; ++i) image[i] = static_cast<int16_t>(i);  // fill pattern past byte 47
    const std::vector<uint8_t> bytes = kstest::Hex(kstest::VectorLine("guest-card-mifare.txt", "image bytes 0..47 before the driver"));
    EXPECT_EQ(bytes.size(), 48u);
    for (size_t i = 0; i < bytes.size(); ++i) image[i] = bytes[i];
    return image;
}

size_t Writes() { return bench::CallCount("RC500_232_write"); }

// Every reader connection in the log (from one init to the next) ends with
// reset(0), close, exit, and nothing stays open.
void ExpectEveryConnectionClosed() {
    const std::vector<bench::Call> log = bench::CallLog();
    std::vector<size_t> inits;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].fn == "RC500_232_init") inits.push_back(i);
    ASSERT_FALSE(inits.empty());
    for (size_t k = 0; k < inits.size(); ++k) {
        const size_t end = k + 1 < inits.size() ? inits[k + 1] : log.size();
        ASSERT_GE(end - inits[k], 4u) << "connection " << k;
        EXPECT_EQ(log[end - 3].fn, "RC500_232_reset") << "connection " << k;
        EXPECT_EQ(log[end - 3].args, std::vector<int64_t>{0});
        EXPECT_EQ(log[end - 2].fn, "RC500_232_close") << "connection " << k;
        EXPECT_EQ(log[end - 1].fn, "RC500_232_exit") << "connection " << k;
    }
}

class MifareDriver : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        g_encoder = kInitialEncoderState;
        g_encoder.LockType = kLockMifare;
        g_encoder.medium = MediumFor(g_encoder.LockType);
        g_encoder.PortNumber = kComPort;
        std::copy(kPassword.begin(), kPassword.end(), g_encoder.SystemPassword);
        g_encoder.MifareSector = kSector;
        bench::PlaceRc500Reader(kComPort);
    }

    static MifareCard Factory(const bench::MifareUid &uid = kUid, int sector = kSector) {
        return bench::MakeFactoryMifareCard(uid, kPassword, sector);
    }

    int16_t Write(std::vector<int16_t> image, int16_t type = 4) {
        serial_.assign(8, -1);
        return MifareWriteCard(g_encoder, serial_.data(), image.data(), type);
    }
    int16_t Read() {
        serial_.assign(8, -1);
        image_.assign(64, -1);
        return MifareReadCard(g_encoder, serial_.data(), image_.data());
    }
    int16_t Clear() {
        serial_.assign(8, -1);
        return MifareClearCard(g_encoder, serial_.data());
    }

    std::vector<int16_t> serial_;
    std::vector<int16_t> image_;
};

TEST_F(MifareDriver, SectorKeysMatchPublishedVectors) {
    std::istringstream in(kstest::VectorFile("codec.txt"));
    const std::regex line(R"(mifare_sector_key\(serial=([0-9A-F ]+), password=([0-9A-F ]+)\): ([0-9A-F ]+))");
    int checked = 0;
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) continue;
        const std::vector<uint8_t> serial = kstest::Hex(m[1]), password = kstest::Hex(m[2]), key = kstest::Hex(m[3]);
        ASSERT_EQ(serial.size(), 4u);
        uint8_t derived[6];
        DeriveMifareSectorKey(serial.data(), password.data(), derived);
        EXPECT_EQ(std::vector<uint8_t>(derived, derived + 6), key) << text;
        const bench::MifareKey benchKey = bench::MifareSectorKeyFor({{serial[0], serial[1], serial[2], serial[3]}},
                                                                    {{password[0], password[1], password[2], password[3]}});
        EXPECT_EQ(std::vector<uint8_t>(benchKey.begin(), benchKey.end()), key) << text;
        ++checked;
    }
    EXPECT_GE(checked, 2);
}

TEST_F(MifareDriver, GuestCardVectorLandsByteForByte) {
    const MifareCard blank = Factory();
    bench::PlaceMifareCard(blank);
    ASSERT_EQ(Write(GuestImage()), KS_OK);
    EXPECT_EQ(serial_, (std::vector<int16_t>{0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0}));

    const MifareCard card = *bench::CurrentMifareCard();
    for (int block : {4, 5, 6})
        EXPECT_EQ(Bytes(card.Block(block)), kstest::Hex(kstest::VectorLine("guest-card-mifare.txt", "block " + std::to_string(block))))
            << "block " << block;
    const bench::MifareKey keyA = card.KeyA(kSector);
    EXPECT_EQ(std::vector<uint8_t>(keyA.begin(), keyA.end()),
              kstest::Hex(kstest::VectorLine("guest-card-mifare.txt", "sector 1 key A (the card's sector key)")));
    // The trailer is never written, and no other sector changed.
    for (int block = 0; block < card.BlockCount(); ++block)
        if (block < 4 || block > 6) { EXPECT_EQ(card.Block(block), blank.Block(block)) << "block " << block; }
}

TEST_F(MifareDriver, WrittenCardHoldsSealedRecordAndPlainTail) {
    bench::PlaceMifareCard(Factory());
    std::vector<int16_t> image = GuestImage();
    image[40] = 0x1AB;  // only the low byte reaches the card
    ASSERT_EQ(Write(image, 0x10C), KS_OK);

    std::array<uint8_t, 48> onCard{};
    ASSERT_TRUE(bench::ReadMifareRecord(*bench::CurrentMifareCard(), kSector, &onCard));
    for (int i = 0; i < 48; ++i) {
        if (i >= 20 && i <= 26) continue;
        EXPECT_EQ(onCard[i], image[i] & 0xFF) << "byte " << i;
    }
    EXPECT_EQ(std::vector<uint8_t>(onCard.begin() + 20, onCard.begin() + 24),
              std::vector<uint8_t>(kPassword.begin(), kPassword.end()));
    EXPECT_EQ(onCard[24], 0x0C);

    // The driver's own read returns the same bytes, elements 48-63 zero.
    ASSERT_EQ(Read(), KS_OK);
    for (int i = 0; i < 48; ++i) { EXPECT_EQ(image_[i], onCard[i]) << "element " << i; }
    for (int i = 48; i < 64; ++i) { EXPECT_EQ(image_[i], 0) << "element " << i; }
    EXPECT_EQ(serial_, (std::vector<int16_t>{0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0}));
}

TEST_F(MifareDriver, OneWriteOnTheWire) {
    bench::PlaceMifareCard(Factory());
    const std::vector<int16_t> image = GuestImage();
    ASSERT_EQ(Write(image), KS_OK);
    const MifareCard card = *bench::CurrentMifareCard();
    const bench::MifareKey k = bench::MifareSectorKeyFor(kUid, kPassword);
    const std::vector<uint8_t> key(k.begin(), k.end());
    const std::vector<uint8_t> cleared = [] {
        std::vector<uint8_t> b;
        const MifareCard fresh = Factory();
        for (int block : {4, 5, 6}) {
            const bench::MifareBlock x = fresh.Block(block);
            b.insert(b.end(), x.begin(), x.end());
        }
        return b;
    }();
    auto part = [](const std::vector<uint8_t> &v, int block) {
        return std::vector<uint8_t>(v.begin() + (block - 4) * 16, v.begin() + (block - 3) * 16);
    };
    struct Expected {
        std::string fn;
        std::vector<int64_t> args;
        std::vector<uint8_t> data;  // empty: not compared
    };
    const std::vector<uint8_t> serialBytes = {0x11, 0x22, 0x33, 0x44};
    std::vector<Expected> expected;
    auto open = [&] {
        expected.push_back({"RC500_232_init", {kComPort, 19200}, {}});
        expected.push_back({"RC500_232_config", {}, {}});
        expected.push_back({"RC500_232_request", {1}, {}});
        expected.push_back({"RC500_232_anticoll", {0}, serialBytes});
        expected.push_back({"RC500_232_select", {0x44332211}, {0x08}});
        expected.push_back({"RC500_232_authkey", {0, kSector}, key});
    };
    auto close = [&] {
        expected.push_back({"RC500_232_reset", {0}, {}});
        expected.push_back({"RC500_232_close", {}, {}});
        expected.push_back({"RC500_232_exit", {}, {}});
    };
    open();  // the blank-card check
    for (int block : {4, 5, 6}) expected.push_back({"RC500_232_read", {block}, part(cleared, block)});
    close();
    open();  // the write
    for (int block : {4, 5, 6}) expected.push_back({"RC500_232_write", {block}, Bytes(card.Block(block))});
    close();

    const std::vector<bench::Call> log = bench::CallLog();
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].fn, expected[i].fn) << "call " << i;
        EXPECT_EQ(log[i].args, expected[i].args) << "call " << i << " " << log[i].fn;
        if (!expected[i].data.empty()) { EXPECT_EQ(log[i].data, expected[i].data) << "call " << i << " " << log[i].fn; }
    }
    EXPECT_EQ(bench::OpenCount("RC500"), 0);
}

TEST_F(MifareDriver, Sector15UsesBlocks60To62) {
    g_encoder.MifareSector = 15;
    bench::PlaceMifareCard(Factory(kUid, 15));
    ASSERT_EQ(Write(GuestImage()), KS_OK);
    std::vector<int64_t> blocks;
    for (const bench::Call &c : bench::CallLog()) {
        if (c.fn == "RC500_232_read" || c.fn == "RC500_232_write") blocks.push_back(c.args[0]);
        if (c.fn == "RC500_232_authkey") { EXPECT_EQ(c.args, (std::vector<int64_t>{0, 15})); }
    }
    EXPECT_EQ(blocks, (std::vector<int64_t>{60, 61, 62, 60, 61, 62}));
    std::array<uint8_t, 48> onCard{};
    ASSERT_TRUE(bench::ReadMifareRecord(*bench::CurrentMifareCard(), 15, &onCard));
    EXPECT_EQ(onCard[24], 4);
}

// Cards every operation must refuse without writing, with the code each answers.
struct Refusal {
    const char *name;
    std::function<MifareCard()> card;
    int16_t write, read, clear;
};

TEST_F(MifareDriver, RefusedCardsStayUnchanged) {
    const std::vector<Refusal> cases = {
        {"4K card (size code 0x18)", [] { return bench::MakeFactoryMifareCard(kUid, kPassword, kSector, true); },
         KS_ERR_NOT_MIFARE_1K, KS_ERR_NOT_MIFARE_1K, KS_ERR_COMM},
        {"sector keyed for another hotel", [] { return bench::MakeFactoryMifareCard(kUid, {{1, 2, 3, 4}}, kSector); },
         KS_ERR_COMM, KS_ERR_COMM, KS_ERR_COMM},
        {"blank card, transport keys", [] { return bench::MifareBlankCard(kUid); }, KS_ERR_COMM, KS_ERR_COMM, KS_ERR_COMM},
        {"record sealed to another first serial byte",
         [] {
             // The three blocks of a card issued with serial 12 22 33 44, copied.
             MifareCard source = bench::MakeFactoryMifareCard({{0x12, 0x22, 0x33, 0x44}}, kPassword, kSector);
             std::array<uint8_t, 48> image{};
             for (int i = 0; i < 48; ++i) image[i] = static_cast<uint8_t>(i);
             image[0] = 0x63;
             bench::WriteMifareRecord(source, kSector, image);
             MifareCard target = Factory();
             for (int block : {4, 5, 6}) target.SetBlock(block, source.Block(block));
             return target;
         },
         KS_ERR_COMM, KS_ERR_COMM, KS_ERR_COMM},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.name);
        for (int op = 0; op < 3; ++op) {
            bench::Reset();
            bench::PlaceRc500Reader(kComPort);
            const MifareCard before = c.card();
            bench::PlaceMifareCard(before);
            const int16_t result = op == 0 ? Write(GuestImage()) : op == 1 ? Read() : Clear();
            EXPECT_EQ(result, op == 0 ? c.write : op == 1 ? c.read : c.clear) << "operation " << op;
            EXPECT_EQ(Writes(), 0u) << "operation " << op;
            EXPECT_EQ(bench::CurrentMifareCard()->memory, before.memory) << "operation " << op;
            ExpectEveryConnectionClosed();
            EXPECT_EQ(bench::OpenCount("RC500"), 0);
        }
    }
}

TEST_F(MifareDriver, IssuedCardIsRefusedUntilCleared) {
    bench::PlaceMifareCard(Factory());
    ASSERT_EQ(Write(GuestImage()), KS_OK);
    EXPECT_EQ(MifareCheckCleared(g_encoder), KS_ERR_NOT_CLEARED);
    const MifareCard issued = *bench::CurrentMifareCard();
    bench::ClearCallLog();
    EXPECT_EQ(Write(GuestImage()), KS_ERR_NOT_CLEARED);
    EXPECT_EQ(Writes(), 0u);
    EXPECT_EQ(bench::CurrentMifareCard()->memory, issued.memory);

    ASSERT_EQ(Clear(), KS_OK);
    EXPECT_EQ(serial_, (std::vector<int16_t>{0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0}));
    EXPECT_EQ(MifareCheckCleared(g_encoder), kResultCleared);
    // A cleared card is the factory's first record again, extension block zero.
    const MifareCard cleared = *bench::CurrentMifareCard();
    const MifareCard factory = Factory();
    for (int block : {4, 5, 6}) { EXPECT_EQ(cleared.Block(block), factory.Block(block)) << "block " << block; }
    EXPECT_EQ(Write(GuestImage()), KS_OK);
}

TEST_F(MifareDriver, SystemPasswordCardIsNeverCleared) {
    MifareCard card = Factory();
    bench::AddMifareSystemPasswordRecord(card, kPassword, kPassword, 0x5E, kSector);
    bench::PlaceMifareCard(card);
    EXPECT_EQ(Clear(), KS_ERR_NOT_MIFARE_1K);
    EXPECT_EQ(Writes(), 0u);
    EXPECT_EQ(bench::CurrentMifareCard()->memory, card.memory);
    ExpectEveryConnectionClosed();
    // It reads, though: type 1, its password at 10-13, the extra byte at 14.
    ASSERT_EQ(Read(), KS_OK);
    EXPECT_EQ(image_[24], 1);
    EXPECT_EQ(image_[14], 0x5E);
    EXPECT_EQ((std::vector<int16_t>(image_.begin() + 10, image_.begin() + 14)), Elements({kPassword.begin(), kPassword.end()}, 4));
}

// A card swapped in between the check and the write has passed no check:
// the driver must not write on it.
TEST_F(MifareDriver, CardSwappedBetweenConnectionsIsNotWritten) {
    MifareCard issued = Factory({{0x77, 0x22, 0x33, 0x44}});
    std::array<uint8_t, 48> guest{};
    for (int i = 0; i < 48; ++i) guest[i] = static_cast<uint8_t>(i);  // byte 0 is not the cleared marker
    bench::WriteMifareRecord(issued, kSector, guest);
    MifareCard passwordCard = Factory({{0x78, 0x22, 0x33, 0x44}});
    bench::AddMifareSystemPasswordRecord(passwordCard, kPassword, kPassword, 0, kSector);

    struct Case {
        const char *name;
        MifareCard swapIn;
        std::function<int16_t()> run;
    };
    const std::vector<Case> cases = {
        {"write: an issued card comes in", issued, [this] { return Write(GuestImage()); }},
        {"clear: a system password card comes in", passwordCard, [this] { return Clear(); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bench::Reset();
        bench::PlaceRc500Reader(kComPort);
        bench::PlaceMifareCard(Factory());
        bench::SwapMifareCardBeforeInit(2, c.swapIn);
        EXPECT_EQ(c.run(), KS_ERR_COMM);
        EXPECT_EQ(Writes(), 0u);
        EXPECT_EQ(bench::CurrentMifareCard()->memory, c.swapIn.memory);
        ExpectEveryConnectionClosed();
    }
}

TEST_F(MifareDriver, ReadSerialNumberWithoutEncodeInit) {
    g_encoder = kInitialEncoderState;  // M1_ReadSn needs none of it
    std::vector<int16_t> values = {kComPort, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(M1_ReadSn(values.data()), KS_ERR_COMM);  // no card
    EXPECT_EQ(values, (std::vector<int16_t>{kComPort, 9, 9, 9, 9, 9, 9, 9}));
    ExpectEveryConnectionClosed();

    bench::PlaceMifareCard(bench::MifareBlankCard({{0xDE, 0xAD, 0xBE, 0xEF}}, true));  // any size code will do
    bench::ClearCallLog();
    ASSERT_EQ(M1_ReadSn(values.data()), KS_OK);
    EXPECT_EQ(values, (std::vector<int16_t>{0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0}));
    EXPECT_EQ(kstest::CallNames(), (std::vector<std::string>{"RC500_232_init", "RC500_232_config", "RC500_232_request",
                                             "RC500_232_anticoll", "RC500_232_select", "RC500_232_exit",
                                             "RC500_232_reset", "RC500_232_close", "RC500_232_exit"}));
    EXPECT_EQ(bench::CallLog()[0].args, (std::vector<int64_t>{kComPort, 19200}));
    EXPECT_EQ(bench::OpenCount("RC500"), 0);

    // The port comes from element 0: another port finds no reader.
    values = {kComPort + 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(M1_ReadSn(values.data()), KS_ERR_COMM);
    EXPECT_EQ(bench::OpenCount("RC500"), 0);
}

TEST_F(MifareDriver, NullArraysAreRefusedBeforeTheReader) {
    std::vector<int16_t> a(64, 0), b(64, 0);
    bench::PlaceMifareCard(Factory());
    EXPECT_EQ(M1_ReadSn(nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(MifareReadCard(g_encoder, nullptr, a.data()), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(MifareReadCard(g_encoder, a.data(), nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(MifareWriteCard(g_encoder, nullptr, a.data(), 4), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(MifareWriteCard(g_encoder, a.data(), nullptr, 4), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(MifareClearCard(g_encoder, nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(bench::TotalCalls(), 0u);
}

// A fault at every vendor call of each operation: a documented code comes
// back, every connection ends with the closing sequence, nothing is written
// unless the blank-card check (or the clear's read) passed, and the same
// operation succeeds on the next attempt.
TEST_F(MifareDriver, FaultAtEveryCallClosesTheReader) {
    struct Op {
        const char *name;
        std::function<int16_t()> run;
        std::vector<int16_t> allowed;
    };
    const std::vector<Op> ops = {
        {"write", [this] { return Write(GuestImage()); }, {KS_OK, KS_ERR_COMM, KS_ERR_NOT_MIFARE_1K}},
        {"read", [this] { return Read(); }, {KS_OK, KS_ERR_COMM, KS_ERR_NOT_MIFARE_1K}},
        {"clear", [this] { return Clear(); }, {KS_OK, KS_ERR_COMM, KS_ERR_NOT_MIFARE_1K}},
        {"serial", [] { std::vector<int16_t> v = {kComPort, 0, 0, 0, 0, 0, 0, 0}; return M1_ReadSn(v.data()); },
         {KS_OK, KS_ERR_COMM}},
    };
    for (const Op &op : ops) {
        bench::Reset();
        bench::PlaceRc500Reader(kComPort);
        bench::PlaceMifareCard(Factory());
        ASSERT_EQ(op.run(), KS_OK) << op.name;
        const size_t calls = bench::TotalCalls();
        for (bench::FaultKind kind : {bench::FaultKind::FailOnce, bench::FaultKind::RemoveCard}) {
            for (size_t nth = 1; nth <= calls; ++nth) {
                SCOPED_TRACE(std::string(op.name) + " fault at call " + std::to_string(nth) +
                             (kind == bench::FaultKind::RemoveCard ? " (card removed)" : ""));
                bench::Reset();
                bench::PlaceRc500Reader(kComPort);
                const MifareCard before = Factory();
                bench::PlaceMifareCard(before);
                bench::ArmFault(static_cast<int>(nth), kind);
                const int16_t result = op.run();
                EXPECT_NE(std::find(op.allowed.begin(), op.allowed.end(), result), op.allowed.end()) << result;
                ExpectEveryConnectionClosed();
                const std::vector<bench::Call> log = bench::CallLog();
                const bool exitFaulted = log.back().fn == "RC500_232_exit" && log.back().faulted;
                if (!exitFaulted) { EXPECT_EQ(bench::OpenCount("RC500"), 0); }
                // Writes happen only on the second connection, after the first passed.
                size_t inits = 0;
                for (const bench::Call &c : log) {
                    inits += c.fn == "RC500_232_init";
                    if (c.fn == "RC500_232_write") { EXPECT_EQ(inits, 2u); }
                }
                // The fault gone, the operation works on a fresh card.
                bench::Reset();
                bench::PlaceRc500Reader(kComPort);
                bench::PlaceMifareCard(before);
                EXPECT_EQ(op.run(), KS_OK);
            }
        }
    }
}

}  // namespace
