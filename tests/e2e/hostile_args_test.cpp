// Hostile arguments at the exported interface: missing arrays, arrays of
// exactly the documented size placed in front of an inaccessible page (so a
// single element read or written past the end crashes the test, in every
// build), lengths and scalars with their high bits set, configuration values
// outside every table, years far outside any calendar, and configuration
// paths at and past the documented length. Each gets a defined result code,
// and nothing reaches a device or a host array that should not.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench.h"
#include "call_log.h"
#include "card_args.h"
#include "collector_bench.h"
#include "guarded_memory.h"
#include "ibutton_bench.h"
#include "kestrane.h"
#include "medium_rig.h"
#include "test_support.h"
#include "usb_bench.h"

namespace {

using namespace kstest;

constexpr int kCollectorPort = 5;
constexpr int kIButtonPort = 2;
constexpr int16_t kSentinel = 0x5A5A;

// The year as cards and frames keep it: year - 2000, in 16-bit arithmetic.
int16_t ReducedYear(int year) { return static_cast<int16_t>(static_cast<uint16_t>(year - 2000)); }
uint8_t LowByte(int v) { return static_cast<uint8_t>(v & 0xFF); }

// ---------------------------------------------------------------------------
// Configuration and bench.

// Every encoder on the encoder port with a fresh card in it, so that a call
// dispatched to the wrong medium would show in the log.
void PlaceEveryEncoder() {
    for (Medium m : kMedia) {
        PlaceEncoder(m);
        Insert(FactoryCard(m));
    }
}

std::vector<uint8_t> AllCardBytes() {
    std::vector<uint8_t> all;
    for (Medium m : kMedia) {
        const std::vector<uint8_t> b = CardBytes(m);
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

// Only port discovery asked anything: no encoder, reader or port was reached.
bool OnlyDiscovery() { return CallNames() == CallNames({"CP2101_"}); }

// ---------------------------------------------------------------------------
// The card family.

// The arrays a card kind reads, with the element counts the host must
// provide for it; 0 = not read (the host may pass anything, null included).
struct CardKind {
    const char *name;
    MakeFn fn;
    int16_t code;
    size_t listA, listB, wide, typeCode, listC, start;
};
const CardKind kKinds[] = {
    {"MakeTimeCard", MakeTimeCard, 2, 0, 0, 0, 0, 0, 6},
    {"MakeEmergentCard", MakeEmergentCard, 3, 0, 0, 0, 0, 0, 5},
    {"MakeGuestCard", MakeGuestCard, 4, 0, 0, 12, 0, 0, 5},
    {"MakeFloorCard", MakeFloorCard, 5, 4, 0, 12, 0, 4, 5},
    {"MakeCleanDistrictCard", MakeCleanDistrictCard, 6, 0, 4, 12, 0, 4, 5},
    {"MakeBuildingCard", MakeBuildingCard, 8, 4, 0, 12, 0, 4, 5},
    {"MakeLongOpenCard", MakeLongOpenCard, 9, 0, 0, 12, 0, 0, 5},
    {"MakeChiefCard", MakeChiefCard, 10, 0, 0, 0, 0, 0, 5},
    {"MakeInstallCard", MakeInstallCard, 11, 1, 1, 12, 0, 0, 5},
    {"MakeLostCard", MakeLostCard, 12, 0, 0, 4, 1, 0, 5},  // TypeCode[0] > 15: WideList[0..3] too
    {"MakeDataCard", MakeDataCard, 14, 0, 0, 0, 0, 0, 5},
    {"MakeGuestLeaveCard", MakeGuestLeaveCard, 15, 0, 0, 0, 0, 0, 5},
};

size_t SerialElements(Medium m) { return m == Medium::Mifare ? 8 : 4; }

// Exactly sized arrays for one issuing call; arrays the kind does not read
// are null.
struct MakeArgs {
    GuardedElements serial, listA, listB, wide, typeCode, listC, start, end;
    MakeArgs(const CardKind &k, size_t serialCount)
        : serial(serialCount, kSentinel),
          listA(k.listA, 7),
          listB(k.listB, 11),
          wide(k.wide, 0),
          typeCode(k.typeCode, 16),
          listC(k.listC, 45),
          start(k.start, 0),
          end(5, 0) {
        for (size_t i = 0; i < wide.count(); ++i) wide[i] = static_cast<int16_t>(0x0101 * (i + 1));
        const int16_t startTime[6] = {2024, 3, 4, 5, 6, 37};
        for (size_t i = 0; i < start.count(); ++i) start[i] = startTime[i];
        const int16_t endTime[5] = {2025, 7, 8, 9, 10};
        for (size_t i = 0; i < 5; ++i) end[i] = endTime[i];
    }
    static int16_t *Or(const GuardedElements &a) { return a.count() ? a.get() : nullptr; }
    int16_t Call(MakeFn fn) const {
        return fn(serial.get(), 0, 9, Or(listA), Or(listB), Or(wide), 1, Or(typeCode), Or(listC), start.get(),
                  end.get());
    }
};

// ReadCard's outputs, sized as its table says for this card type; outputs
// the type does not write get one element that must come back untouched.
struct ReadArgs {
    GuardedElements serial, number, listA, listB, wide, option, type, listC, start, end;
    ReadArgs(Medium m, int16_t code)
        : serial(SerialElements(m), kSentinel),
          number(1, kSentinel),
          listA(code == 5 || code == 8 ? 4 : 1, kSentinel),
          listB(code == 6 ? 4 : 1, kSentinel),
          wide(12, kSentinel),
          option(1, kSentinel),
          type(1, kSentinel),
          listC(1, kSentinel),
          start(code == 2 ? 6 : 5, kSentinel),
          end(code == 2 ? 6 : 5, kSentinel) {}
    int16_t Call() const {
        return ReadCard(serial.get(), 0, number.get(), listA.get(), listB.get(), wide.get(), option.get(),
                        type.get(), listC.get(), start.get(), end.get());
    }
};

class HostileArgs : public ::testing::Test {
protected:
    void SetUp() override { bench::Reset(); }
    void TearDown() override {
        EncodeExit();
        EXPECT_EQ(bench::TotalOpen(), 0) << "a port, reader or session was left open";
        bench::Reset();
    }

    // EncodeInit with this LockType digit, every encoder on the bench holding
    // a fresh card.
    static int16_t Configure(char lockDigit) {
        EncodeExit();
        bench::Reset();
        PlaceEveryEncoder();
        return EncodeInitWith(MediumIni(lockDigit));
    }
    static void ConfigureMedium(Medium m) {
        ASSERT_EQ(Configure(LockDigit(m)), KS_OK) << NameOf(m);
        bench::ClearCallLog();
    }
};

// ---------------------------------------------------------------------------
// Missing arrays.

TEST_F(HostileArgs, IssuingRefusesAMissingArrayItReadsBeforeTouchingAnything) {
    for (Medium m : kMedia) {
        ConfigureMedium(m);
        for (const CardKind &k : kKinds) {
            // Slot by slot: serial, listA, listB, wide, typeCode, listC, start, end.
            for (int missing = 0; missing < 8; ++missing) {
                SCOPED_TRACE(std::string(k.name) + "/" + NameOf(m) + ", array " + std::to_string(missing) + " null");
                Insert(FactoryCard(m));
                bench::ClearCallLog();
                const std::vector<uint8_t> before = CardBytes(m);
                // Every array present, the kind's unused ones too.
                GuardedElements full[8] = {GuardedElements(8, kSentinel), GuardedElements(4, 7),
                                           GuardedElements(4, 11),         GuardedElements(12, 3),
                                           GuardedElements(1, 16),         GuardedElements(4, 45),
                                           GuardedElements({2024, 3, 4, 5, 6, 37}), GuardedElements({2025, 7, 8, 9, 10})};
                int16_t *p[8];
                for (int i = 0; i < 8; ++i) p[i] = full[i].get();
                p[missing] = nullptr;
                const size_t used[8] = {1, k.listA, k.listB, k.wide, k.typeCode, k.listC, 1, 1};
                const int16_t r = k.fn(p[0], 0, 9, p[1], p[2], p[3], 1, p[4], p[5], p[6], p[7]);
                if (used[missing] == 0) {
                    EXPECT_EQ(r, KS_OK) << "an array this card does not read was missing";
                    continue;
                }
                EXPECT_EQ(r, KS_ERR_UNAVAILABLE);
                EXPECT_EQ(CallNames(), std::vector<std::string>{}) << "a device was reached";
                EXPECT_EQ(CardBytes(m), before);
                EXPECT_TRUE(missing == 6 || full[6][0] == 2024) << "the start year changed on a refused call";
                EXPECT_TRUE(missing == 7 || full[7][0] == 2025) << "the end year changed on a refused call";
                EXPECT_TRUE(missing == 0 || full[0].values() == std::vector<int16_t>(8, kSentinel));
            }
        }
        EXPECT_EQ(bench::TotalOpen(), m == Medium::Ic ? 1 : 0);
    }
    // The lost card reads WideList only for a TypeCode above 15.
    ConfigureMedium(Medium::Mifare);
    GuardedElements serial(8), typeCode(1, 15), start(5, 2024), end(5, 2025);
    EXPECT_EQ(MakeLostCard(serial.get(), 0, 0, nullptr, nullptr, nullptr, 0, typeCode.get(), nullptr, start.get(),
                           end.get()),
              KS_OK);
    // The seal card issues nothing, whatever it is given.
    bench::ClearCallLog();
    EXPECT_EQ(MakeSealCard(nullptr, 0, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr),
              KS_ERR_UNAVAILABLE);
    EXPECT_EQ(CallNames(), std::vector<std::string>{});
}

TEST_F(HostileArgs, ReadCardRefusesAMissingOutputItWouldWriteAndWritesNoneOfTheOthers) {
    ConfigureMedium(Medium::Mifare);
    {
        MakeArgs issue(kKinds[2], 8);  // a guest card
        ASSERT_EQ(issue.Call(MakeGuestCard), KS_OK);
    }
    // Outputs in slot order: serial, number, listA, listB, wide, option, type, listC, start, end.
    // A guest card writes serial, wide, option, type, start and end.
    const bool writtenForGuest[10] = {true, false, false, false, true, true, true, false, true, true};
    for (int missing = 0; missing < 10; ++missing) {
        SCOPED_TRACE("output " + std::to_string(missing) + " null");
        bench::ClearCallLog();
        std::vector<GuardedElements> out;
        for (size_t n : {8, 1, 4, 4, 12, 1, 1, 4, 5, 5}) out.emplace_back(n, kSentinel);
        int16_t *p[10];
        for (int i = 0; i < 10; ++i) p[i] = out[i].get();
        p[missing] = nullptr;
        const int16_t r = ReadCard(p[0], 0, p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9]);
        if (writtenForGuest[missing]) {
            EXPECT_EQ(r, KS_ERR_UNAVAILABLE);
            for (int i = 0; i < 10; ++i) {
                if (i == missing) continue;
                EXPECT_EQ(out[i].values(), std::vector<int16_t>(out[i].count(), kSentinel)) << "output " << i;
            }
            EXPECT_TRUE(missing != 0 || CallNames().empty()) << "a device was reached with nowhere to report the card";
        } else {
            EXPECT_EQ(r, KS_OK);
            EXPECT_EQ(out[6][0], 4) << "the guest card's type";
        }
        EXPECT_EQ(bench::TotalOpen(), 0);
    }
}

TEST_F(HostileArgs, SingleArrayExportsRefuseNullBeforeReachingAnyDevice) {
    ConfigureMedium(Medium::Mifare);
    bench::AttachCollector(kCollectorPort);
    bench::AttachIButtonReader(kIButtonPort);
    bench::PlaceIButton(bench::MakeIButtonRom(0x01, 0x123456));
    const std::vector<uint8_t> cards = AllCardBytes();
    struct Case {
        const char *name;
        std::function<int16_t()> call;
        int16_t expected;
    };
    const Case cases[] = {
        {"ReadSystemPas", [] { return ReadSystemPas(nullptr); }, KS_ERR_UNAVAILABLE},
        {"ClearCardData", [] { return ClearCardData(nullptr); }, KS_ERR_UNAVAILABLE},
        {"M1_ReadSn", [] { return M1_ReadSn(nullptr); }, KS_ERR_UNAVAILABLE},
        {"TM_ReadSn", [] { return TM_ReadSn(nullptr); }, KS_ERR_UNAVAILABLE},
        {"PDA_SetTime", [] { return PDA_SetTime(nullptr); }, KS_ERR_UNAVAILABLE},
        {"PDA_SetRoomNumber", [] { return PDA_SetRoomNumber(nullptr); }, KS_ERR_UNAVAILABLE},
        {"Des2 with 8 bytes", [] { return Des2(nullptr, 8, 0); }, KS_ERR_UNAVAILABLE},
        {"Des2 with 255 bytes", [] { return Des2(nullptr, -1, 1); }, KS_ERR_UNAVAILABLE},
        // Nothing to process: a null array is never looked at.
        {"Des2 with no bytes", [] { return Des2(nullptr, 0, 0); }, KS_OK},
        {"Des2 with 0x100 bytes", [] { return Des2(nullptr, 0x100, 1); }, KS_OK},
        {"EncodeInit", [] { return EncodeInit(nullptr); }, KS_ERR_UNAVAILABLE},
    };
    for (const Case &c : cases) {
        bench::ClearCallLog();
        EXPECT_EQ(c.call(), c.expected) << c.name;
        EXPECT_EQ(CallNames(), std::vector<std::string>{}) << c.name << " reached a device";
        EXPECT_EQ(bench::TotalOpen(), 0) << c.name;
    }
    EXPECT_EQ(AllCardBytes(), cards);
    EXPECT_FALSE(bench::CollectorClockSet());
    EXPECT_FALSE(bench::CollectorRoomSet());
    EXPECT_EQ(bench::IButtonRomReads(), 0);
    // EncodeInit(null) kept the configuration: the Mifare card still clears.
    GuardedElements serial(8, kSentinel);
    EXPECT_EQ(ClearCardData(serial.get()), KS_OK);
    EXPECT_EQ(serial[0], 0x11);

    // ReadOneOpenDoorRecord: its five outputs; 2 to 4 are not used.
    bench::CollectorSetLog(bench::OpenDoorLogImage(
        {{1, 2, 3}}, {bench::MakeOpenDoorSlot({{9, 8, 7, 6}}, 24, 3, 4, 5, 6, 7)}));
    ASSERT_EQ(ReadDataCard(0), KS_OK);
    for (int missing : {0, 4, 5, 6, 7}) {
        GuardedElements header(1, kSentinel), list(6, kSentinel), kind(1, kSentinel), time(5, kSentinel),
            card(4, kSentinel);
        int16_t *p[8] = {header.get(), nullptr, nullptr, nullptr, list.get(), kind.get(), time.get(), card.get()};
        p[missing] = nullptr;
        EXPECT_EQ(ReadOneOpenDoorRecord(p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]), KS_ERR_UNAVAILABLE)
            << "argument " << missing + 1;
        for (const GuardedElements *g : {&header, &list, &kind, &time, &card})
            EXPECT_EQ(g->values(), std::vector<int16_t>(g->count(), kSentinel)) << "argument " << missing + 1;
    }
    GuardedElements header(1), list(6), kind(1), time(5), card(4);
    ASSERT_EQ(ReadOneOpenDoorRecord(header.get(), nullptr, nullptr, nullptr, list.get(), kind.get(), time.get(),
                                    card.get()),
              KS_OK)
        << "the refused calls consumed the record";
    EXPECT_EQ(time.values(), (std::vector<int16_t>{2024, 4, 5, 6, 7}));
    EXPECT_EQ(card.values(), (std::vector<int16_t>{9, 8, 7, 6}));
}

// ---------------------------------------------------------------------------
// Exactly sized arrays: every export writes and reads only the elements its
// table names, on every medium.

TEST_F(HostileArgs, EveryCardKindRoundTripsThroughArraysOfExactlyTheDocumentedSize) {
    for (Medium m : kMedia) {
        ConfigureMedium(m);
        for (const CardKind &k : kKinds) {
            SCOPED_TRACE(std::string(k.name) + "/" + NameOf(m));
            Insert(FactoryCard(m));
            MakeArgs issue(k, SerialElements(m));
            ASSERT_EQ(issue.Call(k.fn), KS_OK);
            EXPECT_EQ(issue.end[0], 25);

            ReadArgs read(m, k.code);
            ASSERT_EQ(read.Call(), KS_OK);
            EXPECT_EQ(read.type[0], k.code);
            EXPECT_EQ(read.start[0], 2024);
            EXPECT_EQ(read.serial.values(), issue.serial.values()) << "the card read is the card written";
            EXPECT_EQ(read.listC[0], kSentinel) << "ListC is never written";
            EXPECT_TRUE(k.code == 5 || k.code == 11 || read.number[0] == kSentinel) << "Number written";

            GuardedElements serial(m == Medium::Temic ? 1 : SerialElements(m), kSentinel);
            ASSERT_EQ(ClearCardData(serial.get()), KS_OK);
            EXPECT_TRUE(m != Medium::Temic || serial[0] == kSentinel) << "TEMIC leaves the array untouched";

            ReadArgs cleared(m, 20);
            ASSERT_EQ(cleared.Call(), KS_OK);
            EXPECT_EQ(cleared.type[0], 20);
            EXPECT_EQ(cleared.start.values(), std::vector<int16_t>(5, kSentinel));
        }
        EXPECT_EQ(bench::TotalOpen(), m == Medium::Ic ? 1 : 0);
    }
}

TEST_F(HostileArgs, SerialReadersAndTheCollectorUseExactlyTheirElements) {
    ConfigureMedium(Medium::Mifare);
    GuardedElements m1(8, kSentinel);
    m1[0] = kEncoderPort;
    EXPECT_EQ(M1_ReadSn(m1.get()), KS_OK);
    EXPECT_EQ(m1.values(), (std::vector<int16_t>{0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0}));

    bench::AttachIButtonReader(kIButtonPort);
    const bench::IButtonRom rom = bench::MakeIButtonRom(0x01, 0xA1B2C3D4E5F6ull);
    bench::PlaceIButton(rom);
    GuardedElements tm(8, kSentinel);
    tm[0] = kIButtonPort;
    EXPECT_EQ(TM_ReadSn(tm.get()), KS_OK);
    EXPECT_EQ(tm.values(), std::vector<int16_t>(rom.begin(), rom.end()));

    // A system password card on the Mifare medium, read into five elements.
    bench::MifareCard card = FactoryCard(Medium::Mifare).mifare;
    bench::AddMifareSystemPasswordRecord(card, kHotelPassword, kHotelPassword, 0x77);
    bench::PlaceMifareCard(card);
    GuardedElements password(5, kSentinel);
    EXPECT_EQ(ReadSystemPas(password.get()), KS_OK);
    EXPECT_EQ(password.values(), (std::vector<int16_t>{0xD2, 0x19, 0x7E, 0x4B, 0x77}));

    bench::AttachCollector(kCollectorPort);
    GuardedElements time({2024, 12, 31, 23, 59, 58});
    EXPECT_EQ(PDA_SetTime(time.get()), KS_OK);
    GuardedElements room({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(PDA_SetRoomNumber(room.get()), KS_OK);
}

// ---------------------------------------------------------------------------
// Lengths, modes and element values with their high bits set.

std::vector<int16_t> Des2Of(std::vector<int16_t> data, int32_t length, int32_t mode) {
    EXPECT_EQ(Des2(data.data(), length, mode), KS_OK);
    return data;
}

TEST_F(HostileArgs, Des2CountsOnlyTheLowByteOfItsLengthAndOfEveryElement) {
    std::vector<int16_t> clean(255), dirty(255);
    for (int i = 0; i < 255; ++i) {
        clean[i] = static_cast<int16_t>((i * 37 + 11) & 0xFF);
        // High bytes set, some of them making the element negative.
        dirty[i] = static_cast<int16_t>(clean[i] | (i % 3 == 0 ? 0xFF00 : i % 3 == 1 ? 0x5A00 : 0x0100));
    }
    const std::vector<int16_t> enciphered = Des2Of(clean, 255, 0);
    for (int16_t v : enciphered) ASSERT_TRUE(v >= 0 && v <= 255) << "a result element outside 0..255";

    for (int32_t length : {255, -1, INT32_MAX, 0x123456FF, static_cast<int32_t>(0x800000FFu)}) {
        GuardedElements data(dirty);
        EXPECT_EQ(Des2(data.get(), length, 0), KS_OK) << length;
        EXPECT_EQ(data.values(), enciphered) << "length " << length;
    }
    // -8 is 0xF8: 248 elements, the last block completed with zeros.
    {
        GuardedElements data(std::vector<int16_t>(dirty.begin(), dirty.begin() + 248));
        EXPECT_EQ(Des2(data.get(), -8, 0), KS_OK);
        EXPECT_EQ(data.values(), Des2Of(std::vector<int16_t>(clean.begin(), clean.begin() + 248), 248, 0));
    }
    // Lengths whose low byte is 0 process nothing: not even one element is
    // looked at (the array has none).
    for (int32_t length : {0, 0x100, 0x7FFFFF00, INT32_MIN}) {
        GuardedElements none(0);
        EXPECT_EQ(Des2(none.get(), length, 0), KS_OK) << length;
    }
    // Only the low 16 bits of the mode count.
    const std::vector<int16_t> block(clean.begin(), clean.begin() + 8);
    EXPECT_EQ(Des2Of(block, 8, 0x10000), Des2Of(block, 8, 0));
    EXPECT_EQ(Des2Of(Des2Of(block, 8, 0), 8, 0x10001), block);
    EXPECT_EQ(Des2Of(Des2Of(block, 8, 0), 8, -1), block);
}

TEST_F(HostileArgs, SerialReadersOnPortsThatDoNotExist) {
    bench::PlaceRc500Reader(kEncoderPort);
    bench::PlaceMifareCard(FactoryCard(Medium::Mifare).mifare);
    bench::AttachIButtonReader(kIButtonPort);
    bench::PlaceIButton(bench::MakeIButtonRom(0x01, 0x42));
    for (int16_t port : {int16_t{-1}, int16_t{0}, int16_t{SHRT_MAX}, int16_t{SHRT_MIN}}) {
        GuardedElements m1(8, kSentinel);
        m1[0] = port;
        EXPECT_EQ(M1_ReadSn(m1.get()), KS_ERR_COMM) << port;
        EXPECT_EQ(m1[1], kSentinel) << "a failed read reports no serial";
        GuardedElements tm(8, kSentinel);
        tm[0] = port;
        EXPECT_EQ(TM_ReadSn(tm.get()), KS_ERR_COMM) << port;
        EXPECT_EQ(bench::TotalOpen(), 0) << port;
    }
}

// ---------------------------------------------------------------------------
// Configuration values outside every table.

TEST_F(HostileArgs, LockTypeCharactersOutsideTheDigitsSelectNoMedium) {
    struct Case {
        const char *value;
        bool reserved;  // 1 or 4: recognised, not served
    };
    const Case cases[] = {{"A", false}, {"/", false}, {" ", false}, {"9", false}, {"\xFF", false},
                          {"~", false}, {"0", true},  {"3", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("LockType=") + c.value);
        EXPECT_EQ(Configure(c.value[0]), KS_ERR_MEDIUM_RESERVED);
        EXPECT_TRUE(OnlyDiscovery());
        const std::vector<uint8_t> cards = AllCardBytes();
        const int16_t clearOrFetch = c.reserved ? KS_ERR_MEDIUM_RESERVED : KS_ERR_UNAVAILABLE;

        bench::ClearCallLog();
        MakeArgs issue(kKinds[2], 8);
        EXPECT_EQ(issue.Call(MakeGuestCard), KS_ERR_UNAVAILABLE);
        EXPECT_EQ(issue.start[0], 24) << "the years are reduced whatever the medium";
        EXPECT_EQ(issue.serial.values(), std::vector<int16_t>(8, kSentinel));
        ReadArgs read(Medium::Mifare, 4);
        EXPECT_EQ(read.Call(), KS_ERR_UNAVAILABLE);
        EXPECT_EQ(read.serial.values(), std::vector<int16_t>(8, kSentinel));
        GuardedElements password(5, kSentinel), serial(8, kSentinel);
        EXPECT_EQ(ReadSystemPas(password.get()), KS_ERR_UNAVAILABLE);
        EXPECT_EQ(ClearCardData(serial.get()), clearOrFetch);
        EXPECT_EQ(ReadDataCard(0), clearOrFetch);  // no collector attached
        EXPECT_EQ(EncodeExit(), clearOrFetch);
        EXPECT_TRUE(OnlyDiscovery()) << "a medium was reached";
        EXPECT_EQ(AllCardBytes(), cards);
        EXPECT_EQ(bench::TotalOpen(), 0);
    }
}

TEST_F(HostileArgs, SectorValuesOutsideTheCardNeverOpenARecord) {
    // Sector = (first - '0') x 10 + (second - '0'), kept to 8 bits; a single
    // character counts alone, an empty value as its terminator.
    struct Case {
        const char *value;
        int sector;
    };
    const Case cases[] = {{"99", 99}, {"-1", LowByte(('-' - '0') * 10 + 1)}, {"ab", LowByte(('a' - '0') * 10 + ('b' - '0'))},
                          {"", LowByte(-'0')}, {"7x", LowByte(70 + ('x' - '0'))}, {"16", 16}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("Sector=") + c.value);
        EncodeExit();
        bench::Reset();
        bench::PlaceRc500Reader(kEncoderPort);
        bench::MifareCard card = FactoryCard(Medium::Mifare).mifare;
        bench::AddMifareSystemPasswordRecord(card, kHotelPassword, kHotelPassword, 0x33);
        bench::PlaceMifareCard(card);
        ASSERT_EQ(EncodeInitWith(MediumIni('4', c.value)), KS_OK);

        bench::ClearCallLog();
        MakeArgs issue(kKinds[2], 8);
        EXPECT_EQ(issue.Call(MakeGuestCard), KS_ERR_COMM);
        EXPECT_EQ(FirstArgs("RC500_232_authkey"), (std::vector<int64_t>{0, c.sector}));
        EXPECT_EQ(bench::CallCount("RC500_232_write"), 0u);
        ReadArgs read(Medium::Mifare, 4);
        EXPECT_EQ(read.Call(), KS_ERR_CARD_INVALID);
        GuardedElements serial(8, kSentinel);
        EXPECT_EQ(ClearCardData(serial.get()), KS_ERR_COMM);
        EXPECT_EQ(bench::CurrentMifareCard()->memory, card.memory) << "the card changed";

        // The system password card lives in sector 15 whatever the value;
        // afterwards the configured sector is back.
        GuardedElements password(5, kSentinel);
        EXPECT_EQ(ReadSystemPas(password.get()), KS_OK);
        bench::ClearCallLog();
        EXPECT_EQ(issue.Call(MakeGuestCard), KS_ERR_COMM);
        EXPECT_EQ(FirstArgs("RC500_232_authkey"), (std::vector<int64_t>{0, c.sector}));
        EXPECT_EQ(bench::TotalOpen(), 0);
    }
}

// ---------------------------------------------------------------------------
// Years and time values far outside any calendar.

TEST_F(HostileArgs, ExtremeYearsAndTimeValuesAreKeptToTheirLowByte) {
    ConfigureMedium(Medium::Mifare);
    const int16_t start[5] = {SHRT_MIN, -1, SHRT_MAX, 256, -256};
    const int16_t end[5] = {SHRT_MAX, 0x7F01, SHRT_MIN, 1, 2};
    MakeArgs issue(kKinds[2], 8);
    for (int i = 0; i < 5; ++i) {
        issue.start[i] = start[i];
        issue.end[i] = end[i];
    }
    ASSERT_EQ(issue.Call(MakeGuestCard), KS_OK);
    EXPECT_EQ(issue.start[0], ReducedYear(SHRT_MIN));
    EXPECT_EQ(issue.end[0], ReducedYear(SHRT_MAX));

    ReadArgs read(Medium::Mifare, 4);
    ASSERT_EQ(read.Call(), KS_OK);
    std::vector<int16_t> expectStart, expectEnd;
    for (int i = 0; i < 5; ++i) {
        expectStart.push_back(i == 0 ? 2000 + LowByte(ReducedYear(start[0])) : LowByte(start[i]));
        expectEnd.push_back(i == 0 ? 2000 + LowByte(ReducedYear(end[0])) : LowByte(end[i]));
    }
    EXPECT_EQ(read.start.values(), expectStart);
    EXPECT_EQ(read.end.values(), expectEnd);

    // Guest card numbers outside 0..32767: split into high and low byte with
    // signed division truncating toward zero, each kept to 8 bits.
    GuardedElements serial(8);
    ASSERT_EQ(ClearCardData(serial.get()), KS_OK);
    const int16_t numbers[8] = {-1, SHRT_MIN, SHRT_MAX, -256, -255, 256, 0x1234, -0x1234};
    MakeArgs guest(kKinds[2], 8);
    for (int i = 0; i < 8; ++i) guest.wide[i] = numbers[i];
    ASSERT_EQ(guest.Call(MakeGuestCard), KS_OK);
    ReadArgs back(Medium::Mifare, 4);
    ASSERT_EQ(back.Call(), KS_OK);
    for (int i = 0; i < 8; ++i) {
        const int v = numbers[i];
        const int16_t stored = static_cast<int16_t>(LowByte(v / 256) << 8 | LowByte(v % 256));
        EXPECT_EQ(back.wide[i], stored) << "number " << v;
    }

    // The time card with seconds at both ends of the range.
    for (int seconds : {SHRT_MIN, SHRT_MAX, -1}) {
        ASSERT_EQ(ClearCardData(serial.get()), KS_OK);
        MakeArgs time(kKinds[0], 8);
        time.start[0] = SHRT_MAX;
        time.start[5] = static_cast<int16_t>(seconds);
        ASSERT_EQ(time.Call(MakeTimeCard), KS_OK) << seconds;
        ReadArgs back(Medium::Mifare, 2);
        ASSERT_EQ(back.Call(), KS_OK);
        EXPECT_EQ(back.start[0], 2000 + LowByte(ReducedYear(SHRT_MAX)));
        EXPECT_EQ(back.start[5], LowByte(seconds));
    }
}

TEST_F(HostileArgs, ExtremeCollectorTimesGoOutAsEightBitBcdInAWellFormedFrame) {
    bench::AttachCollector(kCollectorPort);
    const int16_t values[6] = {SHRT_MIN, SHRT_MAX, -1, 99, 100, -100};
    GuardedElements time(std::vector<int16_t>(values, values + 6));
    ASSERT_EQ(PDA_SetTime(time.get()), KS_OK);
    EXPECT_EQ(time[0], ReducedYear(SHRT_MIN));
    // BCD kept to 8 bits: (v / 10) x 16 + v mod 10, truncating toward zero.
    auto bcd = [](int v) { return LowByte((v / 10) * 16 + v % 10); };
    std::vector<uint8_t> frame = {0x53, 8, 0, 2, bcd(ReducedYear(SHRT_MIN))};
    for (int i = 1; i < 6; ++i) frame.push_back(bcd(values[i]));
    uint8_t sum = 0;
    for (size_t i = 2; i < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    frame.push_back(sum);
    ASSERT_EQ(bench::CollectorFrames().size(), 1u);
    EXPECT_EQ(bench::CollectorFrames()[0], frame);

    // Room number elements: only their low bytes travel.
    GuardedElements room({-1, 0x7F41, SHRT_MIN, 256, 0x1234, 5, 6, 7, 8, -256});
    ASSERT_EQ(PDA_SetRoomNumber(room.get()), KS_OK);
    const std::array<uint8_t, 10> expected = {{0xFF, 0x41, 0x00, 0x00, 0x34, 5, 6, 7, 8, 0x00}};
    EXPECT_EQ(bench::CollectorRoomNumber(), expected);
}

// ---------------------------------------------------------------------------
// The configuration path at and past its documented length.

// A path of exactly `length` characters naming a new file that holds `ini`.
std::string PathOfLength(size_t length, const std::string &ini) {
    const std::string dir = kstest::TempDir();
    const size_t nameLength = length - dir.size() - 1;  // one separator
    EXPECT_TRUE(nameLength >= 8 && nameLength <= 255) << "temporary directory of " << dir.size() << " characters";
    const std::string name = std::string(nameLength - 4, 'p') + ".ini";
    const std::string path = kstest::WriteFile(dir, name, ini);
    EXPECT_EQ(path.size(), length);
    return path;
}

TEST_F(HostileArgs, EncodeInitReadsA254CharacterPathAndNeverPastItsBuffer) {
    // The buffer is exactly 255 bytes: the path and its terminator.
    const std::string path = PathOfLength(254, "[Config]\nCommProt=6\nLockType=4\n");
    kstest::GuardedBlock buffer(255);
    std::memcpy(buffer.data(), path.c_str(), 255);
    EXPECT_EQ(EncodeInit(reinterpret_cast<char *>(buffer.data())), KS_OK) << "the Mifare medium of the file";
    EXPECT_EQ(buffer.data()[1], 7) << "CommProt 6 is COM7";
    EXPECT_EQ(std::memcmp(buffer.data() + 2, path.c_str() + 2, 253), 0) << "only byte 1 changes";
}

TEST_F(HostileArgs, EncodeInitTakesAt255BytesAPathWithNoTerminator) {
    // 255 path characters and no terminator anywhere in the buffer: the
    // library must take exactly these 255 and read nothing beyond.
    const std::string path = PathOfLength(255, "[Config]\nCommProt=8\nLockType=2\n");
    kstest::GuardedBlock buffer(255);
    std::memcpy(buffer.data(), path.data(), 255);
    EXPECT_EQ(EncodeInit(reinterpret_cast<char *>(buffer.data())), KS_OK) << "the TEMIC medium of the file";
    EXPECT_EQ(buffer.data()[1], 9) << "CommProt 8 is COM9";
    EXPECT_EQ(bench::TotalOpen(), 0);
}

}  // namespace
