// The card image builder: every kind's bytes before the driver, the fill
// pattern, the ExtensionBlock and the signed splits.
#include <gtest/gtest.h>

#include <map>

#include "cards/card_image.h"
#include "codec/codec.h"
#include "test_support.h"

namespace {

// The host's arrays for one call, with distinctive values whose low bytes
// differ from the fill pattern.
struct HostArgs {
    int16_t serial[8] = {};
    int16_t listA[4] = {0x141, 0x42, 0x43, 0x44};
    int16_t listB[4] = {0x51, 0x52, 0x53, 0x54};
    int16_t wide[12] = {0x1234, 0x0102, -300, 0x7FFF, 0x0A0B, 0, 0x00FF, -1, 0x61, 0x162, 0x63, 0x64};
    int16_t typeCode[1] = {16};
    int16_t listC[4] = {1, 12, 99, 45};
    int16_t start[6] = {2031, 2, 3, 4, 5, 37};
    int16_t end[5] = {2032, 6, 7, 8, 9};
    int32_t number = 0x1A5;
    int32_t flag = 1;

    CardFamilyArgs Args() {
        return CardFamilyArgs{serial, 0, number, listA, listB, wide, flag, typeCode, listC, start, end};
    }
};

CardImage Build(CardKind kind, HostArgs &host) {
    CardImage image;
    for (int16_t &e : image.element) e = -1;  // anything the builder misses shows
    EXPECT_TRUE(BuildCardImage(kind, host.Args(), &image));
    return image;
}

using ByteMap = std::map<int, int>;

// The common times of HostArgs (year - 2000) and the set flag.
ByteMap CommonBytes() {
    return {{0, 31}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 32}, {6, 6}, {7, 7}, {8, 8}, {9, 9}, {19, 1}};
}

// ExtensionBlock bytes 32-35 of HostArgs, plus 36-43 for guest and building.
ByteMap ExtensionBytes(bool wide) {
    ByteMap m = {{32, 0x61}, {33, 0x62}, {34, 0x63}, {35, 0x64}};
    if (wide) {
        const int pairs[8] = {0x0A, 0x0B, 0x00, 0x00, 0x00, 0xFF, 0x00, 0xFF};
        for (int i = 0; i < 8; ++i) m[36 + i] = pairs[i];
    }
    return m;
}

struct KindCase {
    const char *name;
    CardKind kind;
    uint8_t code;
    ByteMap typeBytes;  // bytes beyond the common times and flag
    int extension;      // 0 none (32-63 = 0xCC), 1 bytes 32-35, 2 also 36-43
};

std::vector<KindCase> KindCases() {
    ByteMap time = {{0, 31}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 37}, {6, 30}, {7, 7}, {8, 8}, {9, 9}};
    return {
        {"Time", CardKind::Time, 2, time, 0},
        {"Emergent", CardKind::Emergent, 3, {}, 0},
        {"Guest", CardKind::Guest, 4,
         {{10, 0x12}, {11, 0x34}, {12, 0x01}, {13, 0x02}, {14, 0xFF}, {15, 0xD4}, {16, 0x7F}, {17, 0xFF}},
         2},
        {"Floor", CardKind::Floor, 5,
         {{10, 0xA5}, {11, 0x41}, {12, 0x42}, {13, 0x43}, {14, 0x44}, {15, 1}, {16, 12}, {17, 99}, {18, 45}},
         1},
        {"CleanDistrict", CardKind::CleanDistrict, 6,
         {{11, 0x51}, {12, 0x52}, {13, 0x53}, {14, 0x54}, {15, 1}, {16, 12}, {17, 99}, {18, 45}}, 1},
        {"Building", CardKind::Building, 8,
         {{11, 0x41}, {12, 0x42}, {13, 0x43}, {14, 0x44}, {15, 0x01}, {16, 0x12}, {17, 0x99}, {18, 0x45}},
         2},
        {"LongOpen", CardKind::LongOpen, 9, {}, 1},
        {"Chief", CardKind::Chief, 10, {}, 0},
        {"Install", CardKind::Install, 11, {{10, 0xA5}, {11, 0x12}, {12, 0x34}, {13, 0x41}, {14, 0x51}}, 1},
        {"Lost", CardKind::Lost, 12, {{10, 16}, {11, 0x34}, {12, 0x02}, {13, 0xD4}, {14, 0xFF}}, 0},
        {"Data", CardKind::Data, 14, {}, 0},
        {"GuestLeave", CardKind::GuestLeave, 15, {}, 0},
    };
}

