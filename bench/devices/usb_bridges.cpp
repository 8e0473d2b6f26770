// CP2101 bridge model: the attached bridges in the bridge library's order and
// the registry entries the operating system would have made for them.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <utility>
#include <vector>

#include "devices/usb_device.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace bench {
namespace {

struct BridgeSlot {
    Bridge bridge;
    bool open = false;
};

struct UsbState {
    std::vector<BridgeSlot> bridges;
    int madeSerials = 0;
    bool win9x = false;
    int slabcrIndex = 0;  // next Enum\SLABCR\guid\NNNN
    // Registry entries written, in order: key path -> values (name, text).
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> keys;
#if defined(_WIN32)
    std::vector<std::string> createdKeys;  // in creation order, parents first
    std::vector<std::pair<std::string, std::string>> setValues;  // on keys that existed
#else
    std::string registryFile;
    bool madeRegistryFile = false;  // ours to remove at exit
#endif
};

UsbState &State() {
    // Never destroyed: the exit-time registry cleanup below still needs it.
    static UsbState *state = new UsbState;
    return *state;
}

// Handles are small fake pointers: index + kHandleBase.
constexpr uintptr_t kHandleBase = 0xB100;

BridgeSlot *FromHandle(void *handle) {
    const uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    if (h < kHandleBase) return nullptr;
    const size_t index = h - kHandleBase;
    UsbState &s = State();
    if (index >= s.bridges.size() || !s.bridges[index].open) return nullptr;
    return &s.bridges[index];
}

std::string Underscored(std::string text, bool upper) {
    for (char &c : text) {
        if (c == ' ') c = '_';
        else if (upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Format(const char *pattern, unsigned a, unsigned b, const std::string &s) {
    char buf[1024];
    std::snprintf(buf, sizeof(buf), pattern, a, b, s.c_str());
    return buf;
}

#if defined(_WIN32)

// Creates keyPath under HKLM component by component, remembering which
// components did not exist before so that Reset can remove exactly those.
HKEY CreatePath(const std::string &keyPath) {
    UsbState &s = State();
    HKEY parent = HKEY_LOCAL_MACHINE;
    std::string sofar;
    size_t start = 0;
    while (start <= keyPath.size()) {
        size_t end = keyPath.find('\\', start);
        if (end == std::string::npos) end = keyPath.size();
        const std::string part = keyPath.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        sofar += sofar.empty() ? part : "\\" + part;
        HKEY key = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExA(parent, part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition) != ERROR_SUCCESS) {
            if (parent != HKEY_LOCAL_MACHINE) RegCloseKey(parent);
            return nullptr;
        }
        if (disposition == REG_CREATED_NEW_KEY) s.createdKeys.push_back(sofar);
        if (parent != HKEY_LOCAL_MACHINE) RegCloseKey(parent);
        parent = key;
    }
    return parent == HKEY_LOCAL_MACHINE ? nullptr : parent;
}

bool CreatedByUs(const std::string &keyPath) {
    for (const std::string &k : State().createdKeys)
        if (_stricmp(k.c_str(), keyPath.c_str()) == 0) return true;
    return false;
}

void WriteValue(const std::string &keyPath, const std::string &name, const std::string &value) {
    HKEY key = CreatePath(keyPath);
    if (key == nullptr) return;
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    if (!CreatedByUs(keyPath)) State().setValues.emplace_back(keyPath, name);
}

void EraseRegistry() {
    UsbState &s = State();
    for (const auto &v : s.setValues) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, v.first.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, v.second.c_str());
            RegCloseKey(key);
        }
    }
    // Children were created after their parents: delete in reverse. A key
    // that another program has since put a subkey under stays.
    for (auto it = s.createdKeys.rbegin(); it != s.createdKeys.rend(); ++it)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, it->c_str());
    s.setValues.clear();
    s.createdKeys.clear();
    s.keys.clear();
}

void Flush() {}

#else

