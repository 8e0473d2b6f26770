// The bench folder: manifest, card files and the collector's log on disk,
// loaded into the device models at the first vendor call of a process and
// written back after every call that changed them.
#include "persist.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "codec/codec.h"
#include "datacard_bench.h"
#include "ibutton_bench.h"
#include "usb_bench.h"

namespace bench {
namespace {

namespace fs = std::filesystem;

// ---- a small INI reader: sections in order, keys in order, repeats kept ----
struct IniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
    std::string Get(const std::string &key, const std::string &fallback = "") const {
        for (const auto &e : entries)
            if (e.first == key) return e.second;
        return fallback;
    }
};

std::string Trim(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

std::vector<IniSection> ParseIni(const std::string &text) {
    std::vector<IniSection> sections(1);  // entries before any section header
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            sections.push_back(IniSection{Trim(line.substr(1, line.size() - 2)), {}});
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        sections.back().entries.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    }
    return sections;
}

const IniSection *FindSection(const std::vector<IniSection> &sections, const std::string &name) {
    for (const IniSection &s : sections)
        if (s.name == name) return &s;
    return nullptr;
}

bool ReadText(const std::string &path, std::string *text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

bool WriteBytes(const std::string &path, const std::string &bytes, std::string *error) {
    // Write beside and rename over, so a reader never sees half a file.
    const std::string temp = path + ".new";
    std::error_code made;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty()) fs::create_directories(parent, made);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            if (error) *error = "cannot write " + temp;
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        if (error) *error = "cannot replace " + path + ": " + ec.message();
        return false;
    }
    return true;
}

std::string Hex(const uint8_t *bytes, size_t n, const char *sep = " ") {
    std::string out;
    char h[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(h, sizeof h, "%02X", bytes[i]);
        if (i) out += sep;
        out += h;
    }
    return out;
}

bool ParseHex(const std::string &text, std::vector<uint8_t> *out) {
    std::string digits;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

int ToInt(const std::string &text, int fallback) {
    try {
        return text.empty() ? fallback : std::stoi(text);
    } catch (...) {
        return fallback;
    }
}

std::string Join(const std::string &dir, const std::string &name) { return (fs::path(dir) / name).string(); }

// Where an SLE4442 card keeps its sealed record, and the serial byte it is bound to.
constexpr size_t kIcRecordOffset = 32;
constexpr size_t kIcSerialOffset = 60;

// ---- SLE4442 card files: text, so a technician can read and edit them ----
constexpr size_t kSleRow = 16;

std::string SleText(const Sle4442Card &card) {
    std::ostringstream out;
    char protectedBits[16];
    std::snprintf(protectedBits, sizeof protectedBits, "%08X", static_cast<unsigned>(card.protectedBytes));
    out << "# SLE4442 contact memory card (kestrane bench)\n[sle4442]\n"
        << "psc = " << Hex(card.psc.data(), card.psc.size()) << "\n"
        << "tries = " << card.triesLeft << "\n"
        << "protected = " << protectedBits << "\n[memory]\n";
    for (size_t row = 0; row < card.memory.size(); row += kSleRow) {
        char offset[8];
        std::snprintf(offset, sizeof offset, "%02X", static_cast<unsigned>(row));
        out << offset << " = " << Hex(card.memory.data() + row, kSleRow) << "\n";
    }
    return out.str();
}

bool SleFromText(const std::string &text, Sle4442Card *card) {
    const auto sections = ParseIni(text);
    const IniSection *head = FindSection(sections, "sle4442");
    const IniSection *memory = FindSection(sections, "memory");
    if (!head || !memory) return false;
    std::vector<uint8_t> bytes;
    if (!ParseHex(head->Get("psc"), &bytes) || bytes.size() != 3) return false;
    std::copy(bytes.begin(), bytes.end(), card->psc.begin());
    card->triesLeft = ToInt(head->Get("tries"), 3);
    card->protectedBytes = static_cast<uint32_t>(std::stoul("0" + head->Get("protected"), nullptr, 16));
    card->pscVerified = false;
    for (const auto &e : memory->entries) {
        const size_t offset = std::stoul("0" + e.first, nullptr, 16);
        if (!ParseHex(e.second, &bytes) || offset + bytes.size() > card->memory.size()) return false;
        std::copy(bytes.begin(), bytes.end(), card->memory.begin() + static_cast<long>(offset));
    }
    return true;
}

std::string CardFileBytes(const BenchCard &card) {
    if (card.type == "sle4442") return SleText(card.sle);
    const std::vector<uint8_t> dump =
        card.type == "mifare" ? MifareCardToDump(card.mifare) : TemicCardToDump(card.temic);
    return std::string(dump.begin(), dump.end());
}

// ---- the loaded folder of this process ----
// The files whose change on disk means another process (a `kestrane bench`
// command beside a long-running worker) has changed the bench: the manifest,
// the collector's log and the inserted card's file, as this process last
// loaded or wrote them.
struct DiskTexts {
    std::string manifest, log, card;
    bool operator==(const DiskTexts &o) const { return manifest == o.manifest && log == o.log && card == o.card; }
};

struct Loaded {
    std::string dir;
    BenchManifest manifest;
    std::string cardBytes;  // the inserted card's file as last written or read
    DiskTexts onDisk;
};

Loaded &State() {
    static Loaded loaded;
    return loaded;
}

std::string EnvValue(const char *name) {
#if defined(_WIN32)
    char value[1024];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
#else
    const char *value = std::getenv(name);
    return value ? value : "";
#endif
}

void SetEnvIfUnset(const char *name, const std::string &value) {
    if (!EnvValue(name).empty()) return;
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value.c_str());
    static std::string entry;
    entry = std::string(name) + "=" + value;
    _putenv(entry.c_str());
#else
    setenv(name, value.c_str(), 0);
#endif
}

