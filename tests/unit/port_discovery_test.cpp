// Port discovery against the bench's CP2101 bridges and the registry entries
// it records for them (the real registry on Windows, the registry file
// natively).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "media/port_discovery.h"
#include "bench.h"
#include "kestrane.h"
#include "usb_bench.h"

namespace {

constexpr const char *kCollector = "USB Data Pick Device";
constexpr const char *kMifareLock = "Mifare Card Lock Device";

std::string NtKey(const std::string &serialUnderscored, uint16_t vid = 0x10C4, uint16_t pid = 0xEA60) {
    char head[96];
    std::snprintf(head, sizeof head, "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%04x&Pid_%04x&Mi_00\\", vid, pid);
    return head + serialUnderscored + "_00\\Device Parameters";
}

// Serials unique to this program: the Windows registry is shared.
std::string Serial(const std::string &tail) { return "PDU" + tail; }

class PortDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        g_encoder = kInitialEncoderState;
    }
    void TearDown() override {
        EXPECT_EQ(bench::OpenCount("CP2101"), 0);
        // Every bridge that opened was closed again, once.
        size_t opened = 0;
        for (const auto &c : bench::CallLog()) opened += c.fn == "CP2101_Open" && c.result == 0;
        EXPECT_EQ(opened, bench::CallCount("CP2101_Close"));
        bench::Reset();
    }
    int Attach(const std::string &product, int com, const std::string &serialTail = "") {
        return bench::AttachBridge({product, serialTail.empty() ? "" : Serial(serialTail), 0x10C4, 0xEA60, com});
    }
    int16_t kind = 99;
};

TEST_F(PortDiscoveryTest, NothingAttachedLeavesKindAndDiscoveredPortAlone) {
    g_encoder.DiscoveredPort = 7;
    EXPECT_EQ(FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort), KS_ERR_OPEN_OR_NO_DEV);
    EXPECT_EQ(kind, 99);
    EXPECT_EQ(g_encoder.DiscoveredPort, 7);
}

TEST_F(PortDiscoveryTest, EveryKnownProductIsFoundAsItsKind) {
    const struct {
        const char *product;
        int16_t kind;
    } devices[] = {
        {"USB Data Pick Device", 0},     {"IC Card Lock Device", 3},     {"IC Card Tools Device", 4},
        {"TM Card Lock Device", 5},      {"TM Card Tools Device", 6},    {"TEMIC Card Lock Device", 7},
        {"TEMIC Card Tools Device", 8},  {"Mifare Card Lock Device", 9}, {"Mifare Card Tools Device", 10},
    };
    for (const auto &d : devices) {
        SCOPED_TRACE(d.product);
        bench::Reset();
        Attach(d.product, d.kind + 20);
        kind = 99;
        ASSERT_EQ(FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort), KS_OK);
        EXPECT_EQ(kind, d.kind);
        EXPECT_EQ(g_encoder.DiscoveredPort, d.kind + 20);
        EXPECT_EQ(PortForDeviceKind(d.kind), d.kind + 20);
    }
    // Kinds outside the table find nothing, whatever is attached.
    for (int16_t k : {-1, 1, 2, 11}) EXPECT_EQ(PortForDeviceKind(k), -1) << k;
}

TEST_F(PortDiscoveryTest, TheLowestKindWinsAndAKindWithoutAPortIsPassedOver) {
    Attach(kMifareLock, 12);
    Attach(kCollector, 5);
    ASSERT_EQ(FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort), KS_OK);
    EXPECT_EQ(kind, kUsbCollector);
    EXPECT_EQ(g_encoder.DiscoveredPort, 5);

    // A collector whose port the system never recorded does not stop the search.
    bench::Reset();
    Attach(kCollector, 0);
    Attach(kMifareLock, 4);
    ASSERT_EQ(FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort), KS_OK);
    EXPECT_EQ(kind, kUsbMifareLockEncoder);
    EXPECT_EQ(g_encoder.DiscoveredPort, 4);
}

TEST_F(PortDiscoveryTest, ProductStringsMatchIgnoringCaseButWhole) {
    const struct {
        const char *product;
        int port;
    } cases[] = {
        {"mifare CARD lock DEVICE", 6},
        {"Mifare Card Lock Device ", -1},
        {"Mifare Card Lock Devic", -1},
        {"Mifare Card Lock Device2", -1},
        {"", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.product);
        bench::Reset();
        Attach(c.product, 6);
        EXPECT_EQ(PortForProductName(kMifareLock), c.port);
    }
}

TEST_F(PortDiscoveryTest, TheFirstMatchingBridgeIsUsedAndUnreadableOnesAreSkipped) {
    Attach(kMifareLock, 3);
    Attach(kMifareLock, 12);
    EXPECT_EQ(PortForProductName(kMifareLock), 3);

    const struct {
        const char *fn;
        int port;
    } faults[] = {
        {"CP2101_Open", 12},
        {"CP2101_GetDeviceProductString", 12},
        {"CP2101_GetDeviceSerialNumber", 12},
        {"CP2101_GetDeviceVid", 12},
        {"CP2101_GetDevicePid", 12},
        {"CP2101_GetNumDevices", -1},
    };
    for (const auto &f : faults) {
        SCOPED_TRACE(f.fn);
        bench::ClearFaults();
        bench::ArmFault(1, bench::FaultKind::FailOnce, f.fn);
        EXPECT_EQ(PortForProductName(kMifareLock), f.port);
        EXPECT_EQ(bench::OpenCount("CP2101"), 0);
    }
    bench::ClearFaults();
}

