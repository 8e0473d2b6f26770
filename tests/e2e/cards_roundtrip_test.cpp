// Issuing, reading, clearing and the system password card through the
// exports, on every medium of the bench: each card kind survives the round
// trip, refusals come from the right place, and records are bound to their
// card.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "bench.h"
#include "call_log.h"
#include "card_args.h"
#include "kestrane.h"
#include "medium_rig.h"
#include "record_codec.h"
#include "test_support.h"

namespace {

using namespace kstest;

const Password kOtherPassword = {{0x10, 0x20, 0x30, 0x40}};
constexpr int kCardTypeCleared = 20;

// The plain record of the card in the encoder.
CardRecord PlainRecordInEncoder(Medium m) { return DecipherRecord(RawRecord(Current(m))); }

// The next card, made for `password`, is issued carrying it (TEMIC and
// Mifare cards of another password are refused by the driver).
void ExpectNextCardCarries(Medium m, const Password &password) {
    Take(m);
    Insert(FactoryCard(m, 1, password));
    IssueArgs in;
    ASSERT_EQ(in.Issue(MakeGuestCard), KS_OK);
    const CardRecord plain = PlainRecordInEncoder(m);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(plain[20 + i], password[i]) << "password byte " << i;
}

void ExpectSerial(Medium m, const Card &card, int16_t *serial) {
    if (m == Medium::Ic) {
        for (int i = 0; i < 4; ++i) serial[i] = card.ic.memory[60 + i];
    } else if (m == Medium::Temic) {
        bench::TemicRecord plain{};
        EXPECT_TRUE(bench::ReadTemicRecord(card.temic, &plain));
        serial[0] = plain[25], serial[1] = plain[26], serial[2] = 0, serial[3] = 0;
    } else {
        const auto uid = card.mifare.Uid();
        for (int i = 0; i < 4; ++i) serial[i] = uid[i], serial[4 + i] = 0;
    }
}

ReadOutputs Expected(const CardKindRow &k, Medium m, const IssueArgs &in, const Card &card) {
    ReadOutputs o;
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
        ASSERT_EQ(EncodeInitWith(MediumIni(LockDigit(m))), KS_OK);
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
    for (const CardKindRow &k : kCardKinds) {
        SCOPED_TRACE(k.name);
        const Card factory = FactoryCard(m);
        Insert(factory);

        IssueArgs in;
        ASSERT_EQ(in.Issue(k.make), KS_OK);
        EXPECT_EQ(in.start[0], 31) << "host year reduced in place";
        EXPECT_EQ(in.end[0], 32);
        ReadOutputs serialOnly;
        ExpectSerial(m, factory, serialOnly.serial);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(in.serial[i], serialOnly.serial[i]) << "serial " << i;

        // What the card holds: the type code and the hotel's password.
        const CardRecord plain = PlainRecordInEncoder(m);
        EXPECT_EQ(plain[24], k.code);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(plain[20 + i], kHotelPassword[i]);

        ReadOutputs read;
        ASSERT_EQ(read.Read(), KS_OK);
        ExpectSameOutputs(read, Expected(k, m, in, factory));

        ASSERT_EQ(ClearCardData(IssueArgs().serial), KS_OK);
        ReadOutputs cleared;
        ASSERT_EQ(cleared.Read(), KS_OK);
        EXPECT_EQ(cleared.type[0], kCardTypeCleared);
        for (int i = 8; i < 12; ++i) EXPECT_EQ(cleared.wide[i], 0);
        EXPECT_EQ(cleared.start[0], kUntouched) << "a cleared card returns no times";
        EXPECT_EQ(cleared.flag[0], kUntouched);

        IssueArgs again;
        again.flag = 0;
        ASSERT_EQ(again.Issue(k.make), KS_OK) << "a cleared card can be issued again";
        ReadOutputs reread;
        ASSERT_EQ(reread.Read(), KS_OK);
        EXPECT_EQ(reread.type[0], k.code);
        EXPECT_EQ(reread.flag[0], 0);
        Take(m);
    }
}

TEST_P(CardsOnMedium, AnIssuedCardIsRefusedByEveryIssuingExportUntilCleared) {
    Insert(FactoryCard(m));
    IssueArgs first;
    ASSERT_EQ(first.Issue(MakeGuestCard), KS_OK);
    Card before = Take(m);
    const CardRecord issued = RawRecord(before);
    Insert(before);
    for (const CardKindRow &k : kCardKinds) {
        IssueArgs in;
        EXPECT_EQ(in.Issue(k.make), KS_ERR_NOT_CLEARED) << k.name;
        EXPECT_EQ(in.start[0], 31) << "years reduced whatever the result";
        EXPECT_EQ(in.end[0], 32);
    }
    Card now = Take(m);
    EXPECT_EQ(RawRecord(now), issued) << "nothing was written";
    Insert(now);
    int16_t serial[8] = {};
    ASSERT_EQ(ClearCardData(serial), KS_OK);
    IssueArgs in;
    EXPECT_EQ(in.Issue(MakeChiefCard), KS_OK);
}

TEST_P(CardsOnMedium, ClearingAClearedCardSucceeds) {
    const Card factory = FactoryCard(m);
    Insert(factory);
    std::vector<int16_t> serial(8, kUntouched);
    ASSERT_EQ(ClearCardData(serial.data()), KS_OK);
    ASSERT_EQ(ClearCardData(serial.data()), KS_OK);
    ReadOutputs want;
    ExpectSerial(m, factory, want.serial);
    if (m == Medium::Temic) {
        for (int i = 0; i < 4; ++i) want.serial[i] = kUntouched;  // the TEMIC clear leaves it alone
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(serial[i], want.serial[i]) << i;
    ReadOutputs read;
    ASSERT_EQ(read.Read(), KS_OK);
    EXPECT_EQ(read.type[0], kCardTypeCleared);
}

TEST_P(CardsOnMedium, SystemPasswordCardIsClearedOnlyOnIc4442) {
    Card card = FactoryCard(m);
    // On Mifare the card must hold it in the configured sector to be cleared there.
    MakeSystemPasswordCard(card, {{1, 2, 3, 4}}, 0x99, kHotelPassword, kSector);
    Insert(card);
    std::vector<int16_t> serial(8, kUntouched);
    const int16_t want = m == Medium::Ic ? KS_OK : m == Medium::Temic ? KS_ERR_CARD_INVALID : KS_ERR_NOT_MIFARE_1K;
    EXPECT_EQ(ClearCardData(serial.data()), want);
    Card after = Take(m);
    if (m == Medium::Ic) {
        EXPECT_EQ(DecipherRecord(RawRecord(after))[0], 0x63);
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
    std::vector<int16_t> out(5, kUntouched);
    ASSERT_EQ(ReadSystemPas(out.data()), KS_OK);
    const int16_t want[5] = {1, 2, 3, 4, 0x99};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], want[i]) << i;
    ExpectNextCardCarries(m, cardPassword);
}

TEST_P(CardsOnMedium, ReadCardDecodesASystemPasswordCard) {
    Card card = FactoryCard(m);
    MakeSystemPasswordCard(card, {{1, 2, 3, 4}}, 0x99, kHotelPassword, kSector);
    Insert(card);
    ReadOutputs read;
    ASSERT_EQ(read.Read(), KS_OK);
    ReadOutputs want;
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
        card.mifare.SetKeyA(kSystemSector, bench::MifareSectorKeyFor(card.mifare.Uid(), kHotelPassword));
        bench::WriteMifareRecord(card.mifare, kSystemSector, image);
    }
    Insert(card);
    if (m != Medium::Mifare) {
        IssueArgs guest;
        ASSERT_EQ(guest.Issue(MakeGuestCard), KS_OK);
    }
    std::vector<int16_t> out(5, kUntouched);
    EXPECT_EQ(ReadSystemPas(out.data()), KS_ERR_CARD_INVALID);
    for (int16_t e : out) EXPECT_EQ(e, kUntouched);
    ExpectNextCardCarries(m, kHotelPassword);  // the hotel's password still opens its cards
}

