// Decoding a read image into ReadCard's outputs: which outputs each card
// type writes (and which it leaves as the host passed them), and the values.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>

#include "api/encoder_state.h"
#include "base/result_codes.h"
#include "card_args.h"
#include "cards/card_image.h"
#include "codec/codec.h"
#include "reading/reading.h"

namespace {

using kstest::kUntouched;
using Outputs = kstest::ReadOutputs;

ReadCardArgs ArgsOf(Outputs &o) {
    return ReadCardArgs{o.serial, 0, o.number, o.listA, o.listB, o.wide, o.flag, o.type, o.listC, o.start, o.end};
}

using Image = std::array<int16_t, 64>;

// An opened record of `code` with distinct bytes; no ExtensionBlock.
Image RecordOf(int code) {
    Image image{};
    for (int i = 0; i < 28; ++i) image[i] = static_cast<int16_t>(i + 1);
    image[24] = static_cast<int16_t>(code);
    return image;
}

void Mark(Image &image, std::initializer_list<int> extension) {
    int i = 32;
    for (int b : extension) image[i++] = static_cast<int16_t>(b);
    image[45] = 0xF8;
}

// What a medium reports: four elements, as on IC 4442 and TEMIC.
const int16_t kSerial[4] = {0x11, 0x22, 0x33, 0x44};

int16_t Decode(const Image &image, Outputs &out) {
    return DecodeReadImage(image.data(), kSerial, 4, ArgsOf(out));
}

TEST(Decode, EachTypeWritesExactlyItsOutputs) {
    const std::set<std::string> common = {"type[0]", "start[0]", "start[1]", "start[2]", "start[3]",
                                          "start[4]", "end[0]",   "end[1]",   "end[2]",   "end[3]",
                                          "end[4]",   "wide[8]",  "wide[9]",  "wide[10]", "wide[11]",
                                          "serial[0]", "serial[1]", "serial[2]", "serial[3]"};
    struct Case {
        int code;
        int16_t result;
        std::set<std::string> extra;
    };
    const std::set<std::string> flag = {"flag[0]"};
    auto with = [&flag](std::set<std::string> a) {
        a.insert(flag.begin(), flag.end());
        return a;
    };
    const Case cases[] = {
        {1, KS_OK, with({})},
        {2, KS_OK, with({"start[5]", "end[5]"})},
        {3, KS_OK, with({})},
        {4, KS_OK, with({"wide[0]", "wide[1]", "wide[2]", "wide[3]", "wide[4]", "wide[5]", "wide[6]", "wide[7]"})},
        {5, KS_OK, with({"number[0]", "listA[0]", "listA[1]", "listA[2]", "listA[3]"})},
        {6, KS_OK, with({"listB[0]", "listB[1]", "listB[2]", "listB[3]"})},
        {8, KS_OK, with({"listA[0]", "listA[1]", "listA[2]", "listA[3]"})},
        {9, KS_OK, with({})},
        {10, KS_OK, with({})},
        {11, KS_OK, with({"number[0]", "wide[0]", "listA[0]", "listB[0]"})},
        {12, KS_OK, with({})},
        {14, KS_OK, with({})},
        {15, KS_OK, with({})},
        // Undecodable codes: the common fields are written, the flag is not.
        {0, KS_ERR_CARD_INVALID, {}},
        {7, KS_ERR_CARD_INVALID, {}},
        {13, KS_ERR_CARD_INVALID, {}},
        {16, KS_ERR_CARD_INVALID, {}},
        {20, KS_ERR_CARD_INVALID, {}},
        {255, KS_ERR_CARD_INVALID, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        Outputs out;
        Image image = RecordOf(c.code);
        EXPECT_EQ(Decode(image, out), c.result);
        std::set<std::string> want = common;
        want.insert(c.extra.begin(), c.extra.end());
        for (const auto &slot : out.Slots()) {
            EXPECT_EQ(slot.second != kUntouched, want.count(slot.first) == 1) << slot.first;
        }
        EXPECT_EQ(out.type[0], c.code);
    }
}

TEST(Decode, ClearedCardReportsType20AndNothingElse) {
    Outputs out;
    Image image = RecordOf(4);
    image[0] = kClearedRecordMarker;
    Mark(image, {9, 9, 9, 9});
    EXPECT_EQ(Decode(image, out), KS_OK);
    EXPECT_EQ(out.type[0], 20);
    for (int i = 8; i < 12; ++i) EXPECT_EQ(out.wide[i], 0);
    std::set<std::string> written = {"type[0]", "wide[8]", "wide[9]", "wide[10]", "wide[11]"};
    for (const auto &slot : out.Slots()) {
        if (slot.first.rfind("serial", 0) == 0) continue;
        EXPECT_EQ(slot.second != kUntouched, written.count(slot.first) == 1) << slot.first;
    }
}

TEST(Decode, GuestValuesAreHighByteFirstAndNeedTheMarker) {
    Image image = RecordOf(4);
    const int bytes[8] = {0x12, 0x34, 0x00, 0xFF, 0xFF, 0xD4, 0x80, 0x00};
    for (int i = 0; i < 8; ++i) image[10 + i] = static_cast<int16_t>(bytes[i]);
    Mark(image, {7, 8, 9, 10, 0x01, 0x02, 0, 0, 0xAB, 0xCD, 0, 1});
    const int16_t numbers[4] = {0x1234, 0x00FF, static_cast<int16_t>(0xFFD4), static_cast<int16_t>(0x8000)};

    Outputs marked;
    EXPECT_EQ(Decode(image, marked), KS_OK);
    const int16_t wideValues[4] = {0x0102, 0, static_cast<int16_t>(0xABCD), 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(marked.wide[i], numbers[i]);
        EXPECT_EQ(marked.wide[4 + i], wideValues[i]);
        EXPECT_EQ(marked.wide[8 + i], 7 + i);
    }

    image[45] = 0;  // the same bytes without the marker carry nothing
    Outputs unmarked;
    EXPECT_EQ(Decode(image, unmarked), KS_OK);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(unmarked.wide[i], numbers[i]);
    for (int i = 4; i < 12; ++i) EXPECT_EQ(unmarked.wide[i], 0) << i;
}

TEST(Decode, InstallCardBitNumberRule) {
    struct Case {
        int wordHigh, wordLow;  // bytes 11-12
        bool marker;
        int byte32;
        int want[4];
    };
    const Case cases[] = {
        {0, 0, true, 5, {16, 0, 0, 0}},     {0, 0, true, 1, {1, 0, 0, 0}},
        {0, 0, true, 32, {0, 0, 0, 128}},   {0, 0, true, 0, {0, 0, 0, 128}},
        {0, 0, true, 33, {1, 0, 0, 0}},     {0, 0, true, 9, {0, 1, 0, 0}},
        {0, 0, true, 255, {0, 0, 0, 64}},   // bit 254 mod 32 = 30
        {0, 0, false, 5, {0, 0, 0, 0}},     // no marker: no extension at all
        {0, 1, true, 5, {5, 0x62, 0x63, 0x64}},  // a lock number: the extension bytes as stored
        {1, 0, true, 5, {5, 0x62, 0x63, 0x64}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("byte32 " + std::to_string(c.byte32) + " marker " + std::to_string(c.marker));
        Image image = RecordOf(11);
        image[11] = static_cast<int16_t>(c.wordHigh);
        image[12] = static_cast<int16_t>(c.wordLow);
        Mark(image, {c.byte32, 0x62, 0x63, 0x64});
        if (!c.marker) image[45] = 0;
        Outputs out;
        EXPECT_EQ(Decode(image, out), KS_OK);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(out.wide[8 + i], c.want[i]) << i;
    }
}

TEST(Decode, MissingOutputIsRefusedBeforeAnythingIsWritten) {
    enum Field { Serial, Number, ListA, ListB, Wide, Flag, Type, ListC, Start, End };
    struct Case {
        int code;  // -1: cleared card
        Field missing;
        int16_t result;
    };
    const Case cases[] = {
        {4, Serial, KS_ERR_UNAVAILABLE}, {4, Wide, KS_ERR_UNAVAILABLE},   {4, Type, KS_ERR_UNAVAILABLE},
        {4, Start, KS_ERR_UNAVAILABLE},  {4, End, KS_ERR_UNAVAILABLE},    {4, Flag, KS_ERR_UNAVAILABLE},
        {4, ListA, KS_OK},               {4, Number, KS_OK},              {4, ListC, KS_OK},
        {5, Number, KS_ERR_UNAVAILABLE}, {5, ListA, KS_ERR_UNAVAILABLE},  {5, ListB, KS_OK},
        {6, ListB, KS_ERR_UNAVAILABLE},  {8, ListA, KS_ERR_UNAVAILABLE},  {11, ListB, KS_ERR_UNAVAILABLE},
        {7, Flag, KS_ERR_CARD_INVALID},  {7, Start, KS_ERR_UNAVAILABLE},  {-1, Start, KS_OK},
        {-1, Flag, KS_OK},               {-1, Wide, KS_ERR_UNAVAILABLE},  {-1, Type, KS_ERR_UNAVAILABLE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code) + " missing " + std::to_string(c.missing));
        Image image = RecordOf(c.code < 0 ? 4 : c.code);
        if (c.code < 0) image[0] = kClearedRecordMarker;
        Outputs out;
        ReadCardArgs args = ArgsOf(out);
        int16_t **fields[] = {&args.cardSerial, &args.number, &args.listA, &args.listB, &args.wideList,
                              &args.optionFlag, &args.typeCode, &args.listC, &args.startTime, &args.endTime};
        *fields[c.missing] = nullptr;
        EXPECT_EQ(DecodeReadImage(image.data(), kSerial, 4, args), c.result);
        if (c.result == KS_ERR_UNAVAILABLE) {
            for (const auto &slot : out.Slots()) EXPECT_EQ(slot.second, kUntouched) << slot.first;
        }
    }
}

}  // namespace
