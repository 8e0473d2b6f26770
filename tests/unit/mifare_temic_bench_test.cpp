// The bench's Mifare and TEMIC models: its own card-system codec against the
// published answers, card dumps, and the reader and encoder rules that the
// driver tests rely on to catch faults.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "devices/mifare_temic_codec.h"
#include "media/vendor/clsic32.h"
#include "media/vendor/rc500_232.h"
#include "mifare_bench.h"
#include "temic_bench.h"
#include "test_support.h"

namespace {

using bench::cardsys::Record;

Record VectorRecord(const std::string &name) {
    const std::vector<uint8_t> bytes = kstest::Hex(kstest::VectorLine("codec.txt", name));
    Record r{};
    EXPECT_EQ(bytes.size(), r.size()) << name;
    std::copy_n(bytes.begin(), std::min(bytes.size(), r.size()), r.begin());
    return r;
}

TEST(BenchCodec, MatchesPublishedAnswers) {
    const Record record = VectorRecord("record");
    EXPECT_EQ(bench::cardsys::Encipher(record), VectorRecord("encipher(record, 28)"));
    EXPECT_EQ(bench::cardsys::SealSerialBound(record, 0x5A), VectorRecord("seal_serial_bound(record, S=0x5A)"));
    EXPECT_EQ(bench::cardsys::SealTrailing(record), VectorRecord("seal_trailing(record)"));
    EXPECT_EQ(bench::cardsys::Decipher(bench::cardsys::Encipher(record)), record);

    Record plain{};
    EXPECT_TRUE(bench::cardsys::OpenSerialBound(bench::cardsys::SealSerialBound(record, 0x5A), 0x5A, &plain));
    EXPECT_FALSE(bench::cardsys::OpenSerialBound(bench::cardsys::SealSerialBound(record, 0x5A), 0x5B, &plain));
    EXPECT_TRUE(bench::cardsys::OpenTrailing(bench::cardsys::SealTrailing(record), &plain));
}

TEST(BenchCards, DumpsRoundTripThroughFiles) {
    const std::string dir = kstest::TempDir();
    bench::MifareCard card = bench::MakeFactoryMifareCard({{1, 2, 3, 4}}, {{5, 6, 7, 8}}, 2);
    ASSERT_TRUE(bench::SaveMifareCard(card, dir + "/card.mfd"));
    bench::MifareCard loaded;
    ASSERT_TRUE(bench::LoadMifareCard(dir + "/card.mfd", &loaded));
    EXPECT_EQ(loaded.memory, card.memory);
    EXPECT_EQ(loaded.memory.size(), bench::kMifare1KSize);
    EXPECT_FALSE(bench::MifareCardFromDump(std::vector<uint8_t>(1023), &loaded));
    EXPECT_FALSE(bench::LoadMifareCard(dir + "/missing.mfd", &loaded));

    bench::TemicCard temic = bench::MakeFactoryTemicCard({{9, 8, 7, 6}}, {{1, 2}}, {{5, 6, 7, 8}});
    ASSERT_TRUE(bench::SaveTemicCard(temic, dir + "/card.temic"));
    bench::TemicCard temicLoaded;
    ASSERT_TRUE(bench::LoadTemicCard(dir + "/card.temic", &temicLoaded));
    EXPECT_EQ(temicLoaded.blocks, temic.blocks);
    EXPECT_FALSE(bench::TemicCardFromDump(std::vector<uint8_t>(41), &temicLoaded));
}

TEST(BenchCards, ClassicLayouts) {
    const bench::MifareCard k1 = bench::MifareBlankCard({{0x11, 0x22, 0x33, 0x44}});
    EXPECT_EQ(k1.SectorCount(), 16);
    EXPECT_EQ(k1.Sak(), bench::kMifareSak1K);
    EXPECT_EQ(k1.memory[4], 0x11 ^ 0x22 ^ 0x33 ^ 0x44);  // BCC
    EXPECT_EQ(k1.TrailerBlock(15), 63);
    const bench::MifareCard k4 = bench::MifareBlankCard({{1, 2, 3, 4}}, true);
    EXPECT_EQ(k4.memory.size(), bench::kMifare4KSize);
    EXPECT_EQ(k4.SectorCount(), 40);
    EXPECT_EQ(k4.Sak(), bench::kMifareSak4K);
    EXPECT_EQ(k4.FirstBlock(32), 128);
    EXPECT_EQ(k4.TrailerBlock(39), 255);
    EXPECT_EQ(k4.SectorOfBlock(143), 32);
    EXPECT_EQ(k4.SectorOfBlock(144), 33);
}

class BenchReader : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        bench::PlaceRc500Reader(2);
    }
    static uint8_t Low(int16_t status) { return static_cast<uint8_t>(status & 0xFF); }

    // init, request, anticoll, select on the card in the field.
    static uint32_t Connect() {
        RC500_232_init(2, 19200);
        uint8_t answer[4];
        uint32_t serial = 0;
        uint8_t size[4];
        EXPECT_EQ(Low(RC500_232_request(1, answer)), 0);
        EXPECT_EQ(Low(RC500_232_anticoll(0, &serial)), 0);
        EXPECT_EQ(Low(RC500_232_select(serial, size)), 0);
        return serial;
    }
};

