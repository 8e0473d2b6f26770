// POSIX side of the platform layer. Configuration files are read by a reader
// of our own that keeps GetPrivateProfileStringA's rules (see below); the
// "registry" is an INI-shaped file named by KESTRANE_REGISTRY in which every
// section is a key path under HKEY_LOCAL_MACHINE and every entry a string
// value. The bench writes that file; the library only reads it. File contents
// go through static buffers, never the heap, because exports call these
// functions.
#include "platform/platform.h"

#include "platform/cp1252.h"

#include <fcntl.h>
#include <sys/stat.h>
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

// ---- configuration files ----
//
// ReadProfileString keeps GetPrivateProfileStringA's reading of a file, as a
// Western-European Windows (ANSI code page 1252) does it:
//  - Text: ANSI bytes; UTF-8 after the mark EF BB BF; UTF-16 after FF FE
//    (little end first) or FE FF. UTF-8 and UTF-16 text is read as UTF-16
//    units and handed back in code page 1252 (best fit, '?' where none).
//  - Lines end at CR or LF. Blanks (tab, VT, FF, space and ^Z) around a line
//    are dropped, so are blank lines.
//  - A line starting with '[' and holding a ']' opens a section named by the
//    text between the '[' and the last ']', blanks trimmed; what follows the
//    ']' is ignored. Lines before the first section belong to section "".
//  - Any other line is a key: the text before the first '=' names it, the
//    text after it is its value, each with blanks trimmed. ';' and '#' mean
//    nothing: ";Pass=1" is key ";Pass", and "2 ; note" is the value read.
//    A line without '=' is a key without a value: it reads as the default.
//  - Names compare ignoring ASCII case; a NUL ends a name or value early.
//  - Only the first section of a name is searched, and in it the first key
//    of a name answers, even one without a value.
//  - A value (or the default) wrapped in one pair of matching quotes is read
//    without them. Windows then cuts its copy to the buffer before dropping
//    the closing quote, so a value filling the buffer loses its last character
//    too: "abc" read into 4 bytes gives "ab".
//  - The default loses its trailing spaces (not its first character).
//  - A missing or empty file reads as a file without sections.
// The file is walked through a fixed window (pread), so no file is too large
// and nothing is allocated; names and values may be of any length.

constexpr int kTextEnd = -1;
constexpr uint16_t kReplacement = 0xFFFD;  // what undecodable UTF-8 reads as
constexpr uint8_t kNoByte = '?';          // a character code page 1252 lacks
constexpr uint8_t kUtf8Mark[] = {0xEF, 0xBB, 0xBF};
constexpr uint8_t kUtf16LeMark[] = {0xFF, 0xFE};
constexpr uint8_t kUtf16BeMark[] = {0xFE, 0xFF};

enum class TextEncoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

constexpr size_t kWindowSize = 4096;
char g_window[kWindowSize];

struct TextFile {
    int fd;
    uint64_t size;
    uint64_t windowStart;
    uint64_t windowLength;
    TextEncoding encoding;
};

// The byte at `offset`, or kTextEnd past the end of the file.
int ByteAt(TextFile &f, uint64_t offset) {
    if (offset >= f.size) return kTextEnd;
    if (offset < f.windowStart || offset - f.windowStart >= f.windowLength) {
        f.windowStart = offset - offset % kWindowSize;
        const ssize_t got = pread(f.fd, g_window, kWindowSize, static_cast<off_t>(f.windowStart));
        f.windowLength = got > 0 ? static_cast<uint64_t>(got) : 0;
        // A file that shrank under us ends where the read ended.
        if (offset - f.windowStart >= f.windowLength) {
            f.size = offset;
            return kTextEnd;
        }
    }
    return static_cast<unsigned char>(g_window[offset - f.windowStart]);
}

// A place in the text: a byte offset, and for UTF-8 the second half of a
// surrogate pair still to be handed out.
struct TextPos {
    uint64_t offset;
    uint16_t pendingLow;
};

// Number of continuation bytes a UTF-8 lead byte 0x80..0xFF announces; 0 for
// bytes that cannot lead (continuation bytes, C0, C1, F5..FF).
int Utf8Tail(int lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 1;
    if (lead >= 0xE0 && lead <= 0xEF) return 2;
    if (lead >= 0xF0 && lead <= 0xF4) return 3;
    return 0;
}