std::string ClockText() {
    if (!CollectorClockSet()) return "";
    const CollectorClock c = CollectorTime();
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute,
                  c.second);
    return text;
}

std::string RoomText() {
    if (!CollectorRoomSet()) return "";
    const auto room = CollectorRoomNumber();
    return Hex(room.data(), room.size());
}

// The inserted card as it is now in its device, or false when none is there.
bool CurrentCard(const BenchManifest &m, BenchCard *card) {
    switch (m.medium) {
    case BenchMedium::Ic4442:
        if (!IcCardPresent() || IcCardIs24c64()) return false;
        card->type = "sle4442";
        card->sle = CurrentSle4442();
        return true;
    case BenchMedium::Mifare: {
        auto c = CurrentMifareCard();
        if (!c) return false;
        card->type = "mifare";
        card->mifare = *c;
        return true;
    }
    case BenchMedium::Temic: {
        auto c = CurrentTemicCard();
        if (!c) return false;
        card->type = "temic";
        card->temic = *c;
        return true;
    }
    }
    return false;
}

// A program that resets the bench (every test program does, in SetUp) sets
// up its own devices: a folder named in the environment must not be mixed
// into them, and what such a program does must not be written to a folder.
bool g_resetSeen = false;

void OnReset() {
    g_resetSeen = true;
    State() = Loaded{};
}

DiskTexts ReadDiskTexts(const std::string &dir, const BenchManifest &m) {
    DiskTexts texts;
    ReadText(Join(dir, kBenchManifestFile), &texts.manifest);
    ReadText(Join(dir, kBenchLogFile), &texts.log);
    if (const BenchCardEntry *entry = m.inserted.empty() ? nullptr : m.Card(m.inserted))
        ReadText(Join(dir, entry->file), &texts.card);
    return texts;
}

// True when the folder named now is another one, or its files no longer hold
// what this process loaded or wrote.
bool FolderChanged(const std::string &named) {
    const Loaded &state = State();
    std::error_code ec;
    if (fs::absolute(named, ec).string() != state.dir) return true;
    return !(ReadDiskTexts(state.dir, state.manifest) == state.onDisk);
}

