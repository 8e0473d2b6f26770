// Issuing, reading, clearing and the system password card through the
// exports, on every medium of the bench: each card kind survives the round
// trip, refusals come from the right place, and records are bound to their
// card.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench.h"
#include "ic_bench.h"
#include "kestrane.h"
#include "mifare_bench.h"
#include "temic_bench.h"
#include "test_support.h"

namespace {

using Record = std::array<uint8_t, 28>;
using Password = std::array<uint8_t, 4>;

enum class Medium { Ic, Temic, Mifare };

constexpr int kComPort = 4;
constexpr int kSector = 1;
constexpr int kSystemSector = 15;
const char *const kPassText = "4B7E19D2";
// The configured Pass as the cards carry it: the last two digits first.
const Password kHotelPassword = {{0xD2, 0x19, 0x7E, 0x4B}};
const Password kOtherPassword = {{0x10, 0x20, 0x30, 0x40}};
constexpr int16_t kUntouched = -7777;
constexpr int kCardTypeCleared = 20;

const char *NameOf(Medium m) { return m == Medium::Ic ? "Ic4442" : m == Medium::Temic ? "Temic" : "Mifare"; }

// ---------------------------------------------------------------------------
// The card system's record rules, written out here on their own so that the
// tests can read and forge records as a technician with a card writer could.

uint16_t Crc16(const uint8_t *bytes, size_t n) {
    uint16_t r = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        r ^= bytes[i];
        for (int b = 0; b < 8; ++b) r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0xA001) : static_cast<uint16_t>(r >> 1);
    }
    return r;
}

// The 224-bit record rotated left by `bits` (big-endian bit string).
Record RotateLeft(const Record &in, int bits) {
    Record out{};
    const int total = 28 * 8;
    for (int i = 0; i < total; ++i) {
        const int from = (i + bits) % total;
        const int bit = (in[from / 8] >> (7 - from % 8)) & 1;
        out[i / 8] = static_cast<uint8_t>(out[i / 8] | bit << (7 - i % 8));
    }
    return out;
}

Record XorAll(Record r, uint8_t mask) {
    for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(r[i] ^ mask);
    return r;
}

Record Encipher(Record r) {
    for (int i = 0; i < 9; ++i) r[i] ^= 0xA7;
    return XorAll(RotateLeft(r, 5), 0x9E);
}

Record Decipher(Record r) {
    r = XorAll(r, 0x9E);
    r = RotateLeft(r, 28 * 8 - 5);
    for (int i = 0; i < 9; ++i) r[i] ^= 0xA7;
    return r;
}

// Serial-bound seal (IC 4442, Mifare) to serial byte s, enciphered.
Record SealSerialBound(Record plain, uint8_t s) {
    const uint16_t crc = Crc16(plain.data(), 25);
    plain[25] = static_cast<uint8_t>((crc & 0xFF) ^ s);
    plain[26] = static_cast<uint8_t>(~((crc >> 8) ^ s));
    return Encipher(plain);
}

// Mifare Classic 1K memory: 16-byte blocks; a sector's key A leads its trailer.
using Block16 = std::array<uint8_t, 16>;
Block16 BlockOf(const bench::MifareCard &card, int block) {
    Block16 b{};
    std::copy(card.memory.begin() + 16 * block, card.memory.begin() + 16 * block + 16, b.begin());
    return b;
}
void SetBlockOf(bench::MifareCard &card, int block, const Block16 &b) {
    std::copy(b.begin(), b.end(), card.memory.begin() + 16 * block);
}
bench::MifareUid UidOf(const bench::MifareCard &card) {
    return {{card.memory[0], card.memory[1], card.memory[2], card.memory[3]}};
}
void SetKeyAOf(bench::MifareCard &card, int sector, const bench::MifareKey &key) {
    std::copy(key.begin(), key.end(), card.memory.begin() + 16 * (4 * sector + 3));
}
bench::MifareKey KeyAOf(const bench::MifareCard &card, int sector) {
    bench::MifareKey key{};
    std::copy(card.memory.begin() + 16 * (4 * sector + 3), card.memory.begin() + 16 * (4 * sector + 3) + 6,
              key.begin());
    return key;
}

// ---------------------------------------------------------------------------
// Encoder and cards on the bench.

char LockDigit(Medium m) { return m == Medium::Ic ? '1' : m == Medium::Temic ? '2' : '4'; }

int16_t Init(char lockDigit, int sector = kSector) {
    const std::string ini = std::string("[SystemInfo]\nPass=") + kPassText + "\n[Config]\nLockType=" + lockDigit +
                            "\nSector=" + std::to_string(sector) + "\nCommProt=" + std::to_string(kComPort - 1) +
                            "\n";
    static int counter = 0;
    const std::string path = kstest::WriteFile(kstest::TempDir(), "cards" + std::to_string(++counter) + ".ini", ini);
    char buffer[256] = {};
    std::strncpy(buffer, path.c_str(), sizeof buffer - 1);
    return EncodeInit(buffer);  // byte 1 of the buffer comes back as the port
}

void PlaceEncoder(Medium m) {
    if (m == Medium::Ic) bench::PlaceIcEncoder(kComPort);
    if (m == Medium::Temic) bench::PlaceTemicEncoder(kComPort);
    if (m == Medium::Mifare) bench::PlaceRc500Reader(kComPort);
}