// One character of UTF-8 after `lead`, decoded as Windows does: a sequence
// that breaks off yields U+FFFD and decoding resumes at the byte that broke
// it; one cut short by the end of the text swallows the rest of the text.
uint32_t DecodeUtf8(TextFile &f, int lead, uint64_t &offset) {
    static constexpr int kLeadMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
    const int tail = Utf8Tail(lead);
    uint32_t code = static_cast<uint32_t>(lead & kLeadMask[tail]);
    if (offset + static_cast<uint64_t>(tail) > f.size) {
        offset = f.size;
        return kReplacement;
    }
    auto next = [&]() -> int {
        const int b = ByteAt(f, offset);
        return b == kTextEnd ? 0xFF : (b ^ 0x80);  // 0xFF: not a continuation
    };
    int c = 0;
    switch (tail) {
        case 3:
            if ((c = next()) >= 0x40) break;
            code = code << 6 | static_cast<uint32_t>(c);
            ++offset;
            if (code < 0x10) break;  // overlong
            [[fallthrough]];
        case 2:
            if ((c = next()) >= 0x40) break;
            code = code << 6 | static_cast<uint32_t>(c);
            if (code >= (0x110000 >> 6)) break;  // past Unicode
            ++offset;
            if (code < 0x20) break;                                      // overlong
            if (code >= (0xD800 >> 6) && code <= (0xDFFF >> 6)) break;  // a surrogate
            [[fallthrough]];
        case 1:
            if ((c = next()) >= 0x40) break;
            code = code << 6 | static_cast<uint32_t>(c);
            ++offset;
            if (code < 0x80) break;  // overlong
            return code;
        default: break;
    }
    return kReplacement;
}

// The next UTF-16 unit (or byte, for ANSI text) at `pos`, or kTextEnd.
int NextUnit(TextFile &f, TextPos &pos) {
    switch (f.encoding) {
        case TextEncoding::kAnsi: {
            const int b = ByteAt(f, pos.offset);
            if (b != kTextEnd) ++pos.offset;
            return b;
        }
        case TextEncoding::kUtf16Le:
        case TextEncoding::kUtf16Be: {
            // An odd last byte is no unit.
            const int first = ByteAt(f, pos.offset);
            const int second = ByteAt(f, pos.offset + 1);
            if (first == kTextEnd || second == kTextEnd) return kTextEnd;
            pos.offset += 2;
            return f.encoding == TextEncoding::kUtf16Le ? (first | second << 8) : (first << 8 | second);
        }
        case TextEncoding::kUtf8: {
            if (pos.pendingLow != 0) {
                const int low = pos.pendingLow;
                pos.pendingLow = 0;
                return low;
            }
            const int b = ByteAt(f, pos.offset);
            if (b == kTextEnd) return kTextEnd;
            ++pos.offset;
            if (b < 0x80) return b;
            const uint32_t code = DecodeUtf8(f, b, pos.offset);
            if (code <= 0xFFFF) return static_cast<int>(code);
            const uint32_t above = code - 0x10000;
            pos.pendingLow = static_cast<uint16_t>(0xDC00 | (above & 0x3FF));
            return static_cast<int>(0xD800 | (above >> 10));
        }
    }
    return kTextEnd;
}

bool IsBlank(int unit) { return unit == ' ' || unit == '\t' || unit == '\v' || unit == '\f' || unit == 0x1A; }

int FoldAscii(int unit) { return unit >= 'A' && unit <= 'Z' ? unit + ('a' - 'A') : unit; }

// A caller's byte (code page 1252) as a unit of the file's text.
int UnitOfByte(TextEncoding encoding, unsigned char b) {
    if (encoding == TextEncoding::kAnsi || b < 0x80 || b >= 0xA0) return b;
    return cp1252::kHighBytes[b - 0x80];
}

// A unit of the file's text as the byte handed to the caller.
char ByteOfUnit(TextEncoding encoding, int unit) {
    if (encoding == TextEncoding::kAnsi || unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF))
        return static_cast<char>(unit);
    // U+0080..U+009F: only the five bytes code page 1252 leaves undefined
    // come back as themselves.
    if (unit <= 0xFF) return cp1252::kHighBytes[unit - 0x80] == unit ? static_cast<char>(unit) : kNoByte;
    size_t lo = 0, hi = sizeof(cp1252::kBestFit) / sizeof(cp1252::kBestFit[0]);
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (cp1252::kBestFit[mid].unit < unit)
            lo = mid + 1;
        else
            hi = mid;
    }
    const bool listed = lo < sizeof(cp1252::kBestFit) / sizeof(cp1252::kBestFit[0]) &&
                        cp1252::kBestFit[lo].unit == unit;
    return listed ? static_cast<char>(cp1252::kBestFit[lo].byte) : static_cast<char>(kNoByte);
}