// Every value of every single plain record byte, sealed onto the card as a
// forger would (enciphered, check bytes left as they were).
TEST_P(CardsOnMedium, AChangedByteOfASealedRecordIsRefused) {
    Insert(FactoryCard(m));
    IssueArgs in;
    ASSERT_EQ(in.Issue(MakeGuestCard), KS_OK);
    const Card issued = Take(m);
    const CardRecord plain = DecipherRecord(RawRecord(issued));
    // Bytes 0-26 are covered by every medium's check; on TEMIC byte 27 is the check itself.
    const int last = m == Medium::Temic ? 27 : 26;
    int accepted = 0;
    for (int k = 0; k <= last; ++k) {
        for (int d = 1; d < 256; ++d) {
            CardRecord changed = plain;
            changed[k] = static_cast<uint8_t>(changed[k] ^ d);
            Card forged = issued;
            SetRawRecord(forged, EncipherRecord(changed));
            Insert(forged);
            ReadOutputs read;
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
    ReadOutputs read;
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
        IssueArgs in;
        in.flag = c.flag;
        in.wide[0] = c.wide0;
        ASSERT_EQ(in.Issue(MakeGuestCard), KS_OK);
        const CardRecord plain = PlainRecordInEncoder(m);
        EXPECT_EQ(plain[19], c.flagByte);
        EXPECT_EQ(plain[10], c.high);
        EXPECT_EQ(plain[11], c.low);
        ReadOutputs read;
        ASSERT_EQ(read.Read(), KS_OK);
        EXPECT_EQ(read.flag[0], c.flagByte);
        EXPECT_EQ(read.wide[0], static_cast<int16_t>(c.high << 8 | c.low));
        Take(m);
    }
}

TEST_P(CardsOnMedium, MissingArraysAreRefusedBeforeAnythingChanges) {
    Insert(FactoryCard(m));
    bench::ClearCallLog();
    IssueArgs in;
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
    ReadOutputs out;
    EXPECT_EQ(ReadCard(nullptr, 0, out.number, out.listA, out.listB, out.wide, out.flag, out.type, out.listC,
                       out.start, out.end),
              KS_ERR_UNAVAILABLE);
    EXPECT_EQ(ReadSystemPas(nullptr), KS_ERR_UNAVAILABLE);
    // The TEMIC clear never writes the host's array, so it does without one.
    if (m != Medium::Temic) {
        EXPECT_EQ(ClearCardData(nullptr), KS_ERR_UNAVAILABLE);
    }
    EXPECT_EQ(bench::TotalCalls(), 0u) << "no device was touched";
    if (m == Medium::Temic) {
        EXPECT_EQ(ClearCardData(nullptr), KS_OK);
    }

    // ReadCard needs only what the card on the encoder fills: a guest card
    // does without ListB and Number, a floor card does not.
    ASSERT_EQ(in.Issue(MakeFloorCard), KS_OK);
    EXPECT_EQ(ReadCard(out.serial, 0, out.number, out.listA, nullptr, out.wide, out.flag, out.type, nullptr,
                       out.start, out.end),
              KS_OK);
    ReadOutputs untouched;
    EXPECT_EQ(ReadCard(untouched.serial, 0, nullptr, untouched.listA, untouched.listB, untouched.wide,
                       untouched.flag, untouched.type, untouched.listC, untouched.start, untouched.end),
              KS_ERR_UNAVAILABLE);
    ExpectSameOutputs(untouched, ReadOutputs());  // nothing written when an output is missing
}

TEST_P(CardsOnMedium, MakeSealCardTouchesNothing) {
    Insert(FactoryCard(m));
    bench::ClearCallLog();
    IssueArgs in;
    EXPECT_EQ(in.Issue(MakeSealCard), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(in.start[0], 2031);
    EXPECT_EQ(in.end[0], 2032);
    for (int16_t e : in.serial) EXPECT_EQ(e, kUntouched);
    EXPECT_EQ(bench::TotalCalls(), 0u);
    ReadOutputs read;
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
    IssueArgs in;
    ASSERT_EQ(in.Issue(MakeGuestCard), KS_OK);
    const Card original = Take(m);
    Card copy = FactoryCard(m, 1);
    SetRawRecord(copy, RawRecord(original));
    if (m == Medium::Mifare) copy.mifare.SetBlock(4 * kSector + 2, original.mifare.Block(4 * kSector + 2));
    Insert(copy);
    ReadOutputs read;
    EXPECT_EQ(read.Read(), KS_ERR_CARD_INVALID);
    EXPECT_EQ(read.type[0], kUntouched);
    IssueArgs over;
    EXPECT_NE(over.Issue(MakeGuestCard), KS_OK) << "nor can it be issued over";
    Take(m);
    Insert(original);
    ReadOutputs back;
    EXPECT_EQ(back.Read(), KS_OK);
}

// ---------------------------------------------------------------------------
// Mifare specifics.

class MifareCards : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        bench::PlaceRc500Reader(kEncoderPort);
        ASSERT_EQ(EncodeInitWith(MediumIni('4')), KS_OK);
    }
    void TearDown() override { EXPECT_EQ(bench::TotalOpen(), 0); }
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
        const auto want = Hex(VectorLine(file, "block " + std::to_string(b)));
        const auto got = card.Block(b);
        EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), want) << "block " << b;
    }
    const auto key = card.KeyA(1);
    EXPECT_EQ(std::vector<uint8_t>(key.begin(), key.end()), Hex(VectorLine(file, "sector 1 key A (the card's sector key)")));
}

