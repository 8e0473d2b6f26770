// Start-up and driver details checked through the shipped library against
// what the hosts and the bridge library in the field do.
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

// Mifare medium (LockType digit 4) with CommProt 2 (COM3): EncodeInit opens
// nothing and hands the port it settled on back in byte 1 of the path.
constexpr int kConfiguredPort = 3;

class ReviewDriversTest : public ::testing::Test {
protected:
    void SetUp() override { bench::Reset(); }
    void TearDown() override {
        EXPECT_EQ(bench::OpenCount("CP2101"), 0);
        bench::Reset();
    }

    int InitPort() {
        int port = 0;
        EXPECT_EQ(kstest::EncodeInitWith("[Config]\nCommProt=2\nLockType=4\n", &port), KS_OK);
        return port;
    }
};

// The product string is ended at the length the bridge library reports and
// then compared as text: a NUL inside that length ends the text there, as
// it does for every C string. A bridge library that counts a terminator (or
// pads the descriptor with zeros) still names its device.
TEST_F(ReviewDriversTest, AProductStringEndsAtItsFirstNulWithinTheReportedLength) {
    struct Attached {
        std::string product;
        int com;
    };
    const struct {
        const char *name;
        std::vector<Attached> bridges;
        int port;
    } cases[] = {
        {"terminator counted", {{"Mifare Card Lock Device\0"s, 12}}, 12},
        {"zero padding, other case", {{"MIFARE card lock DEVICE\0\0\0"s, 12}}, 12},
        {"bytes after the terminator", {{"TEMIC Card Lock Device\0xyz"s, 7}}, 7},
        {"NUL inside the name", {{"Mifare Card Lock\0 Device"s, 12}}, kConfiguredPort},
        {"NUL first", {{"\0Mifare Card Lock Device"s, 12}}, kConfiguredPort},
        // The collector is recognised too, and as the lowest kind it wins:
        // the port then comes from the configuration file.
        {"collector with terminator", {{"Mifare Card Lock Device", 12}, {"USB Data Pick Device\0"s, 5}},
         kConfiguredPort},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bench::Reset();
        for (const Attached &b : c.bridges)
            bench::AttachBridge({b.product, "RVD" + std::to_string(++n), 0x10C4, 0xEA60, b.com});
        EXPECT_EQ(InitPort(), c.port);
    }
}

}  // namespace