// Factory cards: `variant` gives each card its own identity.
bench::IcCardOptions IcOptions(int variant) {
    bench::IcCardOptions o;
    o.serial = {{static_cast<uint8_t>(0x5A + variant), 0x12, 0x34}};
    return o;
}
bench::MifareUid MifareUidOf(int variant) { return {{static_cast<uint8_t>(0x11 + variant), 0x22, 0x33, 0x44}}; }
std::array<uint8_t, 2> TemicIdentityOf(int variant) { return {{static_cast<uint8_t>(0xC1 + variant), 0xC2}}; }
bench::TemicBlock TemicIdOf(int variant) { return {{0xE0, 0x01, 0x02, static_cast<uint8_t>(variant)}}; }

// A card of any medium, held outside the encoder.
struct Card {
    Medium medium;
    bench::Sle4442Card ic;
    bench::TemicCard temic;
    bench::MifareCard mifare;
};

Card FactoryCard(Medium m, int variant = 0, const Password &password = kHotelPassword) {
    Card c{m, {}, {}, {}};
    if (m == Medium::Ic) c.ic = bench::MakeIcCard(IcOptions(variant));
    if (m == Medium::Temic) c.temic = bench::MakeFactoryTemicCard(TemicIdOf(variant), TemicIdentityOf(variant), password);
    if (m == Medium::Mifare) c.mifare = bench::MakeFactoryMifareCard(MifareUidOf(variant), password, kSector);
    return c;
}

void Insert(const Card &c) {
    if (c.medium == Medium::Ic) bench::InsertSle4442(c.ic);
    if (c.medium == Medium::Temic) bench::PlaceTemicCard(c.temic);
    if (c.medium == Medium::Mifare) bench::PlaceMifareCard(c.mifare);
}

Card Take(Medium m) {
    Card c{m, {}, {}, {}};
    if (m == Medium::Ic) {
        c.ic = bench::CurrentSle4442();
        bench::RemoveIcCard();
    }
    if (m == Medium::Temic) c.temic = *bench::TakeTemicCard();
    if (m == Medium::Mifare) c.mifare = *bench::TakeMifareCard();
    return c;
}

// The 28 enciphered record bytes as the card holds them.
Record RawRecord(const Card &c) {
    Record r{};
    if (c.medium == Medium::Ic) std::copy(c.ic.memory.begin() + 32, c.ic.memory.begin() + 60, r.begin());
    if (c.medium == Medium::Temic) r = bench::TemicRawRecord(c.temic);
    if (c.medium == Medium::Mifare) {
        const auto b0 = BlockOf(c.mifare, 4 * kSector), b1 = BlockOf(c.mifare, 4 * kSector + 1);
        std::copy(b0.begin(), b0.end(), r.begin());
        std::copy(b1.begin(), b1.begin() + 12, r.begin() + 16);
    }
    return r;
}

void SetRawRecord(Card &c, const Record &r) {
    if (c.medium == Medium::Ic) std::copy(r.begin(), r.end(), c.ic.memory.begin() + 32);
    if (c.medium == Medium::Temic) {
        for (int b = 0; b < 7; ++b) {
            for (int i = 0; i < 4; ++i) c.temic.blocks[1 + b][i] = r[4 * b + i];
        }
    }
    if (c.medium == Medium::Mifare) {
        auto b0 = BlockOf(c.mifare, 4 * kSector), b1 = BlockOf(c.mifare, 4 * kSector + 1);
        std::copy(r.begin(), r.begin() + 16, b0.begin());
        std::copy(r.begin() + 16, r.end(), b1.begin());
        SetBlockOf(c.mifare, 4 * kSector, b0);
        SetBlockOf(c.mifare, 4 * kSector + 1, b1);
    }
}

Record CurrentPlainRecord(Medium m) {
    Card c = Take(m);
    Insert(c);
    return Decipher(RawRecord(c));
}

// Serial-bound media seal to this byte of the card's serial.
uint8_t SealSerialByte(const Card &c) {
    return c.medium == Medium::Ic ? c.ic.memory[60] : UidOf(c.mifare)[0];
}

// Makes the card a SystemPasswordCard (type 1) carrying `cardPassword` and
// `extra`, written for the hotel `password`; on Mifare into `sector`.
void MakeSystemPasswordCard(Card &c, const Password &cardPassword, uint8_t extra,
                            const Password &password = kHotelPassword, int sector = kSystemSector) {
    if (c.medium == Medium::Mifare) {
        bench::AddMifareSystemPasswordRecord(c.mifare, password, cardPassword, extra, sector);
        return;
    }
    Record plain = Decipher(RawRecord(c));
    for (int i = 0; i < 25; ++i) plain[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 4; ++i) plain[10 + i] = cardPassword[i];
    plain[14] = extra;
    for (int i = 0; i < 4; ++i) plain[20 + i] = password[i];
    plain[24] = 1;
    if (c.medium == Medium::Ic) {
        SetRawRecord(c, SealSerialBound(plain, SealSerialByte(c)));
    } else {
        bench::WriteTemicRecord(c.temic, plain);  // keeps the identity bytes 25-26 we left
    }
}

