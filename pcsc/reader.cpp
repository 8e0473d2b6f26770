// Reader choice and APDU exchange over PC/SC, shared by both systems.
#include "reader.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kpcsc {
namespace {

// PC/SC storage-card ATR (contactless readers): historical bytes
// 80 4F 0C A0 00 00 03 06 SS NN NN 00 00 00 00, where RID A0 00 00 03 06 is
// PC/SC's, SS the card standard and NN NN the card name.
constexpr uint8_t kStorageAid[] = {0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06};
constexpr size_t kStandardAfterAid = 0;  // offsets counted from the end of kStorageAid
constexpr size_t kNameHighAfterAid = 1;
constexpr size_t kNameLowAfterAid = 2;
constexpr uint8_t kStandardIso14443A3 = 0x03;
constexpr uint16_t kCardNameClassic1K = 0x0001;
constexpr uint16_t kCardNameClassic4K = 0x0002;
// An SLE4442's own answer to reset (its first four bytes), which contact
// readers report as the historical bytes of the ATR they build.
constexpr uint8_t kSle4442Answer[] = {0xA2, 0x13, 0x10, 0x91};

// Reader names come as a list of strings ending with an empty one.
constexpr DWORD kReaderListMax = 4096;
constexpr size_t kMaxReaders = 16;

// The settings file: [Readers] Mifare = ..., SLE4442 = ...
constexpr const char *kSettingsSection = "Readers";
constexpr const char *kMifareKey = "Mifare";
constexpr const char *kSle4442Key = "SLE4442";
constexpr size_t kSettingMax = 96;
constexpr size_t kPathMax = 1024;

uint64_t g_commands = 0;

bool Contains(const uint8_t *hay, size_t n, const uint8_t *needle, size_t m, size_t *end) {
    for (size_t i = 0; i + m <= n; ++i)
        if (std::memcmp(hay + i, needle, m) == 0) {
            *end = i + m;
            return true;
        }
    return false;
}

bool ContainsText(const char *hay, const char *needle) {
    const size_t n = std::strlen(hay), m = std::strlen(needle);
    for (size_t i = 0; i + m <= n; ++i) {
        size_t j = 0;
        while (j < m && std::tolower(static_cast<unsigned char>(hay[i + j])) ==
                            std::tolower(static_cast<unsigned char>(needle[j])))
            ++j;
        if (j == m) return true;
    }
    return false;
}

void Trim(char *s) {
    size_t n = std::strlen(s);
    while (n > 0 && std::isspace(static_cast<unsigned char>(s[n - 1]))) s[--n] = '\0';
    size_t start = 0;
    while (std::isspace(static_cast<unsigned char>(s[start]))) ++start;
    std::memmove(s, s + start, n - start + 1);
}

// Value of `key` in [Readers] of the settings file beside the library.
bool SettingFromFile(const char *key, char *out, size_t size) {
    char path[kPathMax];
    if (!ModuleFolder(path, sizeof path)) return false;
    if (std::strlen(path) + std::strlen(KS_PCSC_SETTINGS_FILE) >= sizeof path) return false;
    std::strcat(path, KS_PCSC_SETTINGS_FILE);
    std::FILE *f = std::fopen(path, "r");
    if (f == nullptr) return false;
    char line[256];
    bool inSection = false, found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        char *comment = std::strpbrk(line, ";#");
        if (comment != nullptr) *comment = '\0';
        Trim(line);
        if (line[0] == '[') {
            char *close = std::strchr(line, ']');
            if (close != nullptr) *close = '\0';
            inSection = std::strcmp(line + 1, kSettingsSection) == 0;
            continue;
        }
        char *eq = std::strchr(line, '=');
        if (!inSection || eq == nullptr) continue;
        *eq = '\0';
        Trim(line);
        char *value = eq + 1;
        Trim(value);
        if (std::strcmp(line, key) == 0 && value[0] != '\0' && std::strlen(value) < size) {
            std::strcpy(out, value);
            found = true;
        }
    }
    std::fclose(f);
    return found;
}

// The reader-name part the setting names for the medium; false: no setting.
bool ReaderSetting(Medium medium, char *out, size_t size) {
    const char *variable = medium == Medium::Mifare ? KS_PCSC_MIFARE_READER_VARIABLE : KS_PCSC_SLE4442_READER_VARIABLE;
    const char *env = std::getenv(variable);
    if (env != nullptr && env[0] != '\0' && std::strlen(env) < size) {
        std::strcpy(out, env);
        return true;
    }
    return SettingFromFile(medium == Medium::Mifare ? kMifareKey : kSle4442Key, out, size);
}

