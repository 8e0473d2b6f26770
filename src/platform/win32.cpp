// Win32 side of the platform layer: thin calls into kernel32, advapi32 and
// user32, the same functions a front-desk PC provides.
#include "platform/platform.h"

#include <windows.h>

// <windows.h> maps RegQueryValue to RegQueryValueA; our function of that
// name would otherwise be defined as platform::RegQueryValueA.
#undef RegQueryValue

namespace platform {

uint32_t ReadProfileString(const char *section, const char *key, const char *fallback,
                           char *out, uint32_t size, const char *file) {
    return GetPrivateProfileStringA(section, key, fallback, out, size, file);
}

uint32_t WindowsPlatformId() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);  // 148 bytes
    if (!GetVersionExA(&info)) return kPlatformWinNt;
    return info.dwPlatformId;
}

RegKey LocalMachineKey() { return reinterpret_cast<RegKey>(HKEY_LOCAL_MACHINE); }

long RegOpenKeyForRead(RegKey parent, const char *subKey, RegKey *out) {
    HKEY key = nullptr;
    // Read access only: an ordinary front-desk account may not open these
    // keys for writing, and discovery never writes.
    const long status = RegOpenKeyExA(reinterpret_cast<HKEY>(parent), subKey, 0, KEY_READ, &key);
    *out = reinterpret_cast<RegKey>(key);
    return status;
}

long RegOpenKeyPlain(RegKey parent, const char *subKey, RegKey *out) {
    HKEY key = nullptr;
    const long status = RegOpenKeyA(reinterpret_cast<HKEY>(parent), subKey, &key);
    *out = reinterpret_cast<RegKey>(key);
    return status;
}

long RegQueryValue(RegKey key, const char *valueName, uint8_t *data, uint32_t *size) {
    DWORD len = *size;
    const long status =
        RegQueryValueExA(reinterpret_cast<HKEY>(key), valueName, nullptr, nullptr, data, &len);
    *size = len;
    return status;
}

void RegCloseKeyHandle(RegKey key) { RegCloseKey(reinterpret_cast<HKEY>(key)); }

void SleepMs(uint32_t ms) { Sleep(ms); }

void ShowWaitCursor() { SetCursor(LoadCursorA(nullptr, IDC_WAIT)); }

}  // namespace platform
