// The one place where the two systems differ: which PC/SC header declares
// SCard*, and how a library finds the folder it was loaded from (for the
// settings file beside it). Everything else in pcsc/ is shared source.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#include <windows.h>
#include <winscard.h>
#else
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#endif

namespace kpcsc {

// The folder holding this library, with a trailing separator, into `out`;
// false (and "" in `out`) when it cannot be told.
bool ModuleFolder(char *out, size_t size);

}  // namespace kpcsc
