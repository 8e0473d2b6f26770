// serial, des, ports: commands that need no EncodeInit.
#include <CLI/CLI.hpp>

#include <array>
#include <cctype>
#include <cstring>

#include "kestrane.h"
#ifndef KESTRANE_TOOL_NO_PORTS
#include "media/vendor/cp2101.h"
#endif
#include "platform/platform.h"
#include "result_codes.h"
#include "tool.h"

namespace tool {
namespace {

std::string Hex16(const int16_t *v, size_t n) {
    uint8_t bytes[8];
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(v[i]);
    return HexBytes(bytes, n, "");
}

void RunSerial(const Context &ctx, bool ibutton, const std::string &portText) {
    const int port = ParseNumber("--port", portText, ibutton ? 0 : 1, ibutton ? 15 : 255);
    std::array<int16_t, 8> values{};
    values[0] = static_cast<int16_t>(port);
    PublishBenchFolder(ctx);
    Value r = Value::Object();
    if (ibutton) {
        ctx.Waiting("reading the iButton on TMEX port " + std::to_string(port) + " (up to ten attempts)");
        Check("TM_ReadSn", TM_ReadSn(values.data()), "reading the iButton's ROM ID");
        r.Set("command", Value::Text("serial ibutton"));
        r.Set("ok", Value::Bool(true));
        r.Set("rom_id", Value::Text(Hex16(values.data(), 8)));
        r.Set("family", Value::Int(values[0]));
        r.Set("serial", Value::Text(Hex16(values.data() + 1, 6)));
        r.Set("crc", Value::Int(values[7]));
    } else {
        ctx.Waiting("reading the Mifare card on the reader at COM" + std::to_string(port));
        Check("M1_ReadSn", M1_ReadSn(values.data()), "reading the Mifare card's serial");
        r.Set("command", Value::Text("serial mifare"));
        r.Set("ok", Value::Bool(true));
        r.Set("serial", Value::Text(Hex16(values.data(), 4)));
    }
    ctx.Emit(r);
}

// The library enciphers whole 8-byte blocks and hands back only `length`
// bytes, so a length that is not a multiple of 8 loses the rest of its last
// block: such output cannot be deciphered again.
constexpr size_t kDesBlock = 8;
constexpr size_t kDesMaxLength = 255;

void RunDes(const Context &ctx, bool decrypt, const std::string &hex) {
    const std::vector<uint8_t> data = ParseHexBytes("HEX", hex, kDesMaxLength);
    if (data.size() % kDesBlock != 0)
        ctx.Note(std::to_string(data.size()) +
                 " bytes is not a multiple of 8: the last block is cut, so this result does not round-trip");
    std::vector<int16_t> values(data.begin(), data.end());
    values.resize(std::max<size_t>(values.size(), 1));
    Check("Des2", Des2(values.data(), static_cast<int32_t>(data.size()), decrypt ? 1 : 0),
          decrypt ? "deciphering" : "enciphering");
    std::vector<uint8_t> out(data.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(values[i]);
    Value r = Value::Object();
    r.Set("command", Value::Text(decrypt ? "des decrypt" : "des encrypt"));
    r.Set("ok", Value::Bool(true));
    r.Set("input", Value::Text(HexBytes(data.data(), data.size(), "")));
    r.Set("output", Value::Text(HexBytes(out.data(), out.size(), "")));
    ctx.Emit(r);
}

// ---- ports ----------------------------------------------------------------
#ifndef KESTRANE_TOOL_NO_PORTS
// The library exports no discovery function, so the tool asks the bridges
// itself, with the same CP2101 calls and registry lookups the library makes
// (one pass instead of one per device kind) and reports every bridge, known
// or not, with the COM port the registry gives it.

struct KnownDevice {
    int kind;
    const char *product;
};
// Searched in this order; the first match is the device EncodeInit and the
// collector functions would find.
const KnownDevice kKnownDevices[] = {
    {0, "USB Data Pick Device"},     {3, "IC Card Lock Device"},     {4, "IC Card Tools Device"},
    {5, "TM Card Lock Device"},      {6, "TM Card Tools Device"},    {7, "TEMIC Card Lock Device"},
    {8, "TEMIC Card Tools Device"},  {9, "Mifare Card Lock Device"}, {10, "Mifare Card Tools Device"},
};
constexpr int32_t kCpOk = 0;
constexpr size_t kTextBuffer = 256;
constexpr size_t kRegValueBuffer = 100;

bool SameIgnoringCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

int KindOf(const std::string &product) {
    for (const KnownDevice &d : kKnownDevices)
        if (SameIgnoringCase(product, d.product)) return d.kind;
    return -1;
}

// "COM12" -> 12, as the library converts it: the first three characters are
// skipped and the digits after them read.
int PortFromName(const char *name) {
    int port = 0;
    const size_t n = std::strlen(name);
    for (size_t i = 3; i < n && std::isdigit(static_cast<unsigned char>(name[i])); ++i) port = port * 10 + (name[i] - '0');
    return n > 3 ? port : -1;
}

int QueryPort(platform::RegKey key, const char *value) {
    char name[kRegValueBuffer] = {};
    uint32_t size = sizeof name - 1;
    if (platform::RegQueryValue(key, value, reinterpret_cast<uint8_t *>(name), &size) != platform::kRegOk) return -1;
    return PortFromName(name);
}

int LookUpNt(uint16_t vid, uint16_t pid, std::string serial) {
    for (char &c : serial)
        if (c == ' ') c = '_';
    char path[600];
    std::snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%04x&Pid_%04x&Mi_00\\%s_00\\Device Parameters",
                  vid, pid, serial.c_str());
    platform::RegKey key = 0;
    if (platform::RegOpenKeyForRead(platform::LocalMachineKey(), path, &key) != platform::kRegOk) return -1;
    const int port = QueryPort(key, "PortName");
    platform::RegCloseKeyHandle(key);
    return port;
}

int LookUp9x(uint16_t vid, uint16_t pid, std::string serial) {
    for (char &c : serial) c = c == ' ' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    char identity[600];
    std::snprintf(identity, sizeof identity, "USB\\VID_%04X&PID_%04X&MI_00\\%s_00", vid, pid, serial.c_str());
    int port = -1;
    for (int index = 0; index < 10000; ++index) {
        char path[64];
        std::snprintf(path, sizeof path, "Enum\\SLABCR\\guid\\%.4d", index);
        platform::RegKey key = 0;
        if (platform::RegOpenKeyPlain(platform::LocalMachineKey(), path, &key) != platform::kRegOk) break;
        std::vector<char> value(1024, '\0');
        uint32_t size = static_cast<uint32_t>(value.size() - 1);
        if (platform::RegQueryValue(key, "CRLowerDeviceID", reinterpret_cast<uint8_t *>(value.data()), &size) ==
                platform::kRegOk &&
            SameIgnoringCase(value.data(), identity)) {
            const int found = QueryPort(key, "Portname");
            if (found >= 0) port = found;  // a later match replaces an earlier one, as in the library
        }
        platform::RegCloseKeyHandle(key);
    }
    return port;
}

std::string BridgeText(int32_t(KS_VENDOR_CALL *read)(void *, char *, uint8_t *, int32_t), void *handle, bool *ok) {
    char text[kTextBuffer] = {};
    uint8_t length = 0;
    *ok = read(handle, text, &length, 1) == kCpOk;
    return *ok ? std::string(text, std::min<size_t>(length, kTextBuffer - 1)) : std::string();
}

void RunPorts(const Context &ctx) {
    PublishBenchFolder(ctx);
    // Bridges first, then the Windows family, in the library's order (on the
    // bench the first vendor call is also what loads the folder).
    uint32_t count = 0;
    CP2101_GetNumDevices(&count);
    const bool nt = platform::WindowsPlatformId() == platform::kPlatformWinNt;
    Value rows = Value::List();
    struct Seen {
        int kind, port;
        std::string product;
    };
    std::vector<Seen> seen;  // bridges whose product string was read, in the library's order
    for (uint32_t index = 0; index < count && index < 64; ++index) {
        Value row = Value::Object();
        row.Set("index", Value::Int(index));
        void *handle = nullptr;
        if (CP2101_Open(index, &handle) != kCpOk) {
            row.Set("product", Value::Text("(bridge did not open)"));
            rows.Push(row);
            continue;
        }
        bool productOk = false, serialOk = false;
        const std::string product = BridgeText(CP2101_GetDeviceProductString, handle, &productOk);
        const std::string serial = BridgeText(CP2101_GetDeviceSerialNumber, handle, &serialOk);
        uint16_t vid = 0, pid = 0;
        const bool idsOk = CP2101_GetDeviceVid(handle, &vid) == kCpOk && CP2101_GetDevicePid(handle, &pid) == kCpOk;
        CP2101_Close(handle);
        const int kind = productOk ? KindOf(product) : -1;
        const int port = (serialOk && idsOk) ? (nt ? LookUpNt(vid, pid, serial) : LookUp9x(vid, pid, serial)) : -1;
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04X:%04X", vid, pid);
        row.Set("product", Value::Text(productOk ? product : "(unreadable)"));
        row.Set("kind", kind >= 0 ? Value::Int(kind) : Value());
        row.Set("serial", Value::Text(serial));
        row.Set("usb_id", Value::Text(ids));
        row.Set("com_port", port >= 0 ? Value::Int(port) : Value());
        if (kind >= 0 && serialOk && idsOk) seen.push_back(Seen{kind, port, product});
        rows.Push(row);
    }
    Value r = Value::Object();
    r.Set("command", Value::Text("ports"));
    r.Set("ok", Value::Bool(true));
    r.Set("registry", Value::Text(nt ? "NT (Enum\\USB)" : "Windows 9x (Enum\\SLABCR)"));
    r.Set("bridges", Value::Int(count));
    // What the library's discovery settles on: kinds in table order, for each
    // the first bridge of that product; that bridge's port, if it has one.
    const Seen *chosen = nullptr;
    for (const KnownDevice &d : kKnownDevices) {
        for (const Seen &s : seen) {
            if (s.kind != d.kind) continue;
            if (s.port >= 0) chosen = &s;
            break;
        }
        if (chosen != nullptr) break;
    }
    if (chosen != nullptr) {
        r.Set("discovered", Value::Text(chosen->product + " on COM" + std::to_string(chosen->port)));
        r.Set("discovered_kind", Value::Int(chosen->kind));
        r.Set("discovered_port", Value::Int(chosen->port));
    } else {
        r.Set("discovered", Value::Text("no known device"));
    }
    r.Set("devices", rows);
    ctx.Emit(r);
}
#else
// The 64-bit tool runs the library in its 32-bit host process; the USB
// bridges' library is 32-bit too and cannot be called from here.
void RunPorts(const Context &) {
    throw UsageError("ports needs the 32-bit kestrane.exe: the USB bridge library is 32-bit");
}
#endif

void RunCodes(const Context &ctx) {
    size_t count = 0;
    const ResultCodeInfo *table = ResultTable(&count);
    Value rows = Value::List();
    for (size_t i = 0; i < count; ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(static_cast<uint16_t>(table[i].code)));
        Value row = Value::Object();
        row.Set("hex", Value::Text(hex));
        row.Set("code", Value::Int(table[i].code));
        row.Set("name", Value::Text(table[i].name));
        row.Set("meaning", Value::Text(table[i].meaning));
        rows.Push(row);
    }
    Value r = Value::Object();
    r.Set("command", Value::Text("codes"));
    r.Set("ok", Value::Bool(true));
    r.Set("codes", rows);
    ctx.Emit(r);
}

}  // namespace

