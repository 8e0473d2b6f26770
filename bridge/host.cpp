// KestraneHost32.exe: the 32-bit process that runs Kestrane.dll for one
// 64-bit client (Kestrane64.dll). It is started by its client only:
//
//   KestraneHost32.exe --channel <section> <request event> <reply event> <client process>
//
// where the four numbers are handles the client created and let this
// process alone inherit (the channel: channel.h). It loads Kestrane.dll from its own folder (the
// vendor DLLs beside it are found there too), then answers calls until the
// client closes the pipe. It ends as soon as its client ends, however that
// happens, so no host outlives its client holding a COM port open.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "channel.h"
#include "protocol.h"

namespace {

using bridge::Call;
using bridge::DecodeError;
using bridge::Export;

constexpr int kExitClientGone = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoLibrary = 3;
constexpr int kExitBadMessage = 4;

// Every export passes each argument in one 4-byte stack slot (__stdcall), so
// one pointer type per argument count calls them all.
using Slot = uintptr_t;
using Fn0 = int16_t(__stdcall *)();
using Fn1 = int16_t(__stdcall *)(Slot);
using Fn3 = int16_t(__stdcall *)(Slot, Slot, Slot);
using Fn8 = int16_t(__stdcall *)(Slot, Slot, Slot, Slot, Slot, Slot, Slot, Slot);
using Fn11 = int16_t(__stdcall *)(Slot, Slot, Slot, Slot, Slot, Slot, Slot, Slot, Slot, Slot, Slot);

// As void(*)(): the generic function pointer, cast to the right type per call.
using AnyFn = void (*)();
AnyFn g_exports[bridge::kExportCount];

// A test of the client's fault handling names an export here: the host runs
// it, then stops answering until it is killed, as a host that crashes in the
// middle of a card write would.
const char kStallVariable[] = "KESTRANE_HOST_TEST_STALL";
char g_stallAfter[64];

DWORD WINAPI WatchClient(void *clientProcess) {
    WaitForSingleObject(static_cast<HANDLE>(clientProcess), INFINITE);
    TerminateProcess(GetCurrentProcess(), kExitClientGone);
    return 0;
}

bool LoadLibraryBesideUs() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    wchar_t *slash = wcsrchr(path, L'\\');
    if (!slash || (slash - path) + 13 >= MAX_PATH) return false;
    wcscpy(slash + 1, L"Kestrane.dll");
    // LOAD_WITH_ALTERED_SEARCH_PATH: the vendor DLLs are looked for in
    // Kestrane.dll's folder first.
    HMODULE lib = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!lib) return false;
    for (int i = 0; i < bridge::kExportCount; ++i) {
        g_exports[i] = reinterpret_cast<AnyFn>(GetProcAddress(lib, bridge::ShapeOf(static_cast<Export>(i)).name));
        if (!g_exports[i]) return false;
    }
    return true;
}

// Runs the call on `after` (a copy of the decoded call): arrays point into its
// storage, null stays null.
int16_t Run(Call *after) {
    const bridge::ExportShape &shape = bridge::ShapeOf(after->exportId);
    Slot s[bridge::kMaxArgs] = {};
    char path[bridge::kMaxCapacity + 1] = {};
    for (int a = 0; a < shape.argCount; ++a) {
        switch (shape.kind[a]) {
        case bridge::ArgKind::Scalar: s[a] = static_cast<Slot>(static_cast<uint32_t>(after->scalar[a])); break;
        case bridge::ArgKind::Elements:
            s[a] = after->present[a] ? reinterpret_cast<Slot>(after->value[a]) : 0;
            break;
        case bridge::ArgKind::Bytes:
            for (uint16_t i = 0; i < after->count[a]; ++i) path[i] = static_cast<char>(after->value[a][i]);
            s[a] = after->present[a] ? reinterpret_cast<Slot>(path) : 0;
            break;
        default: break;
        }
    }
    const AnyFn fn = g_exports[static_cast<uint16_t>(after->exportId)];
    int16_t result = 0;
    switch (shape.argCount) {
    case 0: result = reinterpret_cast<Fn0>(fn)(); break;
    case 1: result = reinterpret_cast<Fn1>(fn)(s[0]); break;
    case 3: result = reinterpret_cast<Fn3>(fn)(s[0], s[1], s[2]); break;
    case 8: result = reinterpret_cast<Fn8>(fn)(s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]); break;
    default: result = reinterpret_cast<Fn11>(fn)(s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9], s[10]);
    }
    for (int a = 0; a < shape.argCount; ++a) {
        if (shape.kind[a] != bridge::ArgKind::Bytes) continue;
        for (uint16_t i = 0; i < after->count[a]; ++i) after->value[a][i] = static_cast<int8_t>(path[i]);
    }
    return result;
}

// The configuration values EncodeInit reads, as it reads them (the same
// call, defaults and value size), reduced to the characters that count.
bridge::EncoderReport ReadConfiguration(const Call &init) {
    char path[bridge::kMaxCapacity + 1] = {};
    for (uint16_t i = 0; i < init.count[0]; ++i) path[i] = static_cast<char>(init.value[0][i]);
    bridge::EncoderReport r;
    char value[32];
    GetPrivateProfileStringA("Config", "LockType", "1", value, sizeof value, path);
    r.lockType = value[0];
    std::memset(value, 0, sizeof value);
    GetPrivateProfileStringA("Config", "Sector", "1", value, sizeof value, path);
    r.sector[0] = value[0], r.sector[1] = value[0] ? value[1] : 0;
    std::memset(value, 0, sizeof value);
    GetPrivateProfileStringA("SystemInfo", "Pass", "4B7E19D2", value, sizeof value, path);
    for (size_t i = 0; i < sizeof r.pass && value[i]; ++i) r.pass[i] = value[i];
    return r;
}