TEST_F(BenchReader, ConnectionOnlyOnTheReadersPort) {
    bench::PlaceMifareCard(bench::MifareBlankCard({{1, 2, 3, 4}}));
    uint8_t answer[4];
    EXPECT_EQ(Low(RC500_232_init(3, 19200)), bench::kRc500NoConnection);
    EXPECT_EQ(Low(RC500_232_request(1, answer)), bench::kRc500NoConnection);
    EXPECT_EQ(bench::OpenCount("RC500"), 0);

    const int16_t status = RC500_232_init(2, 19200);
    EXPECT_EQ(Low(status), 0);
    EXPECT_EQ(status & 0xFF00, bench::kRc500StatusNoise);  // only the low byte is defined
    RC500_232_init(2, 19200);
    EXPECT_EQ(bench::OpenCount("RC500"), 1);
    EXPECT_EQ(Low(RC500_232_exit()), 0);
    EXPECT_EQ(bench::OpenCount("RC500"), 0);
    EXPECT_EQ(Low(RC500_232_exit()), bench::kRc500NoConnection);
}

TEST_F(BenchReader, BlocksOnlyInTheAuthenticatedSector) {
    const bench::MifareKey transport = {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    const bench::MifareKey wrong = {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}};
    bench::PlaceMifareCard(bench::MifareBlankCard({{1, 2, 3, 4}}));
    const uint32_t serial = Connect();
    EXPECT_EQ(serial, 0x04030201u);
    uint8_t block[16] = {};
    EXPECT_EQ(Low(RC500_232_read(4, block)), bench::kRc500NotAuthorised);
    EXPECT_EQ(Low(RC500_232_authkey(0, 1, wrong.data())), bench::kRc500AuthFailed);
    EXPECT_EQ(Low(RC500_232_authkey(0, 1, transport.data())), bench::kRc500WrongState);  // halted: select again

    Connect();
    ASSERT_EQ(Low(RC500_232_authkey(0, 1, transport.data())), 0);
    const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(Low(RC500_232_write(5, data)), 0);
    EXPECT_EQ(Low(RC500_232_read(5, block)), 0);
    EXPECT_EQ(std::vector<uint8_t>(block, block + 16), std::vector<uint8_t>(data, data + 16));
    EXPECT_EQ(Low(RC500_232_read(8, block)), bench::kRc500NotAuthorised);
    EXPECT_EQ(Low(RC500_232_read(7, block)), 0);  // the trailer: key A reads as zeros
    EXPECT_EQ(std::vector<uint8_t>(block, block + 6), std::vector<uint8_t>(6, 0));
    EXPECT_EQ(Low(RC500_232_authkey(0, 16, transport.data())), bench::kRc500AuthFailed);  // a 1K has 16 sectors

    Connect();
    ASSERT_EQ(Low(RC500_232_authkey(0, 0, transport.data())), 0);
    EXPECT_EQ(Low(RC500_232_write(0, data)), bench::kRc500NotAuthorised);  // manufacturer block
    EXPECT_EQ(bench::CurrentMifareCard()->Block(5)[0], 1);
    EXPECT_EQ(bench::CurrentMifareCard()->Uid(), (bench::MifareUid{{1, 2, 3, 4}}));

    uint8_t size[4];
    RC500_232_reset(0);
    uint8_t answer[4];
    RC500_232_request(1, answer);
    EXPECT_EQ(Low(RC500_232_select(0x04030299, size)), bench::kRc500NoCard);  // nobody has that serial
    RC500_232_exit();
}

class BenchTemic : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        bench::PlaceTemicEncoder(6);
        bench::PlaceTemicCard(bench::MakeFactoryTemicCard({{9, 8, 7, 6}}, {{1, 2}}, {{5, 6, 7, 8}}));
    }
    static int16_t Block(int op, uint8_t block, uint8_t *data, const uint8_t *code = bench::kTemicSystemAccessCode.data()) {
        return Command57(0, 0, code, 0, op, block, data);
    }
};

TEST_F(BenchTemic, EncoderAndAccessCodeRules) {
    uint8_t data[4] = {};
    EXPECT_EQ(InitCommDev(6), bench::kTemicNoEncoder);  // COM7: nothing there
    EXPECT_EQ(Block(3, 1, data), bench::kTemicNotOpen);
    ASSERT_EQ(InitCommDev(5), 0);
    EXPECT_EQ(bench::OpenCount("TEMIC"), 1);

    EXPECT_EQ(Block(3, 0, data), 0);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 4), (std::vector<uint8_t>{9, 8, 7, 6}));
    const uint8_t wrong[4] = {0, 0, 0, 0};
    EXPECT_EQ(Block(3, 1, data, wrong), bench::kTemicDenied);
    EXPECT_EQ(Block(3, bench::kTemicAccessBlock, data), bench::kTemicDenied);
    EXPECT_EQ(Block(2, 0, data), bench::kTemicDenied);
    EXPECT_EQ(Block(2, 8, data), bench::kTemicDenied);
    const uint8_t value[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    std::copy(value, value + 4, data);
    EXPECT_EQ(Block(2, 7, data), 0);
    EXPECT_EQ(bench::CurrentTemicCard()->blocks[7], (bench::TemicBlock{{0xAA, 0xBB, 0xCC, 0xDD}}));

    EXPECT_EQ(CloseCommDev(5), bench::kTemicNotOpen);  // the 1-based port, not the index
    EXPECT_EQ(bench::OpenCount("TEMIC"), 1);
    EXPECT_EQ(CloseCommDev(6), 0);
    EXPECT_EQ(bench::OpenCount("TEMIC"), 0);
}

TEST_F(BenchTemic, FactoryRecordIsClearedAndSealed) {
    bench::TemicRecord record{};
    ASSERT_TRUE(bench::ReadTemicRecord(*bench::CurrentTemicCard(), &record));
    EXPECT_EQ(record[0], 0x63);
    for (int i = 1; i < 16; ++i) EXPECT_EQ(record[i], i + 1);
    EXPECT_EQ((std::vector<uint8_t>(record.begin() + 20, record.begin() + 24)), (std::vector<uint8_t>{5, 6, 7, 8}));
    EXPECT_EQ(record[25], 1);
    EXPECT_EQ(record[26], 2);
}

}  // namespace