bool KindServes(KsPcscCardKind kind, Medium medium) {
    if (medium == Medium::Mifare) return kind == KS_PCSC_MIFARE_1K || kind == KS_PCSC_MIFARE_4K;
    return kind == KS_PCSC_SLE4442;
}

struct ReaderList {
    char names[kReaderListMax];
    const char *reader[kMaxReaders];
    size_t count = 0;
};

bool ListReaders(SCARDCONTEXT context, ReaderList *list) {
    DWORD length = kReaderListMax;
    list->count = 0;
    if (SCardListReaders(context, nullptr, list->names, &length) != SCARD_S_SUCCESS) return false;
    for (const char *p = list->names; *p != '\0' && list->count < kMaxReaders; p += std::strlen(p) + 1)
        list->reader[list->count++] = p;
    return list->count > 0;
}

// Present state and ATR of each listed reader, without connecting.
bool ReaderStates(SCARDCONTEXT context, const ReaderList &list, SCARD_READERSTATE *states) {
    for (size_t i = 0; i < list.count; ++i) {
        std::memset(&states[i], 0, sizeof states[i]);
        states[i].szReader = list.reader[i];
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    return SCardGetStatusChange(context, 0, states, static_cast<DWORD>(list.count)) == SCARD_S_SUCCESS;
}

bool CardIn(const SCARD_READERSTATE &state) { return (state.dwEventState & SCARD_STATE_PRESENT) != 0; }

// The reader for the medium: the one the setting names, else the first
// holding a card of the medium's kind (no command goes to a card of another
// kind). With `needCard` false, any reader will do when none is named: the
// card may come later. False when there is no such reader.
bool ChooseReader(SCARDCONTEXT context, Medium medium, bool needCard, char *out) {
    ReaderList list;
    if (!ListReaders(context, &list)) return false;
    char setting[kSettingMax];
    const char *chosen = nullptr;
    if (ReaderSetting(medium, setting, sizeof setting)) {
        for (size_t i = 0; i < list.count && chosen == nullptr; ++i)
            if (ContainsText(list.reader[i], setting)) chosen = list.reader[i];
    } else {
        SCARD_READERSTATE states[kMaxReaders];
        if (ReaderStates(context, list, states)) {
            for (size_t i = 0; i < list.count && chosen == nullptr; ++i)
                if (CardIn(states[i]) && KindServes(KindFromAtr(states[i].rgbAtr, states[i].cbAtr), medium))
                    chosen = list.reader[i];
        }
        if (chosen == nullptr && !needCard) chosen = list.reader[0];
    }
    if (chosen == nullptr || std::strlen(chosen) >= kReaderNameMax) return false;
    std::strcpy(out, chosen);
    return true;
}

}  // namespace

KsPcscCardKind KindFromAtr(const uint8_t *atr, size_t length) {
    size_t end = 0;
    if (Contains(atr, length, kStorageAid, sizeof kStorageAid, &end)) {
        if (end + kNameLowAfterAid >= length) return KS_PCSC_OTHER;
        const uint16_t name = static_cast<uint16_t>(atr[end + kNameHighAfterAid] << 8 | atr[end + kNameLowAfterAid]);
        if (atr[end + kStandardAfterAid] != kStandardIso14443A3) return KS_PCSC_OTHER;
        if (name == kCardNameClassic1K) return KS_PCSC_MIFARE_1K;
        if (name == kCardNameClassic4K) return KS_PCSC_MIFARE_4K;
        return KS_PCSC_OTHER;
    }
    if (Contains(atr, length, kSle4442Answer, sizeof kSle4442Answer, &end)) return KS_PCSC_SLE4442;
    return KS_PCSC_OTHER;
}

bool OpenLink(Link &link, Medium medium) {
    CloseLink(link);
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &link.context) != SCARD_S_SUCCESS) return false;
    link.hasContext = true;
    char reader[kReaderNameMax];
    if (!ChooseReader(link.context, medium, false, reader)) {
        CloseLink(link);
        return false;
    }
    return true;
}

void DisconnectCard(Link &link) {
    if (link.connected) SCardDisconnect(link.card, SCARD_RESET_CARD);
    link.connected = false;
    link.card = 0;
    link.atrLength = 0;
}

void CloseLink(Link &link) {
    DisconnectCard(link);
    if (link.hasContext) SCardReleaseContext(link.context);
    link.hasContext = false;
    link.context = 0;
}