// Loads the folder at the first vendor call, and again at a later call when
// the folder changed on disk, so a process that lives across many commands
// (a worker) sees the bench as a new process would. Devices with a port or
// session open are left alone: loading under them would pull the card out
// of a running operation.
void BeforeCallHook() {
    const std::string dir = EnvValue(kBenchFolderVariable);
    if (dir.empty() || g_resetSeen) return;
    if (!State().dir.empty()) {
        if (TotalOpen() > 0 || !FolderChanged(dir)) return;
        Reset();  // the devices as a new process has them; this is not a test's reset
        g_resetSeen = false;
    }
    std::string error;
    if (!LoadBenchFolder(dir, &error)) std::cerr << "bench: " << error << std::endl;
}

void AfterCallHook() {
    if (State().dir.empty()) return;
    std::string error;
    if (!SaveBenchFolder(&error)) std::cerr << "bench: " << error << std::endl;
}

struct RegisterHooks {
    RegisterHooks() {
        RegisterBeforeCallHook(BeforeCallHook);
        RegisterAfterCallHook(AfterCallHook);
        RegisterResetHook(OnReset);
    }
} g_registerHooks;

}  // namespace

const char *BenchMediumName(BenchMedium medium) {
    switch (medium) {
    case BenchMedium::Ic4442: return "ic";
    case BenchMedium::Temic: return "temic";
    case BenchMedium::Mifare: return "mifare";
    }
    return "ic";
}

bool BenchMediumFromName(const std::string &name, BenchMedium *medium) {
    for (BenchMedium m : {BenchMedium::Ic4442, BenchMedium::Temic, BenchMedium::Mifare})
        if (name == BenchMediumName(m)) {
            *medium = m;
            return true;
        }
    return false;
}

std::array<uint8_t, 4> BenchSystemPassword(const std::string &pass) {
    std::array<uint8_t, 4> password{};
    std::vector<uint8_t> bytes;
    if (!ParseHex(pass.substr(0, 8), &bytes) || bytes.size() != 4) return password;
    for (int i = 0; i < 4; ++i) password[static_cast<size_t>(i)] = bytes[static_cast<size_t>(3 - i)];
    return password;
}

bool ReadBenchManifest(const std::string &dir, BenchManifest *m, std::string *error) {
    std::string text;
    const std::string path = Join(dir, kBenchManifestFile);
    if (!ReadText(path, &text)) {
        if (error) *error = "no bench folder at " + dir + " (" + path + " is missing)";
        return false;
    }
    const auto sections = ParseIni(text);
    const IniSection *bench = FindSection(sections, "bench");
    if (!bench || !BenchMediumFromName(bench->Get("medium"), &m->medium)) {
        if (error) *error = path + ": no [bench] section with a medium of ic, temic or mifare";
        return false;
    }
    m->encoderPort = ToInt(bench->Get("encoder_port"), 3);
    m->encoderBridge = bench->Get("encoder_bridge");
    m->pass = bench->Get("pass", "4B7E19D2");
    m->sector = ToInt(bench->Get("sector"), 1);
    m->inserted = bench->Get("inserted");
    m->nextCard = ToInt(bench->Get("next_card"), 1);
    m->ibuttonPort = ToInt(bench->Get("ibutton_port"), 0);
    m->ibuttonRom = bench->Get("ibutton_rom");
    m->windows9x = bench->Get("windows_family") == "9x";
    m->cards.clear();
    const IniSection *collector = FindSection(sections, "collector");
    m->collector = collector != nullptr;
    if (collector) {
        m->collectorPort = ToInt(collector->Get("port"), 0);
        m->collectorBridge = collector->Get("bridge");
        m->collectorClock = collector->Get("clock");
        m->collectorRoom = collector->Get("room");
    }
    const std::string cardPrefix = "card ";
    for (const IniSection &s : sections) {
        if (s.name.compare(0, cardPrefix.size(), cardPrefix) != 0) continue;
        m->cards.push_back(BenchCardEntry{Trim(s.name.substr(cardPrefix.size())), s.Get("type"), s.Get("file")});
    }
    return true;
}

