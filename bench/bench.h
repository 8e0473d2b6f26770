// The bench: virtual devices behind the five vendor libraries, a call log and
// fault injection. Tests, demos and the command-line tool drive it through
// this control API; the library itself never sees it (it only calls the
// vendor functions, which the bench's facades provide).
//
// On Windows the state lives in KestraneBench.dll and the five facade DLLs
// (MWIC_32.dll, RC500_232.dll, clsic32.dll, IBFS32.dll, CP2101.dll) call into
// it; natively everything is one library.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#if defined(_WIN32)
#define BENCH_API __declspec(dllexport)
#else
#define BENCH_API __attribute__((visibility("default")))
#endif

namespace bench {

// ---------------------------------------------------------------------------
// Call log: every vendor call, in order, with its scalar arguments, the bytes
// that crossed it (written or read data, sent or received bytes) and its result.
struct Call {
    std::string fn;
    std::vector<int64_t> args;   // scalar arguments in order; pointer arguments omitted
    std::vector<uint8_t> data;   // bytes passed in or handed out, where the call moves bytes
    int64_t result = 0;
    bool faulted = false;        // the bench made this call fail
};

// The log keeps the most recent 65536 calls; TotalCalls counts them all.
BENCH_API std::vector<Call> CallLog();
BENCH_API void ClearCallLog();
BENCH_API size_t CallCount(const std::string &fn);
// Total vendor calls logged since the last ClearCallLog.
BENCH_API size_t TotalCalls();

// ---------------------------------------------------------------------------
// Fault injection. Calls are counted from the moment the fault is armed (1 =
// the next vendor call). With `fn` set only calls of that function count.
enum class FaultKind {
    FailOnce,        // the Nth call fails, later calls work
    FailFromThenOn,  // the Nth call and every later call fail
    RemoveCard,      // before the Nth call runs, the card is taken out of every device
};
BENCH_API void ArmFault(int nth, FaultKind kind, const std::string &fn = "");
BENCH_API void ClearFaults();

// ---------------------------------------------------------------------------
// Open resources (ports, reader connections, sessions, bridge handles) that
// the facades have opened and not yet closed, by name ("MWIC_32", "RC500",
// "TEMIC", "AT88DATA", "M1DATA", "COLLECTOR", "TMEX", "CP2101").
BENCH_API int OpenCount(const std::string &what);
BENCH_API int TotalOpen();

// Everything back to an empty bench: devices, cards, bridges, log, faults.
BENCH_API void Reset();

// ---------------------------------------------------------------------------
// Facade support: each vendor function starts with BeginCall and ends with
// EndCall. BeginCall logs the call and returns true when an armed fault makes
// this call fail; the facade then returns its failure status through
// EndCall without touching any device.
BENCH_API bool BeginCall(const char *fn, std::initializer_list<int64_t> args);
BENCH_API int64_t EndCall(int64_t result, const uint8_t *data = nullptr, size_t size = 0);
// True between BeginCall and EndCall: work done then (and its allocations)
// is the bench's, not the library's.
BENCH_API bool InVendorCall();
BENCH_API void NoteOpen(const std::string &what);
BENCH_API void NoteClose(const std::string &what);
// Card removal hooks: each device model registers one; RemoveCard faults call them all.
using RemoveCardHook = void (*)();
BENCH_API void RegisterRemoveCardHook(RemoveCardHook hook);
// Reset hooks: each device model registers one to drop its state on Reset().
using ResetHook = void (*)();
BENCH_API void RegisterResetHook(ResetHook hook);
// Call hooks, for the bench folder (persist.h): a before-call hook runs at the
// start of every vendor call (before its fault check), so a folder can be
// loaded, or loaded again, before any device is looked at; an after-call hook
// runs at the end of every vendor call, once the devices have done their part.
using CallHook = void (*)();
BENCH_API void RegisterBeforeCallHook(CallHook hook);
BENCH_API void RegisterAfterCallHook(CallHook hook);

}  // namespace bench