// A section or key name asked for, blanks trimmed as Windows trims them.
struct Name {
    const char *text;
    size_t length;
};

Name TrimmedName(const char *s) {
    while (IsBlank(static_cast<unsigned char>(*s))) ++s;
    size_t n = strlen(s);
    while (n > 0 && IsBlank(static_cast<unsigned char>(s[n - 1]))) --n;
    return Name{s, n};
}

// What one pass over a line finds; indexes count units from the line start.
struct Line {
    bool blank = true;
    TextPos first{};  // the first non-blank unit
    uint64_t firstIndex = 0;
    int firstUnit = 0;
    uint64_t end = 0;  // just past the last non-blank unit
    int lastUnit = 0;
    bool hasBracket = false;  // a ']' after the first unit
    uint64_t lastBracket = 0;
    bool hasEquals = false;
    uint64_t nameEnd = 0;  // just past the last non-blank unit before the first '='
    bool hasValue = false;  // a non-blank unit after the first '='
    TextPos value{};
    uint64_t valueIndex = 0;
    int valueUnit = 0;
    bool hasNul = false;  // a NUL after the first '=' (ends the value)
    uint64_t nulIndex = 0;
    int beforeNul = 0;
};

// Reads one line from `pos` and leaves `pos` at the start of the next; false
// at the end of the text.
bool ScanLine(TextFile &f, TextPos &pos, Line &line) {
    line = Line{};
    uint64_t index = 0;
    int previous = 0;
    bool any = false;
    for (;;) {
        const TextPos at = pos;
        const int unit = NextUnit(f, pos);
        if (unit == kTextEnd) return any;
        any = true;
        if (unit == '\n' || unit == '\r') return true;
        if (!IsBlank(unit)) {
            if (line.blank) {
                line.blank = false;
                line.first = at;
                line.firstIndex = index;
                line.firstUnit = unit;
                line.end = index;
            }
            if (line.hasEquals && !line.hasValue) {
                line.hasValue = true;
                line.value = at;
                line.valueIndex = index;
                line.valueUnit = unit;
            }
            if (unit == 0 && line.hasEquals && !line.hasNul) {
                line.hasNul = true;
                line.nulIndex = index;
                line.beforeNul = previous;
            }
            if (unit == '=' && !line.hasEquals) {
                line.hasEquals = true;
                line.nameEnd = line.end;
            }
            if (unit == ']' && index > line.firstIndex) {
                line.hasBracket = true;
                line.lastBracket = index;
            }
            line.end = index + 1;
            line.lastUnit = unit;
        }
        previous = unit;
        ++index;
    }
}

// Whether the units from `pos` (index `from`) up to index `to`, blanks
// trimmed and cut at a NUL, spell `name` ignoring ASCII case.
bool NameMatches(TextFile &f, TextPos pos, uint64_t from, uint64_t to, Name name) {
    uint64_t index = from;
    int unit = 0;
    while (index < to && IsBlank(unit = NextUnit(f, pos))) ++index;
    if (index == to) return name.length == 0;
    // `unit` is the first non-blank unit, at `index`.
    size_t matched = 0;
    for (;;) {
        if (unit == 0) return matched == name.length;
        if (matched == name.length) break;
        if (FoldAscii(unit) != FoldAscii(UnitOfByte(f.encoding, static_cast<unsigned char>(name.text[matched]))))
            return false;
        ++matched;
        if (++index == to) return matched == name.length;
        unit = NextUnit(f, pos);
    }
    // The whole name matched: only trailing blanks may follow.
    if (!IsBlank(unit)) return false;
    while (++index < to)
        if (!IsBlank(NextUnit(f, pos))) return false;
    return true;
}

