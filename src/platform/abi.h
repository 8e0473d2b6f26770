// Calling convention of the vendor libraries: __stdcall (callee pops) on
// 32-bit Windows, the native convention elsewhere. The vendor headers and the
// bench's facades both use this macro so their declarations cannot drift apart.
#pragma once

#if defined(_WIN32)
#define KS_VENDOR_CALL __stdcall
#else
#define KS_VENDOR_CALL
#endif