// ---------------------------------------------------------------------------
// The host's side of the card family.

using MakeFn = int16_t(KS_STDCALL *)(KS_CARD_FAMILY_ARGS);

struct HostArgs {
    int16_t serial[8] = {kUntouched, kUntouched, kUntouched, kUntouched,
                         kUntouched, kUntouched, kUntouched, kUntouched};
    int16_t listA[4] = {0x41, 0x42, 0x43, 0x44};
    int16_t listB[4] = {0x51, 0x52, 0x53, 0x54};
    int16_t wide[12] = {0x1234, 0x0102, 0x7F00, 0x00FF, 0x0A0B, 0, 0x00FF, 0x1001, 0x61, 0x62, 0x63, 0x64};
    int16_t typeCode[1] = {16};
    int16_t listC[4] = {1, 12, 99, 45};
    int16_t start[6] = {2031, 2, 3, 4, 5, 37};
    int16_t end[5] = {2032, 6, 7, 8, 9};
    int32_t number = 0xA5;
    int32_t flag = 1;

    int16_t Make(MakeFn make) {
        return make(serial, 0, number, listA, listB, wide, flag, typeCode, listC, start, end);
    }
};

struct Outputs {
    int16_t serial[8], number[1], listA[4], listB[4], wide[12], flag[1], type[1], listC[4], start[6], end[6];
    Outputs() {
        std::fill(std::begin(serial), std::end(serial), kUntouched);
        std::fill(std::begin(number), std::end(number), kUntouched);
        std::fill(std::begin(listA), std::end(listA), kUntouched);
        std::fill(std::begin(listB), std::end(listB), kUntouched);
        std::fill(std::begin(wide), std::end(wide), kUntouched);
        std::fill(std::begin(flag), std::end(flag), kUntouched);
        std::fill(std::begin(type), std::end(type), kUntouched);
        std::fill(std::begin(listC), std::end(listC), kUntouched);
        std::fill(std::begin(start), std::end(start), kUntouched);
        std::fill(std::begin(end), std::end(end), kUntouched);
    }
    int16_t Read() { return ReadCard(serial, 0, number, listA, listB, wide, flag, type, listC, start, end); }
    std::map<std::string, int16_t> Slots() const {
        std::map<std::string, int16_t> out;
        auto add = [&out](const char *name, const int16_t *a, int n) {
            for (int i = 0; i < n; ++i) out[std::string(name) + "[" + std::to_string(i) + "]"] = a[i];
        };
        add("serial", serial, 8);
        add("number", number, 1);
        add("listA", listA, 4);
        add("listB", listB, 4);
        add("wide", wide, 12);
        add("flag", flag, 1);
        add("type", type, 1);
        add("listC", listC, 4);
        add("start", start, 6);
        add("end", end, 6);
        return out;
    }
};

void ExpectSameOutputs(const Outputs &got, const Outputs &want) {
    const auto g = got.Slots(), w = want.Slots();
    for (const auto &slot : w) EXPECT_EQ(g.at(slot.first), slot.second) << slot.first;
}

// What ReadCard promises for the card a kind issued from HostArgs, before
// the kind-specific fields.
enum class Extension { None, Bytes, BytesAndWide };
struct KindRow {
    const char *name;
    MakeFn make;
    int code;
    Extension extension;
};
const KindRow kKinds[] = {
    {"Time", MakeTimeCard, 2, Extension::None},
    {"Emergent", MakeEmergentCard, 3, Extension::None},
    {"Guest", MakeGuestCard, 4, Extension::BytesAndWide},
    {"Floor", MakeFloorCard, 5, Extension::Bytes},
    {"CleanDistrict", MakeCleanDistrictCard, 6, Extension::Bytes},
    {"Building", MakeBuildingCard, 8, Extension::BytesAndWide},
    {"LongOpen", MakeLongOpenCard, 9, Extension::Bytes},
    {"Chief", MakeChiefCard, 10, Extension::None},
    {"Install", MakeInstallCard, 11, Extension::Bytes},
    {"Lost", MakeLostCard, 12, Extension::None},
    {"Data", MakeDataCard, 14, Extension::None},
    {"GuestLeave", MakeGuestLeaveCard, 15, Extension::None},
};

void ExpectSerial(Medium m, const Card &card, int16_t *serial) {
    if (m == Medium::Ic) {
        for (int i = 0; i < 4; ++i) serial[i] = card.ic.memory[60 + i];
    } else if (m == Medium::Temic) {
        bench::TemicRecord plain{};
        EXPECT_TRUE(bench::ReadTemicRecord(card.temic, &plain));
        serial[0] = plain[25], serial[1] = plain[26], serial[2] = 0, serial[3] = 0;
    } else {
        const auto uid = UidOf(card.mifare);
        for (int i = 0; i < 4; ++i) serial[i] = uid[i], serial[4 + i] = 0;
    }
}

