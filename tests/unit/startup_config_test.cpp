// EncodeInit's effect on the encoder state, field by field: the INI keys,
// their defaults and conversions, the password byte order, and what a failed
// load leaves behind. On Windows the file is read by GetPrivateProfileStringA.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "bench.h"
#include "ic_bench.h"
#include "kestrane.h"
#include "medium_rig.h"
#include "test_support.h"

namespace {

// EncodeInit with this path: the port byte it writes back is the state's.
int16_t InitFrom(const std::string &path) {
    kstest::PathBuffer buffer(path);
    const int16_t result = EncodeInit(buffer.get());
    EXPECT_EQ(buffer.port(), g_encoder.PortNumber);
    return result;
}

// EncodeInit with a configuration file holding `ini`.
int16_t Init(const std::string &ini) { return InitFrom(kstest::WriteIni(ini)); }

std::vector<uint8_t> Password() {
    return std::vector<uint8_t>(g_encoder.SystemPassword, g_encoder.SystemPassword + 4);
}

bool SameState(const EncoderState &a, const EncoderState &b) {
    return a.LockType == b.LockType && a.PortNumber == b.PortNumber && a.DiscoveredPort == b.DiscoveredPort &&
           std::memcmp(a.SystemPassword, b.SystemPassword, 4) == 0 && a.MifareSector == b.MifareSector &&
           a.IcHandle == b.IcHandle && a.IcPort == b.IcPort;
}

class StartupConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        g_encoder = kInitialEncoderState;
    }
    void TearDown() override {
        EncodeExit();
        bench::Reset();
    }
};

TEST_F(StartupConfigTest, MissingFileGivesTheDefaults) {
    bench::PlaceIcEncoder(1);
    EXPECT_EQ(InitFrom(kstest::TempDir() + "/absent.ini"), KS_OK);
    EXPECT_EQ(g_encoder.PortNumber, 1);
    EXPECT_EQ(g_encoder.LockType, kLockIc4442);
    EXPECT_EQ(g_encoder.MifareSector, 1);
    EXPECT_EQ(Password(), (std::vector<uint8_t>{0xD2, 0x19, 0x7E, 0x4B}));
    EXPECT_EQ(g_encoder.IcPort, 1);
    EXPECT_NE(g_encoder.IcHandle, 0);
}

TEST_F(StartupConfigTest, SectorTakesOneOrTwoDigits) {
    const struct {
        const char *value;
        uint8_t sector;
    } cases[] = {{"12", 12}, {"7", 7}, {"123", 12}, {"09", 9}, {"15", 15}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(Init(std::string("[Config]\nLockType=4\nSector=") + c.value + "\n"), KS_OK);
        EXPECT_EQ(g_encoder.MifareSector, c.sector);
    }
}

TEST_F(StartupConfigTest, OnePairOfQuotesAroundAValueIsDropped) {
    // The Windows profile reader drops matching quotes; the native reader must
    // read the same file the same way.
    const struct {
        const char *ini;
        int16_t lockType;
        uint8_t sector;
    } cases[] = {{"[Config]\nLockType=\"4\"\nSector='12'\n", kLockMifare, 12},
                 {"[Config]\nLockType='2'\nSector=\"7\"\n", kLockTemic, 7},
                 {"[Config]\nLockType=\"4'\nSector=3\n", '"' - 47, 1}};  // unmatched: the quote is the digit, out of range
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini);
        g_encoder.MifareSector = 1;
        Init(c.ini);
        EXPECT_EQ(g_encoder.LockType, c.lockType);
        EXPECT_EQ(g_encoder.MifareSector, c.sector);
    }
}

TEST_F(StartupConfigTest, CommProtAndLockTypeAreTheDigitPlusOne) {
    const struct {
        const char *ini;
        uint8_t port;
        int16_t lockType;
        int16_t result;
    } cases[] = {
        {"[Config]\nCommProt=9\nLockType=4\n", 10, kLockMifare, KS_OK},
        {"[Config]\nCommProt=0\nLockType=2\n", 1, kLockTemic, KS_OK},
        {"[Config]\nCommProt=3\nLockType=0\n", 4, kLockReserved1, KS_ERR_MEDIUM_RESERVED},
        {"[Config]\nLockType=3\n", 1, kLockReserved4, KS_ERR_MEDIUM_RESERVED},
        {"[Config]\nLockType=5\n", 1, 6, KS_ERR_MEDIUM_RESERVED},
        {"[Config]\nLockType=/\n", 1, 0, KS_ERR_MEDIUM_RESERVED},
        {"[Config]\nLockType=A\n", 1, 'A' - 47, KS_ERR_MEDIUM_RESERVED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini);
        EXPECT_EQ(Init(c.ini), c.result);
        EXPECT_EQ(g_encoder.PortNumber, c.port);
        EXPECT_EQ(g_encoder.LockType, c.lockType);
    }
}

