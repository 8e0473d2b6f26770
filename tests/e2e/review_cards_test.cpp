// Independent check of the bytes locks and hosts depend on: cards issued with
// arbitrary host values (negative, above 255, above 32767 as unsigned) are
// compared byte for byte with the card rules written out here on their own;
// forged records of every type code are read back through ReadCard and
// compared output by output (including the outputs that must stay as the host
// passed them); open-door logs of random slots are drained and compared call
// by call; collector frames for arbitrary values are compared on the wire.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "bench.h"
#include "call_log.h"
#include "card_args.h"
#include "collector_bench.h"
#include "kestrane.h"
#include "medium_rig.h"
#include "record_codec.h"
#include "test_support.h"

namespace {

using namespace kstest;

constexpr int kRecordSector = 2;  // Mifare cards: not the default sector
constexpr int kCollectorPort = 6;

// ---------------------------------------------------------------------------
// The encoder and its cards.

int16_t Configure(Medium m) {
    EncodeExit();
    bench::Reset();
    PlaceEncoder(m);
    return EncodeInitWith(MediumIni(LockDigit(m), std::to_string(kRecordSector)));
}

// The 64 values a reader of the medium gets from the card: the opened record,
// then what the medium adds (IC: the serial bytes at 28-31; Mifare: bytes
// 28-47 as stored); positions the medium does not fill are 0.
std::array<int, 64> ReaderImage(const Card &c) {
    std::array<int, 64> image{};
    if (c.medium == Medium::Ic) {
        CardRecord plain{};
        EXPECT_TRUE(bench::OpenIcRecord(c.ic, &plain));
        for (int i = 0; i < 28; ++i) image[i] = plain[i];
        for (int i = 0; i < 4; ++i) image[28 + i] = c.ic.memory[60 + i];
    } else if (c.medium == Medium::Temic) {
        bench::TemicRecord plain{};
        EXPECT_TRUE(bench::ReadTemicRecord(c.temic, &plain));
        for (int i = 0; i < 28; ++i) image[i] = plain[i];
    } else {
        std::array<uint8_t, 48> stored{};
        EXPECT_TRUE(bench::ReadMifareRecord(c.mifare, kRecordSector, &stored));
        for (int i = 0; i < 48; ++i) image[i] = stored[i];
    }
    return image;
}

// Puts a plain record (and on Mifare bytes 28-47) onto the card as a writer
// of this system would.
void Forge(Card &c, const std::array<int, 48> &bytes) {
    CardRecord plain{};
    for (int i = 0; i < 28; ++i) plain[i] = static_cast<uint8_t>(bytes[i]);
    if (c.medium == Medium::Ic) {
        SetRawRecord(c, SealSerialBound(plain, SealSerialByte(c)));
    } else if (c.medium == Medium::Temic) {
        bench::WriteTemicRecord(c.temic, plain);
    } else {
        std::array<uint8_t, 48> image{};
        for (int i = 0; i < 48; ++i) image[i] = static_cast<uint8_t>(bytes[i]);
        bench::WriteMifareRecord(c.mifare, kRecordSector, image);
    }
}

// ---------------------------------------------------------------------------
// The host's side.

// Values that stress the byte rules: zero, one, the lost-card threshold,
// byte and sign boundaries, marker-only values (low byte 0), random ones.
int16_t Pick(std::mt19937 &rng) {
    static const int16_t edge[] = {0, 1, 9, 10, 15, 16, 59, 99, 100, 127, 128, 255, 256, 0x1234, 0x7FFF,
                                   -1, -10, -37, -256, -300, static_cast<int16_t>(0x8000), 0x0200};
    std::uniform_int_distribution<int> choose(0, 2 * static_cast<int>(std::size(edge)) - 1);
    const int k = choose(rng);
    if (k < static_cast<int>(std::size(edge))) return edge[k];
    return static_cast<int16_t>(std::uniform_int_distribution<int>(-32768, 32767)(rng));
}

IssueArgs RandomArgs(std::mt19937 &rng) {
    IssueArgs h;
    for (int16_t &v : h.serial) v = kUntouched;
    for (int16_t &v : h.listA) v = Pick(rng);
    for (int16_t &v : h.listB) v = Pick(rng);
    for (int16_t &v : h.wide) v = Pick(rng);
    // Often all-zero extension values, so the marker is also seen unset.
    if (rng() % 3 == 0) {
        for (int i = 4; i < 12; ++i) h.wide[i] = 0;
        if (rng() % 2) h.wide[8 + rng() % 4] = 0x100;  // sets the marker, stores 0
    }
    h.typeCode[0] = Pick(rng);
    for (int16_t &v : h.listC) v = Pick(rng);
    for (int16_t &v : h.start) v = Pick(rng);
    for (int16_t &v : h.end) v = Pick(rng);
    h.start[0] = static_cast<int16_t>(2000 + static_cast<int16_t>(rng() % 300) - 20);
    h.end[0] = (rng() % 4 == 0) ? Pick(rng) : static_cast<int16_t>(2000 + rng() % 256);
    // Scalars travel in 4-byte slots of which only the low 16 bits count.
    static const int32_t flags[] = {1, 0, 2, -1, 0x10001, 0x10000, static_cast<int32_t>(0xFFFF0001u)};
    h.flag = flags[rng() % std::size(flags)];
    h.number = static_cast<int32_t>(rng());
    return h;
}

// The card image a kind must hand the driver (bytes 0-19 and 28-47 reach
// the card; 20-27 belong to the driver), from the host's values before the call.
std::array<int, 64> ExpectedImage(const CardKindRow &k, const IssueArgs &h) {
    std::array<int, 64> img{};
    for (int i = 0; i < 64; ++i) img[i] = (i >= 32 && k.extension == Extension::None) ? 0xCC : i;
    auto lo = [](int v) { return v & 0xFF; };
    auto hi16 = [&](int16_t v) { return lo(v / 256); };  // C++ division truncates toward zero
    auto lo16 = [&](int16_t v) { return lo(v % 256); };
    img[0] = lo(static_cast<int16_t>(h.start[0] - 2000));
    if (k.code == 2) {
        for (int i = 1; i < 6; ++i) img[i] = lo(h.start[i]);
        img[6] = lo((h.start[5] / 10) * 10);
        img[7] = lo(h.start[5] % 10);
    } else {
        for (int i = 1; i < 5; ++i) img[i] = lo(h.start[i]);
        img[5] = lo(static_cast<int16_t>(h.end[0] - 2000));
        for (int i = 1; i < 5; ++i) img[5 + i] = lo(h.end[i]);
    }
    const int16_t number = static_cast<int16_t>(h.number);
    switch (k.code) {
        case 4:
            for (int i = 0; i < 4; ++i) img[10 + 2 * i] = hi16(h.wide[i]), img[11 + 2 * i] = lo16(h.wide[i]);
            break;
        case 5:
            img[10] = lo(number);
            for (int i = 0; i < 4; ++i) img[11 + i] = lo(h.listA[i]), img[15 + i] = lo(h.listC[i]);
            break;
        case 6:
            for (int i = 0; i < 4; ++i) img[11 + i] = lo(h.listB[i]), img[15 + i] = lo(h.listC[i]);
            break;
        case 8:
            for (int i = 0; i < 4; ++i) {
                img[11 + i] = lo(h.listA[i]);
                img[15 + i] = lo((h.listC[i] / 10) * 16 + h.listC[i] % 10);
            }
            break;
        case 11:
            img[10] = lo(number);
            img[11] = hi16(h.wide[0]);
            img[12] = lo16(h.wide[0]);
            img[13] = lo(h.listA[0]);
            img[14] = lo(h.listB[0]);
            break;
        case 12:
            img[10] = lo(h.typeCode[0]);
            if (h.typeCode[0] > 15)
                for (int i = 0; i < 4; ++i) img[11 + i] = lo(h.wide[i]);
            break;
        default:
            break;
    }
    img[19] = static_cast<int16_t>(h.flag) == 1 ? 1 : 0;
    if (k.extension != Extension::None) {
        bool marker = false;
        for (int i = 0; i < 4; ++i) img[32 + i] = lo(h.wide[8 + i]), marker = marker || h.wide[8 + i] != 0;
        if (k.extension == Extension::BytesAndWide) {
            for (int i = 0; i < 4; ++i) {
                img[36 + 2 * i] = hi16(h.wide[4 + i]);
                img[37 + 2 * i] = lo16(h.wide[4 + i]);
                marker = marker || h.wide[4 + i] != 0;
            }
        }
        img[45] = marker ? 0xF8 : 0;
        uint8_t ext[14];
        for (int i = 0; i < 14; ++i) ext[i] = static_cast<uint8_t>(img[32 + i]);
        const uint16_t crc = Crc16(ext, 14);
        img[46] = crc & 0xFF;
        img[47] = crc >> 8;
    }
    return img;
}

// What ReadCard must return for a card whose reader image is `img`; the
// result code goes to *result.
ReadOutputs ExpectedRead(Medium m, const std::array<int, 64> &img, const Card &card, int16_t *result) {
    ReadOutputs o;
    if (m == Medium::Ic) {
        for (int i = 0; i < 4; ++i) o.serial[i] = static_cast<int16_t>(img[28 + i]);
    } else if (m == Medium::Temic) {
        for (int i = 0; i < 4; ++i) o.serial[i] = 0;
        o.serial[0] = static_cast<int16_t>(img[25]), o.serial[1] = static_cast<int16_t>(img[26]);
    } else {
        const bench::MifareUid uid = card.mifare.Uid();
        for (int i = 0; i < 4; ++i) o.serial[i] = uid[i], o.serial[4 + i] = 0;
    }
    *result = KS_OK;
    if (img[0] == 0x63) {
        o.type[0] = 20;
        for (int i = 8; i < 12; ++i) o.wide[i] = 0;
        return o;
    }
    const int code = img[24];
    o.type[0] = static_cast<int16_t>(code);
    for (int i = 0; i < 5; ++i) o.start[i] = static_cast<int16_t>(img[i]), o.end[i] = static_cast<int16_t>(img[5 + i]);
    o.start[0] = static_cast<int16_t>(o.start[0] + 2000);
    o.end[0] = static_cast<int16_t>(o.end[0] + 2000);
    const bool marked = img[45] == 0xF8;
    for (int i = 0; i < 4; ++i) o.wide[8 + i] = marked ? static_cast<int16_t>(img[32 + i]) : 0;
    auto word = [&](int at) { return static_cast<int16_t>(img[at] * 256 + img[at + 1]); };
    switch (code) {
        case 1:
            o.end[0] = 2001, o.end[1] = o.end[2] = o.end[3] = o.end[4] = 1;
            break;
        case 2:
            for (int i = 0; i < 6; ++i) o.start[i] = static_cast<int16_t>(img[i]), o.end[i] = 0;
            o.start[0] = static_cast<int16_t>(o.start[0] + 2000);
            break;
        case 4:
            for (int i = 0; i < 4; ++i) {
                o.wide[i] = word(10 + 2 * i);
                o.wide[4 + i] = marked ? word(36 + 2 * i) : 0;
            }
            break;
        case 5:
            o.number[0] = static_cast<int16_t>(img[10]);
            for (int i = 0; i < 4; ++i) o.listA[i] = static_cast<int16_t>(img[11 + i]);
            break;
        case 6:
            for (int i = 0; i < 4; ++i) o.listB[i] = static_cast<int16_t>(img[11 + i]);
            break;
        case 8:
            for (int i = 0; i < 4; ++i) o.listA[i] = static_cast<int16_t>(img[11 + i]);
            break;
        case 11:
            o.number[0] = static_cast<int16_t>(img[10]);
            o.wide[0] = word(11);
            o.listA[0] = static_cast<int16_t>(img[13]);
            o.listB[0] = static_cast<int16_t>(img[14]);
            if (marked && o.wide[0] == 0) {
                const int bit = ((img[32] - 1) % 32 + 32) % 32;
                const uint32_t mask = uint32_t{1} << bit;
                for (int i = 0; i < 4; ++i) o.wide[8 + i] = static_cast<int16_t>((mask >> (8 * i)) & 0xFF);
            }
            break;
        case 3: case 9: case 10: case 12: case 14: case 15:
            break;
        default:
            *result = KS_ERR_CARD_INVALID;  // common fields stay written, the flag is not
            return o;
    }
    o.flag[0] = static_cast<int16_t>(img[19] & 1);
    return o;
}

class ReviewCards : public ::testing::TestWithParam<Medium> {
protected:
    void SetUp() override { ASSERT_EQ(Configure(GetParam()), KS_OK); }
    void TearDown() override {
        EncodeExit();
        EXPECT_EQ(bench::TotalOpen(), 0);
    }
};

INSTANTIATE_TEST_SUITE_P(AllMedia, ReviewCards, ::testing::Values(Medium::Ic, Medium::Temic, Medium::Mifare),
                         [](const ::testing::TestParamInfo<Medium> &info) { return NameOf(info.param); });

// Every kind, issued with arbitrary values: the card carries exactly the
// bytes of the card rules, the host sees its years reduced and the serial of
// the card, and ReadCard gives back what the rules say it reads from them.
TEST_P(ReviewCards, IssuedCardsMatchTheCardRulesByteForByte) {
    const Medium m = GetParam();
    std::mt19937 rng(0x4B7E + static_cast<int>(m));
    constexpr int kRounds = 12;
    for (int round = 0; round < kRounds; ++round) {
        for (const CardKindRow &k : kCardKinds) {
            const std::string what = std::string(k.name) + " round " + std::to_string(round);
            SCOPED_TRACE(what);
            IssueArgs h = RandomArgs(rng);
            const IssueArgs before = h;
            const Card blank = FactoryCard(m, 0x10 + round * 13 + k.code, kHotelPassword, kRecordSector);
            Insert(blank);
            ASSERT_EQ(h.Issue(k.make), KS_OK);
            EXPECT_EQ(h.start[0], static_cast<int16_t>(before.start[0] - 2000));
            EXPECT_EQ(h.end[0], static_cast<int16_t>(before.end[0] - 2000));
            for (int i = 1; i < 6; ++i) {
                EXPECT_EQ(h.start[i], before.start[i]);
                EXPECT_EQ(h.end[i], before.end[i]);
            }

            const Card issued = Take(m);
            const std::array<int, 64> want = ExpectedImage(k, before);
            const std::array<int, 64> got = ReaderImage(issued);
            for (int i = 0; i < 20; ++i) EXPECT_EQ(got[i], want[i]) << "card byte " << i;
            for (int i = 0; i < 4; ++i) EXPECT_EQ(got[20 + i], kHotelPassword[i]) << "card byte " << 20 + i;
            EXPECT_EQ(got[24], k.code);
            if (m != Medium::Temic) {
                EXPECT_EQ(got[27], 27);
            }
            if (m == Medium::Mifare) {
                for (int i = 28; i < 48; ++i) EXPECT_EQ(got[i], want[i]) << "card byte " << i;
            }

            // CardSerial after the write, per medium; elements not named stay.
            int16_t serial[8];
            std::fill(serial, serial + 8, kUntouched);
            if (m == Medium::Ic) {
                for (int i = 0; i < 4; ++i) serial[i] = issued.ic.memory[60 + i];
            } else if (m == Medium::Temic) {
                const std::array<int, 64> old = ReaderImage(blank);
                serial[0] = static_cast<int16_t>(old[25]), serial[1] = static_cast<int16_t>(old[26]);
                serial[2] = serial[3] = 0;
            } else {
                for (int i = 0; i < 4; ++i) serial[i] = blank.mifare.Uid()[i], serial[4 + i] = 0;
            }
            for (int i = 0; i < 8; ++i) EXPECT_EQ(h.serial[i], serial[i]) << "CardSerial[" << i << "]";

            Insert(issued);
            ReadOutputs out;
            int16_t expectedResult = 0;
            const ReadOutputs expected = ExpectedRead(m, got, issued, &expectedResult);
            EXPECT_EQ(out.Read(), expectedResult);
            ExpectSameOutputs(out, expected, "ReadCard");
            Take(m);
        }
    }
}

// A host may hand one array as both StartTime and EndTime (the time card does
// not use its end time). Its year element is reduced twice, as each of the two
// arguments is, but the card carries the year the host asked for: a card built
// from the twice-reduced value would set the locks' clocks decades off.
TEST_P(ReviewCards, OneArrayAsStartAndEndTimeStillCarriesTheHostsYear) {
    const Medium m = GetParam();
    const CardKindRow *const kinds[] = {&kCardKinds[0], &kCardKinds[1]};  // time, emergency
    for (const CardKindRow *k : kinds) {
        SCOPED_TRACE(k->name);
        Insert(FactoryCard(m, 0x70 + k->code, kHotelPassword, kRecordSector));
        int16_t serial[8] = {}, wide[12] = {}, list[4] = {}, type[1] = {0};
        int16_t time[6] = {2024, 5, 6, 7, 8, 42};
        ASSERT_EQ(k->make(serial, 0, 0, list, list, wide, 1, type, list, time, time), KS_OK);
        EXPECT_EQ(time[0], 2024 - 4000) << "the host's element is reduced once per argument";
        const std::array<int, 64> card = ReaderImage(Take(m));
        EXPECT_EQ(card[0], 24);
        if (k->code == 2) {
            EXPECT_EQ(card[5], 42);
        } else {
            EXPECT_EQ(card[5], 24);
        }
    }
}

// Records of every type code, forged with random bytes (cleared markers and
// extension markers among them), decode exactly as the reader rules say:
// which outputs each type writes, which it leaves, and the result.
TEST_P(ReviewCards, ForgedRecordsOfEveryTypeDecodeAsTheRulesSay) {
    const Medium m = GetParam();
    std::mt19937 rng(0x19D2 + static_cast<int>(m));
    for (int code = 0; code < 256; ++code) {
        const int repeats = code <= 21 ? 6 : 1;
        for (int rep = 0; rep < repeats; ++rep) {
            SCOPED_TRACE("type code " + std::to_string(code) + " #" + std::to_string(rep));
            std::array<int, 48> bytes{};
            for (int &b : bytes) b = static_cast<int>(rng() & 0xFF);
            bytes[24] = code;
            if (rep == 1) bytes[0] = 0x63;                    // cleared, whatever else it holds
            if (rep >= 2) bytes[45] = 0xF8;                   // extension present
            if (rep == 3) bytes[11] = bytes[12] = 0;          // install card without lock number
            if (rep == 4) bytes[11] = bytes[12] = 0, bytes[32] = static_cast<int>(rng() % 3) * 32;  // n = 0, 32, 64
            if (rep != 1 && bytes[0] == 0x63) bytes[0] = 0x62;
            Card card = FactoryCard(m, code, kHotelPassword, kRecordSector);
            if (m == Medium::Temic) {
                const std::array<int, 64> old = ReaderImage(card);
                bytes[25] = old[25], bytes[26] = old[26];  // the card's identity stays
            }
            Forge(card, bytes);
            Insert(card);
            ReadOutputs out;
            int16_t expectedResult = 0;
            const ReadOutputs expected = ExpectedRead(m, ReaderImage(card), card, &expectedResult);
            EXPECT_EQ(out.Read(), expectedResult);
            ExpectSameOutputs(out, expected, "ReadCard");
            Take(m);
        }
    }
}

// ---------------------------------------------------------------------------
// Open-door logs and the collector's frames.

class ReviewCollection : public ::testing::Test {
protected:
    void SetUp() override {
        EncodeExit();
        bench::Reset();
        bench::AttachCollector(kCollectorPort);
    }
    void TearDown() override { EXPECT_EQ(bench::TotalOpen(), 0); }
};

struct RecordOut {
    int16_t result, header, list[6], kind, time[5], card[4];
    bool operator==(const RecordOut &o) const {
        return result == o.result && header == o.header && kind == o.kind && std::equal(list, list + 6, o.list) &&
               std::equal(time, time + 5, o.time) && std::equal(card, card + 4, o.card);
    }
};

std::ostream &operator<<(std::ostream &os, const RecordOut &r) {
    os << "result " << r.result << " header " << r.header << " list";
    for (int16_t v : r.list) os << ' ' << v;
    os << " kind " << r.kind << " time";
    for (int16_t v : r.time) os << ' ' << v;
    os << " card";
    for (int16_t v : r.card) os << ' ' << v;
    return os;
}

RecordOut Untouched() {
    RecordOut r{};
    r.result = 0;
    r.header = r.kind = kUntouched;
    std::fill(r.list, r.list + 6, kUntouched);
    std::fill(r.time, r.time + 5, kUntouched);
    std::fill(r.card, r.card + 4, kUntouched);
    return r;
}

// The record reader's rules over a copy of the delivered buffer: the calls a
// host makes until none is left, each call's outputs as the host sees them
// (the host keeps its arrays between calls).
std::vector<RecordOut> ExpectedDrain(std::vector<uint8_t> buffer) {
    buffer.resize(2600, 0);
    std::vector<RecordOut> calls;
    RecordOut out = Untouched();
    int cursor = 256;
    for (;;) {
        out.result = KS_ERR_NO_RECORD;
        while (cursor < 2048) {
            const int c = cursor;
            const int kind = buffer[c + 5] >> 4;
            cursor += 9;
            if (kind < 2 || kind > 10) continue;
            out.header = buffer[16];
            out.list[0] = buffer[17], out.list[1] = buffer[18];
            for (int i = 2; i < 6; ++i) out.list[i] = 0;
            out.kind = static_cast<int16_t>(kind);
            for (int i = 0; i < 4; ++i) out.card[i] = buffer[c + i];
            buffer[c + 5] &= 0x0F;
            for (int i = 0; i < 5; ++i) out.time[i] = buffer[c + 4 + i];
            const int month = buffer[c + 5], day = buffer[c + 6], minute = buffer[c + 8];
            if (month < 1 || month > 12 || day < 1 || day > 31 || minute > 59) continue;
            out.time[0] = static_cast<int16_t>(out.time[0] + 2000);
            out.result = KS_OK;
            break;
        }
        calls.push_back(out);
        if (out.result != KS_OK) return calls;
    }
}

TEST_F(ReviewCollection, RandomLogsAreReturnedAsTheRecordRulesSay) {
    std::mt19937 rng(0x7E19);
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE("log " + std::to_string(round));
        std::vector<bench::OpenDoorSlot> slots(1 + rng() % 200);
        for (bench::OpenDoorSlot &s : slots) {
            for (uint8_t &b : s) b = static_cast<uint8_t>(rng());
            // Mostly plausible records, so that date checks are reached often.
            if (rng() % 3) {
                s[5] = static_cast<uint8_t>((2 + rng() % 9) << 4 | (rng() % 14));
                s[6] = static_cast<uint8_t>(rng() % 33);
                s[8] = static_cast<uint8_t>(rng() % 62);
            }
        }
        // End some logs on a slot that is turned down for its date only.
        if (round % 2) slots.back()[6] = 0, slots.back()[5] = static_cast<uint8_t>(0x35);
        const std::array<uint8_t, 3> header{{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                                             static_cast<uint8_t>(rng())}};
        const std::vector<uint8_t> image = bench::OpenDoorLogImage(header, slots);
        bench::CollectorSetLog(image);
        ASSERT_EQ(ReadDataCard(0), KS_OK);

        const std::vector<RecordOut> want = ExpectedDrain(image);
        RecordOut got = Untouched();
        for (size_t call = 0; call < want.size(); ++call) {
            got.result = ReadOneOpenDoorRecord(&got.header, nullptr, nullptr, nullptr, got.list, &got.kind, got.time,
                                               got.card);
            ASSERT_EQ(got, want[call]) << "call " << call;
        }
        RecordOut again = Untouched();
        EXPECT_EQ(ReadOneOpenDoorRecord(&again.header, nullptr, nullptr, nullptr, again.list, &again.kind,
                                        again.time, again.card),
                  KS_ERR_NO_RECORD);
        again.result = 0;
        EXPECT_EQ(again, Untouched()) << "a drained log leaves the outputs alone";
    }
}

