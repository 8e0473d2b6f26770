// ModuleFolder for both systems: the address of this function names the
// module that holds it.
#include "pcsc_system.h"

#include <cstring>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace kpcsc {

namespace {
bool CutAfterLastSeparator(char *path) {
    char *cut = nullptr;
    for (char *p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\') cut = p;
    if (cut == nullptr) return false;
    cut[1] = '\0';
    return true;
}
}  // namespace

bool ModuleFolder(char *out, size_t size) {
    if (size == 0) return false;
    out[0] = '\0';
#if defined(_WIN32)
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ModuleFolder), &module))
        return false;
    const DWORD n = GetModuleFileNameA(module, out, static_cast<DWORD>(size));
    if (n == 0 || n >= size) {
        out[0] = '\0';
        return false;
    }
#else
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&ModuleFolder), &info) == 0 || info.dli_fname == nullptr) return false;
    if (std::strlen(info.dli_fname) >= size) return false;
    std::strcpy(out, info.dli_fname);
#endif
    if (!CutAfterLastSeparator(out)) {
        out[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace kpcsc
