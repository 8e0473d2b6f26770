// Card codec: check bytes, rotations, the record cipher and record sealing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench.h"
#include "codec/codec.h"
#include "record_codec.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSpareSentinel = 0xC3;

class CodecTest : public ::testing::Test {
protected:
    void SetUp() override { bench::Reset(); }
};

Bytes Vector(const std::string &name) {
    const std::string line = kstest::VectorLine("codec.txt", name);
    EXPECT_FALSE(line.empty()) << "missing vector " << name;
    return kstest::Hex(line);
}

// A record buffer: 28 bytes plus the spare byte the cipher uses as scratch.
Bytes WithSpare(const Bytes &record) {
    Bytes b = record;
    b.push_back(kSpareSentinel);
    return b;
}

Bytes Random(std::mt19937 &rng, size_t n) {
    Bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// --- Known answers ---------------------------------------------------------

struct VectorCase {
    const char *name;
    std::function<void(uint8_t *)> apply;  // on a 29-byte buffer holding `record`
};

TEST_F(CodecTest, KnownAnswersOverTheSampleRecord) {
    const Bytes record = Vector("record");
    ASSERT_EQ(record.size(), kCardRecordLength);
    const VectorCase cases[] = {
        {"encipher(record, 28)", [](uint8_t *b) { CardEncipher(b, 28); }},
        {"rotate_left(record, 28, 5)", [](uint8_t *b) { RotateBitsLeft(b, 28, 5); }},
        {"seal_serial_bound(record, S=0x5A)",
         [](uint8_t *b) { SealCardRecord(b, SealVariant::SerialBound, 0x5A); }},
        {"seal_trailing(record)", [](uint8_t *b) { SealCardRecord(b, SealVariant::Trailing); }},
    };
    for (const VectorCase &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer = WithSpare(record);
        c.apply(buffer.data());
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 28), Vector(c.name));
        EXPECT_EQ(buffer[28], kSpareSentinel);
    }
}

TEST_F(CodecTest, SealedKnownAnswersOpenBackToTheRecord) {
    const Bytes record = Vector("record");
    struct Case {
        const char *name;
        SealVariant variant;
        uint8_t serial;
    } cases[] = {{"seal_serial_bound(record, S=0x5A)", SealVariant::SerialBound, 0x5A},
                 {"seal_trailing(record)", SealVariant::Trailing, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer = WithSpare(Vector(c.name));
        ASSERT_TRUE(OpenCardRecord(buffer.data(), c.variant, c.serial));
        // The data bytes come back; only the check bytes are the variant's own.
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 25), Bytes(record.begin(), record.begin() + 25));
        EXPECT_EQ(buffer[28], kSpareSentinel);
    }
}

// --- Check bytes -----------------------------------------------------------

TEST_F(CodecTest, CheckBytesMatchThePublishedCheckValues) {
    struct Case {
        std::string text;
        uint8_t crc16Low, crc16High, crc8;
    } cases[] = {
        {"123456789", 0x37, 0x4B, 0xA1},
        {"abc", 0x49, 0x57, 0x42},
        {"", 0xFF, 0xFF, 0x00},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("\"" + c.text + "\"");
        const auto *bytes = reinterpret_cast<const uint8_t *>(c.text.data());
        const auto n = static_cast<uint8_t>(c.text.size());
        uint8_t low = 0, high = 0;
        CardChecksum(bytes, n, &low, &high);
        EXPECT_EQ(low, c.crc16Low);
        EXPECT_EQ(high, c.crc16High);
        uint8_t out = 0x5A;
        EXPECT_EQ(CardCrc8(bytes, n, &out), c.crc8);
        EXPECT_EQ(out, c.crc8);
    }
}

TEST_F(CodecTest, DataFollowedByItsOwnCheckBytesSumsToZero) {
    std::mt19937 rng(1);
    for (size_t n : {1u, 7u, 25u, 100u, 253u}) {
        for (int round = 0; round < 20; ++round) {
            Bytes data = Random(rng, n);
            uint8_t low = 0, high = 0;
            CardChecksum(data.data(), static_cast<uint8_t>(n), &low, &high);
            data.push_back(low);
            data.push_back(high);
            uint8_t low2 = 1, high2 = 1;
            CardChecksum(data.data(), static_cast<uint8_t>(data.size()), &low2, &high2);
            ASSERT_EQ(low2, 0) << "n=" << n;
            ASSERT_EQ(high2, 0) << "n=" << n;
        }
    }
}

// --- Rotations -------------------------------------------------------------

TEST_F(CodecTest, RotationOfTwoBytesCarriesTheTopBitRound) {
    uint8_t left[3] = {0x80, 0x01, kSpareSentinel};
    RotateBitsLeft(left, 2, 1);
    EXPECT_EQ(left[0], 0x00);
    EXPECT_EQ(left[1], 0x03);
    EXPECT_EQ(left[2], kSpareSentinel);

    uint8_t right[3] = {0x00, 0x03, kSpareSentinel};
    RotateBitsRight(right, 2, 1);
    EXPECT_EQ(right[0], 0x80);
    EXPECT_EQ(right[1], 0x01);
    EXPECT_EQ(right[2], kSpareSentinel);
}

