// ReadDataCard and ReadOneOpenDoorRecord end to end: the collector first, then
// the data card of the configured medium (24C64 in the contact encoder, the
// TEMIC and Mifare data-card readers), and the records of whatever arrived.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "bench.h"
#include "call_log.h"
#include "collector_bench.h"
#include "datacard_bench.h"
#include "ic_bench.h"
#include "kestrane.h"
#include "medium_rig.h"
#include "open_door.h"
#include "test_support.h"
#include "usb_bench.h"

namespace {

using kstest::CallNames;
using kstest::DrainOpenDoorRecords;
using kstest::FirstArgs;
using kstest::OpenDoorRecord;
using kstest::ReadOneOpenDoor;

constexpr int kCollectorPort = 5;
constexpr int kEncoderPort = 3;  // CommProt digit 2
constexpr int16_t kReaderFailure = 0x0123;

using bench::DataReader;
using bench::OpenDoorSlot;

// What the host should get for a slot of a log with this header.
OpenDoorRecord Expect(const OpenDoorSlot &s, std::array<uint8_t, 3> header) {
    OpenDoorRecord r;
    r.header = header[0];
    r.list = {header[1], header[2], 0, 0, 0, 0};
    r.kind = static_cast<int16_t>(s[5] >> 4);
    r.time = {static_cast<int16_t>(2000 + s[4]), static_cast<int16_t>(s[5] & 0x0F), s[6], s[7], s[8]};
    r.card = {s[0], s[1], s[2], s[3]};
    return r;
}

std::vector<OpenDoorRecord> Expect(const std::vector<OpenDoorSlot> &slots, std::array<uint8_t, 3> header) {
    std::vector<OpenDoorRecord> out;
    for (const OpenDoorSlot &s : slots) out.push_back(Expect(s, header));
    return out;
}

OpenDoorSlot Slot(uint8_t tag, int kind = 3, int month = 4, int day = 5) {
    return bench::MakeOpenDoorSlot({tag, uint8_t(tag + 1), uint8_t(tag + 2), uint8_t(tag + 3)}, 24, kind, month,
                                   day, 13, 45);
}

const std::array<uint8_t, 3> kHeaderA{{0x11, 0x22, 0x33}};
const std::array<uint8_t, 3> kHeaderB{{0x44, 0x55, 0x66}};
const std::vector<OpenDoorSlot> kLogA = {Slot(0x10), Slot(0x20, 1), Slot(0x30, 2), Slot(0x40, 10, 13),
                                         Slot(0x50, 10), Slot(0x60, 11)};
const std::vector<OpenDoorSlot> kLogAValid = {Slot(0x10), Slot(0x30, 2), Slot(0x50, 10)};
const std::vector<OpenDoorSlot> kLogB = {Slot(0xA0, 7), Slot(0xB0, 8)};

class DataCardTest : public ::testing::Test {
protected:
    void SetUp() override { bench::Reset(); }

    void TearDown() override {
        EncodeExit();
        EXPECT_EQ(bench::TotalOpen(), 0) << "a port or reader was left open";
    }

    // EncodeInit with this LockType character (the INI digit; '/' gives 0)
    // and the encoder on COM3.
    static void Configure(char lockDigit) {
        EncodeExit();
        kstest::EncodeInitWith(kstest::MediumIni(lockDigit, "1", kEncoderPort));
        bench::ClearCallLog();
    }

