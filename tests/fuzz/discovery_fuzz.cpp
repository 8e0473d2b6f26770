// Port discovery over fuzzed bridges and registry values: product and serial
// strings of any length and bytes, odd VID/PID, bridges whose string reads
// fail, and registry values (port names, device identities) of any content.
//
// The one-pass search must answer what a search kind by kind answers; every
// bridge handle and registry key it opened must be closed (a later clean
// search still finds a plain collector).
//
// Input: selector, fault, bridge count (0-7), per bridge: flags, product
// (a table entry with letter case flipped by a mask, or raw bytes), serial,
// VID, PID, COM; then up to three raw registry values.
//   selector bit 0: the Windows 9x family (Enum\SLABCR lookup)
#include <cstdio>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "media/port_discovery.h"
#include "base/result_codes.h"
#include "fuzz_support.h"
#include "kestrane.h"
#include "usb_bench.h"

namespace {

const char *const kProducts[] = {
    "USB Data Pick Device",   "IC Card Lock Device",     "IC Card Tools Device",
    "TM Card Lock Device",    "TM Card Tools Device",    "TEMIC Card Lock Device",
    "TEMIC Card Tools Device", "Mifare Card Lock Device", "Mifare Card Tools Device",
};
const int16_t kKinds[] = {kUsbCollector,        kUsbIcLockEncoder,     kUsbIcToolsEncoder,
                          kUsbTmLockEncoder,    kUsbTmToolsEncoder,    kUsbTemicLockEncoder,
                          kUsbTemicToolsEncoder, kUsbMifareLockEncoder, kUsbMifareToolsEncoder};
constexpr int kKindCount = 9;
constexpr int kPortLimit = 32767;

std::string String(const std::vector<uint8_t> &bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string FlipCase(std::string s, uint32_t mask) {
    for (size_t i = 0; i < s.size() && i < 32; ++i) {
        char &c = s[i];
        if ((mask >> i & 1u) && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c ^= 0x20;
    }
    return s;
}

// The registry key paths that name a bridge's port (NT and 9x forms).
std::string NtKey(const bench::Bridge &b) {
    std::string serial = b.serial;
    for (char &c : serial)
        if (c == ' ') c = '_';
    char head[96];
    std::snprintf(head, sizeof head, "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%04x&Pid_%04x&Mi_00\\", b.vid,
                  b.pid);
    return head + serial + "_00\\Device Parameters";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::FreshStart();

    fuzz::Input in(data, size);
    const uint8_t selector = in.Byte();
    const uint8_t faultSpec = in.Byte();
    const int bridgeCount = in.Byte() % 8;
    bench::SetWindows9x(selector & 1);

    std::vector<bench::Bridge> bridges;
    for (int i = 0; i < bridgeCount; ++i) {
        const uint8_t flags = in.Byte();
        bench::Bridge b;
        const uint8_t choice = in.Byte();
        if (choice < 2 * kKindCount) {
            uint32_t mask = in.Byte();
            mask |= static_cast<uint32_t>(in.Byte()) << 8 | static_cast<uint32_t>(in.Byte()) << 16;
            b.product = FlipCase(kProducts[choice % kKindCount], choice >= kKindCount ? mask : 0);
        } else {
            b.product = String(in.Take(in.Byte() + (flags & 0x80 ? 256 : 0)));
        }
        // Serials of any length: the bridge library hands out at most 255 bytes.
        b.serial = String(in.Take(in.Byte() + (flags & 0x40 ? 256 : 0)));
        if (b.serial.empty()) b.serial = "S" + std::to_string(i);
        b.vid = static_cast<uint16_t>(in.Int16());
        b.pid = static_cast<uint16_t>(in.Int16());
        b.comPort = in.Byte();
        b.productReadFails = flags & 1;
        b.serialReadFails = flags & 2;
        bench::AttachBridge(b);
        bridges.push_back(bench::AttachedBridge(i));
    }
    // Raw registry values: a port name under a bridge's own key, or any
    // value under any key.
    const int extra = in.Byte() % 4;
    for (int i = 0; i < extra; ++i) {
        const uint8_t how = in.Byte();
        const std::string value = String(in.Take(in.Byte() * 2u));
        if (!bridges.empty() && how < 128) {
            const bench::Bridge &b = bridges[how % bridges.size()];
            bench::SetRegistryValue(NtKey(b), "PortName", value);
        } else if (how < 192) {
            char key[32];
            std::snprintf(key, sizeof key, "Enum\\SLABCR\\guid\\%.4d", how % 8);
            bench::SetRegistryValue(key, how & 1 ? "Portname" : "CRLowerDeviceID", value);
        } else {
            const std::string key = String(in.Take(in.Byte()));
            bench::SetRegistryValue(key, String(in.Take(in.Byte() % 32)), value);
        }
    }

    bench::ClearCallLog();
    fuzz::ArmFaultFrom(faultSpec);
    int16_t kind = -7;
    const int16_t found = FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort);
    FUZZ_CHECK_RESULT(found, KS_OK, KS_ERR_OPEN_OR_NO_DEV);
    if (found == KS_OK) {
        bool known = false;
        for (int16_t k : kKinds) known |= k == kind;
        FUZZ_CHECK(known);
        FUZZ_CHECK(g_encoder.DiscoveredPort >= 0 && g_encoder.DiscoveredPort <= kPortLimit);
    } else {
        FUZZ_CHECK(kind == -7 && g_encoder.DiscoveredPort == -1);
    }
    bool faultedClose = false;
    for (const bench::Call &c : bench::CallLog()) faultedClose |= c.faulted && c.fn == "CP2101_Close";
    if (!faultedClose) fuzz::CheckNothingOpen();

    if (faultSpec == 0) {
        // The search kind by kind, lowest first, gives the same answer.
        bool settled = false;
        for (int i = 0; i < kKindCount && !settled; ++i) {
            const int port = PortForDeviceKind(kKinds[i]);
            FUZZ_CHECK(port == -1 || (port >= 0 && port <= kPortLimit));
            if (port != -1) {
                FUZZ_CHECK(found == KS_OK && kind == kKinds[i] && port == g_encoder.DiscoveredPort);
                settled = true;
            }
        }
        if (!settled) FUZZ_CHECK(found == KS_ERR_OPEN_OR_NO_DEV);
        FUZZ_CHECK(PortForDeviceKind(1) == -1 && PortForDeviceKind(11) == -1);
        fuzz::CheckNothingOpen();
    }

    // Nothing the search held (bridge handles, registry keys) is still taken:
    // a plain collector is found afterwards.
    bench::Reset();
    bench::AttachBridge(bench::Bridge{"USB Data Pick Device", "CLEAN", 0x10C4, 0xEA60, 9});
    kind = -7;
    FUZZ_CHECK(FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort) == KS_OK && kind == kUsbCollector && g_encoder.DiscoveredPort == 9);
    return 0;
}