Outputs Expected(const KindRow &k, Medium m, const HostArgs &in, const Card &card) {
    Outputs o;
    ExpectSerial(m, card, o.serial);
    o.type[0] = static_cast<int16_t>(k.code);
    o.flag[0] = 1;
    for (int i = 0; i < 5; ++i) o.start[i] = in.start[i], o.end[i] = in.end[i];
    o.start[0] = static_cast<int16_t>(o.start[0] + 2000);  // the host's years were reduced by issuing
    o.end[0] = static_cast<int16_t>(o.end[0] + 2000);
    // The ExtensionBlock reaches Mifare cards only.
    const bool extension = m == Medium::Mifare && k.extension != Extension::None;
    for (int i = 8; i < 12; ++i) o.wide[i] = extension ? in.wide[i] : 0;
    switch (k.code) {
        case 2:
            for (int i = 0; i < 6; ++i) o.start[i] = in.start[i], o.end[i] = 0;
            o.start[0] = static_cast<int16_t>(o.start[0] + 2000);
            break;
        case 4:
            for (int i = 0; i < 4; ++i) {
                o.wide[i] = in.wide[i];
                o.wide[4 + i] = extension ? in.wide[4 + i] : 0;
            }
            break;
        case 5:
            o.number[0] = static_cast<int16_t>(in.number);
            for (int i = 0; i < 4; ++i) o.listA[i] = in.listA[i];
            break;
        case 6:
            for (int i = 0; i < 4; ++i) o.listB[i] = in.listB[i];
            break;
        case 8:
            for (int i = 0; i < 4; ++i) o.listA[i] = in.listA[i];
            break;
        case 11:
            o.number[0] = static_cast<int16_t>(in.number);
            o.wide[0] = in.wide[0];
            o.listA[0] = in.listA[0];
            o.listB[0] = in.listB[0];
            break;
        default:
            break;
    }
    return o;
}

// ---------------------------------------------------------------------------

class CardsOnMedium : public ::testing::TestWithParam<Medium> {
protected:
    void SetUp() override {
        bench::Reset();
        m = GetParam();
        PlaceEncoder(m);
        ASSERT_EQ(Init(LockDigit(m)), KS_OK);
    }
    void TearDown() override {
        EncodeExit();
        EXPECT_EQ(bench::TotalOpen(), 0) << "every port and connection closed again";
    }
    Medium m = Medium::Ic;
};

INSTANTIATE_TEST_SUITE_P(AllMedia, CardsOnMedium, ::testing::Values(Medium::Ic, Medium::Temic, Medium::Mifare),
                         [](const ::testing::TestParamInfo<Medium> &info) { return NameOf(info.param); });

TEST_P(CardsOnMedium, EveryKindRoundTripsClearsAndIssuesAgain) {
    for (const KindRow &k : kKinds) {
        SCOPED_TRACE(k.name);
        const Card factory = FactoryCard(m);
        Insert(factory);

        HostArgs in;
        ASSERT_EQ(in.Make(k.make), KS_OK);
        EXPECT_EQ(in.start[0], 31) << "host year reduced in place";
        EXPECT_EQ(in.end[0], 32);
        Outputs serialOnly;
        ExpectSerial(m, factory, serialOnly.serial);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(in.serial[i], serialOnly.serial[i]) << "serial " << i;

        // What the card holds: the type code and the hotel's password.
        const Record plain = CurrentPlainRecord(m);
        EXPECT_EQ(plain[24], k.code);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(plain[20 + i], kHotelPassword[i]);

        Outputs read;
        ASSERT_EQ(read.Read(), KS_OK);
        ExpectSameOutputs(read, Expected(k, m, in, factory));

        int16_t clearSerial[8] = {kUntouched, kUntouched, kUntouched, kUntouched,
                                  kUntouched, kUntouched, kUntouched, kUntouched};
        ASSERT_EQ(ClearCardData(clearSerial), KS_OK);
        Outputs cleared;
        ASSERT_EQ(cleared.Read(), KS_OK);
        EXPECT_EQ(cleared.type[0], kCardTypeCleared);
        for (int i = 8; i < 12; ++i) EXPECT_EQ(cleared.wide[i], 0);
        EXPECT_EQ(cleared.start[0], kUntouched) << "a cleared card returns no times";
        EXPECT_EQ(cleared.flag[0], kUntouched);

        HostArgs again;
        again.flag = 0;
        ASSERT_EQ(again.Make(k.make), KS_OK) << "a cleared card can be issued again";
        Outputs reread;
        ASSERT_EQ(reread.Read(), KS_OK);
        EXPECT_EQ(reread.type[0], k.code);
        EXPECT_EQ(reread.flag[0], 0);
        Take(m);
    }
}

TEST_P(CardsOnMedium, AnIssuedCardIsRefusedByEveryIssuingExportUntilCleared) {
    Insert(FactoryCard(m));
    HostArgs first;
    ASSERT_EQ(first.Make(MakeGuestCard), KS_OK);
    Card before = Take(m);
    const Record issued = RawRecord(before);
    Insert(before);
    for (const KindRow &k : kKinds) {
        HostArgs in;
        EXPECT_EQ(in.Make(k.make), KS_ERR_NOT_CLEARED) << k.name;
        EXPECT_EQ(in.start[0], 31) << "years reduced whatever the result";
        EXPECT_EQ(in.end[0], 32);
    }
    Card now = Take(m);
    EXPECT_EQ(RawRecord(now), issued) << "nothing was written";
    Insert(now);
    int16_t serial[8] = {};
    ASSERT_EQ(ClearCardData(serial), KS_OK);
    HostArgs in;
    EXPECT_EQ(in.Make(MakeChiefCard), KS_OK);
}