    static void CollectorWith(const std::vector<uint8_t> &image) {
        bench::AttachCollector(kCollectorPort);
        bench::CollectorSetLog(image);
    }
};

TEST_F(DataCardTest, TheCollectorsLogComesBackRecordByRecord) {
    Configure('1');  // IC medium: its data card must not be touched
    CollectorWith(bench::OpenDoorLogImage(kHeaderA, kLogA));
    ASSERT_EQ(ReadDataCard(0), KS_OK);
    EXPECT_EQ(DrainOpenDoorRecords(), Expect(kLogAValid, kHeaderA));
    EXPECT_EQ(DrainOpenDoorRecords(), std::vector<OpenDoorRecord>{}) << "none left, for good";
    EXPECT_EQ(bench::CallCount("chk_24c64"), 0u);
    EXPECT_EQ(bench::CallCount("srd_24c64"), 0u);
}

TEST_F(DataCardTest, NullOutputsAreRefusedAndConsumeNothing) {
    CollectorWith(bench::OpenDoorLogImage(kHeaderA, kLogA));
    ASSERT_EQ(ReadDataCard(0), KS_OK);
    for (int missing : {0, 4, 5, 6, 7}) {
        int16_t header = 0x7777, kind = 0x7777;
        int16_t list[6] = {0x7777}, time[5] = {0x7777}, card[4] = {0x7777};
        int16_t *args[8] = {&header, nullptr, nullptr, nullptr, list, &kind, time, card};
        args[missing] = nullptr;
        EXPECT_EQ(ReadOneOpenDoorRecord(args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7]),
                  KS_ERR_UNAVAILABLE)
            << "argument " << missing + 1;
        EXPECT_EQ(kind, 0x7777);
        EXPECT_EQ(time[0], 0x7777);
    }
    EXPECT_EQ(DrainOpenDoorRecords(), Expect(kLogAValid, kHeaderA));
}

TEST_F(DataCardTest, ANewFetchReplacesTheWholeLog) {
    CollectorWith(bench::OpenDoorLogImage(kHeaderA, kLogA));
    ASSERT_EQ(ReadDataCard(0), KS_OK);
    ASSERT_FALSE(DrainOpenDoorRecords().empty());
    ASSERT_EQ(ReadDataCard(0), KS_OK);
    EXPECT_EQ(DrainOpenDoorRecords(), Expect(kLogAValid, kHeaderA)) << "the same log again, from slot 0";

    ASSERT_EQ(ReadDataCard(0), KS_OK);
    OpenDoorRecord first;
    ASSERT_TRUE(ReadOneOpenDoor(&first));  // the rest left unread
    EXPECT_EQ(first, Expect(kLogA.front(), kHeaderA));
    bench::CollectorSetLog(bench::OpenDoorLogImage(kHeaderB, kLogB));
    ASSERT_EQ(ReadDataCard(0), KS_OK);
    EXPECT_EQ(DrainOpenDoorRecords(), Expect(kLogB, kHeaderB)) << "nothing of the longer log before it";
}

// A fetch that fails leaves no record readable, whether the collector wrote
// part of a new log before failing or wrote nothing at all.
TEST_F(DataCardTest, AFailedFetchLeavesNoRecord) {
    const std::vector<OpenDoorSlot> longLog = {Slot(0x70), Slot(0x80), Slot(0x90), Slot(0xA0)};
    const size_t partial[] = {0, 256 + 9 * 2, 256 + 9 * 3 + 4};
    for (size_t written : partial) {
        SCOPED_TRACE(written);
        bench::Reset();
        Configure('0');  // LockType 1: no data card behind the collector
        CollectorWith(bench::OpenDoorLogImage(kHeaderA, kLogA));
        ASSERT_EQ(ReadDataCard(0), KS_OK);
        OpenDoorRecord first;
        ASSERT_TRUE(ReadOneOpenDoor(&first));

        bench::CollectorSetLog(bench::OpenDoorLogImage(kHeaderB, longLog));
        bench::CollectorFailReceive(0x0042, written);
        EXPECT_EQ(ReadDataCard(0), KS_ERR_MEDIUM_RESERVED);
        EXPECT_EQ(DrainOpenDoorRecords(), std::vector<OpenDoorRecord>{});

        // Until the next fetch that works.
        bench::CollectorReceiveWorks();
        ASSERT_EQ(ReadDataCard(0), KS_OK);
        EXPECT_EQ(DrainOpenDoorRecords(), Expect(longLog, kHeaderB));
    }
}

