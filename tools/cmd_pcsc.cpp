// PC/SC readers: `--devices pcsc` and `readers`.
//
// The tool links libkestrane.so and the bench library, whose facades define
// the vendor functions. To run over PC/SC readers instead, the tool starts
// itself again with libkestrane_pcsc.so preloaded (LD_PRELOAD): the dynamic
// linker then binds libkestrane.so's vendor symbols to the PC/SC library
// first, before the bench's, for the whole process and from its first
// instruction. Nothing in the library changes, and the new process checks
// that the binding took before it touches a card. `readers` loads the same
// library with dlopen and asks it for its listing.
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrane_pcsc.h"
#include "tool.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#include <unistd.h>

#include "media/vendor/rc500_232.h"
#endif

namespace tool {
namespace {

constexpr const char *kPcscLibraryName = "libkestrane_pcsc.so";
constexpr const char *kPcscLibraryVariable = "KESTRANE_PCSC_LIBRARY";  // overrides the search
constexpr const char *kPreloadVariable = "LD_PRELOAD";
constexpr const char *kReexecMark = "KESTRANE_PCSC_REEXEC";  // set in the started-again process
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

#if !defined(_WIN32)
#ifndef KESTRANE_PCSC_LIBDIR
#define KESTRANE_PCSC_LIBDIR "lib"
#endif

std::string ExecutableFolder() {
    std::vector<char> path(4096);
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return "";
    std::string p(path.data(), static_cast<size_t>(n));
    return p.substr(0, p.rfind('/') + 1);
}

bool Readable(const std::string &path) { return access(path.c_str(), R_OK) == 0; }

// The PC/SC library: $KESTRANE_PCSC_LIBRARY, beside the tool (build tree),
// ../<libdir>/ (install tree), else the name alone for the linker's search.
std::string PcscLibraryPath() {
    const char *env = std::getenv(kPcscLibraryVariable);
    if (env != nullptr && env[0] != '\0') return env;
    const std::string here = ExecutableFolder();
    for (const std::string &candidate :
         {here + kPcscLibraryName, here + "../" + KESTRANE_PCSC_LIBDIR + "/" + kPcscLibraryName})
        if (Readable(candidate)) return candidate;
    return kPcscLibraryName;
}

// True when RC500_232_init, as this process binds it, is the PC/SC library's.
bool VendorSymbolsFromPcsc() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&RC500_232_init), &info) == 0 || info.dli_fname == nullptr) return false;
    return std::strstr(info.dli_fname, "kestrane_pcsc") != nullptr;
}
#endif

std::string DevicesValue(int argc, char **argv) {
    std::string value = "bench";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--devices" && i + 1 < argc) value = argv[i + 1];
        else if (a.rfind("--devices=", 0) == 0) value = a.substr(std::strlen("--devices="));
    }
    return value;
}

void RunReaders(const Context &ctx) {
#if defined(_WIN32)
    (void)ctx;
    throw UsageError("readers: the tool lists PC/SC readers natively only");
#else
    const std::string path = PcscLibraryPath();
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw BenchError("readers: cannot load " + path + ": " + dlerror());
    using ListFn = int32_t (*)(KsPcscReaderInfo *, int32_t);
    auto list = reinterpret_cast<ListFn>(dlsym(library, "KsPcscListReaders"));
    if (list == nullptr) throw BenchError("readers: " + path + " has no KsPcscListReaders");
    KsPcscReaderInfo infos[kMaxReaders];
    const int32_t count = list(infos, kMaxReaders);
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
#endif
}

}  // namespace

void UsePcscDevicesIfAsked(int argc, char **argv) {
    const std::string devices = DevicesValue(argc, argv);
    if (devices != "pcsc") return;
#if defined(_WIN32)
    (void)argv;
    throw UsageError("--devices pcsc: on Windows put bin\\pcsc\\RC500_232.dll and MWIC_32.dll beside Kestrane.dll "
                     "(in place of the bench's facades) instead");
#else
    if (std::getenv(kReexecMark) != nullptr) {
        if (!VendorSymbolsFromPcsc())
            throw BenchError("--devices pcsc: the PC/SC library did not take the vendor functions over (" +
                             PcscLibraryPath() + ")");
        return;
    }
    const std::string library = PcscLibraryPath();
    const char *old = std::getenv(kPreloadVariable);
    const std::string preload = old != nullptr && old[0] != '\0' ? library + ":" + old : library;
    setenv(kPreloadVariable, preload.c_str(), 1);
    setenv(kReexecMark, "1", 1);
    execv("/proc/self/exe", argv);
    throw BenchError("--devices pcsc: cannot start the tool again with " + library + ": " + std::strerror(errno));
#endif
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
