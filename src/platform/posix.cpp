// POSIX side of the platform layer. INI files are read through inih with the
// lookup rules of GetPrivateProfileStringA; the "registry" is an INI-shaped
// file named by KESTRANE_REGISTRY in which every section is a key path under
// HKEY_LOCAL_MACHINE and every entry a string value. The bench writes that
// file; the library only reads it. File contents go through a static buffer,
// never the heap, because exports call these functions.
#include "platform/platform.h"

#include <ini.h>
#include <fcntl.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

constexpr size_t kFileLimit = 64 * 1024;  // larger files are read up to this size
char g_fileText[kFileLimit + 1];

// Reads a whole file into g_fileText; false when it cannot be opened.
bool LoadFile(const char *path) {
    g_fileText[0] = '\0';
    if (path == nullptr || path[0] == '\0') return false;
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return false;
    size_t used = 0;
    while (used < kFileLimit) {
        const ssize_t got = read(fd, g_fileText + used, kFileLimit - used);
        if (got <= 0) break;
        used += static_cast<size_t>(got);
    }
    close(fd);
    g_fileText[used] = '\0';
    return true;
}

void CopyCut(char *out, uint32_t size, const char *value) {
    if (size == 0) return;
    size_t n = strlen(value);
    if (n > size - 1) n = size - 1;
    memcpy(out, value, n);
    out[n] = '\0';
}

struct ProfileQuery {
    const char *section;
    const char *key;
    char *out;
    uint32_t size;
    bool found;
};

int ProfileHandler(void *user, const char *section, const char *name, const char *value) {
    auto *q = static_cast<ProfileQuery *>(user);
    if (!q->found && strcasecmp(section, q->section) == 0 && strcasecmp(name, q->key) == 0) {
        CopyCut(q->out, q->size, value);
        q->found = true;
    }
    return 1;
}

// GetPrivateProfileStringA drops one pair of matching quotes around a value,
// so LockType="4" means 4 on either platform.
int QuotedProfileHandler(void *user, const char *section, const char *name, const char *value) {
    const size_t n = strlen(value);
    if (n >= 2 && (value[0] == '"' || value[0] == '\'') && value[n - 1] == value[0]) {
        char unquoted[INI_MAX_LINE];
        const size_t inner = n - 2 < sizeof(unquoted) - 1 ? n - 2 : sizeof(unquoted) - 1;
        memcpy(unquoted, value + 1, inner);
        unquoted[inner] = '\0';
        return ProfileHandler(user, section, name, unquoted);
    }
    return ProfileHandler(user, section, name, value);
}

// ---- registry file ----

constexpr size_t kPathLimit = 512;
constexpr size_t kOpenKeyLimit = 32;
// Handle k + 1 stands for slot k; handle 1 is reserved for HKEY_LOCAL_MACHINE.
constexpr RegKey kLocalMachine = 1;
char g_openKeys[kOpenKeyLimit][kPathLimit];
bool g_slotUsed[kOpenKeyLimit];

constexpr const char *kVersionSection = "@version";
constexpr long kRegNotFound = 2;  // ERROR_FILE_NOT_FOUND
constexpr long kRegInvalidHandle = 6;

const char *KeyPath(RegKey key) {
    if (key == kLocalMachine) return "";
    if (key < 2 || key - 2 >= kOpenKeyLimit || !g_slotUsed[key - 2]) return nullptr;
    return g_openKeys[key - 2];
}

// Joins parent and sub into out without leading or trailing backslashes.
bool JoinPath(const char *parent, const char *sub, char *out) {
    size_t n = 0;
    auto put = [&](const char *s) {
        while (*s == '\\') ++s;
        size_t len = strlen(s);
        while (len > 0 && s[len - 1] == '\\') --len;
        if (len == 0) return true;
        if (n > 0) {
            if (n + 1 >= kPathLimit) return false;
            out[n++] = '\\';
        }
        if (n + len >= kPathLimit) return false;
        memcpy(out + n, s, len);
        n += len;
        return true;
    };
    const bool ok = put(parent) && put(sub ? sub : "");
    out[n] = '\0';
    return ok;
}

// The registry file is read with a parser of its own, not inih: key paths
// run far past inih's 50-character section names and values past its
// 200-character lines. Same shape: [key path], name=value, ';' or '#'
// comment lines; blanks around names and values are dropped. Parses
// g_fileText in place (it is reloaded for every query).
using EntryHandler = int (*)(void *user, const char *section, const char *name, const char *value);

