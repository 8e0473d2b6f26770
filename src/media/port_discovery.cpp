// Port discovery: which CP2101 bridge carries a known device, and which COM
// port Windows gave it. The bridge library names the device (product string)
// and its identity (VID, PID, serial); the registry maps that identity to the
// port, under Enum\SLABCR on the Windows 9x family and under Enum\USB on NT.
//
// Everything read from the bridge library or the registry is ended at the
// length the callee reported and never read past: neither promises a
// terminator. No heap: every buffer is a fixed array.
#include "media/port_discovery.h"

#include <cstdio>
#include <cstring>

#include "base/result_codes.h"
#include "media/vendor/cp2101.h"
#include "platform/platform.h"

namespace {

struct UsbDeviceEntry {
    int16_t kind;
    const char *product;
};

// Searched in this order; the first kind whose bridge is found wins.
constexpr UsbDeviceEntry kUsbDevices[] = {
    {kUsbCollector, "USB Data Pick Device"},
    {kUsbIcLockEncoder, "IC Card Lock Device"},
    {kUsbIcToolsEncoder, "IC Card Tools Device"},
    {kUsbTmLockEncoder, "TM Card Lock Device"},
    {kUsbTmToolsEncoder, "TM Card Tools Device"},
    {kUsbTemicLockEncoder, "TEMIC Card Lock Device"},
    {kUsbTemicToolsEncoder, "TEMIC Card Tools Device"},
    {kUsbMifareLockEncoder, "Mifare Card Lock Device"},
    {kUsbMifareToolsEncoder, "Mifare Card Tools Device"},
};

// Bridge library text buffers: the length comes back in one byte.
constexpr size_t kBridgeTextSize = 256;
constexpr int32_t kBridgeTextSingleBytes = 1;

// Registry value buffers: first query with 100 bytes; a longer value is
// queried again with the size the system reports, up to kRegValueLimit. A
// longer value cannot be a port name or a bridge identity we could match.
constexpr uint32_t kRegValueSize = 100;
constexpr uint32_t kRegValueLimit = 320;
// The identity and key paths hold a serial of up to 255 characters.
constexpr size_t kRegPathSize = 384;

constexpr const char *kSlabcrKeyFormat = "Enum\\SLABCR\\guid\\%.4d";
constexpr int kSlabcrIndexLimit = 10000;  // four decimal digits
constexpr const char *kSlabcrDeviceValue = "CRLowerDeviceID";
constexpr const char *kSlabcrIdentityFormat = "USB\\VID_%04X&PID_%04X&MI_00\\%s_00";
constexpr const char *kSlabcrPortValue = "Portname";
constexpr const char *kNtControlSetKey = "SYSTEM\\CurrentControlSet\\";
constexpr const char *kNtUsbEnumKey = "Enum\\USB\\";
constexpr const char *kNtDeviceKeyFormat = "Vid_%04x&Pid_%04x&Mi_00\\%s_00\\Device Parameters\\";
constexpr const char *kNtPortValue = "PortName";

// "COM12": the first three characters are the prefix, the rest the number.
constexpr size_t kPortNamePrefix = 3;
constexpr int kPortLimit = 32767;  // DiscoveredPort is 16 bits

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualIgnoringCase(const char *a, size_t aLength, const char *b) {
    const size_t bLength = strlen(b);
    if (aLength != bLength) return false;
    for (size_t i = 0; i < aLength; ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
}

// A bridge string ended at its reported length is text: a NUL inside that
// length (a counted terminator, zero padding) ends it there.
size_t TextLength(const char *text, uint8_t reported) {
    size_t n = 0;
    while (n < reported && text[n] != '\0') ++n;
    return n;
}

// Decimal number after the three-letter prefix: "COM3" is 3, "COM12" is 12.
// A name with no digit there names no port.
int PortFromName(const char *name) {
    const size_t length = strlen(name);
    if (length <= kPortNamePrefix) return kResultNotFound;
    int port = 0;
    size_t i = kPortNamePrefix;
    for (; i < length && name[i] >= '0' && name[i] <= '9'; ++i) {
        port = port * 10 + (name[i] - '0');
        if (port > kPortLimit) return kResultNotFound;
    }
    return i == kPortNamePrefix ? kResultNotFound : port;
}

// Reads a string value into out (kRegValueLimit + 1 bytes) and ends it at the
// size the registry reported. False when the value is absent or too long.
bool QueryText(platform::RegKey key, const char *name, char *out) {
    uint32_t size = kRegValueSize;
    long status = platform::RegQueryValue(key, name, reinterpret_cast<uint8_t *>(out), &size);
    if (status == platform::kRegMoreData) {
        if (size > kRegValueLimit) return false;
        status = platform::RegQueryValue(key, name, reinterpret_cast<uint8_t *>(out), &size);
    }
    if (status != platform::kRegOk || size > kRegValueLimit) return false;
    out[size] = '\0';
    return true;
}

}  // namespace

int PortFromSlabcrEnum(uint16_t vid, uint16_t pid, char *serial) {
    for (char *c = serial; *c != '\0'; ++c) *c = *c == ' ' ? '_' : AsciiUpper(*c);
    char identity[kRegPathSize];
    const int identityLength = snprintf(identity, sizeof(identity), kSlabcrIdentityFormat, vid, pid, serial);
    if (identityLength < 0 || static_cast<size_t>(identityLength) >= sizeof(identity)) return kResultNotFound;

    int port = kResultNotFound;
    for (int index = 0; index < kSlabcrIndexLimit; ++index) {
        char keyName[32];
        snprintf(keyName, sizeof(keyName), kSlabcrKeyFormat, index);
        platform::RegKey key = 0;
        if (platform::RegOpenKeyPlain(platform::LocalMachineKey(), keyName, &key) != platform::kRegOk) break;
        char value[kRegValueLimit + 1];
        if (QueryText(key, kSlabcrDeviceValue, value) &&
            EqualIgnoringCase(value, strlen(value), identity) &&
            QueryText(key, kSlabcrPortValue, value)) {
            // A later matching key replaces an earlier one's port.
            port = PortFromName(value);
        }
        platform::RegCloseKeyHandle(key);
    }
    return port;
}

int PortFromUsbEnum(uint16_t vid, uint16_t pid, char *serial) {
    platform::RegKey controlSet = 0;
    // Read access only: an ordinary account may not open these keys for writing.
    if (platform::RegOpenKeyForRead(platform::LocalMachineKey(), kNtControlSetKey, &controlSet) !=
        platform::kRegOk)
        return kResultNotFound;
    platform::RegKey usb = 0;
    if (platform::RegOpenKeyPlain(controlSet, kNtUsbEnumKey, &usb) != platform::kRegOk) {
        platform::RegCloseKeyHandle(controlSet);
        return kResultNotFound;
    }
    for (char *c = serial; *c != '\0'; ++c)
        if (*c == ' ') *c = '_';

    int port = kResultNotFound;
    char deviceKey[kRegPathSize];
    const int length = snprintf(deviceKey, sizeof(deviceKey), kNtDeviceKeyFormat, vid, pid, serial);
    platform::RegKey device = 0;
    if (length > 0 && static_cast<size_t>(length) < sizeof(deviceKey) &&
        platform::RegOpenKeyPlain(usb, deviceKey, &device) == platform::kRegOk) {
        char value[kRegValueLimit + 1];
        if (QueryText(device, kNtPortValue, value)) port = PortFromName(value);
        platform::RegCloseKeyHandle(device);
    }
    platform::RegCloseKeyHandle(usb);
    platform::RegCloseKeyHandle(controlSet);
    return port;
}

namespace {

constexpr size_t kUsbDeviceKinds = sizeof(kUsbDevices) / sizeof(kUsbDevices[0]);

// What the registry lookup needs of one bridge: its identity as the bridge
// library reports it, the serial ended at its reported length.
struct BridgeIdentity {
    bool read;  // all three reads succeeded
    uint16_t vid;
    uint16_t pid;
    char serial[kBridgeTextSize];
};

// Position in kUsbDevices of the product string of an open bridge, or -1
// when it names no known device or cannot be read. The text comes without a
// terminator: only `length` characters count.
int KnownDeviceSlot(void *handle) {
    char text[kBridgeTextSize];
    uint8_t length = 0;
    if (CP2101_GetDeviceProductString(handle, text, &length, kBridgeTextSingleBytes) != 0) return -1;
    for (size_t slot = 0; slot < kUsbDeviceKinds; ++slot)
        if (EqualIgnoringCase(text, TextLength(text, length), kUsbDevices[slot].product))
            return static_cast<int>(slot);
    return -1;
}

bool ReadBridgeIdentity(void *handle, BridgeIdentity *identity) {
    uint8_t serialLength = 0;
    identity->read = CP2101_GetDeviceSerialNumber(handle, identity->serial, &serialLength,
                                                  kBridgeTextSingleBytes) == 0 &&
                     CP2101_GetDeviceVid(handle, &identity->vid) == 0 &&
                     CP2101_GetDevicePid(handle, &identity->pid) == 0;
    if (identity->read) identity->serial[serialLength] = '\0';
    return identity->read;
}

// The registry branch follows the Windows family the system reports.
int PortForIdentity(BridgeIdentity *identity) {
    if (platform::WindowsPlatformId() == platform::kPlatformWinNt)
        return PortFromUsbEnum(identity->vid, identity->pid, identity->serial);
    return PortFromSlabcrEnum(identity->vid, identity->pid, identity->serial);
}

}  // namespace

int PortForProductName(const char *product) {
    uint32_t count = 0;  // the status is not used: a failed count leaves 0
    CP2101_GetNumDevices(&count);

    BridgeIdentity identity{};
    for (uint32_t index = 0; index < count && !identity.read; ++index) {
        void *handle = nullptr;
        if (CP2101_Open(index, &handle) != 0) continue;
        char text[kBridgeTextSize];
        uint8_t length = 0;
        // The first matching bridge in the library's order is the one used.
        if (CP2101_GetDeviceProductString(handle, text, &length, kBridgeTextSingleBytes) == 0 &&
            EqualIgnoringCase(text, TextLength(text, length), product))
            ReadBridgeIdentity(handle, &identity);
        CP2101_Close(handle);
    }
    if (!identity.read) return kResultNotFound;
    return PortForIdentity(&identity);
}

int PortForDeviceKind(int16_t kind) {
    for (const UsbDeviceEntry &entry : kUsbDevices)
        if (entry.kind == kind) return PortForProductName(entry.product);
    return kResultNotFound;
}

// One pass over the bridges: each is opened and read once, and the first
// readable bridge of every known kind is remembered in that kind's slot.
// The registry is then asked kind by kind, lowest first, so the answer is
// the one a search of each kind in turn gives: that search too takes only
// the first readable bridge of a kind, and goes on to the next kind when
// that bridge's port is not in the registry. Asking the bridge library
// nine times over would open every bridge nine times per search.
int16_t FindUsbDevicePort(int16_t *kind, int16_t *port) {
    BridgeIdentity candidates[kUsbDeviceKinds] = {};
    uint32_t count = 0;  // the status is not used: a failed count leaves 0
    CP2101_GetNumDevices(&count);
    for (uint32_t index = 0; index < count; ++index) {
        void *handle = nullptr;
        if (CP2101_Open(index, &handle) != 0) continue;
        const int slot = KnownDeviceSlot(handle);
        if (slot >= 0 && !candidates[slot].read) ReadBridgeIdentity(handle, &candidates[slot]);
        CP2101_Close(handle);
    }
    for (size_t slot = 0; slot < kUsbDeviceKinds; ++slot) {
        if (!candidates[slot].read) continue;
        const int found = PortForIdentity(&candidates[slot]);
        if (found != kResultNotFound) {
            *kind = kUsbDevices[slot].kind;
            *port = static_cast<int16_t>(found);
            return KS_OK;
        }
    }
    return KS_ERR_OPEN_OR_NO_DEV;
}
