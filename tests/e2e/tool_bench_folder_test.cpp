// The bench folder behind the kestrane tool: its files keep every bit of
// device state that matters (a card's error counter, the slots a reader must
// skip), and a folder loaded into a process is written back as the library
// changes its cards and the collector.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <unistd.h>

#include "kestrane.h"
#include "persist.h"
#include "test_support.h"
#include "usb_bench.h"

namespace {

class BenchFolderTest : public ::testing::Test {
protected:
    void SetUp() override { bench::Reset(); }
    void TearDown() override { bench::Reset(); }
};

TEST_F(BenchFolderTest, CardFilesKeepEveryMediumsStateExactly) {
    const std::string dir = kstest::TempDir();
    const std::array<uint8_t, 4> password = bench::BenchSystemPassword("4B7E19D2");

    bench::BenchCard sle;
    sle.type = "sle4442";
    sle.sle = bench::MakeIcCard();
    sle.sle.triesLeft = 1;  // one wrong PSC from locked: that must survive a save
    sle.sle.protectedBytes = 0x8000FFFFu;
    sle.sle.psc = {{0x12, 0xAB, 0x00}};
    for (size_t i = 64; i < sle.sle.memory.size(); ++i) sle.sle.memory[i] = static_cast<uint8_t>(i * 7);

    bench::BenchCard mifare;
    mifare.type = "mifare";
    mifare.mifare = bench::MakeFactoryMifareCard({{1, 2, 3, 4}}, password, 1);
    mifare.mifare.SetBlock(9, bench::MifareBlock{{0xDE, 0xAD, 0xBE, 0xEF}});

    bench::BenchCard temic;
    temic.type = "temic";
    temic.temic = bench::MakeFactoryTemicCard({{9, 8, 7, 6}}, {{0x3C, 0x01}}, password);

    for (const bench::BenchCard *card : {&sle, &mifare, &temic}) {
        SCOPED_TRACE(card->type);
        const bench::BenchCardEntry entry{"c-" + card->type, card->type, "card-" + card->type};
        std::string error;
        ASSERT_TRUE(bench::SaveBenchCard(dir, entry, *card, &error)) << error;
        bench::BenchCard back;
        ASSERT_TRUE(bench::LoadBenchCard(dir, entry, &back, &error)) << error;
        EXPECT_EQ(bench::BenchCardMemory(back), bench::BenchCardMemory(*card));
        if (card->type == "sle4442") {
            EXPECT_EQ(back.sle.triesLeft, 1);
            EXPECT_EQ(back.sle.protectedBytes, 0x8000FFFFu);
            EXPECT_EQ(back.sle.psc, sle.sle.psc);
        }
        // The factory's cleared record opens on every medium.
        std::vector<uint8_t> record;
        EXPECT_TRUE(bench::OpenBenchCardRecord(back, 1, &record));
        EXPECT_EQ(record[0], 0x63);
    }
    // A file of the wrong size or shape is refused, not half loaded.
    kstest::WriteFile(dir, "short.mfd", std::string(100, '\0'));
    bench::BenchCard bad;
    std::string error;
    EXPECT_FALSE(bench::LoadBenchCard(dir, {"short", "mifare", "short.mfd"}, &bad, &error));
    EXPECT_NE(error.find("short.mfd"), std::string::npos) << error;
}

TEST_F(BenchFolderTest, LogFilesKeepSlotsTheLibraryWouldSkip) {
    bench::BenchLog log;
    log.header = {{0x01, 0xFE, 0x80}};
    log.slots = {
        bench::MakeOpenDoorSlot({{0xDE, 0xAD, 0xBE, 0xEF}}, 26, 2, 1, 1, 0, 0),
        bench::MakeOpenDoorSlot({{0, 0, 0, 1}}, 26, 10, 12, 31, 23, 59),
        bench::MakeOpenDoorSlot({{0, 0, 0, 2}}, 26, 11, 5, 5, 5, 5),   // kind out of range
        bench::MakeOpenDoorSlot({{0, 0, 0, 3}}, 26, 4, 13, 5, 5, 5),   // month 13
        bench::MakeOpenDoorSlot({{0, 0, 0, 4}}, 99, 4, 2, 0, 25, 60),  // day 0, hour 25, minute 60
    };
    const std::string path = kstest::TempDir() + "/round.log";
    std::string error;
    ASSERT_TRUE(bench::WriteBenchLog(path, log, &error)) << error;
    bench::BenchLog back;
    ASSERT_TRUE(bench::ReadBenchLog(path, &back, &error)) << error;
    EXPECT_EQ(back.header, log.header);
    EXPECT_EQ(back.slots, log.slots);

    kstest::WriteFile(kstest::TempDir(), "broken.log", "record 2 2026-01-01 10:00 0A0B\n");
    EXPECT_FALSE(bench::ReadBenchLog(kstest::TempDir() + "/broken.log", &back, &error));
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
}

// A Mifare bench with a collector, written as `kestrane bench init` does.
std::string MakeMifareBench(const std::string &name, bench::BenchManifest *out) {
    const std::string dir = kstest::TempDir() + "/" + name;
    bench::BenchManifest m;
    m.medium = bench::BenchMedium::Mifare;
    m.encoderPort = 4;
    m.sector = 2;
    m.collector = true;
    m.collectorPort = 6;
    m.collectorBridge = "KT" + std::to_string(getpid()) + name;
    m.cards.push_back({"c1", "mifare", "c1.mfd"});
    m.inserted = "c1";
    bench::BenchCard card;
    card.type = "mifare";
    card.mifare = bench::MakeFactoryMifareCard({{0x21, 0x43, 0x65, 0x07}}, bench::BenchSystemPassword(m.pass), m.sector);
    std::string error;
    EXPECT_TRUE(bench::WriteBenchManifest(dir, m, &error)) << error;
    EXPECT_TRUE(bench::WriteBenchConfig(dir, m, &error)) << error;
    EXPECT_TRUE(bench::SaveBenchCard(dir, m.cards[0], card, &error)) << error;
    *out = m;
    return dir;
}

TEST_F(BenchFolderTest, ManifestRoundTripsAndConfigMatchesIt) {
    bench::BenchManifest m;
    const std::string dir = MakeMifareBench("manifest", &m);
    bench::BenchManifest back;
    std::string error;
    ASSERT_TRUE(bench::ReadBenchManifest(dir, &back, &error)) << error;
    EXPECT_EQ(back.medium, m.medium);
    EXPECT_EQ(back.encoderPort, 4);
    EXPECT_EQ(back.sector, 2);
    EXPECT_EQ(back.collectorPort, 6);
    EXPECT_EQ(back.collectorBridge, m.collectorBridge);
    EXPECT_EQ(back.inserted, "c1");
    ASSERT_EQ(back.cards.size(), 1u);
    EXPECT_EQ(back.cards[0].file, "c1.mfd");
    // config.ini in EncodeInit's terms: zero-based port and medium digits.
    std::ifstream config(dir + "/config.ini");
    const std::string text((std::istreambuf_iterator<char>(config)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("CommProt=3"), std::string::npos) << text;
    EXPECT_NE(text.find("LockType=4"), std::string::npos) << text;
    EXPECT_NE(text.find("Sector=2"), std::string::npos) << text;
    EXPECT_NE(text.find("Pass=4B7E19D2"), std::string::npos) << text;
}

TEST_F(BenchFolderTest, ALoadedFolderIsWrittenBackAsTheLibraryChangesIt) {
    bench::BenchManifest m;
    const std::string dir = MakeMifareBench("live", &m);
    std::string error;
    ASSERT_TRUE(bench::LoadBenchFolder(dir, &error)) << error;
    EXPECT_TRUE(bench::LoadBenchFolder(dir, &error)) << "loading the same folder again is a no-op";
    EXPECT_FALSE(bench::LoadBenchFolder(dir + "-other", &error));

    char path[260] = {};
    const std::string config = dir + "/config.ini";
    std::strcpy(path, config.c_str());
    ASSERT_EQ(EncodeInit(path), KS_OK);
    int16_t serial[8] = {}, listA[4] = {}, listB[4] = {}, typeCode[1] = {}, listC[4] = {};
    int16_t wide[12] = {0x0102, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0};
    int16_t start[5] = {2026, 3, 1, 14, 0}, end[5] = {2026, 3, 3, 12, 0};
    ASSERT_EQ(MakeGuestCard(serial, 0, 0, listA, listB, wide, 1, typeCode, listC, start, end), KS_OK);

    // The card file on disk now holds the guest card.
    bench::BenchCard card;
    ASSERT_TRUE(bench::LoadBenchCard(dir, m.cards[0], &card, &error)) << error;
    std::vector<uint8_t> record;
    ASSERT_TRUE(bench::OpenBenchCardRecord(card, m.sector, &record));
    EXPECT_EQ(record[24], 4);
    EXPECT_EQ(record[10], 0x01);
    EXPECT_EQ(record[11], 0x02);
    EXPECT_EQ(record[19], 1);
    EXPECT_EQ(record[32], 9);

    // What the collector accepts lands in the manifest.
    int16_t clock[6] = {2026, 3, 4, 5, 6, 7};
    ASSERT_EQ(PDA_SetTime(clock), KS_OK);
    bench::BenchManifest after;
    ASSERT_TRUE(bench::ReadBenchManifest(dir, &after, &error)) << error;
    EXPECT_EQ(after.collectorClock, "2026-03-04 05:06:07");
    EXPECT_EQ(after.cards.size(), 1u) << "rewriting the manifest keeps the cards";

    // After a reset the folder is let go: nothing more is written to it.
    bench::Reset();
    EXPECT_EQ(bench::LoadedBenchFolder(), "");
    int16_t clock2[6] = {2027, 1, 1, 1, 1, 1};
    PDA_SetTime(clock2);
    ASSERT_TRUE(bench::ReadBenchManifest(dir, &after, &error)) << error;
    EXPECT_EQ(after.collectorClock, "2026-03-04 05:06:07");
}

TEST_F(BenchFolderTest, AFolderThatContradictsItselfIsRefusedWithReason) {
    bench::BenchManifest m;
    const std::string dir = MakeMifareBench("broken", &m);
    m.inserted = "nobody";
    std::string error;
    ASSERT_TRUE(bench::WriteBenchManifest(dir, m, &error)) << error;
    EXPECT_FALSE(bench::LoadBenchFolder(dir, &error));
    EXPECT_NE(error.find("nobody"), std::string::npos) << error;
    EXPECT_FALSE(bench::ReadBenchManifest(dir + "-missing", &m, &error));
    EXPECT_NE(error.find("no bench folder"), std::string::npos) << error;
}

}  // namespace