bool WriteBenchManifest(const std::string &dir, const BenchManifest &m, std::string *error) {
    std::ostringstream out;
    out << "# Kestrane bench folder: the virtual devices the kestrane tool works with.\n"
        << "# Change it with `kestrane bench ...`; config.ini is written from it.\n"
        << "[bench]\n"
        << "medium = " << BenchMediumName(m.medium) << "\n"
        << "encoder_port = " << m.encoderPort << "\n"
        << "encoder_bridge = " << m.encoderBridge << "\n"
        << "pass = " << m.pass << "\n"
        << "sector = " << m.sector << "\n"
        << "inserted = " << m.inserted << "\n"
        << "next_card = " << m.nextCard << "\n"
        << "ibutton_port = " << m.ibuttonPort << "\n"
        << "ibutton_rom = " << m.ibuttonRom << "\n"
        << "windows_family = " << (m.windows9x ? "9x" : "nt") << "\n";
    if (m.collector) {
        out << "\n[collector]\n"
            << "port = " << m.collectorPort << "\n"
            << "bridge = " << m.collectorBridge << "\n"
            << "clock = " << m.collectorClock << "\n"
            << "room = " << m.collectorRoom << "\n";
    }
    for (const BenchCardEntry &c : m.cards)
        out << "\n[card " << c.name << "]\ntype = " << c.type << "\nfile = " << c.file << "\n";
    return WriteBytes(Join(dir, kBenchManifestFile), out.str(), error);
}

bool WriteBenchConfig(const std::string &dir, const BenchManifest &m, std::string *error) {
    // CommProt and LockType are zero-based digits: port - 1 and medium index.
    const int lockDigit = m.medium == BenchMedium::Ic4442 ? 1 : m.medium == BenchMedium::Temic ? 2 : 4;
    std::ostringstream out;
    out << "; Encoder configuration for EncodeInit, written by `kestrane bench init`.\n"
        << "[Config]\n"
        << "CommProt=" << (m.encoderPort - 1) << "\n"
        << "LockType=" << lockDigit << "\n"
        << "Sector=" << m.sector << "\n"
        << "[SystemInfo]\n"
        << "Pass=" << m.pass << "\n";
    return WriteBytes(Join(dir, kBenchConfigFile), out.str(), error);
}

bool LoadBenchCard(const std::string &dir, const BenchCardEntry &entry, BenchCard *card, std::string *error) {
    const std::string path = Join(dir, entry.file);
    card->type = entry.type;
    bool ok = false;
    if (entry.type == "sle4442") {
        std::string text;
        ok = ReadText(path, &text) && SleFromText(text, &card->sle);
    } else if (entry.type == "mifare") {
        ok = LoadMifareCard(path, &card->mifare);
    } else if (entry.type == "temic") {
        ok = LoadTemicCard(path, &card->temic);
    }
    if (!ok && error) *error = "card " + entry.name + ": cannot read " + path + " as a " + entry.type + " card";
    return ok;
}

bool SaveBenchCard(const std::string &dir, const BenchCardEntry &entry, const BenchCard &card, std::string *error) {
    return WriteBytes(Join(dir, entry.file), CardFileBytes(card), error);
}

std::vector<uint8_t> BenchCardMemory(const BenchCard &card) {
    if (card.type == "sle4442") return std::vector<uint8_t>(card.sle.memory.begin(), card.sle.memory.end());
    if (card.type == "mifare") return MifareCardToDump(card.mifare);
    return TemicCardToDump(card.temic);
}

bool OpenBenchCardRecord(const BenchCard &card, int mifareSector, std::vector<uint8_t> *record) {
    if (card.type == "sle4442") {
        uint8_t bytes[kCardRecordLength + 1] = {};
        std::copy_n(card.sle.memory.begin() + kIcRecordOffset, kCardRecordLength, bytes);
        const bool ok = OpenCardRecord(bytes, SealVariant::SerialBound, card.sle.memory[kIcSerialOffset]);
        record->assign(bytes, bytes + kCardRecordLength);
        return ok;
    }
    if (card.type == "mifare") {
        std::array<uint8_t, 48> image{};
        const bool ok = ReadMifareRecord(card.mifare, mifareSector, &image);
        record->assign(image.begin(), image.end());
        return ok;
    }
    TemicRecord plain{};
    const bool ok = ReadTemicRecord(card.temic, &plain);
    record->assign(plain.begin(), plain.end());
    return ok;
}

