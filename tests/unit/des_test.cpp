// The DES engine and the Des2 export.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"
#include "codec/des.h"
#include "kestrane.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

class DesTest : public ::testing::Test {
protected:
    void SetUp() override { bench::Reset(); }
};

// des.txt: "key | plaintext | ciphertext" lines for the engine, "data |
// result" lines for Des2 with the library's key, '#' comments.
struct DesVectors {
    struct Engine {
        Bytes key, plain, cipher;
    };
    struct Des2Line {
        Bytes data, result;
    };
    std::vector<Engine> engine;
    std::vector<Des2Line> des2;
};

std::vector<std::string> SplitBars(const std::string &line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '|')) fields.push_back(field);
    return fields;
}

DesVectors LoadVectors() {
    DesVectors v;
    std::istringstream in(kstest::VectorFile("des.txt"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto f = SplitBars(line);
        if (f.size() == 3) {
            v.engine.push_back({kstest::Hex(f[0]), kstest::Hex(f[1]), kstest::Hex(f[2])});
        } else if (f.size() == 2) {
            v.des2.push_back({kstest::Hex(f[0]), kstest::Hex(f[1])});
        } else {
            ADD_FAILURE() << "unreadable vector line: " << line;
        }
    }
    return v;
}

std::vector<int16_t> Elements(const Bytes &b) { return std::vector<int16_t>(b.begin(), b.end()); }

Bytes Random(std::mt19937 &rng, size_t n) {
    Bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Des2 over bytes, through the export.
Bytes RunExport(const Bytes &data, int32_t mode) {
    std::vector<int16_t> e = Elements(data);
    EXPECT_EQ(Des2(e.data(), static_cast<int32_t>(e.size()), mode), KS_OK);
    Bytes out;
    for (int16_t x : e) {
        EXPECT_GE(x, 0);
        EXPECT_LE(x, 255);
        out.push_back(static_cast<uint8_t>(x));
    }
    return out;
}

// --- Known answers ---------------------------------------------------------

TEST_F(DesTest, EngineReproducesEveryKnownAnswerBothWays) {
    const DesVectors v = LoadVectors();
    ASSERT_GE(v.engine.size(), 5u);
    for (const auto &e : v.engine) {
        SCOPED_TRACE(std::to_string(e.key.size()) + "-byte key, " + std::to_string(e.plain.size()) +
                     " data bytes");
        ASSERT_EQ(e.plain.size(), e.cipher.size());
        Bytes out(e.plain.size());
        ASSERT_TRUE(DesBuffer(out.data(), e.plain.data(), static_cast<uint32_t>(out.size()),
                              e.key.data(), static_cast<uint32_t>(e.key.size()), false));
        EXPECT_EQ(out, e.cipher);
        ASSERT_TRUE(DesBuffer(out.data(), out.data(), static_cast<uint32_t>(out.size()),
                              e.key.data(), static_cast<uint32_t>(e.key.size()), true));
        EXPECT_EQ(out, e.plain);
    }
}

TEST_F(DesTest, Des2ReproducesItsKnownAnswers) {
    const DesVectors v = LoadVectors();
    ASSERT_GE(v.des2.size(), 2u);
    for (const auto &d : v.des2) {
        SCOPED_TRACE(std::to_string(d.data.size()) + " bytes");
        EXPECT_EQ(RunExport(d.data, 0), d.result);
    }
}

TEST_F(DesTest, Des2KeyIsTheFifteenPublishedBytes) {
    const std::string expected = "Kestrane-DES2-K";
    ASSERT_EQ(kDes2KeyLength, expected.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(kDes2Key), kDes2KeyLength), expected);
}

// --- Engine properties -----------------------------------------------------

TEST_F(DesTest, BlockDecipherUndoesEncipherForRandomKeys) {
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        const Bytes key = Random(rng, 8);
        const Bytes block = Random(rng, 8);
        DesSubkeys keys;
        DesKeySchedule(key.data(), &keys);
        Bytes c(8), p(8);
        DesBlock(c.data(), block.data(), keys, false);
        DesBlock(p.data(), c.data(), keys, true);
        ASSERT_NE(c, block);
        ASSERT_EQ(p, block);
    }
}

TEST_F(DesTest, BufferRoundsUpToWholeBlocksAndRefusesNothingToDo) {
    const Bytes key = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes buffer(16, 0xAB);
    const Bytes before = buffer;
    EXPECT_FALSE(DesBuffer(buffer.data(), buffer.data(), 0, key.data(), 8, false));
    EXPECT_EQ(buffer, before);

    // Three bytes process the whole first block, the second stays as it was.
    Bytes whole(16, 0xAB), three(16, 0xAB);
    ASSERT_TRUE(DesBuffer(whole.data(), whole.data(), 8, key.data(), 8, false));
    ASSERT_TRUE(DesBuffer(three.data(), three.data(), 3, key.data(), 8, false));
    EXPECT_EQ(three, whole);
    EXPECT_EQ(Bytes(three.begin() + 8, three.end()), Bytes(8, 0xAB));
}

