// FindUsbDevicePort reads each bridge once per search, and still finds what
// asking the bridges kind by kind (PortForDeviceKind, lowest kind first)
// finds: the same kind and the same port on every bridge set, including
// bridges that cannot be opened or read, duplicates, letter-case variants
// and bridges whose port the registry does not hold.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "media/port_discovery.h"
#include "bench.h"
#include "kestrane.h"
#include "media/vendor/cp2101.h"
#include "usb_bench.h"

namespace {

// The table order of the search.
constexpr int16_t kKinds[] = {0, 3, 4, 5, 6, 7, 8, 9, 10};

// Products seen on bench bridges: the known ones, case variants, near misses.
const char *const kProducts[] = {
    "USB Data Pick Device",     "IC Card Lock Device",     "IC Card Tools Device",
    "TM Card Lock Device",      "TM Card Tools Device",    "TEMIC Card Lock Device",
    "TEMIC Card Tools Device",  "Mifare Card Lock Device", "Mifare Card Tools Device",
    "usb data pick DEVICE",     "MIFARE CARD LOCK DEVICE", "temic card lock device",
    "CP2101 USB to UART Bridge", "Mifare Card Lock Devic", "",
};

struct BridgeSpec {
    const char *product;
    int com;                   // 0: the registry holds no port for it
    bool held = false;         // another program holds it open: our open fails
    bool productFails = false;
    bool serialFails = false;
};

struct Outcome {
    int16_t result;
    int16_t kind;
    int16_t port;
};

bool operator==(const Outcome &a, const Outcome &b) {
    return a.result == b.result && a.kind == b.kind && a.port == b.port;
}

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
    return os << "{result " << o.result << ", kind " << o.kind << ", port " << o.port << "}";
}

class PortDiscoveryPassTest : public ::testing::Test {
protected:
    void SetUp() override {
        bench::Reset();
        g_encoder = kInitialEncoderState;
    }
    void TearDown() override {
        Release();
        bench::Reset();
    }

    void Attach(const std::vector<BridgeSpec> &bridges) {
        for (const BridgeSpec &b : bridges) {
            bench::Bridge bridge;
            bridge.product = b.product;
            bridge.comPort = b.com;
            bridge.productReadFails = b.productFails;
            bridge.serialReadFails = b.serialFails;
            const int index = bench::AttachBridge(bridge);
            if (b.held) {
                void *handle = nullptr;
                ASSERT_EQ(CP2101_Open(static_cast<uint32_t>(index), &handle), 0);
                held_.push_back(handle);
            }
        }
    }
    void Release() {
        for (void *h : held_) CP2101_Close(h);
        held_.clear();
    }

    // What the kind-by-kind search answers: the first kind with a port.
    static Outcome KindByKind() {
        for (int16_t kind : kKinds) {
            const int port = PortForDeviceKind(kind);
            if (port != -1) return {KS_OK, kind, static_cast<int16_t>(port)};
        }
        return {KS_ERR_OPEN_OR_NO_DEV, -99, -99};
    }

    // FindUsbDevicePort's answer, and the bridge opens it made.
    static Outcome OnePass(size_t *opens) {
        g_encoder.DiscoveredPort = -99;
        int16_t kind = -99;
        bench::ClearCallLog();
        const int16_t result = FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort);
        *opens = bench::CallCount("CP2101_Open");
        return {result, kind, g_encoder.DiscoveredPort};
    }

    void ExpectSameAsKindByKind(const std::vector<BridgeSpec> &bridges, const Outcome *expected = nullptr) {
        Attach(bridges);
        const Outcome reference = KindByKind();
        size_t opens = 0;
        const Outcome found = OnePass(&opens);
        EXPECT_EQ(found, reference);
        if (expected != nullptr) {
            EXPECT_EQ(found, *expected);
        }
        EXPECT_LE(opens, bridges.size());
        EXPECT_EQ(bench::OpenCount("CP2101"), static_cast<int>(held_.size()));
        Release();
    }

    std::vector<void *> held_;
};