TEST_F(MifareCards, KindsWithoutExtensionCarrySixteenCcBytes) {
    for (const CardKindRow &k : kCardKinds) {
        if (k.extension != Extension::None) continue;
        bench::PlaceMifareCard(FactoryCard(Medium::Mifare).mifare);
        IssueArgs in;
        ASSERT_EQ(in.Issue(k.make), KS_OK);
        const auto block = bench::TakeMifareCard()->Block(4 * kSector + 2);
        for (uint8_t b : block) EXPECT_EQ(b, 0xCC);
    }
}

TEST_F(MifareCards, InstallCardWithoutLockNumberReadsBackItsBitMask) {
    const std::pair<int16_t, std::array<int16_t, 4>> cases[] = {
        {5, {{16, 0, 0, 0}}}, {32, {{0, 0, 0, 128}}}, {1, {{1, 0, 0, 0}}}};
    for (const auto &c : cases) {
        bench::PlaceMifareCard(FactoryCard(Medium::Mifare).mifare);
        IssueArgs in;
        in.wide[0] = 0;
        in.wide[8] = c.first;
        ASSERT_EQ(in.Issue(MakeInstallCard), KS_OK);
        ReadOutputs read;
        ASSERT_EQ(read.Read(), KS_OK);
        EXPECT_EQ(read.wide[0], 0);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(read.wide[8 + i], c.second[i]) << "number " << c.first << " byte " << i;
        bench::TakeMifareCard();
    }
}