TEST_F(DesTest, KeyLengthSelectsSingleOrTripleDesAndIsCutAtSixteen) {
    std::mt19937 rng(8);
    const Bytes key20 = Random(rng, 20);
    const Bytes data = Random(rng, 24);
    auto run = [&](uint32_t keyLength) {
        Bytes out(data.size());
        DesBuffer(out.data(), data.data(), static_cast<uint32_t>(data.size()), key20.data(),
                  keyLength, false);
        return out;
    };
    EXPECT_EQ(run(20), run(16));  // bytes past 16 do not count
    EXPECT_NE(run(16), run(8));   // a second key half makes it triple DES
    // Eight key bytes: plain single DES, block by block.
    DesSubkeys keys;
    DesKeySchedule(key20.data(), &keys);
    Bytes single(8);
    DesBlock(single.data(), data.data(), keys, false);
    const Bytes withEightKeyBytes = run(8);
    EXPECT_EQ(Bytes(withEightKeyBytes.begin(), withEightKeyBytes.begin() + 8), single);
    // Nine key bytes: the second half is byte 8 over zeros.
    Bytes nine(key20.begin(), key20.begin() + 9);
    nine.resize(16, 0);
    Bytes out(data.size());
    DesBuffer(out.data(), data.data(), 24, nine.data(), 16, false);
    EXPECT_EQ(run(9), out);
}

// --- Des2 ------------------------------------------------------------------

TEST_F(DesTest, Des2RoundTripsWholeBlocksWithAnyNonzeroMode) {
    std::mt19937 rng(9);
    for (size_t n : {8u, 16u, 248u}) {
        for (int32_t mode : {1, -1, 2, 0x7FFF, 0x12340001}) {
            SCOPED_TRACE("n=" + std::to_string(n) + " mode=" + std::to_string(mode));
            const Bytes data = Random(rng, n);
            const Bytes enciphered = RunExport(data, 0);
            EXPECT_NE(enciphered, data);
            EXPECT_EQ(RunExport(enciphered, mode), data);
        }
    }
}

TEST_F(DesTest, Des2ModeCountsOnlyItsLow16Bits) {
    std::mt19937 rng(10);
    const Bytes data = Random(rng, 16);
    EXPECT_EQ(RunExport(data, 0x10000), RunExport(data, 0));  // low half 0: encipher
    EXPECT_EQ(RunExport(data, 0x10001), RunExport(data, 1));  // low half 1: decipher
}

TEST_F(DesTest, Des2MatchesTheEngineOverTheZeroCompletedBuffer) {
    std::mt19937 rng(11);
    for (size_t n : {1u, 5u, 8u, 13u, 16u, 255u}) {
        SCOPED_TRACE("n=" + std::to_string(n));
        const Bytes data = Random(rng, n);
        // Whole blocks, completed with zeros (255 bytes: 32 blocks, byte 256 zero).
        Bytes padded = data;
        padded.resize((n + 7) / 8 * 8, 0);
        Bytes expected(padded.size());
        ASSERT_TRUE(DesBuffer(expected.data(), padded.data(), static_cast<uint32_t>(padded.size()),
                              kDes2Key, kDes2KeyLength, false));
        expected.resize(n);
        EXPECT_EQ(RunExport(data, 0), expected);
    }
}

TEST_F(DesTest, Des2ShortLastBlockIsLossy) {
    // Five bytes keep only five of the eight enciphered bytes: deciphering
    // them (completed with zeros again) cannot give the data back.
    const Bytes data = {0x31, 0x32, 0x33, 0x34, 0x35};
    const Bytes enciphered = RunExport(data, 0);
    EXPECT_NE(RunExport(enciphered, 1), data);
    // 255 bytes: the first 31 blocks come back, the last one is lossy.
    std::mt19937 rng(12);
    const Bytes big = Random(rng, 255);
    const Bytes back = RunExport(RunExport(big, 0), 1);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 248), Bytes(big.begin(), big.begin() + 248));
}

TEST_F(DesTest, Des2ReadsLowBytesAndWritesCleanBytes) {
    std::mt19937 rng(13);
    const Bytes data = Random(rng, 16);
    std::vector<int16_t> dirty = Elements(data);
    for (size_t i = 0; i < dirty.size(); ++i)
        dirty[i] = static_cast<int16_t>(dirty[i] | ((i % 2) ? 0x7F00 : 0x8100));
    ASSERT_EQ(Des2(dirty.data(), 16, 0), KS_OK);
    const Bytes clean = RunExport(data, 0);
    for (size_t i = 0; i < dirty.size(); ++i) EXPECT_EQ(dirty[i], clean[i]) << "element " << i;
}

TEST_F(DesTest, Des2LengthCountsOnlyItsLowByte) {
    std::mt19937 rng(14);
    const Bytes data = Random(rng, 24);
    // 0x110 means 16: element 16 onward stays as it was.
    std::vector<int16_t> e = Elements(data);
    ASSERT_EQ(Des2(e.data(), 0x110, 0), KS_OK);
    const Bytes first16 = RunExport(Bytes(data.begin(), data.begin() + 16), 0);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(e[i], first16[i]);
    for (size_t i = 16; i < 24; ++i) EXPECT_EQ(e[i], data[i]);
    // 0x100 means 0: nothing changes.
    std::vector<int16_t> z = Elements(data);
    EXPECT_EQ(Des2(z.data(), 0x100, 0), KS_OK);
    EXPECT_EQ(z, Elements(data));
}

TEST_F(DesTest, Des2LengthZeroAndNullArrays) {
    std::vector<int16_t> e = {1, 2, 3, 4, 5, 6, 7, 8};
    const auto before = e;
    EXPECT_EQ(Des2(e.data(), 0, 0), KS_OK);
    EXPECT_EQ(e, before);
    EXPECT_EQ(Des2(nullptr, 0, 0), KS_OK);
    EXPECT_EQ(Des2(nullptr, 0x100, 1), KS_OK);  // low byte 0: nothing to do
    EXPECT_EQ(Des2(nullptr, 8, 0), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(Des2(nullptr, 255, 1), KS_ERR_UNAVAILABLE);
}

}  // namespace
