// EncodeInit / EncodeExit through the shipped library: the configuration
// file (read with GetPrivateProfileStringA on Windows, the INI reader
// natively), the port handed back in byte 1 of the path buffer, and the
// contact IC encoder opened and closed on the bench.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "bench.h"
#include "call_log.h"
#include "card_args.h"
#include "ic_bench.h"
#include "kestrane.h"
#include "medium_rig.h"
#include "test_support.h"

namespace {

#if defined(_WIN32)
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

using kstest::PathBuffer;
using kstest::WriteIni;

std::string MissingConfig() { return kstest::TempDir() + kSep + "no-such-file.ini"; }

// Issues a guest card onto the factory card in the encoder and returns the
// plain record the card now holds (empty when the record does not open).
std::array<uint8_t, 28> IssueGuestCardAndOpen() {
    kstest::IssueArgs guest;
    EXPECT_EQ(guest.Issue(MakeGuestCard), KS_OK);
    std::array<uint8_t, 28> record{};
    EXPECT_TRUE(bench::OpenIcRecord(bench::CurrentSle4442(), &record));
    return record;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        EncodeExit();  // whatever an earlier test left open
        bench::Reset();
    }
    void TearDown() override {
        EncodeExit();
        bench::Reset();
    }
};

TEST_F(StartupTest, WithoutAConfigFileTheDefaultsOpenTheIcEncoderOnCom1) {
    bench::PlaceIcEncoder(1);
    bench::InsertSle4442(bench::MakeIcCard());
    PathBuffer path(MissingConfig());
    ASSERT_EQ(EncodeInit(path.get()), KS_OK);
    EXPECT_EQ(path.port(), 1);
    ASSERT_EQ(bench::CallCount("ic_init"), 1u);
    const auto log = bench::CallLog();
    EXPECT_EQ(log.back().fn, "ic_init");
    EXPECT_EQ(log.back().args, (std::vector<int64_t>{0, 9600}));  // COM1 is port index 0
    EXPECT_EQ(bench::OpenCount("MWIC_32"), 1);

    // The default Pass 4B7E19D2 lands on every card as D2 19 7E 4B.
    const auto record = IssueGuestCardAndOpen();
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 20, record.begin() + 24),
              (std::vector<uint8_t>{0xD2, 0x19, 0x7E, 0x4B}));

    EXPECT_EQ(EncodeExit(), KS_OK);
    EXPECT_EQ(bench::OpenCount("MWIC_32"), 0);
    EXPECT_EQ(EncodeExit(), KS_ERR_IC_NOT_OPEN);
}

struct IniCase {
    const char *name;
    const char *ini;
    int encoderPort;  // where the IC encoder sits (0: none)
    int16_t result;
    uint8_t port;     // byte 1 of the path buffer afterwards
    bool icOpened;
};

TEST_F(StartupTest, ConfigurationDecidesPortMediumAndResult) {
    const IniCase cases[] = {
        {"CommProt 9 is COM10", "[Config]\nCommProt=9\nLockType=1\n", 10, KS_OK, 10, true},
        {"CommProt 2, no encoder on COM3", "[Config]\nCommProt=2\n", 1, KS_ERR_OPEN_OR_NO_DEV, 3, false},
        {"LockType 4 is Mifare", "[Config]\nCommProt=3\nLockType=4\n", 4, KS_OK, 4, false},
        {"LockType 2 is TEMIC", "[Config]\nLockType=2\n", 1, KS_OK, 1, false},
        {"LockType 5 is out of range", "[Config]\nLockType=5\n", 1, KS_ERR_MEDIUM_RESERVED, 1, false},
        {"LockType 0 is reserved", "[Config]\nLockType=0\n", 1, KS_ERR_MEDIUM_RESERVED, 1, false},
        {"LockType 3 is reserved", "[Config]\nLockType=3\n", 1, KS_ERR_MEDIUM_RESERVED, 1, false},
        {"LockType slash gives 0", "[Config]\nLockType=/\n", 1, KS_ERR_MEDIUM_RESERVED, 1, false},
        {"only first characters count", "[config]\ncommprot=45\nlocktype=17\n", 5, KS_OK, 5, true},
        {"other sections are not read", "[Other]\nCommProt=5\nLockType=4\n", 1, KS_OK, 1, true},
    };
    for (const IniCase &c : cases) {
        SCOPED_TRACE(c.name);
        bench::Reset();
        if (c.encoderPort != 0) bench::PlaceIcEncoder(c.encoderPort);
        PathBuffer path(WriteIni(c.ini));
        EXPECT_EQ(EncodeInit(path.get()), c.result);
        EXPECT_EQ(path.port(), c.port);
        EXPECT_EQ(bench::OpenCount("MWIC_32"), c.icOpened ? 1 : 0);
        EncodeExit();
    }
}