TEST_P(CardsOnMedium, ClearingAClearedCardSucceeds) {
    const Card factory = FactoryCard(m);
    Insert(factory);
    int16_t serial[8] = {kUntouched, kUntouched, kUntouched, kUntouched,
                         kUntouched, kUntouched, kUntouched, kUntouched};
    ASSERT_EQ(ClearCardData(serial), KS_OK);
    ASSERT_EQ(ClearCardData(serial), KS_OK);
    Outputs want;
    ExpectSerial(m, factory, want.serial);
    if (m == Medium::Temic) {
        for (int i = 0; i < 4; ++i) want.serial[i] = kUntouched;  // the TEMIC clear leaves it alone
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(serial[i], want.serial[i]) << i;
    Outputs read;
    ASSERT_EQ(read.Read(), KS_OK);
    EXPECT_EQ(read.type[0], kCardTypeCleared);
}

TEST_P(CardsOnMedium, SystemPasswordCardIsClearedOnlyOnIc4442) {
    Card card = FactoryCard(m);
    // On Mifare the card must hold it in the configured sector to be cleared there.
    MakeSystemPasswordCard(card, {{1, 2, 3, 4}}, 0x99, kHotelPassword, kSector);
    Insert(card);
    int16_t serial[8] = {kUntouched, kUntouched, kUntouched, kUntouched,
                         kUntouched, kUntouched, kUntouched, kUntouched};
    const int16_t want = m == Medium::Ic ? KS_OK : m == Medium::Temic ? KS_ERR_CARD_INVALID : KS_ERR_NOT_MIFARE_1K;
    EXPECT_EQ(ClearCardData(serial), want);
    Card after = Take(m);
    if (m == Medium::Ic) {
        EXPECT_EQ(Decipher(RawRecord(after))[0], 0x63);
    } else {
        EXPECT_EQ(RawRecord(after), RawRecord(card)) << "nothing written";
    }
    if (m == Medium::Temic) {
        for (int16_t e : serial) EXPECT_EQ(e, kUntouched) << "TEMIC leaves the host's CardSerial untouched";
    }
}

TEST_P(CardsOnMedium, ReadSystemPasTakesThePasswordForTheNextCard) {
    const Password cardPassword = {{0x01, 0x02, 0x03, 0x04}};
    Card card = FactoryCard(m);
    MakeSystemPasswordCard(card, cardPassword, 0x99);
    Insert(card);
    int16_t out[5] = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    ASSERT_EQ(ReadSystemPas(out), KS_OK);
    const int16_t want[5] = {1, 2, 3, 4, 0x99};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], want[i]) << i;

    // The next card is issued with the new password (TEMIC and Mifare cards
    // must be made for it, or the driver refuses them).
    Take(m);
    Insert(FactoryCard(m, 1, cardPassword));
    HostArgs in;
    ASSERT_EQ(in.Make(MakeGuestCard), KS_OK);
    const Record plain = CurrentPlainRecord(m);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(plain[20 + i], cardPassword[i]);
}

TEST_P(CardsOnMedium, ReadCardDecodesASystemPasswordCard) {
    Card card = FactoryCard(m);
    MakeSystemPasswordCard(card, {{1, 2, 3, 4}}, 0x99, kHotelPassword, kSector);
    Insert(card);
    Outputs read;
    ASSERT_EQ(read.Read(), KS_OK);
    Outputs want;
    ExpectSerial(m, card, want.serial);
    want.type[0] = 1;
    want.flag[0] = 19 & 1;  // byte 19 holds 19
    const int16_t start[5] = {2000, 1, 2, 3, 4}, end[5] = {2001, 1, 1, 1, 1};
    for (int i = 0; i < 5; ++i) want.start[i] = start[i], want.end[i] = end[i];
    for (int i = 8; i < 12; ++i) want.wide[i] = 0;  // no ExtensionMarker
    ExpectSameOutputs(read, want);
}

TEST_P(CardsOnMedium, ReadSystemPasRefusesAGuestCardAndKeepsThePassword) {
    Card card = FactoryCard(m);
    if (m == Medium::Mifare) {
        // A guest record in sector 15, opened with the hotel's key.
        std::array<uint8_t, 48> image{};
        for (int i = 0; i < 48; ++i) image[i] = static_cast<uint8_t>(i);
        image[24] = 4;
        SetKeyAOf(card.mifare, kSystemSector, bench::MifareSectorKeyFor(UidOf(card.mifare), kHotelPassword));
        bench::WriteMifareRecord(card.mifare, kSystemSector, image);
    }
    Insert(card);
    if (m != Medium::Mifare) {
        HostArgs guest;
        ASSERT_EQ(guest.Make(MakeGuestCard), KS_OK);
    }
    int16_t out[5] = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(ReadSystemPas(out), KS_ERR_CARD_INVALID);
    for (int16_t e : out) EXPECT_EQ(e, kUntouched);

    Take(m);
    Insert(FactoryCard(m, 1));
    HostArgs in;
    ASSERT_EQ(in.Make(MakeGuestCard), KS_OK) << "the hotel's password still opens its cards";
    const Record plain = CurrentPlainRecord(m);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(plain[20 + i], kHotelPassword[i]);
}