// The first n bytes the library sent to the collector.
std::vector<uint8_t> FirstSent(size_t n) {
    std::vector<uint8_t> bytes = DataOf("SendData");
    if (bytes.size() > n) bytes.resize(n);
    return bytes;
}

TEST_F(ReviewCollection, SetFramesCarryBcdAndLowBytesForArbitraryValues) {
    std::mt19937 rng(0xD219);
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::array<int16_t, 6> time{};
        for (int16_t &v : time) v = static_cast<int16_t>(rng() % 2 ? rng() % 100 : Pick(rng));
        time[0] = static_cast<int16_t>(2000 + static_cast<int16_t>(rng() % 130) - 10);
        const std::array<int16_t, 6> before = time;
        std::vector<uint8_t> bcd;
        for (int i = 0; i < 6; ++i) {
            const int v = i == 0 ? static_cast<int16_t>(before[0] - 2000) : before[i];
            bcd.push_back(static_cast<uint8_t>((v / 10) * 16 + v % 10));
        }
        bench::ClearCallLog();
        PDA_SetTime(time.data());
        EXPECT_EQ(time[0], static_cast<int16_t>(before[0] - 2000));
        EXPECT_EQ(FirstSent(11), CollectorFrame(2, bcd));

        std::array<int16_t, 10> room{};
        std::vector<uint8_t> low;
        for (int16_t &v : room) v = Pick(rng), low.push_back(static_cast<uint8_t>(v & 0xFF));
        bench::ClearCallLog();
        EXPECT_EQ(PDA_SetRoomNumber(room.data()), KS_OK);
        EXPECT_EQ(FirstSent(15), CollectorFrame(3, low));
    }
}

}  // namespace
