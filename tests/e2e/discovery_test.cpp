// Port discovery as EncodeInit uses it, through the shipped library: the port
// of a TEMIC or Mifare lock encoder found on the USB bus replaces CommProt;
// anything else found first leaves the port to the configuration file. The
// product strings are those the bridges in the field report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench.h"
#include "kestrane.h"
#include "medium_rig.h"
#include "test_support.h"
#include "usb_bench.h"

namespace {

using namespace std::string_literals;

constexpr const char *kCollector = "USB Data Pick Device";
constexpr const char *kMifareLock = "Mifare Card Lock Device";
constexpr const char *kTemicLock = "TEMIC Card Lock Device";

// Mifare medium (LockType digit 4): nothing is opened, the port is only
// recorded. CommProt 2 is COM3.
constexpr int kConfiguredPort = 3;

// Serials unique to this program: the Windows registry is shared.
std::string Serial(const std::string &tail) { return "E2D" + tail; }

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { bench::Reset(); }
    void TearDown() override {
        EXPECT_EQ(bench::OpenCount("CP2101"), 0);
        bench::Reset();
    }

    // Runs EncodeInit and answers the port it handed back in byte 1.
    int InitPort() {
        int port = 0;
        EXPECT_EQ(kstest::EncodeInitWith("[Config]\nCommProt=2\nLockType=4\n", &port), KS_OK);
        return port;
    }
    void Attach(const std::string &product, int com, const std::string &tail = "") {
        bench::AttachBridge({product, tail.empty() ? "" : Serial(tail), 0x10C4, 0xEA60, com});
    }
};

TEST_F(DiscoveryTest, WhoseBridgeDecidesThePort) {
    struct Bridge {
        std::string product;
        int com;
    };
    const struct {
        const char *name;
        std::vector<Bridge> bridges;
        int port;
    } cases[] = {
        {"no bridge", {}, kConfiguredPort},
        {"Mifare lock encoder", {{kMifareLock, 12}}, 12},
        {"TEMIC lock encoder", {{kTemicLock, 7}}, 7},
        {"IC lock encoder only", {{"IC Card Lock Device", 9}}, kConfiguredPort},
        {"Mifare tools encoder", {{"Mifare Card Tools Device", 9}}, kConfiguredPort},
        {"collector and Mifare lock encoder", {{kMifareLock, 12}, {kCollector, 5}}, kConfiguredPort},
        {"letter case", {{"MIFARE card LOCK device", 4}}, 4},
        {"two lock encoders: the first", {{kMifareLock, 3 + 3}, {kMifareLock, 12}}, 6},
        {"TEMIC before Mifare by kind", {{kMifareLock, 12}, {kTemicLock, 8}}, 8},
        {"a port the system never recorded", {{kMifareLock, 0}}, kConfiguredPort},
        // The product string is ended at the length the bridge library
        // reports and compared as text: a NUL inside that length ends it, as
        // for every C string. A library that counts a terminator (or pads the
        // descriptor with zeros) still names its device.
        {"terminator counted", {{"Mifare Card Lock Device\0"s, 12}}, 12},
        {"zero padding, other case", {{"MIFARE card lock DEVICE\0\0\0"s, 12}}, 12},
        {"bytes after the terminator", {{"TEMIC Card Lock Device\0xyz"s, 7}}, 7},
        {"NUL inside the name", {{"Mifare Card Lock\0 Device"s, 12}}, kConfiguredPort},
        {"NUL first", {{"\0Mifare Card Lock Device"s, 12}}, kConfiguredPort},
        // The collector is recognised with its terminator too, and as the
        // lowest kind it wins: the port then comes from the configuration file.
        {"collector with terminator", {{kMifareLock, 12}, {"USB Data Pick Device\0"s, 5}}, kConfiguredPort},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bench::Reset();
        for (const Bridge &b : c.bridges) Attach(b.product, b.com);
        EXPECT_EQ(InitPort(), c.port);
    }
}

TEST_F(DiscoveryTest, ASerialWithSpacesIsFoundUnderItsUnderscoredKey) {
    Attach(kMifareLock, 11, "with spaces in");
    EXPECT_EQ(InitPort(), 11);
}

TEST_F(DiscoveryTest, OnWindows9xTheSerialIsLookedUpInCapitals) {
    if (!bench::Windows9xSelectable()) GTEST_SKIP() << "the real Windows family decides here";
    bench::SetWindows9x(true);
    Attach(kMifareLock, 12, "lower case");
    EXPECT_EQ(InitPort(), 12);
    Attach(kTemicLock, 0, "t");  // no port: the Mifare encoder is still found
    EXPECT_EQ(InitPort(), 12);
}

}  // namespace