TEST_F(CodecTest, RotationsMatchTheBigEndianModelAndUndoEachOther) {
    std::mt19937 rng(2);
    for (size_t n : {1u, 2u, 9u, 28u, 64u, 255u}) {
        for (unsigned count : {0u, 1u, 5u, 7u, 8u, 9u, 17u, 255u}) {
            SCOPED_TRACE("n=" + std::to_string(n) + " count=" + std::to_string(count));
            const Bytes data = Random(rng, n);
            Bytes buffer = data;
            buffer.push_back(kSpareSentinel);
            RotateBitsLeft(buffer.data(), static_cast<uint8_t>(n), static_cast<uint8_t>(count));
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + n), kstest::RotateLeftBits(data, count));
            EXPECT_EQ(buffer[n], kSpareSentinel);
            RotateBitsRight(buffer.data(), static_cast<uint8_t>(n), static_cast<uint8_t>(count));
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + n), data);
            EXPECT_EQ(buffer[n], kSpareSentinel);
        }
    }
}

TEST_F(CodecTest, LengthZeroRotatesNothing) {
    uint8_t b[1] = {kSpareSentinel};
    RotateBitsLeft(b, 0, 3);
    RotateBitsRight(b, 0, 3);
    EXPECT_EQ(b[0], kSpareSentinel);
}

// --- Cipher ----------------------------------------------------------------

TEST_F(CodecTest, DecipherUndoesEncipherAndKeepsTheSpareByte) {
    std::mt19937 rng(3);
    for (size_t n : {9u, 16u, 28u, 100u}) {
        for (int round = 0; round < 50; ++round) {
            const Bytes data = Random(rng, n);
            Bytes buffer = data;
            buffer.push_back(kSpareSentinel);
            CardEncipher(buffer.data(), static_cast<uint8_t>(n));
            ASSERT_EQ(buffer[n], kSpareSentinel);
            ASSERT_NE(Bytes(buffer.begin(), buffer.begin() + n), data);
            CardDecipher(buffer.data(), static_cast<uint8_t>(n));
            ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + n), data) << "n=" << n;
            ASSERT_EQ(buffer[n], kSpareSentinel);
        }
    }
}

// --- Sealing ---------------------------------------------------------------

TEST_F(CodecTest, SerialBoundRecordOpensOnlyWithItsOwnSerialByte) {
    std::mt19937 rng(4);
    for (int round = 0; round < 8; ++round) {
        const auto serial = static_cast<uint8_t>(rng());
        const Bytes sealed = [&] {
            Bytes b = WithSpare(Random(rng, kCardRecordLength));
            SealCardRecord(b.data(), SealVariant::SerialBound, serial);
            return b;
        }();
        for (int other = 0; other < 256; ++other) {
            Bytes b = sealed;
            const bool opened = OpenCardRecord(b.data(), SealVariant::SerialBound,
                                               static_cast<uint8_t>(other));
            ASSERT_EQ(opened, other == serial) << "sealed with " << int(serial) << ", opened with " << other;
        }
    }
}

TEST_F(CodecTest, SerialBoundOpeningLeavesThePlainCheckBytes) {
    std::mt19937 rng(5);
    Bytes record = WithSpare(Random(rng, kCardRecordLength));
    uint8_t low = 0, high = 0;
    CardChecksum(record.data(), 25, &low, &high);
    const uint8_t byte27 = record[27];
    SealCardRecord(record.data(), SealVariant::SerialBound, 0x33);
    ASSERT_TRUE(OpenCardRecord(record.data(), SealVariant::SerialBound, 0x33));
    EXPECT_EQ(record[25], low);
    EXPECT_EQ(record[26], high);
    EXPECT_EQ(record[27], byte27);  // not covered, carried through unchanged
}

// A card holding a sealed record with one byte changed must be refused.
// The serial-bound check is the whole CRC-16, which catches every change of
// one byte it covers; the trailing variant stores only the low check byte,
// which catches a changed check byte but not every changed data byte.
TEST_F(CodecTest, SealedRecordWithOneChangedByteFailsToOpen) {
    std::mt19937 rng(6);
    const struct {
        const char *name;
        SealVariant variant;
        int firstChanged, lastChanged;
    } cases[] = {{"serial-bound, data and check bytes", SealVariant::SerialBound, 0, 26},
                 {"trailing, check byte", SealVariant::Trailing, 27, 27}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes sealed = WithSpare(Random(rng, kCardRecordLength));
        SealCardRecord(sealed.data(), c.variant, 0x21);
        Bytes check = sealed;
        ASSERT_TRUE(OpenCardRecord(check.data(), c.variant, 0x21));
        for (int pos = c.firstChanged; pos <= c.lastChanged; ++pos) {
            for (int flip = 1; flip < 256; ++flip) {
                // Change the plain record, then encipher it as the card would hold it.
                Bytes b = sealed;
                CardDecipher(b.data(), kCardRecordLength);
                b[pos] ^= static_cast<uint8_t>(flip);
                CardEncipher(b.data(), kCardRecordLength);
                ASSERT_FALSE(OpenCardRecord(b.data(), c.variant, 0x21))
                    << "byte " << pos << " xor " << flip;
            }
        }
    }
}

}  // namespace