void WriteBenchCardRecord(BenchCard &card, int mifareSector, const std::vector<uint8_t> &plain) {
    if (card.type == "sle4442") {
        uint8_t bytes[kCardRecordLength + 1] = {};
        std::copy_n(plain.begin(), std::min<size_t>(plain.size(), kCardRecordLength), bytes);
        SealCardRecord(bytes, SealVariant::SerialBound, card.sle.memory[kIcSerialOffset]);
        std::copy_n(bytes, kCardRecordLength, card.sle.memory.begin() + kIcRecordOffset);
    } else if (card.type == "mifare") {
        std::array<uint8_t, 48> image{};
        std::copy_n(plain.begin(), std::min(plain.size(), image.size()), image.begin());
        WriteMifareRecord(card.mifare, mifareSector, image);
    } else {
        TemicRecord record{};
        std::copy_n(plain.begin(), std::min(plain.size(), record.size()), record.begin());
        WriteTemicRecord(card.temic, record);
    }
}

bool ReadBenchLog(const std::string &path, BenchLog *log, std::string *error) {
    std::string text;
    *log = BenchLog{};
    if (!ReadText(path, &text)) return true;  // no log file: an empty log
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string what;
        words >> what;
        if (what == "header") {
            std::vector<int> v(3, -1);
            words >> std::hex >> v[0] >> v[1] >> v[2];
            for (size_t i = 0; i < 3; ++i) log->header[i] = static_cast<uint8_t>(v[i]);
            continue;
        }
        // record KIND YYYY-MM-DD HH:MM CARDHEX
        int kind = 0, y = 0, mo = 0, d = 0, h = 0, mi = 0;
        std::string date, time, card;
        words >> std::dec >> kind >> date >> time >> card;
        std::vector<uint8_t> cardBytes;
        if (what != "record" || std::sscanf(date.c_str(), "%d-%d-%d", &y, &mo, &d) != 3 ||
            std::sscanf(time.c_str(), "%d:%d", &h, &mi) != 2 || !ParseHex(card, &cardBytes) || cardBytes.size() != 4) {
            if (error) *error = path + " line " + std::to_string(number) + ": expected 'record KIND YYYY-MM-DD HH:MM CARDHEX'";
            return false;
        }
        if (log->slots.size() == kLogMaxSlots) {
            if (error) *error = path + ": more than " + std::to_string(kLogMaxSlots) + " records";
            return false;
        }
        log->slots.push_back(MakeOpenDoorSlot({cardBytes[0], cardBytes[1], cardBytes[2], cardBytes[3]}, y - 2000,
                                              kind, mo, d, h, mi));
    }
    return true;
}

bool WriteBenchLog(const std::string &path, const BenchLog &log, std::string *error) {
    std::ostringstream out;
    out << "# Open-door log of the bench's hand-held collector.\n"
        << "# header B16 B17 B18 (hex); record KIND YYYY-MM-DD HH:MM CARDHEX\n"
        << "header " << Hex(log.header.data(), 3) << "\n";
    for (const OpenDoorSlot &s : log.slots) {
        char line[80];
        std::snprintf(line, sizeof line, "record %d %04d-%02d-%02d %02d:%02d %s", s[5] >> 4, 2000 + s[4], s[5] & 0x0F,
                      s[6], s[7], s[8], Hex(s.data(), 4, "").c_str());
        out << line << "\n";
    }
    return WriteBytes(path, out.str(), error);
}