// The report of an EncodeInit (`call` as it came, `after` once it ran): the
// file is read before and after the call, so one that changed meanwhile is
// reported as unsettled. The path comes from the call: the library wrote
// the port into byte 1 of its own copy.
bridge::EncoderReport ReportInit(const bridge::EncoderReport &before, const Call &call, const Call &after) {
    bridge::EncoderReport r = ReadConfiguration(call);
    r.settled = after.present[0] && after.count[0] > 1 && std::memcmp(&before, &r, sizeof r) == 0;
    r.port = r.settled ? static_cast<uint8_t>(after.value[0][1]) : 0;
    return r;
}

Call g_before, g_after;  // one call at a time; too large for the stack of every frame
uint8_t g_in[bridge::kMessageCapacity];
uint8_t g_out[bridge::kMessageCapacity];

struct Channel {
    bridge::SharedChannel *shared;
    HANDLE requestEvent, replyEvent, client;
};

void Answer(const Channel &c, uint32_t seq, size_t size) {
    std::memcpy(c.shared->reply, g_out, size);
    bridge::Publish(c.shared->replySeq, seq, c.shared->clientSleeping, c.replyEvent);
}

int Refuse(const Channel &c, uint32_t seq, DecodeError error) {
    Answer(c, seq, bridge::EncodeError(error, g_out));
    std::fprintf(stderr, "KestraneHost32: malformed message (error %u), connection closed\n",
                 static_cast<unsigned>(error));
    return kExitBadMessage;
}

int Serve(const Channel &c) {
    bridge::SharedChannel &ch = *c.shared;
    for (uint32_t last = 0;; ) {
        if (!bridge::WaitFor(ch.requestSeq, last, ch.hostSleeping, c.requestEvent, c.client)) return kExitClientGone;
        const uint32_t seq = ch.requestSeq.load();
        // Copied out before decoding: the decoder reads only our own bytes.
        std::memcpy(g_in, ch.request, bridge::kHeaderSize);
        bridge::Header h{};
        DecodeError e = bridge::DecodeHeader(g_in, bridge::kHeaderSize, &h);
        if (e != DecodeError::None) return Refuse(c, seq, e);
        std::memcpy(g_in + bridge::kHeaderSize, ch.request + bridge::kHeaderSize, h.bodyLength);
        ch.takenSeq.store(seq);
        e = bridge::DecodeCallBody(h, g_in + bridge::kHeaderSize, h.bodyLength, &g_before);
        if (e != DecodeError::None) return Refuse(c, seq, e);
        g_after = g_before;
        const bool init = g_before.exportId == Export::EncodeInit && g_before.present[0];
        const bridge::EncoderReport configBefore = init ? ReadConfiguration(g_before) : bridge::EncoderReport{};
        const int16_t result = Run(&g_after);
        const bridge::EncoderReport report = init ? ReportInit(configBefore, g_before, g_after) : bridge::EncoderReport{};
        if (g_stallAfter[0] && std::strcmp(g_stallAfter, bridge::ShapeOf(g_before.exportId).name) == 0)
            for (;;) Sleep(INFINITE);
        Answer(c, seq, bridge::EncodeReply(g_before, g_after, result, report, g_out));
        last = seq;
    }
}

HANDLE HandleArg(const wchar_t *text) {
    wchar_t *end = nullptr;
    const unsigned long long v = wcstoull(text, &end, 10);
    return (end && *end == 0 && v != 0) ? reinterpret_cast<HANDLE>(static_cast<uintptr_t>(v)) : nullptr;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    // A fault in a vendor DLL ends this process; no dialog may wait for a user.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    if (argc != 6 || wcscmp(argv[1], L"--channel") != 0) {
        std::fprintf(stderr, "KestraneHost32.exe is started by Kestrane64.dll, not by hand\n");
        return kExitUsage;
    }
    HANDLE section = HandleArg(argv[2]), client = HandleArg(argv[5]);
    Channel c{nullptr, HandleArg(argv[3]), HandleArg(argv[4]), client};
    // Handles this process did not inherit name nothing here (or something
    // else): the client must be a process, the section must map.
    if (!section || !c.requestEvent || !c.replyEvent || !client || GetProcessId(client) == 0) return kExitUsage;
    c.shared = static_cast<bridge::SharedChannel *>(
        MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(bridge::SharedChannel)));
    if (!c.shared) return kExitUsage;
    HANDLE watcher = CreateThread(nullptr, 0, WatchClient, client, 0, nullptr);
    if (!watcher) return kExitUsage;
    CloseHandle(watcher);
    if (GetEnvironmentVariableA(kStallVariable, g_stallAfter, sizeof g_stallAfter) >= sizeof g_stallAfter)
        g_stallAfter[0] = '\0';
    if (!LoadLibraryBesideUs()) {
        std::fprintf(stderr, "KestraneHost32: cannot load Kestrane.dll from its own folder\n");
        return kExitNoLibrary;
    }
    c.shared->hostReady.store(1);
    return Serve(c);
}