// Every value of every single plain record byte, sealed onto the card as a
// forger would (enciphered, check bytes left as they were).
TEST_P(CardsOnMedium, AChangedByteOfASealedRecordIsRefused) {
    Insert(FactoryCard(m));
    HostArgs in;
    ASSERT_EQ(in.Make(MakeGuestCard), KS_OK);
    const Card issued = Take(m);
    const Record plain = Decipher(RawRecord(issued));
    // Bytes 0-26 are covered by every medium's check; on TEMIC byte 27 is the check itself.
    const int last = m == Medium::Temic ? 27 : 26;
    int accepted = 0;
    for (int k = 0; k <= last; ++k) {
        for (int d = 1; d < 256; ++d) {
            Record changed = plain;
            changed[k] = static_cast<uint8_t>(changed[k] ^ d);
            Card forged = issued;
            SetRawRecord(forged, Encipher(changed));
            Insert(forged);
            Outputs read;
            const int16_t result = read.Read();
            Take(m);
            if (m == Medium::Temic) {
                // TEMIC keeps only the low byte of the CRC-16: a few changes
                // keep it, and the card format cannot tell them. The library
                // must refuse exactly what the independent check refuses.
                bench::TemicRecord opened{};
                const bool valid = bench::ReadTemicRecord(forged.temic, &opened);
                accepted += valid;
                if (valid) continue;
            }
            ASSERT_EQ(result, KS_ERR_CARD_INVALID) << "plain byte " << k << " xor " << d;
            ASSERT_EQ(read.type[0], kUntouched);
        }
    }
    if (m == Medium::Temic) {
        EXPECT_LT(accepted, 28 * 255 / 32) << "the trailing check still refuses nearly every change";
    }
    Insert(issued);
    Outputs read;
    EXPECT_EQ(read.Read(), KS_OK) << "the untouched record still reads";
}

TEST_P(CardsOnMedium, OptionFlagAndSignedSplitsThroughTheCard) {
    struct Case {
        int32_t flag;
        int16_t wide0;
        int flagByte;
        int high, low;
    };
    // Only an exact 1 in the low 16 bits sets the flag; the 16-bit split
    // truncates toward zero, so -300 is stored as FF D4.
    const Case cases[] = {{1, 0x1234, 1, 0x12, 0x34}, {0, 255, 0, 0x00, 0xFF}, {2, 256, 0, 0x01, 0x00},
                          {-1, -1, 0, 0x00, 0xFF},   {0x10001, -300, 1, 0xFF, 0xD4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flag);
        Insert(FactoryCard(m));
        HostArgs in;
        in.flag = c.flag;
        in.wide[0] = c.wide0;
        ASSERT_EQ(in.Make(MakeGuestCard), KS_OK);
        const Record plain = CurrentPlainRecord(m);
        EXPECT_EQ(plain[19], c.flagByte);
        EXPECT_EQ(plain[10], c.high);
        EXPECT_EQ(plain[11], c.low);
        Outputs read;
        ASSERT_EQ(read.Read(), KS_OK);
        EXPECT_EQ(read.flag[0], c.flagByte);
        EXPECT_EQ(read.wide[0], static_cast<int16_t>(c.high << 8 | c.low));
        Take(m);
    }
}