const std::string &RegistryFile() {
    UsbState &s = State();
    if (!s.registryFile.empty()) return s.registryFile;
    if (const char *named = std::getenv("KESTRANE_REGISTRY"); named != nullptr && named[0] != '\0') {
        s.registryFile = named;
    } else {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp ? tmp : "/tmp") + "/kestrane-registry-XXXXXX";
        const int fd = mkstemp(&pattern[0]);
        if (fd >= 0) close(fd);
        s.registryFile = pattern;
        s.madeRegistryFile = true;
        setenv("KESTRANE_REGISTRY", s.registryFile.c_str(), 1);
    }
    return s.registryFile;
}

// Rewrites the registry file from what the bench holds now.
void Flush() {
    UsbState &s = State();
    std::ofstream out(RegistryFile(), std::ios::trunc);
    if (s.win9x) out << "[@version]\nPlatformId=1\n\n";
    for (const auto &key : s.keys) {
        out << '[' << key.first << "]\n";
        for (const auto &v : key.second) out << v.first << '=' << v.second << '\n';
        out << '\n';
    }
}

void WriteValue(const std::string &, const std::string &, const std::string &) {}

void EraseRegistry() {
    UsbState &s = State();
    s.keys.clear();
    if (!s.registryFile.empty() || std::getenv("KESTRANE_REGISTRY") != nullptr) Flush();
}

#endif

void AddValue(const std::string &keyPath, const std::string &name, const std::string &value) {
    UsbState &s = State();
    auto it = s.keys.begin();
    while (it != s.keys.end() && it->first != keyPath) ++it;
    if (it == s.keys.end()) {
        s.keys.emplace_back(keyPath, std::vector<std::pair<std::string, std::string>>{});
        it = s.keys.end() - 1;
    }
    bool replaced = false;
    for (auto &v : it->second)
        if (v.first == name) v.second = value, replaced = true;
    if (!replaced) it->second.emplace_back(name, value);
    WriteValue(keyPath, name, value);
}

void RecordPort(const Bridge &b) {
    if (b.comPort == 0) return;
    const std::string port = "COM" + std::to_string(b.comPort);
    // NT family: Enum\USB\Vid_..&Pid_..&Mi_00\<serial>_00\Device Parameters.
    AddValue(Format("SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%04x&Pid_%04x&Mi_00\\%s_00\\Device Parameters",
                    b.vid, b.pid, Underscored(b.serial, false)),
             "PortName", port);
#if !defined(_WIN32)
    // Windows 9x family: one numbered key per bridge under the SLABCR enumerator.
    UsbState &s = State();
    char index[32];
    std::snprintf(index, sizeof(index), "Enum\\SLABCR\\guid\\%.4d", s.slabcrIndex++);
    AddValue(index, "CRLowerDeviceID",
             Format("USB\\VID_%04X&PID_%04X&MI_00\\%s_00", b.vid, b.pid, Underscored(b.serial, true)));
    AddValue(index, "Portname", port);
#endif
    Flush();
}

void CloseAll() {
    for (BridgeSlot &slot : State().bridges) {
        if (slot.open) NoteClose("CP2101");
        slot.open = false;
    }
}

void ResetUsb() {
    // Reset() has zeroed the open counts already.
    UsbState &s = State();
    s.bridges.clear();
    s.slabcrIndex = 0;
    s.win9x = false;
    EraseRegistry();
}

const bool g_registered = [] {
    RegisterResetHook(ResetUsb);
    return true;
}();

// The Windows registry outlives the process: take our keys out at exit even
// when a test program ends without a last Reset. Natively, remove the
// temporary registry file if the bench made it.
struct RegistryCleanup {
    ~RegistryCleanup() {
#if defined(_WIN32)
        EraseRegistry();
#else
        if (State().madeRegistryFile) std::remove(State().registryFile.c_str());
#endif
    }
} g_registryCleanup;