TEST_F(StartupTest, ExitAnswersByTheConfiguredMedium) {
    bench::PlaceIcEncoder(1);
    const struct {
        const char *ini;
        int16_t exitResult;
    } cases[] = {
        {"[Config]\nLockType=1\n", KS_OK},
        {"[Config]\nLockType=2\n", KS_OK},
        {"[Config]\nLockType=4\n", KS_OK},
        {"[Config]\nLockType=0\n", KS_ERR_MEDIUM_RESERVED},
        {"[Config]\nLockType=3\n", KS_ERR_MEDIUM_RESERVED},
        {"[Config]\nLockType=5\n", KS_ERR_UNAVAILABLE},
        {"[Config]\nLockType=/\n", KS_ERR_UNAVAILABLE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini);
        PathBuffer path(WriteIni(c.ini));
        EncodeInit(path.get());
        EXPECT_EQ(EncodeExit(), c.exitResult);
        EXPECT_EQ(bench::OpenCount("MWIC_32"), 0);
    }
}

TEST_F(StartupTest, AFailedLoadKeepsWhatItHadStoredAndBlocksTheCardFunctions) {
    bench::PlaceIcEncoder(2);
    bench::InsertSle4442(bench::MakeIcCard());
    PathBuffer good(WriteIni("[Config]\nCommProt=1\n"));
    ASSERT_EQ(EncodeInit(good.get()), KS_OK);

    PathBuffer bad(WriteIni("[Config]\nCommProt=6\nLockType=7\n"));
    EXPECT_EQ(EncodeInit(bad.get()), KS_ERR_MEDIUM_RESERVED);
    EXPECT_EQ(bad.port(), 7);  // stored before LockType failed
    // LockType holds the bad value: the medium functions are unavailable.
    std::array<int16_t, 8> serial{};
    EXPECT_EQ(ClearCardData(serial.data()), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(EncodeExit(), KS_ERR_UNAVAILABLE);
    // The reload did not strand the IC encoder it had held.
    EXPECT_EQ(bench::OpenCount("MWIC_32"), 0);
}

// Mended: a second EncodeInit while the IC encoder is open used to open the
// port again over the held handle, which fails on an exclusively opened port
// and leaks the first handle. The reload closes it first.
TEST_F(StartupTest, ReloadingClosesTheHeldIcEncoderFirst) {
    bench::PlaceIcEncoder(1);
    PathBuffer ic(WriteIni("[Config]\nLockType=1\n"));
    ASSERT_EQ(EncodeInit(ic.get()), KS_OK);
    ASSERT_EQ(EncodeInit(ic.get()), KS_OK);
    EXPECT_EQ(bench::OpenCount("MWIC_32"), 1);
    EXPECT_EQ(kstest::CallNames({"ic_init", "ic_exit"}), (std::vector<std::string>{"ic_init", "ic_exit", "ic_init"}));

    // Switching the medium away from IC cards closes it too: EncodeExit on
    // Mifare closes nothing, so nothing else ever could.
    PathBuffer mifare(WriteIni("[Config]\nLockType=4\n"));
    ASSERT_EQ(EncodeInit(mifare.get()), KS_OK);
    EXPECT_EQ(bench::OpenCount("MWIC_32"), 0);
    EXPECT_EQ(EncodeExit(), KS_OK);
}

// Mended: a null path crashed the host's process. Now it changes nothing.
TEST_F(StartupTest, ANullPathIsRefusedAndChangesNothing) {
    bench::PlaceIcEncoder(1);
    PathBuffer ic(WriteIni("[Config]\nLockType=1\n"));
    ASSERT_EQ(EncodeInit(ic.get()), KS_OK);
    bench::ClearCallLog();
    EXPECT_EQ(EncodeInit(nullptr), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(bench::TotalCalls(), 0u);
    EXPECT_EQ(bench::OpenCount("MWIC_32"), 1);
    EXPECT_EQ(EncodeExit(), KS_OK);  // still the IC medium, still open
}

// Mended: the path is copied at most 255 bytes and always terminated, even
// when the host's 255 bytes hold no NUL; bytes past them are never read.
TEST_F(StartupTest, APathFillingAll255BytesIsReadWithoutItsTerminator) {
    bench::PlaceIcEncoder(6);
    const std::string dir = kstest::TempDir();
    std::string name = "full.ini";
    std::string prefix = dir + kSep;
    // Pad with "./" steps so that the path is exactly 255 characters.
    if ((255 - prefix.size() - name.size()) % 2 != 0) name = "full0.ini";
    while (prefix.size() + name.size() < 255) prefix += std::string(".") + kSep;
    const std::string path = prefix + name;
    ASSERT_EQ(path.size(), 255u);
    kstest::WriteFile(dir, name, "[Config]\nCommProt=5\n");

    std::array<char, 300> buffer;
    buffer.fill('x');  // no terminator anywhere after the 255 path bytes
    std::memcpy(buffer.data(), path.data(), 255);
    EXPECT_EQ(EncodeInit(buffer.data()), KS_OK);
    EXPECT_EQ(static_cast<uint8_t>(buffer[1]), 6);  // the file was found and read
    EXPECT_EQ(buffer[255], 'x');
}

}  // namespace
