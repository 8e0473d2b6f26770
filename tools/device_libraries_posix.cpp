// The tool's device libraries natively. The tool links libkestrane.so and
// the bench library, whose facades define the vendor functions. To run over
// PC/SC readers instead, the tool starts itself again with
// libkestrane_pcsc.so preloaded (LD_PRELOAD): the dynamic linker then binds
// libkestrane.so's vendor symbols to the PC/SC library first, before the
// bench's, for the whole process and from its first instruction. Nothing in
// the library changes, and the new process checks that the binding took
// before it touches a card. `readers` loads the same library with dlopen and
// asks it for its listing.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrane_pcsc.h"
#include "media/vendor/rc500_232.h"
#include "tool.h"

#ifndef KESTRANE_PCSC_LIBDIR
#define KESTRANE_PCSC_LIBDIR "lib"
#endif
#ifndef KESTRANE_PCSC_SONAME
#define KESTRANE_PCSC_SONAME "libkestrane_pcsc.so.1"
#endif

namespace tool {
namespace {

// The soname: the file the runtime package installs (the bare .so is a
// development link).
constexpr const char *kPcscLibraryName = KESTRANE_PCSC_SONAME;
constexpr const char *kPcscLibraryVariable = "KESTRANE_PCSC_LIBRARY";  // overrides the search
constexpr const char *kPreloadVariable = "LD_PRELOAD";
constexpr const char *kReexecMark = "KESTRANE_PCSC_REEXEC";  // set in the started-again process

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

}  // namespace

// Natively the bench is linked in: there is nothing to find.
void FindDeviceLibraries() {}

void UsePcscDevices(char **argv) {
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
}

int32_t ListPcscReaders(KsPcscReaderInfo *infos, int32_t capacity) {
    const std::string path = PcscLibraryPath();
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw BenchError("readers: cannot load " + path + ": " + dlerror());
    using ListFn = int32_t (*)(KsPcscReaderInfo *, int32_t);
    auto list = reinterpret_cast<ListFn>(dlsym(library, "KsPcscListReaders"));
    if (list == nullptr) throw BenchError("readers: " + path + " has no KsPcscListReaders");
    return list(infos, capacity);
}

}  // namespace tool
