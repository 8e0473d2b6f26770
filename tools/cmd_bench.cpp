// bench: create and change a bench folder of virtual devices (persist.h).
// These commands work on the folder's files; the devices come alive when a
// library command loads the folder in its own process.
#include <CLI/CLI.hpp>

#include <chrono>
#include <filesystem>
#include <random>

#include "ibutton_bench.h"
#include "persist.h"
#include "tool.h"

namespace tool {
namespace {

namespace fs = std::filesystem;

// Bench layout chosen by `bench init`: the encoder on COM3, the collector on
// COM5, an iButton reader on TMEX port 1.
constexpr int kDefaultEncoderPort = 3;
constexpr int kDefaultCollectorPort = 5;
constexpr int kIButtonPort = 1;
constexpr int kDefaultCards = 3;

std::string FolderOf(const Context &ctx, const std::string &positional) {
    return positional.empty() ? ctx.BenchDir() : positional;
}

bench::BenchManifest ReadManifest(const std::string &dir) {
    bench::BenchManifest m;
    std::string error;
    if (!bench::ReadBenchManifest(dir, &m, &error))
        throw BenchError(error + " (create one with: kestrane bench init " + dir + ")");
    return m;
}

void WriteManifest(const std::string &dir, const bench::BenchManifest &m) {
    std::string error;
    if (!bench::WriteBenchManifest(dir, m, &error)) throw BenchError(error);
}

// Bridge serials go into the registry, which on Windows every program of the
// machine shares: make them unique to this folder.
std::string UniqueSerial(const char *prefix) {
    std::random_device device;
    std::mt19937 random(device() ^ static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char text[32];
    std::snprintf(text, sizeof text, "%s%08X", prefix, static_cast<unsigned>(random()));
    return text;
}

std::string CardType(bench::BenchMedium medium) {
    switch (medium) {
    case bench::BenchMedium::Ic4442: return "sle4442";
    case bench::BenchMedium::Temic: return "temic";
    case bench::BenchMedium::Mifare: return "mifare";
    }
    return "sle4442";
}

const char *CardExtension(const std::string &type) {
    return type == "sle4442" ? ".sle4442" : type == "mifare" ? ".mfd" : ".temic";
}

// A system password card's plain record: the card's password at 10-13, the
// extra byte at 14, the installation's password at 20-23, type 1 at 24; every
// other byte its own offset.
std::vector<uint8_t> SystemPasswordRecord(const std::array<uint8_t, 4> &installation,
                                          const std::array<uint8_t, 4> &carried, uint8_t extra) {
    std::vector<uint8_t> r(48);
    for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < 4; ++i) {
        r[10 + i] = carried[i];
        r[20 + i] = installation[i];
    }
    r[14] = extra;
    r[24] = 1;
    return r;
}

// A factory-prepared blank card number n of the bench's medium; with
// `passwordCard`, a system password card carrying the installation's Pass.
bench::BenchCard MakeCard(const bench::BenchManifest &m, int n, bool passwordCard) {
    const std::array<uint8_t, 4> password = bench::BenchSystemPassword(m.pass);
    const uint8_t low = static_cast<uint8_t>(n), high = static_cast<uint8_t>(n >> 8);
    bench::BenchCard card;
    card.type = CardType(m.medium);
    switch (m.medium) {
    case bench::BenchMedium::Ic4442: {
        bench::IcCardOptions options;
        options.serial = {{0x5A, high, low}};
        card.sle = bench::MakeIcCard(options);
        break;
    }
    case bench::BenchMedium::Mifare:
        card.mifare = bench::MakeFactoryMifareCard({{low, high, 0xC3, 0x5E}}, password, m.sector);
        if (passwordCard) bench::AddMifareSystemPasswordRecord(card.mifare, password, password, 0);
        return card;
    case bench::BenchMedium::Temic:
        card.temic = bench::MakeFactoryTemicCard({{0x7E, 0x01, high, low}}, {{0x3C, low}}, password);
        break;
    }
    if (passwordCard) {
        std::vector<uint8_t> record = SystemPasswordRecord(password, password, 0);
        // A TEMIC card's identity bytes (record bytes 25-26) stay the card's own.
        std::vector<uint8_t> old;
        if (card.type == "temic" && bench::OpenBenchCardRecord(card, m.sector, &old)) {
            record[25] = old[25];
            record[26] = old[26];
        }
        bench::WriteBenchCardRecord(card, m.sector, record);
    }
    return card;
}

bench::BenchCardEntry AddCard(const std::string &dir, bench::BenchManifest &m, const std::string &name,
                              bool passwordCard) {
    const int n = m.nextCard++;
    bench::BenchCardEntry entry;
    entry.name = name.empty() ? "card-" + std::to_string(n) : name;
    if (m.Card(entry.name) != nullptr) throw UsageError("--name: the bench already has a card " + entry.name);
    for (char c : entry.name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            throw UsageError("--name: '" + entry.name + "' may hold only letters, digits, - and _");
    entry.type = CardType(m.medium);
    entry.file = std::string("cards/") + entry.name + CardExtension(entry.type);
    std::string error;
    if (!bench::SaveBenchCard(dir, entry, MakeCard(m, n, passwordCard), &error)) throw BenchError(error);
    m.cards.push_back(entry);
    return entry;
}

Value ManifestReport(const std::string &command, const std::string &dir, const bench::BenchManifest &m) {
    Value r = Value::Object();
    r.Set("command", Value::Text(command));
    r.Set("ok", Value::Bool(true));
    r.Set("folder", Value::Text(dir));
    r.Set("medium", Value::Text(bench::BenchMediumName(m.medium)));
    r.Set("encoder_port", Value::Int(m.encoderPort));
    r.Set("encoder_usb", Value::Bool(!m.encoderBridge.empty()));
    r.Set("pass", Value::Text(m.pass));
    r.Set("sector", Value::Int(m.sector));
    r.Set("inserted", m.inserted.empty() ? Value() : Value::Text(m.inserted));
    r.Set("collector_port", m.collector ? Value::Int(m.collectorPort) : Value());
    r.Set("ibutton_port", m.ibuttonPort > 0 ? Value::Int(m.ibuttonPort) : Value());
    r.Set("windows_family", Value::Text(m.windows9x ? "9x" : "nt"));
    r.Set("config", Value::Text((fs::path(dir) / bench::kBenchConfigFile).string()));
    Value cards = Value::List();
    for (const auto &c : m.cards) {
        Value row = Value::Object();
        row.Set("name", Value::Text(c.name));
        row.Set("type", Value::Text(c.type));
        row.Set("file", Value::Text(c.file));
        row.Set("inserted", Value::Bool(c.name == m.inserted));
        cards.Push(row);
    }
    r.Set("cards", cards);
    return r;
}

struct InitOptions {
    std::string medium = "ic";
    bool collector = false, force = false, noUsb = false, windows9x = false;
    int cards = kDefaultCards, port = kDefaultEncoderPort;
    std::string dir;
};

void RunInit(const Context &ctx, const InitOptions &o) {
    const std::string dir = FolderOf(ctx, o.dir);
    bench::BenchManifest m;
    if (!bench::BenchMediumFromName(o.medium, &m.medium))
        throw UsageError("--medium: '" + o.medium + "' is not one of ic, temic, mifare");
    if (o.cards < 1 || o.cards > 99) throw UsageError("--cards: give 1 to 99 cards");
    if (o.port < 1 || o.port > 255) throw UsageError("--port: a COM port is 1 to 255");
    if (o.collector && o.port == kDefaultCollectorPort)
        throw UsageError("--port: COM" + std::to_string(o.port) + " is the collector's");
    if (fs::exists(fs::path(dir) / bench::kBenchManifestFile) && !o.force)
        throw BenchError(dir + " already holds a bench (use --force to start it afresh)");
    std::error_code ec;
    fs::create_directories(fs::path(dir) / "cards", ec);
    if (ec) throw BenchError("cannot create " + dir + ": " + ec.message());
    m.encoderPort = o.port;
    m.windows9x = o.windows9x;
    // The contact IC encoder hangs on a plain COM port; the contactless
    // encoders sit behind a USB bridge that EncodeInit finds by itself.
    if (m.medium != bench::BenchMedium::Ic4442 && !o.noUsb) m.encoderBridge = UniqueSerial("KE");
    if (o.collector) {
        m.collector = true;
        m.collectorPort = kDefaultCollectorPort;
        m.collectorBridge = UniqueSerial("KC");
    }
    m.ibuttonPort = kIButtonPort;
    const bench::IButtonRom rom = bench::MakeIButtonRom(0x01, 0x00000BEEF001ull);
    m.ibuttonRom = HexBytes(rom.data(), rom.size(), "");
    for (const auto &entry : fs::directory_iterator(fs::path(dir) / "cards", ec)) fs::remove(entry.path(), ec);
    for (int i = 0; i < o.cards; ++i) AddCard(dir, m, "", false);
    m.inserted = m.cards.front().name;
    std::string error;
    if (!bench::WriteBenchConfig(dir, m, &error)) throw BenchError(error);
    if (m.collector && !bench::WriteBenchLog((fs::path(dir) / bench::kBenchLogFile).string(), bench::BenchLog{}, &error))
        throw BenchError(error);
    fs::remove(fs::path(dir) / bench::kBenchRegistryFile, ec);
    WriteManifest(dir, m);
    ctx.Emit(ManifestReport("bench init", dir, m));
}

void RunStatus(const Context &ctx, const std::string &positional) {
    const std::string dir = FolderOf(ctx, positional);
    ctx.Emit(ManifestReport("bench show", dir, ReadManifest(dir)));
}

struct CardOptions {
    std::string name, log;
    bool insert = false, passwordCard = false, data = false;
};

// A data card: the open-door log a lock wrote onto it, kept as text.
bench::BenchCardEntry AddDataCard(const std::string &dir, bench::BenchManifest &m, const std::string &name,
                                  const std::string &logFile) {
    bench::BenchLog log;
    std::string error;
    if (!logFile.empty() && !bench::ReadBenchLog(logFile, &log, &error)) throw UsageError("--log: " + error);
    const int n = m.nextCard++;
    bench::BenchCardEntry entry;
    entry.name = name.empty() ? "data-" + std::to_string(n) : name;
    if (m.Card(entry.name) != nullptr) throw UsageError("--name: the bench already has a card " + entry.name);
    entry.type = "data";
    entry.file = "cards/" + entry.name + ".log";
    if (!bench::WriteBenchLog((fs::path(dir) / entry.file).string(), log, &error)) throw BenchError(error);
    m.cards.push_back(entry);
    return entry;
}

void RunCardNew(const Context &ctx, const CardOptions &o) {
    const std::string dir = ctx.BenchDir();
    bench::BenchManifest m = ReadManifest(dir);
    if (o.data && o.passwordCard) throw UsageError("--data: a card is either a data card or a system password card");
    if (!o.log.empty() && !o.data) throw UsageError("--log: only a data card (--data) carries a log");
    const bench::BenchCardEntry entry = o.data ? AddDataCard(dir, m, o.name, o.log) : AddCard(dir, m, o.name, o.passwordCard);
    if (o.insert) m.inserted = entry.name;
    WriteManifest(dir, m);
    Value r = Value::Object();
    r.Set("command", Value::Text("bench card new"));
    r.Set("ok", Value::Bool(true));
    r.Set("name", Value::Text(entry.name));
    r.Set("type", Value::Text(entry.type));
    r.Set("system_password_card", Value::Bool(o.passwordCard));
    r.Set("inserted", Value::Bool(o.insert));
    ctx.Emit(r);
}

void RunCardInsert(const Context &ctx, const std::string &name, bool remove) {
    const std::string dir = ctx.BenchDir();
    bench::BenchManifest m = ReadManifest(dir);
    if (!remove && m.Card(name) == nullptr) throw UsageError("NAME: the bench has no card " + name);
    const std::string before = m.inserted;
    m.inserted = remove ? "" : name;
    WriteManifest(dir, m);
    Value r = Value::Object();
    r.Set("command", Value::Text(remove ? "bench card remove" : "bench card insert"));
    r.Set("ok", Value::Bool(true));
    r.Set("removed", before.empty() || before == m.inserted ? Value() : Value::Text(before));
    r.Set("inserted", m.inserted.empty() ? Value() : Value::Text(m.inserted));
    ctx.Emit(r);
}

void RunCardList(const Context &ctx) {
    const std::string dir = ctx.BenchDir();
    const bench::BenchManifest m = ReadManifest(dir);
    Value r = Value::Object();
    r.Set("command", Value::Text("bench card list"));
    r.Set("ok", Value::Bool(true));
    r.Set("cards", ManifestReport("", dir, m).Fields().back().second);
    ctx.Emit(r);
}

Value LogRows(const bench::BenchLog &log) {
    Value rows = Value::List();
    for (const auto &s : log.slots) {
        Value row = Value::Object();
        char when[40];
        std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d", 2000 + s[4], s[5] & 0x0F, s[6], s[7], s[8]);
        row.Set("kind", Value::Int(s[5] >> 4));
        row.Set("time", Value::Text(when));
        row.Set("card", Value::Text(HexBytes(s.data(), 4, "")));
        rows.Push(row);
    }
    return rows;
}

std::string Pass(const std::vector<uint8_t> &r) {
    const uint8_t pass[4] = {r[23], r[22], r[21], r[20]};
    return HexBytes(pass, 4, "");
}

// The opened record's fields, by their place on the card.
Value RecordFields(const std::vector<uint8_t> &r, bool opened) {
    Value f = Value::Object();
    f.Set("check_bytes", Value::Text(opened ? "valid" : "INVALID (not a record of this system, or damaged)"));
    if (!opened) return f;
    const int type = r[0] == 0x63 ? 20 : r[24];
    f.Set("kind", Value::Text(CardKindLabel(type) ? CardKindLabel(type) : "unknown"));
    if (type == 20) {  // a cleared card's record holds only its marker and fill
        f.Set("marker", Value::Text("63 (cleared, ready to issue)"));
        return f;
    }
    f.Set("type_code", Value::Int(r[24]));
    char when[64];
    std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d", 2000 + r[0], r[1], r[2], r[3], r[4]);
    f.Set("start", Value::Text(when));
    std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d", 2000 + r[5], r[6], r[7], r[8], r[9]);
    f.Set("end", Value::Text(type == 2 ? "-" : when));
    f.Set("type_data", Value::Text(HexBytes(r.data() + 10, 9)));
    f.Set("option", Value::Int(r[19]));
    f.Set("password", Value::Text(Pass(r)));
    f.Set("seal", Value::Text(HexBytes(r.data() + 25, 3)));
    if (r.size() >= 48) {
        f.Set("extension", Value::Text(HexBytes(r.data() + 32, 12)));
        f.Set("ext_marker", Value::Text(r[45] == 0xF8 ? "F8 (carries data)" : HexBytes(r.data() + 45, 1)));
    }
    return f;
}

void RunCardShow(const Context &ctx, const std::string &nameIn, bool all) {
    const std::string dir = ctx.BenchDir();
    const bench::BenchManifest m = ReadManifest(dir);
    const std::string name = nameIn.empty() ? m.inserted : nameIn;
    if (name.empty()) throw UsageError("NAME: no card is inserted; name one");
    const bench::BenchCardEntry *entry = m.Card(name);
    if (entry == nullptr) throw UsageError("NAME: the bench has no card " + name);
    bench::BenchCard card;
    std::string error;
    if (entry->type == "data") {
        bench::BenchLog log;
        if (!bench::ReadBenchLog((fs::path(dir) / entry->file).string(), &log, &error)) throw BenchError(error);
        Value r = Value::Object();
        r.Set("command", Value::Text("bench card show"));
        r.Set("ok", Value::Bool(true));
        r.Set("name", Value::Text(name));
        r.Set("type", Value::Text("data"));
        r.Set("header", Value::Text(HexBytes(log.header.data(), 3)));
        r.Set("records", LogRows(log));
        ctx.Emit(r);
        return;
    }
    if (!bench::LoadBenchCard(dir, *entry, &card, &error)) throw BenchError(error);
    const std::vector<uint8_t> memory = bench::BenchCardMemory(card);
    std::vector<uint8_t> record;
    const bool opened = bench::OpenBenchCardRecord(card, m.sector, &record);
    const Value fields = RecordFields(record, opened);
    if (ctx.json) {
        Value r = Value::Object();
        r.Set("command", Value::Text("bench card show"));
        r.Set("ok", Value::Bool(true));
        r.Set("name", Value::Text(name));
        r.Set("type", Value::Text(entry->type));
        r.Set("memory", Value::Text(HexBytes(memory.data(), memory.size(), "")));
        r.Set("record", Value::Text(HexBytes(record.data(), record.size(), "")));
        r.Set("decoded", fields);
        ctx.Emit(r);
        return;
    }
    // Hex rows on the left, the decoded record beside them.
    const size_t width = entry->type == "temic" ? 4 : 16;
    std::vector<std::string> right;
    right.push_back("card " + name + " (" + entry->type + (name == m.inserted ? ", inserted)" : ")"));
    right.push_back("");
    right.push_back("record, opened:");
    for (size_t i = 0; i < record.size(); i += 16)
        right.push_back("  " + HexBytes(record.data() + i, std::min<size_t>(16, record.size() - i)));
    right.push_back("");
    for (const auto &f : fields.Fields()) {
        std::string label = f.first;
        std::replace(label.begin(), label.end(), '_', ' ');
        right.push_back(label + ": " + (f.second.type() == Value::Type::Int ? std::to_string(f.second.AsInt())
                                                                               : f.second.AsText()));
    }
    // A Mifare card shows its manufacturer block and the record's sector
    // (its three data blocks and trailer) unless all of it is asked for.
    std::vector<size_t> rows;
    const size_t total = (memory.size() + width - 1) / width;
    if (entry->type == "mifare" && !all) {
        rows.push_back(0);
        for (size_t b = 0; b < 4; ++b) rows.push_back(static_cast<size_t>(m.sector) * 4 + b);
    } else {
        for (size_t row = 0; row < total; ++row) rows.push_back(row);
    }
    const size_t leftWidth = 6 + width * 3;
    for (size_t i = 0; i < std::max(rows.size(), right.size()); ++i) {
        std::string left;
        if (i < rows.size()) {
            const size_t row = rows[i];
            char offset[16];
            std::snprintf(offset, sizeof offset, "%04X: ", static_cast<unsigned>(row * width));
            left = offset + HexBytes(memory.data() + row * width, std::min(width, memory.size() - row * width));
            if (i > 0 && rows[i - 1] + 1 != row) std::cout << std::string(leftWidth, ' ').replace(0, 5, " ...") << "\n";
        }
        left.resize(leftWidth, ' ');
        std::cout << left << "  " << (i < right.size() ? right[i] : std::string()) << "\n";
    }
}

struct LogOptions {
    std::string file, kind, time, card;
};

std::string LogPath(const std::string &dir) { return (fs::path(dir) / bench::kBenchLogFile).string(); }

void RunCollector(const Context &ctx, const std::string &action, const LogOptions &o) {
    const std::string dir = ctx.BenchDir();
    bench::BenchManifest m = ReadManifest(dir);
    if (!m.collector) throw BenchError("the bench at " + dir + " has no collector (bench init --collector)");
    bench::BenchLog log;
    std::string error;
    if (action == "load") {
        if (!bench::ReadBenchLog(o.file, &log, &error)) throw UsageError("FILE: " + error);
    } else if (action == "add") {
        if (!bench::ReadBenchLog(LogPath(dir), &log, &error)) throw BenchError(error);
        const int kind = ParseNumber("--kind", o.kind, 2, 10);
        const CardTime t = ParseTime("--time", o.time, false);
        const std::vector<uint8_t> card = ParseHexBytes("--card", o.card, 4);
        if (card.size() != 4) throw UsageError("--card: give four bytes, e.g. 0A0B0C0D");
        if (log.slots.size() == bench::kLogMaxSlots) throw UsageError("--kind: the log is full (200 records)");
        log.slots.push_back(bench::MakeOpenDoorSlot({card[0], card[1], card[2], card[3]}, t.year - 2000, kind,
                                                    t.month, t.day, t.hour, t.minute));
    } else if (action == "show") {
        if (!bench::ReadBenchLog(LogPath(dir), &log, &error)) throw BenchError(error);
    }  // clear: an empty log
    if (action != "show" && !bench::WriteBenchLog(LogPath(dir), log, &error)) throw BenchError(error);
    const Value rows = LogRows(log);
    Value r = Value::Object();
    r.Set("command", Value::Text("bench collector " + action));
    r.Set("ok", Value::Bool(true));
    r.Set("count", Value::Int(static_cast<int64_t>(log.slots.size())));
    r.Set("clock", m.collectorClock.empty() ? Value() : Value::Text(m.collectorClock));
    r.Set("room", m.collectorRoom.empty() ? Value() : Value::Text(m.collectorRoom));
    r.Set("records", rows);
    ctx.Emit(r);
}

}  // namespace

void AddBenchCommands(CLI::App &app, std::shared_ptr<Context> ctx) {
    CLI::App *benchCmd = app.add_subcommand("bench", "create and change a bench folder of virtual devices");
    benchCmd->require_subcommand(1);

    auto init = std::make_shared<InitOptions>();
    CLI::App *initCmd = benchCmd->add_subcommand("init", "create a bench folder: encoder, blank cards, config.ini");
    initCmd->add_option("--medium", init->medium, "ic, temic or mifare (default ic)");
    initCmd->add_flag("--collector", init->collector, "add a hand-held collector on COM5 (USB)");
    initCmd->add_option("--cards", init->cards, "number of blank cards (default 3; the first is inserted)");
    initCmd->add_option("--port", init->port, "the encoder's COM port (default 3)");
    initCmd->add_flag("--no-usb", init->noUsb, "TEMIC/Mifare: no USB bridge in front of the encoder");
    initCmd->add_flag("--force", init->force, "start an existing bench folder afresh");
    initCmd->add_flag("--windows9x", init->windows9x,
                      "natively: report the Windows 9x family, so port discovery reads the Enum\\SLABCR keys");
    initCmd->add_option("DIR", init->dir, "the folder (default: --bench, $KESTRANE_BENCH or ./kestrane-bench)");
    initCmd->callback([ctx, init] { RunInit(*ctx, *init); });

    auto showDir = std::make_shared<std::string>();
    CLI::App *status = benchCmd->add_subcommand("show", "what the bench folder holds");
    status->add_option("DIR", *showDir, "the folder");
    status->callback([ctx, showDir] { RunStatus(*ctx, *showDir); });

    CLI::App *card = benchCmd->add_subcommand("card", "the bench's cards");
    card->require_subcommand(1);
    auto cardOptions = std::make_shared<CardOptions>();
    CLI::App *cardNew = card->add_subcommand("new", "make a factory-prepared blank card");
    cardNew->add_option("--name", cardOptions->name, "its name (default card-N)");
    cardNew->add_flag("--insert", cardOptions->insert, "put it in the encoder");
    cardNew->add_flag("--system-password", cardOptions->passwordCard,
                      "make a system password card carrying the bench's Pass");
    cardNew->add_flag("--data", cardOptions->data, "make a data card (an open-door log a lock wrote)");
    cardNew->add_option("--log", cardOptions->log, "the data card's log, in the collector.log format");
    cardNew->callback([ctx, cardOptions] { RunCardNew(*ctx, *cardOptions); });
    auto cardName = std::make_shared<std::string>();
    CLI::App *insert = card->add_subcommand("insert", "put a card in the encoder (the one there comes out)");
    insert->add_option("NAME", *cardName, "the card")->required();
    insert->callback([ctx, cardName] { RunCardInsert(*ctx, *cardName, false); });
    card->add_subcommand("remove", "take the card out of the encoder")->callback([ctx] {
        RunCardInsert(*ctx, "", true);
    });
    card->add_subcommand("list", "the bench's cards")->callback([ctx] { RunCardList(*ctx); });
    auto showName = std::make_shared<std::string>();
    auto showAll = std::make_shared<bool>(false);
    CLI::App *show = card->add_subcommand("show", "a card's memory as hex, with its record decoded beside it");
    show->add_option("NAME", *showName, "the card (default: the inserted one)");
    show->add_flag("--all", *showAll, "Mifare: every block, not only block 0 and the record's sector");
    show->callback([ctx, showName, showAll] { RunCardShow(*ctx, *showName, *showAll); });

    CLI::App *collector = benchCmd->add_subcommand("collector", "the hand-held collector's open-door log");
    collector->require_subcommand(1);
    auto log = std::make_shared<LogOptions>();
    CLI::App *load = collector->add_subcommand("load", "replace the log with a log file");
    load->add_option("FILE", log->file, "lines 'header B B B' and 'record KIND YYYY-MM-DD HH:MM CARDHEX'")->required();
    load->callback([ctx, log] { RunCollector(*ctx, "load", *log); });
    CLI::App *add = collector->add_subcommand("add", "append one open-door record");
    add->add_option("--kind", log->kind, "record kind 2-10")->required();
    add->add_option("--time", log->time, "YYYY-MM-DD HH:MM")->required();
    add->add_option("--card", log->card, "four card bytes in hex")->required();
    add->callback([ctx, log] { RunCollector(*ctx, "add", *log); });
    collector->add_subcommand("clear", "empty the log")->callback([ctx, log] { RunCollector(*ctx, "clear", *log); });
    collector->add_subcommand("show", "the log, and what the collector was told")->callback([ctx, log] {
        RunCollector(*ctx, "show", *log);
    });
}

}  // namespace tool
