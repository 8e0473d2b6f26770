// Bench control for CP2101 USB-to-serial bridges: which bridges are plugged
// in (in the bridge library's order) and where the operating system records
// their COM port.
//
// Attaching a bridge records its port where port discovery looks it up:
// - Windows (also under Wine): the real registry, key
//   HKLM\SYSTEM\CurrentControlSet\Enum\USB\Vid_vvvv&Pid_pppp&Mi_00\<serial>_00\Device Parameters,
//   value PortName "COMn" (spaces of the serial as '_').
// - Natively: the registry file the POSIX platform layer reads (environment
//   variable KESTRANE_REGISTRY; when unset, the bench picks a temporary file
//   and sets the variable). Besides the NT key it writes the Windows 9x keys
//   Enum\SLABCR\guid\NNNN (CRLowerDeviceID, Portname) so both lookups work.
// Reset() and DetachAllBridges() remove everything the bench wrote.
//
// The Windows registry is shared by every program of the Wine prefix, and
// ctest runs programs side by side: give bridges serials unique to the test
// program. A bridge attached with an empty serial gets one made from the
// process id and a counter.
#pragma once

#include <cstdint>
#include <string>

#include "bench.h"

namespace bench {

struct Bridge {
    std::string product;  // USB product string, e.g. "USB Data Pick Device"
    std::string serial;   // USB serial-number string (empty: made unique by the bench)
    uint16_t vid = 0x10C4;
    uint16_t pid = 0xEA60;
    int comPort = 0;      // COM number recorded for it; 0 records no port at all
    // A bridge that answers its string requests with a failure, as one whose
    // descriptor read stalls: the product string, or the serial string.
    bool productReadFails = false;
    bool serialReadFails = false;
};

// Plugs a bridge in after those already attached; returns its 0-based index.
BENCH_API int AttachBridge(const Bridge &bridge);
BENCH_API void DetachAllBridges();
// The bridge as attached (with the serial the bench made, if any).
BENCH_API Bridge AttachedBridge(int index);
BENCH_API int BridgeCount();

// Natively: make the platform report the Windows 9x family (so discovery uses
// the Enum\SLABCR keys) or the NT family (default). On Windows the family is
// the real system's and this does nothing; Windows9xSelectable() says which.
BENCH_API void SetWindows9x(bool on);
BENCH_API bool Windows9xSelectable();

// Raw registry value under HKEY_LOCAL_MACHINE (key path without leading
// backslash), for cases AttachBridge cannot make: odd port names, foreign
// devices, very long values. Removed again by Reset.
BENCH_API void SetRegistryValue(const std::string &keyPath, const std::string &name,
                                const std::string &value);

}  // namespace bench
