// PC/SC readers: `--devices pcsc` and `readers`. How the PC/SC library is
// put in place of the bench's is the system's business
// (device_libraries_*.cpp).
#include <CLI/CLI.hpp>

#include <cstring>
#include <string>
#include <vector>

#include "kestrane_pcsc.h"
#include "tool.h"

namespace tool {
namespace {

constexpr int kMaxReaders = 16;

const char *KindName(int32_t kind) {
    switch (kind) {
    case KS_PCSC_MIFARE_1K: return "Mifare Classic 1K";
    case KS_PCSC_MIFARE_4K: return "Mifare Classic 4K";
    case KS_PCSC_SLE4442: return "SLE4442";
    case KS_PCSC_NO_CARD: return "";
    default: return "other";
    }
}

void RunReaders(const Context &ctx) {
    KsPcscReaderInfo infos[kMaxReaders];
    const int32_t count = ListPcscReaders(infos, kMaxReaders);
    if (count < 0) throw BenchError("readers: no PC/SC service answers (is pcscd running?)");
    Value rows = Value::List();
    for (int32_t i = 0; i < count && i < kMaxReaders; ++i) {
        const KsPcscReaderInfo &r = infos[i];
        Value row = Value::Object();
        row.Set("reader", Value::Text(r.name));
        row.Set("card", Value::Bool(r.cardPresent != 0));
        row.Set("atr", Value::Text(HexBytes(r.atr, static_cast<size_t>(r.atrLength), "")));
        row.Set("kind", Value::Text(KindName(r.cardPresent ? r.kind : KS_PCSC_NO_CARD)));
        row.Set("uid", Value::Text(HexBytes(r.uid, static_cast<size_t>(r.uidLength), "")));
        rows.Push(row);
    }
    Value report = Value::Object();
    report.Set("command", Value::Text("readers"));
    report.Set("ok", Value::Bool(true));
    report.Set("count", Value::Int(count));
    report.Set("readers", rows);
    ctx.Emit(report);
}

}  // namespace

std::string DevicesNamed(const std::vector<std::string> &args) {
    std::string value;
    const std::string prefix = "--devices=";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--devices" && i + 1 < args.size()) value = args[i + 1];
        else if (args[i].rfind(prefix, 0) == 0) value = args[i].substr(prefix.size());
    }
    return value;
}

void UsePcscDevicesIfAsked(int argc, char **argv) {
    if (DevicesNamed(std::vector<std::string>(argv + 1, argv + argc)) == "pcsc") UsePcscDevices(argv);
}

void AddPcscCommands(CLI::App &app, std::shared_ptr<Context> ctx) {
    app.add_option("--devices", ctx->devices,
                   "bench: the bench's virtual devices (default); pcsc: PC/SC readers (natively)")
        ->check(CLI::IsMember({"bench", "pcsc"}));
    app.add_subcommand("readers", "list the PC/SC readers, their cards, ATRs, kinds and UIDs")->callback([ctx] {
        RunReaders(*ctx);
    });
}

}  // namespace tool