int ProcessId() {
#if defined(_WIN32)
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

int32_t CopyText(const std::string &text, char *out, uint8_t *length) {
    if (out == nullptr || length == nullptr) return usb::kStatusInvalidParameter;
    const size_t n = text.size() > 255 ? 255 : text.size();
    std::memcpy(out, text.data(), n);  // no terminator, as the bridge library
    *length = static_cast<uint8_t>(n);
    return usb::kStatusOk;
}

}  // namespace

// ---- control ----

int AttachBridge(const Bridge &bridge) {
    UsbState &s = State();
    BridgeSlot slot;
    slot.bridge = bridge;
    if (slot.bridge.serial.empty())
        slot.bridge.serial = "KB" + std::to_string(ProcessId()) + "N" + std::to_string(++s.madeSerials);
    s.bridges.push_back(slot);
    RecordPort(slot.bridge);
    return static_cast<int>(s.bridges.size()) - 1;
}

void DetachAllBridges() {
    CloseAll();
    UsbState &s = State();
    s.bridges.clear();
    EraseRegistry();
    s.slabcrIndex = 0;
#if !defined(_WIN32)
    Flush();
#endif
}

Bridge AttachedBridge(int index) {
    const UsbState &s = State();
    if (index < 0 || static_cast<size_t>(index) >= s.bridges.size()) return Bridge{};
    return s.bridges[index].bridge;
}

int BridgeCount() { return static_cast<int>(State().bridges.size()); }

void SetWindows9x(bool on) {
#if defined(_WIN32)
    (void)on;
#else
    State().win9x = on;
    Flush();
#endif
}

bool Windows9xSelectable() {
#if defined(_WIN32)
    return false;
#else
    return true;
#endif
}

void SetRegistryValue(const std::string &keyPath, const std::string &name, const std::string &value) {
    AddValue(keyPath, name, value);
    Flush();
}

// ---- device behaviour behind CP2101 ----

namespace usb {

int32_t Count(uint32_t *count) {
    if (count == nullptr) return kStatusInvalidParameter;
    *count = static_cast<uint32_t>(State().bridges.size());
    return kStatusOk;
}

int32_t Open(uint32_t index, void **handle) {
    UsbState &s = State();
    if (handle == nullptr) return kStatusInvalidParameter;
    if (index >= s.bridges.size() || s.bridges[index].open) return kStatusNotFound;
    s.bridges[index].open = true;
    NoteOpen("CP2101");
    *handle = reinterpret_cast<void *>(kHandleBase + index);
    return kStatusOk;
}

int32_t Close(void *handle) {
    BridgeSlot *slot = FromHandle(handle);
    if (slot == nullptr) return kStatusInvalidHandle;
    slot->open = false;
    NoteClose("CP2101");
    return kStatusOk;
}

int32_t ProductString(void *handle, char *text, uint8_t *length) {
    BridgeSlot *slot = FromHandle(handle);
    if (slot == nullptr) return kStatusInvalidHandle;
    if (slot->bridge.productReadFails) return kStatusNotFound;
    return CopyText(slot->bridge.product, text, length);
}

int32_t SerialString(void *handle, char *text, uint8_t *length) {
    BridgeSlot *slot = FromHandle(handle);
    if (slot == nullptr) return kStatusInvalidHandle;
    if (slot->bridge.serialReadFails) return kStatusNotFound;
    return CopyText(slot->bridge.serial, text, length);
}

int32_t Vid(void *handle, uint16_t *vid) {
    BridgeSlot *slot = FromHandle(handle);
    if (slot == nullptr) return kStatusInvalidHandle;
    if (vid == nullptr) return kStatusInvalidParameter;
    *vid = slot->bridge.vid;
    return kStatusOk;
}

int32_t Pid(void *handle, uint16_t *pid) {
    BridgeSlot *slot = FromHandle(handle);
    if (slot == nullptr) return kStatusInvalidHandle;
    if (pid == nullptr) return kStatusInvalidParameter;
    *pid = slot->bridge.pid;
    return kStatusOk;
}

}  // namespace usb
}  // namespace bench