// The hex conversion is the library's own. Values shorter than 8 characters
// are read up to their end only; a position without a hexadecimal digit
// (past the end, or not hex) counts as digit 0.
TEST_F(StartupConfigTest, PassBecomesThePasswordLastPairFirst) {
    const struct {
        const char *pass;
        std::vector<uint8_t> password;
    } cases[] = {
        {"4B7E19D2", {0xD2, 0x19, 0x7E, 0x4B}},
        {"4b7e19d2", {0xD2, 0x19, 0x7E, 0x4B}},
        {"00112233", {0x33, 0x22, 0x11, 0x00}},
        {"4B7E19D2FF", {0xD2, 0x19, 0x7E, 0x4B}},  // only the first 8 count
        {"12", {0x00, 0x00, 0x00, 0x12}},
        {"1", {0x00, 0x00, 0x00, 0x10}},
        {"", {0x00, 0x00, 0x00, 0x00}},
        {"4B7EXXD2", {0xD2, 0x00, 0x7E, 0x4B}},
        {"G1234567", {0x67, 0x45, 0x23, 0x01}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pass);
        EXPECT_EQ(Init(std::string("[Config]\nLockType=4\n[SystemInfo]\nPass=") + c.pass + "\n"), KS_OK);
        EXPECT_EQ(Password(), c.password);
    }
}

TEST_F(StartupConfigTest, AnOutOfRangeLockTypeStopsBeforeTheSector) {
    ASSERT_EQ(Init("[Config]\nLockType=4\nSector=9\n"), KS_OK);
    EXPECT_EQ(Init("[Config]\nCommProt=4\nLockType=7\nSector=3\n[SystemInfo]\nPass=01020304\n"),
              KS_ERR_MEDIUM_RESERVED);
    EXPECT_EQ(g_encoder.PortNumber, 5);
    EXPECT_EQ(Password(), (std::vector<uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(g_encoder.LockType, 8);
    EXPECT_EQ(g_encoder.MifareSector, 9);  // unchanged

    // LockType 0, 1 and 4 pass the range test: the sector is updated.
    EXPECT_EQ(Init("[Config]\nLockType=3\nSector=3\n"), KS_ERR_MEDIUM_RESERVED);
    EXPECT_EQ(g_encoder.MifareSector, 3);
}

TEST_F(StartupConfigTest, AFailedIcOpenHasStoredEverythingAndLeavesTheDriverClosed) {
    bench::PlaceIcEncoder(2);
    EXPECT_EQ(Init("[Config]\nCommProt=5\nSector=4\n[SystemInfo]\nPass=A1B2C3D4\n"),
              KS_ERR_OPEN_OR_NO_DEV);
    EXPECT_EQ(g_encoder.PortNumber, 6);
    EXPECT_EQ(g_encoder.LockType, kLockIc4442);
    EXPECT_EQ(g_encoder.MifareSector, 4);
    EXPECT_EQ(Password(), (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(g_encoder.IcHandle, 0);
    EXPECT_EQ(g_encoder.IcPort, 0xFF);
    EXPECT_EQ(EncodeExit(), KS_ERR_IC_NOT_OPEN);
}

TEST_F(StartupConfigTest, ExitBeforeAnyInitIsUnavailableAndChangesNothing) {
    EXPECT_EQ(EncodeExit(), KS_ERR_UNAVAILABLE);
    ASSERT_EQ(Init("[Config]\nLockType=4\nSector=6\n"), KS_OK);
    const EncoderState before = g_encoder;
    EXPECT_EQ(EncodeExit(), KS_OK);
    EXPECT_TRUE(SameState(before, g_encoder));
}

TEST_F(StartupConfigTest, ANullPathChangesNoField) {
    ASSERT_EQ(Init("[Config]\nLockType=4\nSector=6\n"), KS_OK);
    const EncoderState before = g_encoder;
    EXPECT_EQ(EncodeInit(nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_TRUE(SameState(before, g_encoder));
}

}  // namespace