char *Trim(char *begin, char *end) {
    while (begin < end && (*begin == ' ' || *begin == '\t' || *begin == '\r')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) --end;
    *end = '\0';
    return begin;
}

void ParseRegistryText(EntryHandler handler, void *user) {
    const char *section = "";
    char *line = g_fileText;
    while (*line != '\0') {
        char *end = strchr(line, '\n');
        char *next = end ? end + 1 : line + strlen(line);
        if (end == nullptr) end = line + strlen(line);
        char *text = Trim(line, end);
        if (*text == '[') {
            char *close = strrchr(text, ']');
            if (close != nullptr) section = Trim(text + 1, close);
        } else if (*text != '\0' && *text != ';' && *text != '#') {
            char *equals = strchr(text, '=');
            if (equals != nullptr) {
                char *valueEnd = text + strlen(text);
                const char *name = Trim(text, equals);
                const char *value = Trim(equals + 1, valueEnd);
                handler(user, section, name, value);
            }
        }
        line = next;
    }
}

bool ReadRegistry(EntryHandler handler, void *user) {
    if (!LoadFile(getenv("KESTRANE_REGISTRY"))) return false;
    ParseRegistryText(handler, user);
    return true;
}

struct KeyQuery {
    const char *path;
    bool exists;
};

int KeyHandler(void *user, const char *section, const char *, const char *) {
    auto *q = static_cast<KeyQuery *>(user);
    const size_t n = strlen(q->path);
    if (strncasecmp(section, q->path, n) == 0 && (section[n] == '\0' || section[n] == '\\'))
        q->exists = true;
    return 1;
}

long OpenKey(RegKey parent, const char *subKey, RegKey *out) {
    *out = 0;
    const char *base = KeyPath(parent);
    if (base == nullptr) return kRegInvalidHandle;
    size_t slot = 0;
    while (slot < kOpenKeyLimit && g_slotUsed[slot]) ++slot;
    if (slot == kOpenKeyLimit) return kRegNotFound;
    char path[kPathLimit];
    if (!JoinPath(base, subKey, path)) return kRegNotFound;
    KeyQuery q{path, path[0] == '\0'};
    ReadRegistry(KeyHandler, &q);
    if (!q.exists) return kRegNotFound;
    memcpy(g_openKeys[slot], path, kPathLimit);
    g_slotUsed[slot] = true;
    *out = slot + 2;
    return kRegOk;
}

}  // namespace

uint32_t ReadProfileString(const char *section, const char *key, const char *fallback,
                           char *out, uint32_t size, const char *file) {
    ProfileQuery q{section, key, out, size, false};
    if (LoadFile(file)) ini_parse_string(g_fileText, QuotedProfileHandler, &q);
    if (!q.found) CopyCut(out, size, fallback ? fallback : "");
    return size == 0 ? 0 : static_cast<uint32_t>(strlen(out));
}

uint32_t WindowsPlatformId() {
    char value[16];
    ProfileQuery q{kVersionSection, "PlatformId", value, sizeof(value), false};
    ReadRegistry(ProfileHandler, &q);
    if (q.found && strcmp(value, "1") == 0) return kPlatformWin9x;
    return kPlatformWinNt;
}

RegKey LocalMachineKey() { return kLocalMachine; }

long RegOpenKeyForRead(RegKey parent, const char *subKey, RegKey *out) {
    return OpenKey(parent, subKey, out);
}

long RegOpenKeyPlain(RegKey parent, const char *subKey, RegKey *out) {
    return OpenKey(parent, subKey, out);
}

long RegQueryValue(RegKey key, const char *valueName, uint8_t *data, uint32_t *size) {
    const char *path = KeyPath(key);
    if (path == nullptr) return kRegInvalidHandle;
    char value[1024];
    ProfileQuery q{path, valueName, value, sizeof(value), false};
    ReadRegistry(ProfileHandler, &q);
    if (!q.found) return kRegNotFound;
    const uint32_t needed = static_cast<uint32_t>(strlen(value)) + 1;  // REG_SZ counts its NUL
    const uint32_t room = *size;
    *size = needed;
    if (data == nullptr) return kRegOk;
    if (needed > room) return kRegMoreData;
    memcpy(data, value, needed);
    return kRegOk;
}

void RegCloseKeyHandle(RegKey key) {
    if (key >= 2 && key - 2 < kOpenKeyLimit) g_slotUsed[key - 2] = false;
}

void SleepMs(uint32_t ms) {
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

void ShowWaitCursor() {}

}  // namespace platform