TEST_F(MifareCards, ACardOfAnotherHotelIsRefusedWithItsSerialReported) {
    bench::PlaceMifareCard(FactoryCard(Medium::Mifare, 3, kOtherPassword).mifare);
    ReadOutputs read;
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
    EXPECT_EQ(ArgOfEach("RC500_232_authkey", 1), (std::vector<int64_t>{kSystemSector}));
    EXPECT_EQ(ArgOfEach("RC500_232_read", 0), (std::vector<int64_t>{60, 61, 62}));
    bench::ClearCallLog();
    ReadOutputs read;
    ASSERT_EQ(read.Read(), KS_ERR_CARD_INVALID) << "the new password no longer opens sector 1 of this card";
    EXPECT_EQ(ArgOfEach("RC500_232_authkey", 1), (std::vector<int64_t>{kSector}));

    // A failed read (no password card in sector 15) also puts the sector back.
    ASSERT_EQ(EncodeInitWith(MediumIni('4')), KS_OK);
    bench::TakeMifareCard();
    bench::PlaceMifareCard(FactoryCard(Medium::Mifare).mifare);
    EXPECT_EQ(ReadSystemPas(out), KS_ERR_COMM);
    bench::ClearCallLog();
    ASSERT_EQ(read.Read(), KS_OK);
    EXPECT_EQ(ArgOfEach("RC500_232_authkey", 1), (std::vector<int64_t>{kSector}));
    EXPECT_EQ(ArgOfEach("RC500_232_read", 0), (std::vector<int64_t>{4, 5, 6}));
    EXPECT_EQ(read.type[0], kCardTypeCleared);
}

// ---------------------------------------------------------------------------
// No medium served.

TEST(NoMedium, CardExportsAnswerUnavailableButStillReduceTheYears) {
    bench::Reset();
    bench::PlaceRc500Reader(kEncoderPort);
    ASSERT_EQ(EncodeInitWith(MediumIni('3')), KS_ERR_MEDIUM_RESERVED);  // LockType 4
    bench::ClearCallLog();
    for (const CardKindRow &k : kCardKinds) {
        IssueArgs in;
        EXPECT_EQ(in.Issue(k.make), KS_ERR_UNAVAILABLE) << k.name;
        EXPECT_EQ(in.start[0], 31) << k.name;
        EXPECT_EQ(in.end[0], 32) << k.name;
        for (int16_t e : in.serial) EXPECT_EQ(e, kUntouched);
    }
    IssueArgs seal;
    EXPECT_EQ(seal.Issue(MakeSealCard), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(seal.start[0], 2031);
    ReadOutputs out;
    EXPECT_EQ(out.Read(), KS_ERR_UNAVAILABLE);
    ExpectSameOutputs(out, ReadOutputs());
    std::vector<int16_t> password(5, kUntouched);
    EXPECT_EQ(ReadSystemPas(password.data()), KS_ERR_UNAVAILABLE);
    int16_t serial[8] = {kUntouched};
    EXPECT_EQ(ClearCardData(serial), KS_ERR_MEDIUM_RESERVED);
    EXPECT_EQ(serial[0], kUntouched);
    EXPECT_EQ(bench::TotalCalls(), 0u);
}

}  // namespace