void AddUtilityCommands(CLI::App &app, std::shared_ptr<Context> ctx) {
    CLI::App *serial = app.add_subcommand("serial", "read a Mifare card's or an iButton's serial number");
    serial->require_subcommand(1);
    for (bool ibutton : {false, true}) {
        auto port = std::make_shared<std::string>();
        CLI::App *sub = serial->add_subcommand(ibutton ? "ibutton" : "mifare",
                                               ibutton ? "ROM ID of the iButton at a TMEX port"
                                                       : "serial of the Mifare card on the reader at a COM port");
        sub->add_option("--port", *port, ibutton ? "TMEX port number" : "COM port number (COM3: 3)")->required();
        sub->callback([ctx, ibutton, port] { RunSerial(*ctx, ibutton, *port); });
    }
    CLI::App *des = app.add_subcommand("des", "encipher or decipher bytes with the library's Des2");
    des->require_subcommand(1);
    for (bool decrypt : {false, true}) {
        auto hex = std::make_shared<std::string>();
        CLI::App *sub = des->add_subcommand(decrypt ? "decrypt" : "encrypt",
                                            decrypt ? "decipher hexadecimal bytes" : "encipher hexadecimal bytes");
        sub->add_option("HEX", *hex, "up to 255 bytes in hexadecimal")->required();
        sub->callback([ctx, decrypt, hex] { RunDes(*ctx, decrypt, *hex); });
    }
    app.add_subcommand("codes", "the library's result codes and what they mean")->callback([ctx] { RunCodes(*ctx); });
    app.add_subcommand("ports", "list the USB bridges attached and the COM port of each")->callback([ctx] {
        RunPorts(*ctx);
    });
}

}  // namespace tool
