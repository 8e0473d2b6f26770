// kestrane: the command-line tool over the library's exports. Issues, reads
// and clears cards, collects open-door logs, talks to the hand-held
// collector, reads Mifare and iButton serials, runs Des2, shows USB ports and
// keeps a bench folder of virtual devices.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#include "kestrane.h"
#include "platform/platform.h"
#include "result_codes.h"
#include "tool.h"

namespace tool {

namespace {
const char kDefaultBench[] = "kestrane-bench";
const char kBenchManifest[] = "bench.ini";
const char kBenchConfig[] = "config.ini";
// EncodeInit reads at most 255 bytes of the path buffer and writes byte 1.
constexpr size_t kPathBuffer = 260;
constexpr size_t kPathLimit = 254;

bool FileExists(const std::string &path) {
    std::ifstream f(path);
    return f.good();
}
}  // namespace

std::string Context::BenchDir() const {
    if (!bench.empty()) return bench;
    const char *env = std::getenv("KESTRANE_BENCH");
    if (env != nullptr && env[0] != '\0') return env;
    return kDefaultBench;
}

bool Context::BenchExists() const { return FileExists(BenchDir() + "/" + kBenchManifest); }

std::string Context::ConfigPath() const {
    return config.empty() ? BenchDir() + "/" + kBenchConfig : config;
}

void Context::Emit(const Value &report) const {
    if (json) std::cout << report.ToJson() << std::endl;
    else std::cout << ToText(report) << std::flush;
}

void Context::Waiting(const std::string &what) const { std::cerr << "... " << what << std::endl; }
void Context::Note(const std::string &what) const { std::cerr << "note: " << what << std::endl; }

void PublishBenchFolder(const Context &ctx) {
    // The variable must outlive this call: putenv keeps the pointer.
    static std::string entry;
    if (ctx.devices == "pcsc") return;  // PC/SC readers: no bench in play
    if (!ctx.BenchExists()) {
        if (!ctx.bench.empty())
            throw BenchError("no bench folder at " + ctx.bench + " (create one with: kestrane bench init " +
                             ctx.bench + ")");
        return;  // real devices, or an empty bench
    }
    entry = "KESTRANE_BENCH=" + ctx.BenchDir();
    putenv(&entry[0]);
}

void Check(const char *function, int16_t result, const std::string &doing) {
    if (result != KS_OK) throw LibraryFailure(function, result, doing);
}

EncoderSession::EncoderSession(const Context &ctx) {
    const std::string path = ctx.ConfigPath();
    if (path.size() > kPathLimit)
        throw UsageError("--config: the path is " + std::to_string(path.size()) + " characters long, at most " +
                         std::to_string(kPathLimit) + " are accepted");
    if (!FileExists(path))
        ctx.Note("no configuration file at " + path + ": the library's defaults apply (IC 4442 encoder on COM1)");
    char lockType[32];
    platform::ReadProfileString("Config", "LockType", "1", lockType, sizeof lockType, path.c_str());
    lockType_ = lockType[0] - '0' + 1;
    char buffer[kPathBuffer] = {};
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    const int16_t result = EncodeInit(buffer);
    port_ = static_cast<uint8_t>(buffer[1]);
    Check("EncodeInit", result, "opening the encoder configured in " + path);
}

EncoderSession::~EncoderSession() { EncodeExit(); }

std::string EncoderSession::Describe() const {
    const char *medium = lockType_ == 2 ? "IC 4442" : lockType_ == 3 ? "TEMIC" : lockType_ == 5 ? "Mifare" : "unknown";
    return std::string(medium) + " encoder on COM" + std::to_string(port_);
}

const char *CardKindName(int typeCode) {
    switch (typeCode) {
    case 1: return "system-password";
    case 2: return "time";
    case 3: return "emergency";
    case 4: return "guest";
    case 5: return "floor";
    case 6: return "clean-district";
    case 8: return "building";
    case 9: return "long-open";
    case 10: return "chief";
    case 11: return "install";
    case 12: return "lost";
    case 14: return "data";
    case 15: return "guest-leave";
    case 20: return "cleared";
    default: return nullptr;
    }
}

const char *CardKindLabel(int typeCode) {
    switch (typeCode) {
    case 1: return "system password card";
    case 2: return "time card";
    case 3: return "emergency card";
    case 4: return "guest card";
    case 5: return "floor card";
    case 6: return "clean-district card";
    case 8: return "building card";
    case 9: return "long-open card";
    case 10: return "chief card";
    case 11: return "install card";
    case 12: return "lost card";
    case 14: return "data card";
    case 15: return "guest-leave card";
    case 20: return "cleared card";
    default: return nullptr;
    }
}

namespace {

int ReportFailure(const Context &ctx, const LibraryFailure &f) {
    const ResultCodeInfo info = DescribeResult(f.code);
    if (ctx.json) {
        Value v = Value::Object();
        v.Set("ok", Value::Bool(false));
        v.Set("function", Value::Text(f.function));
        v.Set("doing", Value::Text(f.doing));
        v.Set("code", Value::Int(f.code));
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(static_cast<uint16_t>(f.code)));
        v.Set("hex", Value::Text(hex));
        v.Set("name", info.name ? Value::Text(info.name) : Value());
        v.Set("meaning", Value::Text(info.meaning));
        std::cout << v.ToJson() << std::endl;
    }
    std::cerr << "kestrane: " << (f.doing.empty() ? "" : f.doing + ": ") << f.function << " failed with "
              << ResultInWords(f.code) << std::endl;
    return kExitLibraryFailure;
}

int ReportError(const Context &ctx, const char *kind, const std::string &message, int exitCode) {
    if (ctx.json) {
        Value v = Value::Object();
        v.Set("ok", Value::Bool(false));
        v.Set("error", Value::Text(kind));
        v.Set("message", Value::Text(message));
        std::cout << v.ToJson() << std::endl;
    }
    std::cerr << "kestrane: " << message << std::endl;
    return exitCode;
}

}  // namespace