TEST_F(DataCardTest, WithoutAMediumOnlyTheCollectorCanDeliver) {
    struct Case {
        char digit;
        int16_t result;
    };
    for (const Case &c : {Case{'/', KS_ERR_UNAVAILABLE}, Case{'0', KS_ERR_MEDIUM_RESERVED},
                          Case{'3', KS_ERR_MEDIUM_RESERVED}, Case{'5', KS_ERR_UNAVAILABLE}}) {
        SCOPED_TRACE(c.digit);
        bench::Reset();
        Configure(c.digit);
        EXPECT_EQ(ReadDataCard(0), c.result);
        CollectorWith(bench::OpenDoorLogImage(kHeaderA, kLogA));
        EXPECT_EQ(ReadDataCard(0), KS_OK);
        EXPECT_EQ(DrainOpenDoorRecords(), Expect(kLogAValid, kHeaderA));
    }
}

// ---------------------------------------------------------------------------
// 24C64 card in the contact encoder (LockType 2).

class IcDataCardTest : public DataCardTest {
protected:
    void SetUp() override {
        DataCardTest::SetUp();
        bench::PlaceIcEncoder(kEncoderPort);
        Configure('1');
        ASSERT_TRUE(bench::IcEncoderOpen());
    }
};

TEST_F(IcDataCardTest, ReadsTheLogFromA24c64CardAndBeeps) {
    bench::Insert24c64(bench::Make24c64DataCard(bench::OpenDoorLogImage(kHeaderA, kLogA)));
    ASSERT_EQ(ReadDataCard(0), KS_OK);
    EXPECT_EQ(DrainOpenDoorRecords(), Expect(kLogAValid, kHeaderA));
    EXPECT_EQ(CallNames({"chk_24c64", "srd_24c64", "dv_beep"}),
              (std::vector<std::string>{"chk_24c64", "srd_24c64", "dv_beep"}));
    const std::vector<int64_t> read = FirstArgs("srd_24c64");
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[1], 0);
    EXPECT_EQ(read[2], 2049);
    EXPECT_EQ(bench::IcBeepCount(), 1);
}