TEST(CardImage, EveryKindHoldsItsBytesAndFillElsewhere) {
    for (const KindCase &c : KindCases()) {
        SCOPED_TRACE(c.name);
        HostArgs host;
        const CardImage image = Build(c.kind, host);
        EXPECT_EQ(CardTypeCodeOf(c.kind), c.code);

        ByteMap expected = CommonBytes();
        for (const auto &b : c.typeBytes) expected[b.first] = b.second;
        if (c.extension != 0) {
            for (const auto &b : ExtensionBytes(c.extension == 2)) expected[b.first] = b.second;
            expected[45] = 0xF8;
            uint8_t ext[14];
            for (int i = 0; i < 14; ++i) {
                ext[i] = static_cast<uint8_t>(expected.count(32 + i) ? expected[32 + i] : 32 + i);
            }
            uint8_t low, high;
            CardChecksum(ext, 14, &low, &high);
            expected[46] = low;
            expected[47] = high;
        }
        for (int i = 0; i < kCardImageLength; ++i) {
            int want = i;
            if (expected.count(i)) want = expected[i];
            else if (c.extension == 0 && i >= 32) want = 0xCC;
            EXPECT_EQ(image.element[i], want) << "offset " << i;
        }
    }
}

// The published guest card: the builder alone gives the bytes the driver gets.
TEST(CardImage, GuestCardVectorBeforeTheDriver) {
    const std::vector<uint8_t> want =
        kstest::Hex(kstest::VectorLine("guest-card-mifare.txt", "image bytes 0..47 before the driver"));
    ASSERT_EQ(want.size(), 48u);
    int16_t serial[8] = {};
    int16_t wide[12] = {0x0101, 0x0203, 0, 0, 0, 0x0010, 0, 0, 7, 0, 0, 0};
    int16_t start[5] = {2026, 12, 7, 14, 0};
    int16_t end[5] = {2026, 12, 9, 12, 0};
    CardImage image;
    ASSERT_TRUE(BuildCardImage(
        CardKind::Guest,
        CardFamilyArgs{serial, 0, 0, nullptr, nullptr, wide, 1, nullptr, nullptr, start, end}, &image));
    for (int i = 0; i < 48; ++i) EXPECT_EQ(image.element[i], want[i]) << "offset " << i;
    EXPECT_EQ(start[0], 2026) << "the builder only reads the host's arrays";
}

TEST(CardImage, SignedSplitTruncatesTowardZero) {
    struct Case { int16_t value; int high, low; };
    const Case cases[] = {
        {0x1234, 0x12, 0x34}, {255, 0x00, 0xFF}, {256, 0x01, 0x00}, {32767, 0x7F, 0xFF},
        // Negative values (32768 and above as unsigned) keep C++ truncation:
        // -1 / 256 is 0, -300 / 256 is -1 with remainder -44.
        {-1, 0x00, 0xFF}, {-300, 0xFF, 0xD4}, {-256, 0xFF, 0x00}, {-32768, 0x80, 0x00},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(SplitHigh(c.value), c.high);
        EXPECT_EQ(SplitLow(c.value), c.low);
        HostArgs host;
        host.wide[0] = c.value;
        const CardImage guest = Build(CardKind::Guest, host);
        EXPECT_EQ(guest.element[10], c.high);
        EXPECT_EQ(guest.element[11], c.low);
        const CardImage install = Build(CardKind::Install, host);
        EXPECT_EQ(install.element[11], c.high);
        EXPECT_EQ(install.element[12], c.low);
    }
}

TEST(CardImage, YearsAreStoredAsYearMinus2000) {
    const std::pair<int16_t, int> cases[] = {{2000, 0}, {2009, 9}, {2255, 255}, {1999, 0xFF}, {26, 0x4A}};
    for (const auto &c : cases) {
        HostArgs host;
        host.start[0] = c.first;
        host.end[0] = c.first;
        const CardImage image = Build(CardKind::Emergent, host);
        EXPECT_EQ(image.element[0], c.second) << c.first;
        EXPECT_EQ(image.element[5], c.second) << c.first;
    }
}

TEST(CardImage, TimeCardSplitsTheSecondsAndIgnoresTheEndTime) {
    const int cases[][3] = {{59, 50, 9}, {37, 30, 7}, {0, 0, 0}, {9, 0, 9}, {10, 10, 0}};
    for (const auto &c : cases) {
        HostArgs host;
        host.start[5] = static_cast<int16_t>(c[0]);
        host.end[1] = 77;
        const CardImage image = Build(CardKind::Time, host);
        EXPECT_EQ(image.element[5], c[0]);
        EXPECT_EQ(image.element[6], c[1]);
        EXPECT_EQ(image.element[7], c[2]);
        for (int i = 8; i <= 18; ++i) EXPECT_EQ(image.element[i], i);
    }
}

TEST(CardImage, BuildingCardPacksListCAsDecimal) {
    HostArgs host;
    const int16_t listC[4] = {1, 12, 99, 0};
    std::copy(listC, listC + 4, host.listC);
    const CardImage image = Build(CardKind::Building, host);
    EXPECT_EQ(image.element[15], 0x01);
    EXPECT_EQ(image.element[16], 0x12);
    EXPECT_EQ(image.element[17], 0x99);
    EXPECT_EQ(image.element[18], 0x00);
}

