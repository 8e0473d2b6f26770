// Shared pieces of the kestrane command: the run context (global options,
// output mode), the failures a command can end with, and the registration
// functions of each command group.
#pragma once
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "output.h"
#include "parse.h"

namespace CLI {
class App;
}

struct KsPcscReaderInfo;

namespace tool {

// Exit codes: 0 success; 1 a library call failed (its result code is
// printed); 2 the command line was wrong; 3 the bench folder could not be used.
constexpr int kExitLibraryFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBench = 3;

// A library export answered with a failure code.
struct LibraryFailure : std::runtime_error {
    LibraryFailure(std::string fn, int16_t result, std::string what = "")
        : std::runtime_error(fn), function(std::move(fn)), code(result), doing(std::move(what)) {}
    std::string function;
    int16_t code;
    std::string doing;  // what the tool was doing, in words ("issuing a guest card")
};

// The bench folder is missing or damaged.
struct BenchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Context {
    std::string config;       // --config, or "" for the bench folder's config.ini
    std::string bench;        // --bench, or "" for $KESTRANE_BENCH / ./kestrane-bench
    bool json = false;
    std::string devices = "bench";  // --devices: bench or pcsc (PC/SC readers)

    // The bench folder this run uses, and whether it exists.
    std::string BenchDir() const;
    bool BenchExists() const;
    // The INI file passed to EncodeInit.
    std::string ConfigPath() const;

    // Prints the command's report on stdout: JSON, or text for a person.
    void Emit(const Value &report) const;
    // Says on stderr what a long operation waits for.
    void Waiting(const std::string &what) const;
    void Note(const std::string &what) const;
};

// Publishes the bench folder (KESTRANE_BENCH) for the bench's devices to load
// at the library's first vendor call. Call before any library call.
void PublishBenchFolder(const Context &ctx);

// Where the device libraries come from. On Windows: the tool's own folder
// first (a front-desk folder with the real vendor DLLs), else the folder
// "bench" beside the tool, where an installed kit keeps the bench's facades.
// Natively the bench is linked in and this does nothing.
void FindDeviceLibraries();
// Puts the PC/SC library in place of the bench's for this run. Natively the
// tool starts itself again with libkestrane_pcsc.so preloaded (returns only
// in that second process, once the library holds the vendor functions); on
// Windows the PC/SC DLLs are copied beside Kestrane.dll instead, and this
// refuses. Throws on failure.
void UsePcscDevices(char **argv);
// The PC/SC readers as libkestrane_pcsc.so lists them (natively): the count,
// or a negative number when no PC/SC service answers. Throws where there is
// no such library.
int32_t ListPcscReaders(KsPcscReaderInfo *infos, int32_t capacity);

// EncodeInit with the configured INI (a private 260-byte copy of the path,
// since EncodeInit writes the port number into byte 1); throws on failure.
// Returns the port EncodeInit chose. EncoderSession closes it again.
class EncoderSession {
public:
    explicit EncoderSession(const Context &ctx);
    ~EncoderSession();
    int port() const { return port_; }
    int lockType() const { return lockType_; }
    // "IC 4442 encoder on COM3"
    std::string Describe() const;

private:
    int port_ = 0;
    int lockType_ = 0;
};

// Result of a library call: throws LibraryFailure unless it is KS_OK.
void Check(const char *function, int16_t result, const std::string &doing);

// "guest card" etc. by card-type code (20: cleared card); nullptr when unknown.
const char *CardKindName(int typeCode);   // the tool's name: "guest", "clean-district"
const char *CardKindLabel(int typeCode);  // words: "guest card"

void AddCardCommands(CLI::App &app, std::shared_ptr<Context> ctx);
void AddCollectCommands(CLI::App &app, std::shared_ptr<Context> ctx);
void AddUtilityCommands(CLI::App &app, std::shared_ptr<Context> ctx);
void AddBenchCommands(CLI::App &app, std::shared_ptr<Context> ctx);
// PC/SC readers: `--devices` and `readers` (cmd_pcsc.cpp).
void AddPcscCommands(CLI::App &app, std::shared_ptr<Context> ctx);
// `worker`: command lines read as JSON lines on stdin, each run as the
// separate process `kestrane ARGS` would run it (cmd_worker.cpp).
void AddWorkerCommand(CLI::App &app, std::shared_ptr<Context> ctx);

// Runs one command line (the arguments after the program's name) with
// `defaults` as the global options it does not give; returns the exit code.
int RunCommandLine(const std::vector<std::string> &args, const Context &defaults);
// With `--devices pcsc`, natively: starts the tool again with the PC/SC
// library preloaded (returns only in that second process); throws on failure.
void UsePcscDevicesIfAsked(int argc, char **argv);
// The devices a command line names with --devices (the last one), or "".
std::string DevicesNamed(const std::vector<std::string> &args);

}  // namespace tool