TEST_F(IcDataCardTest, ACardThatIsNotReadAnswersCardInvalid) {
    const std::vector<uint8_t> card = bench::Make24c64DataCard(bench::OpenDoorLogImage(kHeaderA, kLogA));
    struct Case {
        const char *what;
        std::function<void()> arrange;
    };
    const Case cases[] = {
        {"an SLE4442 card", [] { bench::InsertSle4442(bench::MakeIcCard()); }},
        {"no card", [] { bench::RemoveIcCard(); }},
        {"chk_24c64 refuses", [&] {
             bench::Insert24c64(card);
             bench::ArmFault(1, bench::FaultKind::FailOnce, "chk_24c64");
         }},
        {"srd_24c64 fails", [&] {
             bench::Insert24c64(card);
             bench::ArmFault(1, bench::FaultKind::FailOnce, "srd_24c64");
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // A good log first, so a failure that kept it would show.
        bench::Insert24c64(card);
        ASSERT_EQ(ReadDataCard(0), KS_OK);
        bench::ClearCallLog();
        const int beeps = bench::IcBeepCount();
        c.arrange();
        EXPECT_EQ(ReadDataCard(0), KS_ERR_CARD_INVALID);
        EXPECT_EQ(bench::IcBeepCount(), beeps);
        EXPECT_EQ(bench::CallCount("dv_beep"), 0u);
        EXPECT_EQ(DrainOpenDoorRecords(), std::vector<OpenDoorRecord>{});
    }
}

TEST_F(IcDataCardTest, AClosedEncoderAnswersNotOpen) {
    bench::Insert24c64(bench::Make24c64DataCard(bench::OpenDoorLogImage(kHeaderA, kLogA)));
    ASSERT_EQ(EncodeExit(), KS_OK);
    bench::ClearCallLog();
    EXPECT_EQ(ReadDataCard(0), KS_ERR_IC_NOT_OPEN);
    EXPECT_EQ(bench::CallCount("chk_24c64"), 0u);
}

// The card delivers 2049 bytes but the last slot reaches seven bytes further:
// those bytes must not come from the log fetched before.
TEST_F(IcDataCardTest, TheLastSlotOfACardTakesNothingFromAnEarlierLog) {
    std::vector<OpenDoorSlot> full(200, OpenDoorSlot{});
    full[199] = Slot(0xE0, 9);
    CollectorWith(bench::OpenDoorLogImage(kHeaderA, full));
    ASSERT_EQ(ReadDataCard(0), KS_OK);  // slot 199 left unread
    bench::DetachAllBridges();

    std::vector<OpenDoorSlot> cardSlots(200, OpenDoorSlot{});
    cardSlots[0] = Slot(0x10);
    cardSlots[199] = Slot(0xC0, 9);  // only its first two bytes lie inside the 2049 read
    bench::Insert24c64(bench::Make24c64DataCard(bench::OpenDoorLogImage(kHeaderB, cardSlots)));
    ASSERT_EQ(ReadDataCard(0), KS_OK);
    EXPECT_EQ(DrainOpenDoorRecords(), Expect(std::vector<OpenDoorSlot>{cardSlots[0]}, kHeaderB));
}

// ---------------------------------------------------------------------------
// TEMIC (LockType 3) and Mifare (LockType 5) data-card readers.

struct ReaderCase {
    const char *name;
    char digit;
    DataReader reader;
    std::vector<std::string> calls;       // the reader's calls, in order, when it delivers
    std::vector<std::string> failCalls;   // ... when it fails
};

const std::vector<std::string> kTemicCalls = {"AT88RF256_12_OpenCommPort", "AT88RF256_12_ReadDataCard",
                                              "AT88RF256_12_Beep", "AT88RF256_12_CloseCommPort"};
const std::vector<std::string> kTemicFailCalls = {"AT88RF256_12_OpenCommPort", "AT88RF256_12_ReadDataCard",
                                                  "AT88RF256_12_CloseCommPort"};
const std::vector<std::string> kMifareCalls = {"M1_OpenCommPort", "M1_ReadDataCard", "M1_CloseCommPort",
                                               "RC500_232_init", "RC500_232_reset", "RC500_232_close",
                                               "RC500_232_exit"};

const ReaderCase kReaders[] = {
    {"TEMIC", '2', DataReader::Temic, kTemicCalls, kTemicFailCalls},
    {"Mifare", '4', DataReader::Mifare, kMifareCalls, kMifareCalls},
};

std::vector<std::string> ReaderCalls() { return CallNames({"AT88RF256_12_", "M1_", "RC500_232_"}); }

TEST_F(DataCardTest, ContactlessReadersDeliverTheirCardsLog) {
    for (const ReaderCase &rc : kReaders) {
        SCOPED_TRACE(rc.name);
        bench::Reset();
        Configure(rc.digit);
        bench::PlaceDataReader(rc.reader, kEncoderPort);
        bench::InsertDataCard(rc.reader, bench::OpenDoorLogImage(kHeaderA, kLogA));
        ASSERT_EQ(ReadDataCard(0), KS_OK);
        EXPECT_EQ(ReaderCalls(), rc.calls);
        EXPECT_EQ(DrainOpenDoorRecords(), Expect(kLogAValid, kHeaderA));
        const std::string open = rc.reader == DataReader::Temic ? "AT88RF256_12_OpenCommPort" : "M1_OpenCommPort";
        EXPECT_EQ(FirstArgs(open), (std::vector<int64_t>{kEncoderPort}));
        if (rc.reader == DataReader::Temic) {
            EXPECT_EQ(FirstArgs("AT88RF256_12_Beep"), (std::vector<int64_t>{3}));
        } else {
            EXPECT_EQ(FirstArgs("RC500_232_init"), (std::vector<int64_t>{kEncoderPort, 19200}));
            EXPECT_EQ(FirstArgs("RC500_232_reset"), (std::vector<int64_t>{0}));
            EXPECT_EQ(bench::CallCount("AT88RF256_12_Beep"), 0u);
        }
        EXPECT_EQ(bench::OpenCount("AT88DATA") + bench::OpenCount("M1DATA"), 0);
    }
}

TEST_F(DataCardTest, AReadersOwnFailureIsPassedOn) {
    struct Failure {
        const char *what;
        std::function<void(DataReader)> arrange;
        int16_t result;
    };
    const Failure failures[] = {
        {"reader fails", [](DataReader r) { bench::FailDataRead(r, kReaderFailure); }, kReaderFailure},
        {"reader fails after writing",
         [](DataReader r) { bench::FailDataRead(r, kReaderFailure, 256 + 9 * 3); }, kReaderFailure},
        {"no card", [](DataReader r) { bench::RemoveDataCard(r); }, bench::kDataReadNoCard},
        {"no reader", [](DataReader r) { bench::RemoveDataReader(r); }, bench::kDataReadNotOpen},
    };
    for (const ReaderCase &rc : kReaders) {
        for (const Failure &f : failures) {
            SCOPED_TRACE(std::string(rc.name) + ": " + f.what);
            bench::Reset();
            Configure(rc.digit);
            bench::PlaceDataReader(rc.reader, kEncoderPort);
            bench::InsertDataCard(rc.reader, bench::OpenDoorLogImage(kHeaderA, kLogA));
            ASSERT_EQ(ReadDataCard(0), KS_OK);
            bench::ClearCallLog();
            f.arrange(rc.reader);
            EXPECT_EQ(ReadDataCard(0), f.result);
            EXPECT_EQ(ReaderCalls(), rc.failCalls);
            EXPECT_EQ(DrainOpenDoorRecords(), std::vector<OpenDoorRecord>{});
        }
    }
}

// The collector is asked first; when it fails, with or without having written
// part of its log, the reader's log arrives alone.
TEST_F(DataCardTest, AFailingCollectorFallsBackToTheReaderWithoutMixing) {
    const std::vector<OpenDoorSlot> collectorLog = {Slot(0x70), Slot(0x80), Slot(0x90), Slot(0xA0)};
    struct Failure {
        const char *what;
        std::function<void()> arrange;
    };
    const Failure failures[] = {
        {"silent", [] { bench::CollectorStaySilent(true); }},
        {"fails after writing", [] { bench::CollectorFailReceive(0x0042, 256 + 9 * 4); }},
        {"send fails", [] { bench::ArmFault(1, bench::FaultKind::FailOnce, "SendData"); }},
        {"only a lock encoder", [] {
             bench::DetachAllBridges();
             bench::AttachBridge(bench::Bridge{"TEMIC Card Lock Device", "", 0x10C4, 0xEA60, kEncoderPort});
         }},
    };
    for (const ReaderCase &rc : kReaders) {
        for (const Failure &f : failures) {
            SCOPED_TRACE(std::string(rc.name) + ": " + f.what);
            bench::Reset();
            Configure(rc.digit);
            CollectorWith(bench::OpenDoorLogImage(kHeaderA, collectorLog));
            bench::PlaceDataReader(rc.reader, kEncoderPort);
            bench::InsertDataCard(rc.reader, bench::OpenDoorLogImage(kHeaderB, kLogB));
            f.arrange();
            ASSERT_EQ(ReadDataCard(0), KS_OK);
            EXPECT_EQ(DrainOpenDoorRecords(), Expect(kLogB, kHeaderB));
            EXPECT_EQ(bench::OpenCount("COLLECTOR"), 0);
        }
    }
}

}  // namespace