TEST_P(CardsOnMedium, MissingArraysAreRefusedBeforeAnythingChanges) {
    Insert(FactoryCard(m));
    bench::ClearCallLog();
    HostArgs in;
    EXPECT_EQ(MakeGuestCard(in.serial, 0, 0, nullptr, nullptr, nullptr, 1, nullptr, nullptr, in.start, in.end),
              KS_ERR_UNAVAILABLE);
    EXPECT_EQ(MakeFloorCard(in.serial, 0, 0, nullptr, nullptr, in.wide, 1, nullptr, in.listC, in.start, in.end),
              KS_ERR_UNAVAILABLE);
    EXPECT_EQ(MakeEmergentCard(nullptr, 0, 0, nullptr, nullptr, nullptr, 1, nullptr, nullptr, in.start, in.end),
              KS_ERR_UNAVAILABLE);
    EXPECT_EQ(MakeChiefCard(in.serial, 0, 0, nullptr, nullptr, nullptr, 1, nullptr, nullptr, in.start, nullptr),
              KS_ERR_UNAVAILABLE);
    EXPECT_EQ(in.start[0], 2031) << "years untouched";
    EXPECT_EQ(in.end[0], 2032);
    Outputs out;
    EXPECT_EQ(ReadCard(nullptr, 0, out.number, out.listA, out.listB, out.wide, out.flag, out.type, out.listC,
                       out.start, out.end),
              KS_ERR_UNAVAILABLE);
    EXPECT_EQ(ReadSystemPas(nullptr), KS_ERR_UNAVAILABLE);
    // The TEMIC clear never writes the host's array, so it does without one.
    if (m != Medium::Temic) EXPECT_EQ(ClearCardData(nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(bench::TotalCalls(), 0u) << "no device was touched";
    if (m == Medium::Temic) EXPECT_EQ(ClearCardData(nullptr), KS_OK);

    // ReadCard needs only what the card on the encoder fills: a guest card
    // does without ListB and Number, a floor card does not.
    ASSERT_EQ(in.Make(MakeFloorCard), KS_OK);
    EXPECT_EQ(ReadCard(out.serial, 0, out.number, out.listA, nullptr, out.wide, out.flag, out.type, nullptr,
                       out.start, out.end),
              KS_OK);
    Outputs untouched;
    EXPECT_EQ(ReadCard(untouched.serial, 0, nullptr, untouched.listA, untouched.listB, untouched.wide,
                       untouched.flag, untouched.type, untouched.listC, untouched.start, untouched.end),
              KS_ERR_UNAVAILABLE);
    ExpectSameOutputs(untouched, Outputs());  // nothing written when an output is missing
}

TEST_P(CardsOnMedium, MakeSealCardTouchesNothing) {
    Insert(FactoryCard(m));
    bench::ClearCallLog();
    HostArgs in;
    EXPECT_EQ(in.Make(MakeSealCard), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(in.start[0], 2031);
    EXPECT_EQ(in.end[0], 2032);
    for (int16_t e : in.serial) EXPECT_EQ(e, kUntouched);
    EXPECT_EQ(bench::TotalCalls(), 0u);
    Outputs read;
    ASSERT_EQ(read.Read(), KS_OK);
    EXPECT_EQ(read.type[0], kCardTypeCleared);
}

// ---------------------------------------------------------------------------
// Binding a record to its card: copies fail on the serial-bound media.

class SerialBoundMedia : public CardsOnMedium {};
INSTANTIATE_TEST_SUITE_P(SerialBound, SerialBoundMedia, ::testing::Values(Medium::Ic, Medium::Mifare),
                         [](const ::testing::TestParamInfo<Medium> &info) { return NameOf(info.param); });

TEST_P(SerialBoundMedia, ARecordCopiedOntoAnotherCardFailsThere) {
    Insert(FactoryCard(m, 0));
    HostArgs in;
    ASSERT_EQ(in.Make(MakeGuestCard), KS_OK);
    const Card original = Take(m);
    Card copy = FactoryCard(m, 1);
    SetRawRecord(copy, RawRecord(original));
    if (m == Medium::Mifare) SetBlockOf(copy.mifare, 4 * kSector + 2, BlockOf(original.mifare, 4 * kSector + 2));
    Insert(copy);
    Outputs read;
    EXPECT_EQ(read.Read(), KS_ERR_CARD_INVALID);
    EXPECT_EQ(read.type[0], kUntouched);
    HostArgs over;
    EXPECT_NE(over.Make(MakeGuestCard), KS_OK) << "nor can it be issued over";
    Take(m);
    Insert(original);
    Outputs back;
    EXPECT_EQ(back.Read(), KS_OK);
}

// ---------------------------------------------------------------------------
// Mifare specifics.

class MifareCards : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        bench::PlaceRc500Reader(kComPort);
        ASSERT_EQ(Init('4'), KS_OK);
    }
    void TearDown() override { EXPECT_EQ(bench::TotalOpen(), 0); }

    // Arguments of every call of `fn` since the log was cleared: the
    // sectors authenticated, the blocks read.
    static std::vector<int64_t> ArgsOf(const std::string &fn, size_t index) {
        std::vector<int64_t> values;
        for (const auto &c : bench::CallLog()) {
            if (c.fn == fn) values.push_back(c.args.at(index));
        }
        return values;
    }
};

TEST_F(MifareCards, GuestCardVectorLandsOnTheCardByteForByte) {
    const std::string file = "guest-card-mifare.txt";
    bench::PlaceMifareCard(bench::MakeFactoryMifareCard({{0x11, 0x22, 0x33, 0x44}}, kHotelPassword, 1));
    int16_t serial[8] = {};
    int16_t wide[12] = {0x0101, 0x0203, 0, 0, 0, 0x0010, 0, 0, 7, 0, 0, 0};
    int16_t start[5] = {2026, 12, 7, 14, 0};
    int16_t end[5] = {2026, 12, 9, 12, 0};
    ASSERT_EQ(MakeGuestCard(serial, 0, 0, nullptr, nullptr, wide, 1, nullptr, nullptr, start, end), KS_OK);
    const int16_t wantSerial[8] = {0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(serial[i], wantSerial[i]);
    const bench::MifareCard card = *bench::CurrentMifareCard();
    for (int b = 4; b <= 6; ++b) {
        const auto want = kstest::Hex(kstest::VectorLine(file, "block " + std::to_string(b)));
        const auto got = BlockOf(card, b);
        EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), want) << "block " << b;
    }
    const auto key = KeyAOf(card, 1);
    EXPECT_EQ(std::vector<uint8_t>(key.begin(), key.end()), kstest::Hex(kstest::VectorLine(file, "sector 1 key A (the card's sector key)")));
}