TEST_F(PortDiscoveryTest, PortNamesAreReadAfterTheirThreeLetterPrefix) {
    const struct {
        const char *name;
        int port;
    } cases[] = {
        {"COM3", 3}, {"COM12", 12}, {"com7", 7}, {"COM255", 255}, {"COM4x", 4},
        {"COM", -1}, {"CO", -1},    {"", -1},    {"COMX", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bench::Reset();
        Attach(kMifareLock, 0, "NAME");  // no port recorded by the bench
        bench::SetRegistryValue(NtKey(Serial("NAME")), "PortName", c.name);
        EXPECT_EQ(PortForProductName(kMifareLock), c.port);
    }
}

TEST_F(PortDiscoveryTest, SpacesInTheSerialAreLookedUpAsUnderscores) {
    Attach(kMifareLock, 9, "a b C");
    EXPECT_EQ(PortForProductName(kMifareLock), 9);
    char serial[] = "PDUa b C";
    EXPECT_EQ(PortFromUsbEnum(0x10C4, 0xEA60, serial), 9);
    EXPECT_STREQ(serial, "PDUa_b_C");  // changed in place, case kept
}

TEST_F(PortDiscoveryTest, TheBridgesOwnVidAndPidNameTheKey) {
    bench::AttachBridge({kMifareLock, Serial("VP"), 0x1A2B, 0x3C4D, 8});
    EXPECT_EQ(PortForProductName(kMifareLock), 8);
    char serial[32];
    std::snprintf(serial, sizeof serial, "%s", Serial("VP").c_str());
    EXPECT_EQ(PortFromUsbEnum(0x10C4, 0xEA60, serial), -1);
}

// Mended: a value longer than the first 100-byte buffer is queried again
// with the size the registry reported, up to a fixed bound; longer than that
// it cannot be ours and counts as not found. Nothing is read past its end.
TEST_F(PortDiscoveryTest, LongRegistryValuesAreReadToTheirReportedSizeWithinABound) {
    const struct {
        size_t padding;
        int port;
    } cases[] = {{0, 5}, {95, 5}, {150, 5}, {300, 5}, {400, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.padding);
        bench::Reset();
        Attach(kMifareLock, 0, "LONG");
        bench::SetRegistryValue(NtKey(Serial("LONG")), "PortName", "COM5" + std::string(c.padding, 'z'));
        EXPECT_EQ(PortForProductName(kMifareLock), c.port);
    }
}

// ---- Windows 9x family (the platform reports it only natively) ----

class PortDiscovery9xTest : public PortDiscoveryTest {
protected:
    void SetUp() override {
        PortDiscoveryTest::SetUp();
        if (!bench::Windows9xSelectable()) GTEST_SKIP() << "the real Windows family decides here";
        bench::SetWindows9x(true);
    }
};

TEST_F(PortDiscovery9xTest, SerialsAreLookedUpInCapitalsWithUnderscores) {
    Attach(kMifareLock, 11, "ab c");
    EXPECT_EQ(PortForProductName(kMifareLock), 11);
    char serial[] = "PDUab c";
    EXPECT_EQ(PortFromSlabcrEnum(0x10C4, 0xEA60, serial), 11);
    EXPECT_STREQ(serial, "PDUAB_C");
}

TEST_F(PortDiscovery9xTest, TheWalkEndsAtTheFirstMissingIndexAndLaterMatchesWin) {
    Attach(kCollector, 4, "X1");  // index 0
    const std::string identity = "USB\\VID_10C4&PID_EA60&MI_00\\PDUX1_00";
    bench::SetRegistryValue("Enum\\SLABCR\\guid\\0001", "CRLowerDeviceID", identity);
    bench::SetRegistryValue("Enum\\SLABCR\\guid\\0001", "Portname", "COM14");
    EXPECT_EQ(PortForProductName(kCollector), 14);
    // Index 0003 is never reached: 0002 is missing.
    bench::SetRegistryValue("Enum\\SLABCR\\guid\\0003", "CRLowerDeviceID", identity);
    bench::SetRegistryValue("Enum\\SLABCR\\guid\\0003", "Portname", "COM15");
    EXPECT_EQ(PortForProductName(kCollector), 14);
}

TEST_F(PortDiscovery9xTest, AnIdentityLongerThanTheFirstBufferIsQueriedAgain) {
    // The device identity of an 80-character serial is 111 characters.
    const std::string tail(77, 'q');
    Attach(kMifareLock, 13, tail);
    EXPECT_EQ(PortForProductName(kMifareLock), 13);
}

}  // namespace