int RunCommandLine(const std::vector<std::string> &args, const Context &defaults) {
    auto ctx = std::make_shared<Context>(defaults);
    CLI::App app{"kestrane: issue, read and clear door-lock cards through the Kestrane library"};
    app.name("kestrane");
    app.require_subcommand(1);
    app.add_option("--config", ctx->config, "INI file passed to EncodeInit (default: config.ini in the bench folder)");
    app.add_option("--bench", ctx->bench,
                   "bench folder of virtual devices (default: $KESTRANE_BENCH, else ./kestrane-bench)");
    app.add_flag("--json", ctx->json, "machine-readable output (one JSON object on stdout)");
    app.set_version_flag("--version", "kestrane " KESTRANE_VERSION);

    AddCardCommands(app, ctx);
    AddCollectCommands(app, ctx);
    AddUtilityCommands(app, ctx);
    AddBenchCommands(app, ctx);
    AddPcscCommands(app, ctx);
    AddWorkerCommand(app, ctx);

    try {
        // CLI11 takes the arguments last first.
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return ReportError(*ctx, "usage", e.what(), kExitUsage);
    } catch (const UsageError &e) {
        return ReportError(*ctx, "usage", e.what(), kExitUsage);
    } catch (const LibraryFailure &e) {
        return ReportFailure(*ctx, e);
    } catch (const BenchError &e) {
        return ReportError(*ctx, "bench", e.what(), kExitBench);
    } catch (const std::exception &e) {
        return ReportError(*ctx, "internal", e.what(), kExitBench);
    }
    return 0;
}

}  // namespace tool

int main(int argc, char **argv) {
    using namespace tool;
    FindDeviceLibraries();
    try {
        UsePcscDevicesIfAsked(argc, argv);
    } catch (const UsageError &e) {
        return ReportError(Context{}, "usage", e.what(), kExitUsage);
    } catch (const BenchError &e) {
        return ReportError(Context{}, "bench", e.what(), kExitBench);
    }
    return RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), Context{});
}