TEST_F(MifareCards, KindsWithoutExtensionCarrySixteenCcBytes) {
    for (MakeFn make : {MakeTimeCard, MakeEmergentCard, MakeChiefCard, MakeLostCard, MakeDataCard,
                        MakeGuestLeaveCard}) {
        bench::PlaceMifareCard(FactoryCard(Medium::Mifare).mifare);
        HostArgs in;
        ASSERT_EQ(in.Make(make), KS_OK);
        const auto block = BlockOf(*bench::TakeMifareCard(), 4 * kSector + 2);
        for (uint8_t b : block) EXPECT_EQ(b, 0xCC);
    }
}

TEST_F(MifareCards, InstallCardWithoutLockNumberReadsBackItsBitMask) {
    const std::pair<int16_t, std::array<int16_t, 4>> cases[] = {
        {5, {{16, 0, 0, 0}}}, {32, {{0, 0, 0, 128}}}, {1, {{1, 0, 0, 0}}}};
    for (const auto &c : cases) {
        bench::PlaceMifareCard(FactoryCard(Medium::Mifare).mifare);
        HostArgs in;
        in.wide[0] = 0;
        in.wide[8] = c.first;
        ASSERT_EQ(in.Make(MakeInstallCard), KS_OK);
        Outputs read;
        ASSERT_EQ(read.Read(), KS_OK);
        EXPECT_EQ(read.wide[0], 0);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(read.wide[8 + i], c.second[i]) << "number " << c.first << " byte " << i;
        bench::TakeMifareCard();
    }
}

TEST_F(MifareCards, ACardOfAnotherHotelIsRefusedWithItsSerialReported) {
    bench::PlaceMifareCard(FactoryCard(Medium::Mifare, 3, kOtherPassword).mifare);
    Outputs read;
    EXPECT_EQ(read.Read(), KS_ERR_CARD_INVALID);
    const int16_t want[8] = {0x11 + 3, 0x22, 0x33, 0x44, 0, 0, 0, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(read.serial[i], want[i]) << i;
    EXPECT_EQ(read.type[0], kUntouched);
    EXPECT_EQ(read.start[0], kUntouched);
}

TEST_F(MifareCards, ReadSystemPasUsesSector15AndPutsTheSectorBack) {
    Card card = FactoryCard(Medium::Mifare);
    MakeSystemPasswordCard(card, {{9, 8, 7, 6}}, 5);
    bench::PlaceMifareCard(card.mifare);
    int16_t out[5] = {};
    bench::ClearCallLog();
    ASSERT_EQ(ReadSystemPas(out), KS_OK);
    EXPECT_EQ(ArgsOf("RC500_232_authkey", 1), (std::vector<int64_t>{kSystemSector}));
    EXPECT_EQ(ArgsOf("RC500_232_read", 0), (std::vector<int64_t>{60, 61, 62}));
    bench::ClearCallLog();
    Outputs read;
    ASSERT_EQ(read.Read(), KS_ERR_CARD_INVALID) << "the new password no longer opens sector 1 of this card";
    EXPECT_EQ(ArgsOf("RC500_232_authkey", 1), (std::vector<int64_t>{kSector}));

    // A failed read (no password card in sector 15) also puts the sector back.
    ASSERT_EQ(Init('4'), KS_OK);
    bench::TakeMifareCard();
    bench::PlaceMifareCard(FactoryCard(Medium::Mifare).mifare);
    EXPECT_EQ(ReadSystemPas(out), KS_ERR_COMM);
    bench::ClearCallLog();
    ASSERT_EQ(read.Read(), KS_OK);
    EXPECT_EQ(ArgsOf("RC500_232_authkey", 1), (std::vector<int64_t>{kSector}));
    EXPECT_EQ(ArgsOf("RC500_232_read", 0), (std::vector<int64_t>{4, 5, 6}));
    EXPECT_EQ(read.type[0], kCardTypeCleared);
}

// ---------------------------------------------------------------------------
// No medium served.

TEST(NoMedium, CardExportsAnswerUnavailableButStillReduceTheYears) {
    bench::Reset();
    bench::PlaceRc500Reader(kComPort);
    ASSERT_EQ(Init('3'), KS_ERR_MEDIUM_RESERVED);  // LockType 4
    bench::ClearCallLog();
    for (const KindRow &k : kKinds) {
        HostArgs in;
        EXPECT_EQ(in.Make(k.make), KS_ERR_UNAVAILABLE) << k.name;
        EXPECT_EQ(in.start[0], 31) << k.name;
        EXPECT_EQ(in.end[0], 32) << k.name;
        for (int16_t e : in.serial) EXPECT_EQ(e, kUntouched);
    }
    HostArgs seal;
    EXPECT_EQ(seal.Make(MakeSealCard), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(seal.start[0], 2031);
    Outputs out;
    EXPECT_EQ(out.Read(), KS_ERR_UNAVAILABLE);
    ExpectSameOutputs(out, Outputs());
    int16_t password[5] = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(ReadSystemPas(password), KS_ERR_UNAVAILABLE);
    int16_t serial[8] = {kUntouched};
    EXPECT_EQ(ClearCardData(serial), KS_ERR_MEDIUM_RESERVED);
    EXPECT_EQ(serial[0], kUntouched);
    EXPECT_EQ(bench::TotalCalls(), 0u);
}

}  // namespace