bool LoadBenchFolder(const std::string &dirIn, std::string *error) {
    std::error_code ec;
    const std::string dir = fs::absolute(dirIn, ec).string();
    Loaded &state = State();
    if (!state.dir.empty()) {
        if (state.dir == dir) return true;
        if (error) *error = "a bench folder (" + state.dir + ") is already loaded in this process";
        return false;
    }
    BenchManifest m;
    if (!ReadBenchManifest(dir, &m, error)) return false;
    // Natively the registry is a file: keep it in the folder, where every
    // process of this bench finds the same one.
    SetEnvIfUnset("KESTRANE_REGISTRY", Join(dir, kBenchRegistryFile));
    SetWindows9x(m.windows9x);  // before any bridge is attached: it picks the registry keys written
    if (m.collector) {
        AttachCollector(m.collectorPort, m.collectorBridge);
        BenchLog log;
        if (!ReadBenchLog(Join(dir, kBenchLogFile), &log, error)) return false;
        CollectorSetLog(OpenDoorLogImage(log.header, log.slots));
    }
    Bridge bridge;
    bridge.serial = m.encoderBridge;
    bridge.comPort = m.encoderPort;
    switch (m.medium) {
    case BenchMedium::Ic4442: PlaceIcEncoder(m.encoderPort); break;
    case BenchMedium::Temic:
        PlaceTemicEncoder(m.encoderPort);
        PlaceDataReader(DataReader::Temic, m.encoderPort);
        bridge.product = "TEMIC Card Lock Device";
        break;
    case BenchMedium::Mifare:
        PlaceRc500Reader(m.encoderPort);
        PlaceDataReader(DataReader::Mifare, m.encoderPort);
        bridge.product = "Mifare Card Lock Device";
        break;
    }
    if (!m.encoderBridge.empty() && !bridge.product.empty()) AttachBridge(bridge);
    if (m.ibuttonPort > 0) {
        AttachIButtonReader(m.ibuttonPort);
        std::vector<uint8_t> rom;
        if (ParseHex(m.ibuttonRom, &rom) && rom.size() == 8) {
            IButtonRom key{};
            std::copy(rom.begin(), rom.end(), key.begin());
            PlaceIButton(key);
        }
    }
    state.cardBytes.clear();
    if (!m.inserted.empty()) {
        const BenchCardEntry *entry = m.Card(m.inserted);
        BenchCard card;
        if (entry == nullptr) {
            if (error) *error = "the manifest names card " + m.inserted + " as inserted, but lists no such card";
            return false;
        }
        if (entry->type == "data") {
            // A data card: its log goes to the reader of the medium (the
            // contact encoder reads it from a 24C64 card).
            BenchLog log;
            if (!ReadBenchLog(Join(dir, entry->file), &log, error)) return false;
            const std::vector<uint8_t> image = OpenDoorLogImage(log.header, log.slots);
            if (m.medium == BenchMedium::Ic4442) Insert24c64(Make24c64DataCard(image));
            else InsertDataCard(m.medium == BenchMedium::Temic ? DataReader::Temic : DataReader::Mifare, image);
            state.dir = dir;
            state.manifest = m;
            state.onDisk = ReadDiskTexts(dir, m);
            return true;
        }
        if (!LoadBenchCard(dir, *entry, &card, error)) return false;
        if (card.type == "sle4442") InsertSle4442(card.sle);
        else if (card.type == "mifare") PlaceMifareCard(card.mifare);
        else PlaceTemicCard(card.temic);
        state.cardBytes = CardFileBytes(card);
    }
    state.dir = dir;
    state.manifest = m;
    state.onDisk = ReadDiskTexts(dir, m);
    return true;
}

bool SaveBenchFolder(std::string *error) {
    Loaded &state = State();
    if (state.dir.empty()) return true;
    BenchManifest &m = state.manifest;
    const BenchCardEntry *entry = m.inserted.empty() ? nullptr : m.Card(m.inserted);
    BenchCard card;
    if (entry != nullptr && CurrentCard(m, &card) && card.type == entry->type) {
        const std::string bytes = CardFileBytes(card);
        if (bytes != state.cardBytes) {
            if (!SaveBenchCard(state.dir, *entry, card, error)) return false;
            state.cardBytes = bytes;
            state.onDisk.card = bytes;
        }
    }
    if (m.collector) {
        const std::string clock = ClockText(), room = RoomText();
        bool changed = false;
        if (!clock.empty() && clock != m.collectorClock) m.collectorClock = clock, changed = true;
        if (!room.empty() && room != m.collectorRoom) m.collectorRoom = room, changed = true;
        if (changed) {
            if (!WriteBenchManifest(state.dir, m, error)) return false;
            ReadText(Join(state.dir, kBenchManifestFile), &state.onDisk.manifest);
        }
    }
    return true;
}

std::string LoadedBenchFolder() { return State().dir; }

}  // namespace bench