// Copies a value (or default) of `length` units whose first and last units
// are `first` and `last`, taking units from `next`, the way Windows does:
// one pair of quotes dropped, cut to size - 1, always terminated.
template <typename NextFn>
uint32_t CopyEntry(char *out, uint32_t size, uint64_t length, int first, int last, NextFn next) {
    const bool quoted = length >= 2 && (first == '"' || first == '\'') && last == first;
    if (quoted) {
        next();  // the opening quote
        --length;
    }
    uint64_t copied = length < size - 1 ? length : size - 1;
    // Windows drops the last character it copied, closing quote or not,
    // whenever the buffer had room for everything after the opening quote.
    if (quoted && size >= length && copied > 0) --copied;
    for (uint64_t i = 0; i < copied; ++i) out[i] = next();
    out[copied] = '\0';
    return static_cast<uint32_t>(copied);
}

uint32_t CopyDefault(char *out, uint32_t size, const char *fallback) {
    const char *text = fallback != nullptr ? fallback : "";
    size_t length = strlen(text);
    while (length > 1 && text[length - 1] == ' ') --length;
    const int first = length > 0 ? static_cast<unsigned char>(text[0]) : 0;
    const int last = length > 0 ? static_cast<unsigned char>(text[length - 1]) : 0;
    return CopyEntry(out, size, length, first, last, [&text] { return *text++; });
}

TextEncoding DetectEncoding(TextFile &f, uint64_t &start) {
    auto startsWith = [&f](const uint8_t *mark, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (ByteAt(f, i) != mark[i]) return false;
        return true;
    };
    if (startsWith(kUtf8Mark, sizeof(kUtf8Mark))) {
        start = sizeof(kUtf8Mark);
        return TextEncoding::kUtf8;
    }
    start = sizeof(kUtf16LeMark);
    if (startsWith(kUtf16LeMark, sizeof(kUtf16LeMark))) return TextEncoding::kUtf16Le;
    if (startsWith(kUtf16BeMark, sizeof(kUtf16BeMark))) return TextEncoding::kUtf16Be;
    start = 0;
    return TextEncoding::kAnsi;
}

// Looks `section`/`key` up in the open file; copies the value and returns
// true when the key is found with a value.
bool FindProfileValue(TextFile &f, Name section, Name key, char *out, uint32_t size, uint32_t *copied) {
    uint64_t start = 0;
    f.encoding = DetectEncoding(f, start);
    TextPos pos{start, 0};
    // Lines before the first section header belong to section "".
    bool inSection = section.length == 0;
    bool sectionSeen = inSection;
    Line line;
    while (ScanLine(f, pos, line)) {
        if (line.blank) continue;
        if (line.firstUnit == '[' && line.hasBracket) {
            // Only the first section of the name is searched.
            if (sectionSeen) return false;
            TextPos afterBracket = line.first;
            NextUnit(f, afterBracket);
            inSection = NameMatches(f, afterBracket, line.firstIndex + 1, line.lastBracket, section);
            sectionSeen = inSection;
            continue;
        }
        if (!inSection) continue;
        const uint64_t nameEnd = line.hasEquals ? line.nameEnd : line.end;
        if (!NameMatches(f, line.first, line.firstIndex, nameEnd, key)) continue;
        // The first key of the name answers; one without '=' has no value.
        if (!line.hasEquals) return false;
        uint64_t length = 0;
        int last = 0;
        if (line.hasValue) {
            const uint64_t valueEnd = line.hasNul ? line.nulIndex : line.end;
            length = valueEnd - line.valueIndex;
            last = line.hasNul ? line.beforeNul : line.lastUnit;
        }
        TextPos value = line.value;
        const TextEncoding encoding = f.encoding;
        *copied = CopyEntry(out, size, length, line.valueUnit, last,
                            [&] { return ByteOfUnit(encoding, NextUnit(f, value)); });
        return true;
    }
    return false;
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
    if (out == nullptr || size == 0) return 0;
    if (section != nullptr && key != nullptr && file != nullptr && file[0] != '\0') {
        // O_NONBLOCK: a path naming a pipe must not hang the caller; only a
        // regular file is read.
        const int fd = open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            struct stat info;
            bool found = false;
            uint32_t copied = 0;
            if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
                TextFile f{fd, static_cast<uint64_t>(info.st_size), 0, 0, TextEncoding::kAnsi};
                found = FindProfileValue(f, TrimmedName(section), TrimmedName(key), out, size, &copied);
            }
            close(fd);
            if (found) return copied;
        }
    }
    return CopyDefault(out, size, fallback);
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
