// The library's only door to the operating system. win32.cpp calls the real
// Win32 functions; posix.cpp serves the same contracts on Linux (INI files
// through a reader of its own, the registry from the registry file the bench
// writes).
// Nothing here allocates on the heap: exports call these functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// GetPrivateProfileStringA: section and key matched ignoring case, the first
// section and the first key of a name win, `fallback` when the file, section,
// key or its '=' is absent; one pair of quotes around the value is dropped;
// the value is cut to size - 1 characters and always NUL-terminated. Returns
// the length copied. posix.cpp lists every rule it keeps.
uint32_t ReadProfileString(const char *section, const char *key, const char *fallback,
                           char *out, uint32_t size, const char *file);

// Windows family, as GetVersionExA reports the platform id.
constexpr uint32_t kPlatformWin9x = 1;
constexpr uint32_t kPlatformWinNt = 2;
uint32_t WindowsPlatformId();

// Registry: HKEY_LOCAL_MACHINE and the calls port discovery makes. Status 0
// is ERROR_SUCCESS, as in Win32.
using RegKey = uintptr_t;
constexpr long kRegOk = 0;
constexpr long kRegMoreData = 234;  // ERROR_MORE_DATA
RegKey LocalMachineKey();
// RegOpenKeyExA with options 0 and read access only.
long RegOpenKeyForRead(RegKey parent, const char *subKey, RegKey *out);
// RegOpenKeyA.
long RegOpenKeyPlain(RegKey parent, const char *subKey, RegKey *out);
// RegQueryValueExA: *size holds the buffer size in, the value's size out
// (also when it answers kRegMoreData).
long RegQueryValue(RegKey key, const char *valueName, uint8_t *data, uint32_t *size);
void RegCloseKeyHandle(RegKey key);

void SleepMs(uint32_t ms);

// LoadCursorA(NULL, IDC_WAIT) + SetCursor; the previous cursor is not restored.
void ShowWaitCursor();

}  // namespace platform