TEST_F(PortDiscoveryPassTest, MixedBridgeSetsGiveTheKindByKindAnswer) {
    const char *collector = "USB Data Pick Device";
    const char *icLock = "IC Card Lock Device";
    const char *temicLock = "TEMIC Card Lock Device";
    const char *mifareLock = "Mifare Card Lock Device";
    const char *mifareTools = "Mifare Card Tools Device";
    const char *other = "CP2101 USB to UART Bridge";
    const Outcome none{KS_ERR_OPEN_OR_NO_DEV, -99, -99};
    const struct {
        const char *name;
        std::vector<BridgeSpec> bridges;
        Outcome expected;
    } cases[] = {
        {"nothing attached", {}, none},
        {"only unknown devices", {{other, 3}, {"", 4}}, none},
        {"lowest kind wins whatever the order", {{mifareTools, 3}, {mifareLock, 4}, {collector, 5}}, {KS_OK, 0, 5}},
        {"duplicates: the first in the library's order", {{temicLock, 6}, {temicLock, 7}}, {KS_OK, 7, 6}},
        {"case differences match", {{"mifare card LOCK device", 8}}, {KS_OK, 9, 8}},
        {"case variant before the exact string", {{"IC CARD LOCK DEVICE", 9}, {icLock, 10}}, {KS_OK, 3, 9}},
        {"held collector: the encoder is found", {{collector, 3, true}, {mifareLock, 4}}, {KS_OK, 9, 4}},
        {"unreadable product: the next bridge of its kind", {{icLock, 3, false, true}, {icLock, 11}}, {KS_OK, 3, 11}},
        {"unreadable serial: the next bridge of its kind", {{icLock, 3, false, false, true}, {icLock, 12}}, {KS_OK, 3, 12}},
        // The first readable bridge of a kind is that kind's only candidate:
        // when the registry has no port for it, the search goes on with the
        // next kind, not with a later bridge of the same kind.
        {"first of a kind without a port: the next kind", {{collector, 0}, {collector, 13}, {mifareLock, 14}}, {KS_OK, 9, 14}},
        {"no kind has a port", {{collector, 0}, {mifareLock, 0}}, none},
        {"every bridge unreadable", {{collector, 3, true}, {mifareLock, 4, false, true}, {icLock, 5, false, false, true}}, none},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bench::Reset();
        ExpectSameAsKindByKind(c.bridges, &c.expected);
    }
}

// Many bridge sets drawn at random (fixed seed): products from the whole
// table with case variants and strangers, ports missing now and then, a few
// bridges held open or unreadable.
TEST_F(PortDiscoveryPassTest, RandomBridgeSetsGiveTheKindByKindAnswer) {
    std::mt19937 rng(20240611);
    const size_t productCount = sizeof(kProducts) / sizeof(kProducts[0]);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        bench::Reset();
        std::vector<BridgeSpec> bridges(rng() % 7);
        int com = 3;
        for (BridgeSpec &b : bridges) {
            b.product = kProducts[rng() % productCount];
            b.com = rng() % 4 == 0 ? 0 : com++;
            const unsigned fault = rng() % 10;
            b.held = fault == 0;
            b.productFails = fault == 1;
            b.serialFails = fault == 2;
        }
        ExpectSameAsKindByKind(bridges);
    }
}

TEST_F(PortDiscoveryPassTest, EachBridgeIsOpenedOncePerSearch) {
    for (int n : {1, 4, 16}) {
        SCOPED_TRACE(n);
        bench::Reset();
        // The device sought is the last one: every bridge must be looked at.
        std::vector<BridgeSpec> bridges(static_cast<size_t>(n), BridgeSpec{"CP2101 USB to UART Bridge", 0});
        bridges.back() = {"Mifare Card Tools Device", 20};
        Attach(bridges);
        size_t opens = 0;
        const Outcome found = OnePass(&opens);
        EXPECT_EQ(found, (Outcome{KS_OK, 10, 20}));
        EXPECT_EQ(opens, static_cast<size_t>(n));
        EXPECT_EQ(bench::CallCount("CP2101_Close"), static_cast<size_t>(n));
        EXPECT_EQ(bench::CallCount("CP2101_GetNumDevices"), 1u);
        EXPECT_EQ(bench::OpenCount("CP2101"), 0);
    }
}

}  // namespace
