// The tool's device libraries on Windows. Kestrane.dll and CP2101.dll are
// delay-loaded, so this runs before either is looked for.
#include <windows.h>

#include <string>

#include "tool.h"

namespace tool {

void FindDeviceLibraries() {
    char exe[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (length == 0 || length >= sizeof exe) return;
    std::string folder(exe, length);
    folder.erase(folder.find_last_of("\\/") + 1);
    // Searched after the tool's own folder: vendor DLLs beside the tool
    // always win, so a front-desk folder never reaches a facade.
    SetDllDirectoryA((folder + "bench").c_str());
}

void UsePcscDevices(char ** /*argv*/) {
    throw UsageError("--devices pcsc: on Windows put bin\\pcsc\\RC500_232.dll and MWIC_32.dll beside Kestrane.dll "
                     "(in place of the vendor's DLLs of those names) instead");
}

int32_t ListPcscReaders(KsPcscReaderInfo * /*infos*/, int32_t /*capacity*/) {
    throw UsageError("readers: the tool lists PC/SC readers natively only");
}

}  // namespace tool