bool ConnectCard(Link &link, Medium medium) {
    DisconnectCard(link);
    if (!link.hasContext || !ChooseReader(link.context, medium, true, link.reader)) return false;
    if (SCardConnect(link.context, link.reader, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                     &link.card, &link.protocol) != SCARD_S_SUCCESS)
        return false;
    link.connected = true;
    ++link.connection;
    // The ATR of the card now connected (it may differ from the one seen
    // while choosing, had the card been swapped since).
    char name[kReaderNameMax];
    DWORD nameLength = sizeof name, state = 0, protocol = 0;
    BYTE atr[kAtrMax];
    DWORD atrLength = sizeof atr;
    if (SCardStatus(link.card, name, &nameLength, &state, &protocol, atr, &atrLength) != SCARD_S_SUCCESS) {
        DisconnectCard(link);
        return false;
    }
    std::memcpy(link.atr, atr, atrLength);
    link.atrLength = atrLength;
    return true;
}

bool CardStillConnected(Link &link) {
    if (!link.connected) return false;
    char name[kReaderNameMax];
    DWORD nameLength = sizeof name, state = 0, protocol = 0;
    BYTE atr[kAtrMax];
    DWORD atrLength = sizeof atr;
    if (SCardStatus(link.card, name, &nameLength, &state, &protocol, atr, &atrLength) == SCARD_S_SUCCESS) return true;
    DisconnectCard(link);
    return false;
}

bool Transmit(Link &link, const uint8_t *apdu, size_t apduLength, uint8_t *data, size_t *dataLength,
              uint16_t *sw) {
    if (!link.connected) return false;
    ++g_commands;
    BYTE response[kResponseMax];
    DWORD responseLength = sizeof response;
    const SCARD_IO_REQUEST *pci = link.protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    if (SCardTransmit(link.card, pci, apdu, static_cast<DWORD>(apduLength), nullptr, response, &responseLength) !=
            SCARD_S_SUCCESS ||
        responseLength < 2) {
        DisconnectCard(link);
        return false;
    }
    const size_t n = responseLength - 2;
    *sw = static_cast<uint16_t>(response[n] << 8 | response[n + 1]);
    if (data != nullptr) {
        if (n > *dataLength) return false;
        std::memcpy(data, response, n);
        *dataLength = n;
    }
    return true;
}

uint64_t CommandCount() { return g_commands; }

}  // namespace kpcsc

// The listing for tools: every reader, its card, the card's kind and UID.
extern "C" int32_t KsPcscListReaders(KsPcscReaderInfo *out, int32_t max) {
    using namespace kpcsc;
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return -1;
    ReaderList list;
    SCARD_READERSTATE states[kMaxReaders];
    const bool listed = ListReaders(context, &list) && ReaderStates(context, list, states);
    const int32_t count = listed ? static_cast<int32_t>(list.count) : 0;
    for (int32_t i = 0; i < count && i < max && out != nullptr; ++i) {
        KsPcscReaderInfo &r = out[i];
        std::memset(&r, 0, sizeof r);
        std::snprintf(r.name, sizeof r.name, "%s", list.reader[i]);
        r.cardPresent = CardIn(states[i]) ? 1 : 0;
        if (!r.cardPresent) continue;
        r.atrLength = static_cast<int32_t>(states[i].cbAtr < sizeof r.atr ? states[i].cbAtr : sizeof r.atr);
        std::memcpy(r.atr, states[i].rgbAtr, static_cast<size_t>(r.atrLength));
        r.kind = KindFromAtr(r.atr, static_cast<size_t>(r.atrLength));
        if (r.kind != KS_PCSC_MIFARE_1K && r.kind != KS_PCSC_MIFARE_4K && r.kind != KS_PCSC_OTHER) continue;
        // The UID, where the card is contactless and the reader not busy.
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        if (SCardConnect(context, list.reader[i], SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                         &protocol) != SCARD_S_SUCCESS)
            continue;
        BYTE response[kResponseMax];
        DWORD length = sizeof response;
        const SCARD_IO_REQUEST *pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
        if (SCardTransmit(card, pci, kGetUidCommand, sizeof kGetUidCommand, nullptr, response, &length) == SCARD_S_SUCCESS &&
            length >= 2 && length - 2 <= sizeof r.uid && response[length - 2] == 0x90 && response[length - 1] == 0x00) {
            r.uidLength = static_cast<int32_t>(length - 2);
            std::memcpy(r.uid, response, length - 2);
        }
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    SCardReleaseContext(context);
    return count;
}
