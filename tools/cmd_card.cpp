// issue, read, clear, password: the card commands.
#include <CLI/CLI.hpp>

#include <array>
#include <cstring>

#include "kestrane.h"
#include "tool.h"

namespace tool {
namespace {

using MakeFn = int16_t(KS_STDCALL *)(KS_CARD_FAMILY_ARGS);

// Which arguments of the card family a kind takes (as named options).
enum Field : unsigned {
    kPeriod = 1u << 0,      // --start, --end
    kClock = 1u << 1,       // --time with seconds (time card)
    kRooms = 1u << 2,       // WideList[0..3], 16-bit
    kExtValues = 1u << 3,   // WideList[4..7], 16-bit, extension block
    kExtBytes = 1u << 4,    // WideList[8..11], bytes, extension block
    kNumber = 1u << 5,      // Number (card byte 10)
    kFloors = 1u << 6,      // ListA[0..3]
    kDistricts = 1u << 7,   // ListB[0..3]
    kBuildings = 1u << 8,   // ListA[0..3]
    kListC = 1u << 9,       // ListC[0..3], bytes
    kListCDecimal = 1u << 10,  // ListC[0..3] as packed decimal: 0..99
    kInstall = 1u << 11,    // --room (WideList[0]), --list-a, --list-b, --lock
    kLost = 1u << 12,       // --lost-type (TypeCode[0]), --values (WideList[0..3])
};

struct KindInfo {
    const char *name;
    int typeCode;
    MakeFn make;
    const char *exportName;
    unsigned fields;
    const char *help;
};

const KindInfo kKinds[] = {
    {"guest", 4, MakeGuestCard, "MakeGuestCard", kPeriod | kRooms | kExtValues | kExtBytes,
     "guest card: up to four rooms, a stay from --start to --end"},
    {"time", 2, MakeTimeCard, "MakeTimeCard", kClock, "time card: sets the locks' clock to --time"},
    {"emergency", 3, MakeEmergentCard, "MakeEmergentCard", kPeriod, "emergency card"},
    {"floor", 5, MakeFloorCard, "MakeFloorCard", kPeriod | kNumber | kFloors | kListC | kExtBytes,
     "floor card: up to four floors"},
    {"clean-district", 6, MakeCleanDistrictCard, "MakeCleanDistrictCard", kPeriod | kDistricts | kListC | kExtBytes,
     "clean-district card: up to four cleaning districts"},
    {"building", 8, MakeBuildingCard, "MakeBuildingCard",
     kPeriod | kBuildings | kListC | kListCDecimal | kExtValues | kExtBytes, "building card: up to four buildings"},
    {"long-open", 9, MakeLongOpenCard, "MakeLongOpenCard", kPeriod | kExtBytes, "long-open card"},
    {"chief", 10, MakeChiefCard, "MakeChiefCard", kPeriod, "chief card"},
    {"install", 11, MakeInstallCard, "MakeInstallCard", kPeriod | kNumber | kInstall | kExtBytes,
     "install card: sets up a lock"},
    {"lost", 12, MakeLostCard, "MakeLostCard", kPeriod | kLost, "lost card: bars a lost card"},
    {"data", 14, MakeDataCard, "MakeDataCard", kPeriod, "data card: collects a lock's open-door records"},
    {"guest-leave", 15, MakeGuestLeaveCard, "MakeGuestLeaveCard", kPeriod, "guest-leave card"},
};

// The options of one `issue <kind>` as typed.
struct IssueOptions {
    std::string start, end, time;
    bool option = false;
    std::string rooms, extValues, extBytes, number, floors, districts, buildings, listC;
    std::string room, listA, listB, lock, lostType, values;
};

// The 11 arguments, as arrays that outlive the call.
struct CardArgs {
    std::array<int16_t, 8> serial{};
    int32_t number = 0;
    std::array<int16_t, 4> listA{}, listB{}, listC{};
    std::array<int16_t, 12> wide{};
    int32_t option = 0;
    std::array<int16_t, 1> typeCode{};
    std::array<int16_t, 6> start{}, end{};
};

void PutTime(std::array<int16_t, 6> &out, const CardTime &t) {
    out = {static_cast<int16_t>(t.year), static_cast<int16_t>(t.month), static_cast<int16_t>(t.day),
           static_cast<int16_t>(t.hour), static_cast<int16_t>(t.minute), static_cast<int16_t>(t.second)};
}

template <size_t N>
void PutList(std::array<int16_t, N> &out, size_t at, const std::vector<int> &values) {
    for (size_t i = 0; i < values.size() && at + i < N; ++i) out[at + i] = static_cast<int16_t>(values[i]);
}

constexpr int kWideMax = 32767;
constexpr int kMifareLockType = 5;
constexpr size_t kFirstExtensionElement = 4;  // WideList[4..11] travel in the extension block  // 16-bit card values split into two bytes

// Checks every option of `kind` and builds the arguments; throws UsageError
// naming the first bad option.
CardArgs BuildArgs(const KindInfo &kind, const IssueOptions &o, Value &report) {
    CardArgs a;
    if (kind.fields & kClock) {
        const CardTime t = o.time.empty() ? NowTime() : ParseTime("--time", o.time, true);
        PutTime(a.start, t);
        report.Set("time", Value::Text(FormatTime(t, true)));
    }
    if (kind.fields & kPeriod) {
        const CardTime start = o.start.empty() ? NowTime() : ParseTime("--start", o.start, false);
        const CardTime end = o.end.empty() ? AddDays(start, 1) : ParseTime("--end", o.end, false);
        CardTime s0 = start, e0 = end;
        s0.second = e0.second = 0;
        if (Before(e0, s0)) throw UsageError("--end: " + FormatTime(end, false) + " is before the start " + FormatTime(start, false));
        if (e0.year > kLastYear) throw UsageError("--end: the year must not pass " + std::to_string(kLastYear));
        PutTime(a.start, s0);
        PutTime(a.end, e0);
        report.Set("start", Value::Text(FormatTime(start, false)));
        report.Set("end", Value::Text(FormatTime(end, false)));
    }
    if (kind.fields & (kPeriod | kClock)) {
        a.option = o.option ? 1 : 0;
        report.Set("option", Value::Bool(o.option));
    }
    auto list = [&](const std::string &text, const char *opt, size_t n, int hi, const char *key) {
        const std::vector<int> v = text.empty() ? std::vector<int>(n, 0) : ParseNumberList(opt, text, n, 0, hi);
        report.Set(key, Value::IntList(v));
        return v;
    };
    if (kind.fields & kRooms) {
        if (o.rooms.empty()) throw UsageError("--rooms: a guest card needs at least one room");
        PutList(a.wide, 0, list(o.rooms, "--rooms", 4, kWideMax, "rooms"));
    }
    if (kind.fields & kExtValues) PutList(a.wide, 4, list(o.extValues, "--ext-values", 4, kWideMax, "ext_values"));
    if (kind.fields & kExtBytes) PutList(a.wide, 8, list(o.extBytes, "--ext-bytes", 4, 255, "ext_bytes"));
    if (kind.fields & kNumber) {
        a.number = o.number.empty() ? 0 : ParseNumber("--number", o.number, 0, 255);
        report.Set("number", Value::Int(a.number));
    }
    if (kind.fields & kFloors) {
        if (o.floors.empty()) throw UsageError("--floors: a floor card needs at least one floor");
        PutList(a.listA, 0, list(o.floors, "--floors", 4, 255, "floors"));
    }
    if (kind.fields & kDistricts) {
        if (o.districts.empty()) throw UsageError("--districts: a clean-district card needs at least one district");
        PutList(a.listB, 0, list(o.districts, "--districts", 4, 255, "districts"));
    }
    if (kind.fields & kBuildings) {
        if (o.buildings.empty()) throw UsageError("--buildings: a building card needs at least one building");
        PutList(a.listA, 0, list(o.buildings, "--buildings", 4, 255, "buildings"));
    }
    if (kind.fields & kListC)
        PutList(a.listC, 0, list(o.listC, "--list-c", 4, (kind.fields & kListCDecimal) ? 99 : 255, "list_c"));
    if (kind.fields & kInstall) {
        const int room = o.room.empty() ? 0 : ParseNumber("--room", o.room, 0, kWideMax);
        const int listA = o.listA.empty() ? 0 : ParseNumber("--list-a", o.listA, 0, 255);
        const int listB = o.listB.empty() ? 0 : ParseNumber("--list-b", o.listB, 0, 255);
        a.wide[0] = static_cast<int16_t>(room);
        a.listA[0] = static_cast<int16_t>(listA);
        a.listB[0] = static_cast<int16_t>(listB);
        report.Set("room", Value::Int(room));
        report.Set("list_a", Value::Int(listA));
        report.Set("list_b", Value::Int(listB));
        if (!o.lock.empty()) {
            // The lock number travels in the first extension byte; a reader
            // turns it into a one-bit mask when the card names no room.
            if (!o.extBytes.empty()) throw UsageError("--lock: give either --lock or --ext-bytes, not both");
            const int lock = ParseNumber("--lock", o.lock, 1, 32);
            a.wide[8] = static_cast<int16_t>(lock);
            report.Set("lock", Value::Int(lock));
            report.Set("ext_bytes", Value::IntList(std::vector<int>{lock, 0, 0, 0}));
        }
    }
    if (kind.fields & kLost) {
        const int lostType = o.lostType.empty() ? 0 : ParseNumber("--lost-type", o.lostType, 0, 255);
        a.typeCode[0] = static_cast<int16_t>(lostType);
        report.Set("lost_type", Value::Int(lostType));
        if (!o.values.empty()) {
            // Only a lost type above 15 carries the four values onto the card.
            if (lostType <= 15) throw UsageError("--values: the card carries them only with a --lost-type above 15");
            PutList(a.wide, 0, list(o.values, "--values", 4, 255, "values"));
        }
    }
    return a;
}

std::string SerialHex(const int16_t *serial, size_t n) {
    uint8_t bytes[8];
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(serial[i]);
    return HexBytes(bytes, n, "");
}

void RunIssue(const Context &ctx, const KindInfo &kind, const IssueOptions &o) {
    Value report = Value::Object();
    report.Set("command", Value::Text("issue"));
    report.Set("kind", Value::Text(kind.name));
    report.Set("type_code", Value::Int(kind.typeCode));
    CardArgs a = BuildArgs(kind, o, report);  // all checks before the library sees anything
    PublishBenchFolder(ctx);
    EncoderSession encoder(ctx);
    const std::string label = std::string(kind.name) + " card";
    ctx.Waiting("issuing a " + label + " on the " + encoder.Describe() + "; waiting for the card");
    const int16_t result = kind.make(a.serial.data(), 0, a.number, a.listA.data(), a.listB.data(), a.wide.data(),
                                     a.option, a.typeCode.data(), a.listC.data(), a.start.data(), a.end.data());
    Check(kind.exportName, result, "issuing a " + label);
    // Only Mifare cards have room for the extension block.
    const bool hasExtension = (kind.fields & (kExtValues | kExtBytes)) != 0;
    bool extension = false;
    for (size_t i = kFirstExtensionElement; i < a.wide.size(); ++i) extension = extension || a.wide[i] != 0;
    if (hasExtension && extension && encoder.lockType() != kMifareLockType)
        ctx.Note("this medium has no extension block: --ext-values, --ext-bytes and --lock are not on the card");
    report.Set("ok", Value::Bool(true));
    report.Set("serial", Value::Text(SerialHex(a.serial.data(), 4)));
    report.Set("encoder_port", Value::Int(encoder.port()));
    ctx.Emit(report);
}

std::string TimeText(const int16_t *t, bool withSeconds) {
    CardTime c;
    c.year = t[0];
    c.month = t[1];
    c.day = t[2];
    c.hour = t[3];
    c.minute = t[4];
    c.second = withSeconds ? t[5] : 0;
    return FormatTime(c, withSeconds);
}

// ReadCard's outputs turned into the fields the issuing options name.
void RunRead(const Context &ctx) {
    PublishBenchFolder(ctx);
    EncoderSession encoder(ctx);
    std::array<int16_t, 8> serial{};
    std::array<int16_t, 1> number{}, option{}, typeCode{};
    std::array<int16_t, 4> listA{}, listB{}, listC{};
    std::array<int16_t, 12> wide{};
    std::array<int16_t, 6> start{}, end{};
    ctx.Waiting("reading the card on the " + encoder.Describe());
    Check("ReadCard",
          ReadCard(serial.data(), 0, number.data(), listA.data(), listB.data(), wide.data(), option.data(),
                   typeCode.data(), listC.data(), start.data(), end.data()),
          "reading the card");
    const int code = typeCode[0];
    Value r = Value::Object();
    r.Set("command", Value::Text("read"));
    r.Set("ok", Value::Bool(true));
    r.Set("kind", CardKindName(code) ? Value::Text(CardKindName(code)) : Value());
    r.Set("kind_label", Value::Text(CardKindLabel(code) ? CardKindLabel(code) : "unknown card"));
    r.Set("type_code", Value::Int(code));
    r.Set("serial", Value::Text(SerialHex(serial.data(), 4)));
    auto ints = [](const int16_t *v, size_t n) { return Value::IntList(std::vector<int16_t>(v, v + n)); };
    if (code == 20) {  // a cleared card carries nothing else
        ctx.Emit(r);
        return;
    }
    if (code == 2) {
        r.Set("time", Value::Text(TimeText(start.data(), true)));
    } else {
        r.Set("start", Value::Text(TimeText(start.data(), false)));
        r.Set("end", Value::Text(TimeText(end.data(), false)));
    }
    r.Set("option", Value::Bool(option[0] != 0));
    switch (code) {
    case 4:
        r.Set("rooms", ints(wide.data(), 4));
        r.Set("ext_values", ints(wide.data() + 4, 4));
        break;
    case 5:
        r.Set("number", Value::Int(number[0]));
        r.Set("floors", ints(listA.data(), 4));
        break;
    case 6: r.Set("districts", ints(listB.data(), 4)); break;
    case 8: r.Set("buildings", ints(listA.data(), 4)); break;
    case 11:
        r.Set("number", Value::Int(number[0]));
        r.Set("room", Value::Int(wide[0]));
        r.Set("list_a", Value::Int(listA[0]));
        r.Set("list_b", Value::Int(listB[0]));
        break;
    default: break;
    }
    // Extension bytes come back for every kind (zeros when the card has none).
    r.Set("ext_bytes", ints(wide.data() + 8, 4));
    ctx.Emit(r);
}

void RunClear(const Context &ctx) {
    PublishBenchFolder(ctx);
    EncoderSession encoder(ctx);
    std::array<int16_t, 8> serial{};
    ctx.Waiting("clearing the card on the " + encoder.Describe());
    Check("ClearCardData", ClearCardData(serial.data()), "clearing the card");
    Value r = Value::Object();
    r.Set("command", Value::Text("clear"));
    r.Set("ok", Value::Bool(true));
    // The TEMIC driver reports no serial when clearing.
    r.Set("serial", encoder.lockType() == 3 ? Value() : Value::Text(SerialHex(serial.data(), 4)));
    ctx.Emit(r);
}

void RunPassword(const Context &ctx) {
    PublishBenchFolder(ctx);
    EncoderSession encoder(ctx);
    std::array<int16_t, 5> out{};
    ctx.Waiting("reading the system password card on the " + encoder.Describe());
    Check("ReadSystemPas", ReadSystemPas(out.data()), "reading the system password card");
    // The INI's Pass text lists the password bytes from last to first.
    const uint8_t pass[4] = {static_cast<uint8_t>(out[3]), static_cast<uint8_t>(out[2]),
                             static_cast<uint8_t>(out[1]), static_cast<uint8_t>(out[0])};
    Value r = Value::Object();
    r.Set("command", Value::Text("password"));
    r.Set("ok", Value::Bool(true));
    r.Set("pass", Value::Text(HexBytes(pass, 4, "")));
    r.Set("password_bytes", Value::IntList(std::vector<int16_t>(out.begin(), out.begin() + 4)));
    r.Set("extra_byte", Value::Int(out[4]));
    ctx.Emit(r);
}

}  // namespace

void AddCardCommands(CLI::App &app, std::shared_ptr<Context> ctx) {
    CLI::App *issue = app.add_subcommand("issue", "issue a card of one of the twelve kinds");
    issue->require_subcommand(1);
    for (const KindInfo &kind : kKinds) {
        auto o = std::make_shared<IssueOptions>();
        CLI::App *sub = issue->add_subcommand(kind.name, kind.help);
        if (kind.fields & kClock)
            sub->add_option("--time", o->time, "the clock to set, YYYY-MM-DD HH:MM:SS (default: now)");
        if (kind.fields & kPeriod) {
            sub->add_option("--start", o->start, "valid from, YYYY-MM-DD HH:MM (default: now)");
            sub->add_option("--end", o->end, "valid until, YYYY-MM-DD HH:MM (default: a day after the start)");
        }
        sub->add_flag("--option", o->option, "set the card's option flag");
        if (kind.fields & kRooms) sub->add_option("--rooms", o->rooms, "one to four room numbers (0-32767), e.g. 101,102");
        if (kind.fields & kExtValues)
            sub->add_option("--ext-values", o->extValues, "up to four 16-bit extension values (Mifare cards only)");
        if (kind.fields & kExtBytes)
            sub->add_option("--ext-bytes", o->extBytes, "up to four extension bytes 0-255 (Mifare cards only)");
        if (kind.fields & kNumber) sub->add_option("--number", o->number, "the card's number byte (0-255)");
        if (kind.fields & kFloors) sub->add_option("--floors", o->floors, "one to four floors (0-255)");
        if (kind.fields & kDistricts) sub->add_option("--districts", o->districts, "one to four districts (0-255)");
        if (kind.fields & kBuildings) sub->add_option("--buildings", o->buildings, "one to four buildings (0-255)");
        if (kind.fields & kListC)
            sub->add_option("--list-c", o->listC,
                            (kind.fields & kListCDecimal) ? "four further values 0-99 (stored as packed decimal)"
                                                           : "four further bytes 0-255");
        if (kind.fields & kInstall) {
            sub->add_option("--room", o->room, "room number (0-32767)");
            sub->add_option("--list-a", o->listA, "first list byte (0-255)");
            sub->add_option("--list-b", o->listB, "second list byte (0-255)");
            sub->add_option("--lock", o->lock, "lock number 1-32 (first extension byte; Mifare cards only)");
        }
        if (kind.fields & kLost) {
            sub->add_option("--lost-type", o->lostType, "lost type byte (0-255)");
            sub->add_option("--values", o->values, "four bytes carried when --lost-type is above 15");
        }
        const KindInfo *info = &kind;
        sub->callback([ctx, info, o] { RunIssue(*ctx, *info, *o); });
    }
    app.add_subcommand("read", "read and decode the card on the encoder")->callback([ctx] { RunRead(*ctx); });
    app.add_subcommand("clear", "clear the card on the encoder so it can be issued again")->callback([ctx] {
        RunClear(*ctx);
    });
    app.add_subcommand("password", "read a system password card (the installation's Pass)")->callback([ctx] {
        RunPassword(*ctx);
    });
}

}  // namespace tool