TEST(CardImage, LostCardCopiesItsListOnlyAboveType15) {
    const std::pair<int16_t, bool> cases[] = {{15, false}, {16, true}, {0, false}, {-1, false}, {300, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        HostArgs host;
        host.typeCode[0] = c.first;
        const CardImage image = Build(CardKind::Lost, host);
        EXPECT_EQ(image.element[10], c.first & 0xFF);
        const int copied[4] = {0x34, 0x02, 0xD4, 0xFF};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(image.element[11 + i], c.second ? copied[i] : 11 + i);
    }
}

TEST(CardImage, ExtensionMarkerLooksAtWholeElements) {
    struct Case {
        const char *name;
        CardKind kind;
        int index;       // WideList element set, -1 none
        int16_t value;
        bool marker;
    };
    const Case cases[] = {
        {"guest all zero", CardKind::Guest, -1, 0, false},
        {"guest 256 in an extension byte", CardKind::Guest, 9, 256, true},
        {"guest wide value only", CardKind::Guest, 6, 1, true},
        {"building wide value only", CardKind::Building, 4, -1, true},
        {"floor wide value does not count", CardKind::Floor, 5, 9, false},
        {"install 256 in an extension byte", CardKind::Install, 11, 256, true},
        {"long-open extension byte", CardKind::LongOpen, 8, 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HostArgs host;
        for (int i = 4; i < 12; ++i) host.wide[i] = 0;
        if (c.index >= 0) host.wide[c.index] = c.value;
        const CardImage image = Build(c.kind, host);
        EXPECT_EQ(image.element[45], c.marker ? 0xF8 : 0);
        uint8_t ext[16];
        for (int i = 0; i < 16; ++i) ext[i] = static_cast<uint8_t>(image.element[32 + i]);
        uint8_t low, high;
        CardChecksum(ext, 16, &low, &high);  // data followed by its own check bytes
        EXPECT_EQ(low, 0);
        EXPECT_EQ(high, 0);
        EXPECT_EQ(image.element[44], 44);
        for (int i = 48; i < 64; ++i) EXPECT_EQ(image.element[i], i);
    }
    // An empty guest extension: zeros, 44, no marker.
    HostArgs host;
    for (int i = 4; i < 12; ++i) host.wide[i] = 0;
    const CardImage image = Build(CardKind::Guest, host);
    for (int i = 32; i <= 43; ++i) EXPECT_EQ(image.element[i], 0) << i;
}

TEST(CardImage, ArgsPresentRequiresOnlyTheArraysAKindReads) {
    enum Field { Serial, ListA, ListB, Wide, Type, ListC, Start, End };
    struct Case {
        CardKind kind;
        Field missing;
        bool present;
    };
    const Case cases[] = {
        {CardKind::Guest, Serial, false}, {CardKind::Guest, Start, false}, {CardKind::Guest, End, false},
        {CardKind::Guest, Wide, false},   {CardKind::Guest, ListA, true},  {CardKind::Guest, Type, true},
        {CardKind::Time, End, false},     {CardKind::Time, Wide, true},    {CardKind::Floor, ListA, false},
        {CardKind::Floor, ListC, false},  {CardKind::Floor, ListB, true},  {CardKind::CleanDistrict, ListB, false},
        {CardKind::CleanDistrict, ListA, true}, {CardKind::Building, ListC, false},
        {CardKind::Install, ListB, false}, {CardKind::Install, ListC, true}, {CardKind::LongOpen, Wide, false},
        {CardKind::Lost, Type, false},    {CardKind::Chief, Wide, true},   {CardKind::Seal, Serial, true},
        {CardKind::Seal, Start, true},
    };
    for (const Case &c : cases) {
        HostArgs host;
        CardFamilyArgs args = host.Args();
        int16_t **fields[] = {&args.cardSerial, &args.listA, &args.listB, &args.wideList,
                              &args.typeCode, &args.listC, &args.startTime, &args.endTime};
        *fields[c.missing] = nullptr;
        EXPECT_EQ(CardArgsPresent(c.kind, args), c.present)
            << "kind " << static_cast<int>(c.kind) << " missing " << c.missing;
    }
    // The lost card reads WideList only when it copies it.
    HostArgs host;
    CardFamilyArgs args = host.Args();
    args.wideList = nullptr;
    host.typeCode[0] = 15;
    EXPECT_TRUE(CardArgsPresent(CardKind::Lost, args));
    host.typeCode[0] = 16;
    EXPECT_FALSE(CardArgsPresent(CardKind::Lost, args));
}

}  // namespace
