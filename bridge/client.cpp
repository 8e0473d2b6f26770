// Kestrane64.dll: the 25 exports of kestrane.h for 64-bit programs. Each call
// travels to a private 32-bit host process (KestraneHost32.exe, from this
// DLL's folder) that runs Kestrane.dll, and comes back with the result and
// the elements the library changed.
//
// The channel (channel.h) is an unnamed shared section and two unnamed
// events created here; only the host inherits them (with a handle of this
// process, so it can watch us). Nothing has a name another process or user
// could open or squat. The host
// also sits in a job object that kills it when this process's handle to the
// job closes, i.e. when this process ends in any way.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "kestrane.h"
#include "channel.h"
#include "protocol.h"

namespace {

using bridge::CallArgs;
using bridge::Export;

constexpr wchar_t kHostProgram[] = L"KestraneHost32.exe";
// A call that takes longer than this is taken for a host that stopped
// answering: the host is ended and the call answers KS_ERR_HOST. The library's
// slowest calls (collector exchanges with their retries) take seconds.
constexpr DWORD kDefaultCallTimeoutMs = 120000;
constexpr DWORD kWatchdogPeriodMs = 200;
constexpr uint16_t kPathBuffer = 255;

struct HostLink {
    HANDLE process = nullptr;
    HANDLE job = nullptr;
    HANDLE section = nullptr;
    bridge::SharedChannel *shared = nullptr;
    HANDLE requestEvent = nullptr;  // wakes the host
    HANDLE replyEvent = nullptr;    // wakes us
    uint32_t seq = 0;               // the last request sent to this host
};

SRWLOCK g_lock = SRWLOCK_INIT;  // one call on the channel at a time
HostLink g_host;

// The caller's last successful EncodeInit, as the caller passed it (before
// the library wrote the port into byte 1), and whether EncodeExit followed:
// a fresh host is brought back to that state before it runs anything else.
bool g_initDone = false;
bool g_exitDone = false;
char g_initPath[kPathBuffer + 1];

// The watchdog's view of the call in progress: the tick it started at (0:
// none) and the host process it waits on.
std::atomic<ULONGLONG> g_callStarted{0};
std::atomic<HANDLE> g_callHost{nullptr};
// Held by the watchdog while it ends a host, and while the host's process
// handle is closed: the watchdog never uses a handle already closed.
SRWLOCK g_watchLock = SRWLOCK_INIT;
DWORD g_callTimeoutMs = kDefaultCallTimeoutMs;

uint8_t g_out[bridge::kMessageCapacity];
uint8_t g_in[bridge::kMessageCapacity];

DWORD WINAPI Watchdog(void *) {
    for (;;) {
        Sleep(kWatchdogPeriodMs);
        AcquireSRWLockExclusive(&g_watchLock);
        const ULONGLONG started = g_callStarted.load();
        if (started != 0 && GetTickCount64() - started > g_callTimeoutMs) {
            HANDLE host = g_callHost.load();
            // Ending the host breaks the pipe: the waiting call answers KS_ERR_HOST.
            if (host) TerminateProcess(host, 1);
        }
        ReleaseSRWLockExclusive(&g_watchLock);
    }
}

void StartWatchdogOnce() {
    static bool started = false;
    if (started) return;
    started = true;
    wchar_t value[16];
    const DWORD n = GetEnvironmentVariableW(L"KESTRANE_HOST_TIMEOUT_MS", value, 16);
    if (n > 0 && n < 16) {
        const unsigned long ms = wcstoul(value, nullptr, 10);
        if (ms > 0) g_callTimeoutMs = ms;
    }
    // The thread runs code of this DLL for the rest of the process: pin the DLL.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&Watchdog), &self);
    HANDLE t = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    if (t) CloseHandle(t);
}

void CloseIf(HANDLE &h) {
    if (h) CloseHandle(h);
    h = nullptr;
}

void DropHost() {
    if (g_host.process) TerminateProcess(g_host.process, 1);
    if (g_host.shared) UnmapViewOfFile(g_host.shared);
    g_host.shared = nullptr;
    g_host.seq = 0;
    CloseIf(g_host.section);
    CloseIf(g_host.requestEvent);
    CloseIf(g_host.replyEvent);
    CloseIf(g_host.job);  // kills the host if it is still there
    AcquireSRWLockExclusive(&g_watchLock);
    g_callHost.store(nullptr);
    CloseIf(g_host.process);
    ReleaseSRWLockExclusive(&g_watchLock);
}

bool HostPath(wchar_t *path, size_t size) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&HostPath), &self))
        return false;
    const DWORD n = GetModuleFileNameW(self, path, static_cast<DWORD>(size));
    if (n == 0 || n >= size) return false;
    wchar_t *slash = wcsrchr(path, L'\\');
    if (!slash || static_cast<size_t>(slash - path) + 1 + wcslen(kHostProgram) >= size) return false;
    wcscpy(slash + 1, kHostProgram);
    return true;
}

// An inheritable duplicate, for the host's CreateProcess alone (our own
// handles stay non-inheritable, so no other child of this process gets them).
HANDLE ForHost(HANDLE h, DWORD access = 0, DWORD options = DUPLICATE_SAME_ACCESS) {
    HANDLE copy = nullptr;
    return DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, access, TRUE, options) ? copy : nullptr;
}

bool StartHost() {
    wchar_t program[MAX_PATH];
    if (!HostPath(program, MAX_PATH)) return false;
    if (GetFileAttributesW(program) == INVALID_FILE_ATTRIBUTES) return false;

    g_host.section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(bridge::SharedChannel), nullptr);
    g_host.requestEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_host.replyEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (g_host.section)
        g_host.shared = static_cast<bridge::SharedChannel *>(
            MapViewOfFile(g_host.section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(bridge::SharedChannel)));
    if (!g_host.shared || !g_host.requestEvent || !g_host.replyEvent) {
        DropHost();
        return false;
    }
    HANDLE inherit[4] = {ForHost(g_host.section), ForHost(g_host.requestEvent), ForHost(g_host.replyEvent),
                         ForHost(GetCurrentProcess(), SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, 0)};
    bool ok = inherit[0] && inherit[1] && inherit[2] && inherit[3];

    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    alignas(16) static unsigned char listStorage[256];
    auto *list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listStorage);
    ok = ok && listSize <= sizeof listStorage && InitializeProcThreadAttributeList(list, 1, 0, &listSize) &&
         UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit, sizeof inherit, nullptr,
                                   nullptr);

    wchar_t command[MAX_PATH + 128];
    swprintf(command, sizeof command / sizeof command[0], L"\"%ls\" --channel %llu %llu %llu %llu", program,
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(inherit[0])),
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(inherit[1])),
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(inherit[2])),
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(inherit[3])));
    STARTUPINFOEXW si = {};
    si.StartupInfo.cb = sizeof si;
    si.lpAttributeList = list;
    PROCESS_INFORMATION pi = {};
    ok = ok && CreateProcessW(program, command, nullptr, nullptr, TRUE,
                              CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                              &si.StartupInfo, &pi);
    if (listSize <= sizeof listStorage) DeleteProcThreadAttributeList(list);
    for (HANDLE &h : inherit) CloseIf(h);
    if (!ok) {
        DropHost();
        return false;
    }
    g_host.process = pi.hProcess;
    // The job kills the host when our handle to it closes: when this
    // process ends, however it ends. The host also watches us itself, so a
    // job that cannot be set up does not leave it behind.
    g_host.job = CreateJobObjectW(nullptr, nullptr);
    if (g_host.job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(g_host.job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
            !AssignProcessToJobObject(g_host.job, pi.hProcess))
            CloseIf(g_host.job);
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    StartWatchdogOnce();
    return true;
}

enum class Trip { Ok, NotSent, Lost };

// One call and its reply. NotSent: the host was gone before it received
// anything (nothing ran). Lost: the call reached a host that then died,
// stalled or answered nonsense; whatever it did is unknown.
Trip RoundTrip(Export e, const CallArgs &args, int16_t *result) {
    uint16_t carried[bridge::kMaxArgs] = {};
    const size_t size = bridge::EncodeCall(e, args, carried, g_out);
    bridge::SharedChannel &ch = *g_host.shared;
    std::memcpy(ch.request, g_out, size);
    const uint32_t seq = ++g_host.seq;
    g_callHost.store(g_host.process);
    g_callStarted.store(GetTickCount64());
    bridge::Publish(ch.requestSeq, seq, ch.hostSleeping, g_host.requestEvent);
    Trip trip = Trip::Lost;
    bridge::Header h{};
    if (!bridge::WaitFor(ch.replySeq, seq - 1, ch.clientSleeping, g_host.replyEvent, g_host.process)) {
        // The host ended: if it never took the request, nothing ran.
        if (ch.takenSeq.load() != seq) trip = Trip::NotSent;
    } else {
        // A copy: the decoder reads nothing the other side could still change.
        std::memcpy(g_in, ch.reply, bridge::kHeaderSize);
        if (bridge::DecodeHeader(g_in, bridge::kHeaderSize, &h) == bridge::DecodeError::None &&
            h.kind == bridge::Kind::Reply && h.exportId == static_cast<uint16_t>(e)) {
            std::memcpy(g_in + bridge::kHeaderSize, ch.reply + bridge::kHeaderSize, h.bodyLength);
            if (bridge::ApplyReply(e, carried, g_in + bridge::kHeaderSize, h.bodyLength, args, result))
                trip = Trip::Ok;
        }
    }
    g_callStarted.store(0);
    if (trip != Trip::Ok) DropHost();
    return trip;
}

// A fresh host, brought to the state the caller's calls had set up.
bool ReviveHost() {
    if (!StartHost()) return false;
    if (!g_initDone) return true;
    char copy[kPathBuffer + 1];
    std::memcpy(copy, g_initPath, sizeof copy);
    CallArgs init;
    init.array[0] = copy;  // the caller's buffer is not written again
    int16_t ignored = 0;
    if (RoundTrip(Export::EncodeInit, init, &ignored) != Trip::Ok) return false;
    if (g_exitDone && RoundTrip(Export::EncodeExit, CallArgs{}, &ignored) != Trip::Ok) return false;
    return true;
}

int16_t Invoke(Export e, const CallArgs &args) {
    AcquireSRWLockExclusive(&g_lock);
    char initCopy[kPathBuffer + 1] = {};
    if (e == Export::EncodeInit && args.array[0])
        std::memcpy(initCopy, args.array[0], bridge::CarryCount(e, 0, args));
    int16_t result = KS_ERR_HOST;
    Trip trip = Trip::NotSent;
    // A host found gone before the call reached it is replaced once, and the
    // call goes to the new one: nothing ran yet.
    for (int attempt = 0; attempt < 2 && trip == Trip::NotSent; ++attempt) {
        if (!g_host.process && !ReviveHost()) break;
        trip = RoundTrip(e, args, &result);
    }
    if (trip != Trip::Ok) {
        result = KS_ERR_HOST;
    } else if (e == Export::EncodeInit && result == KS_OK) {
        std::memcpy(g_initPath, initCopy, sizeof g_initPath);
        g_initDone = true;
        g_exitDone = false;
    } else if (e == Export::EncodeExit && result == KS_OK) {
        g_exitDone = true;
    }
    ReleaseSRWLockExclusive(&g_lock);
    return result;
}

CallArgs Args(std::initializer_list<void *> arrays) {
    CallArgs a;
    int i = 0;
    for (void *p : arrays) a.array[i++] = p;
    return a;
}

}  // namespace

extern "C" {

KS_API int16_t KS_STDCALL EncodeInit(char *path) { return Invoke(Export::EncodeInit, Args({path})); }
KS_API int16_t KS_STDCALL EncodeExit(void) { return Invoke(Export::EncodeExit, CallArgs{}); }

#define KS_BRIDGE_MAKE(Name)                                                                        \
    KS_API int16_t KS_STDCALL Name(KS_CARD_FAMILY_ARGS) {                                           \
        CallArgs a = Args({cardSerial, nullptr, nullptr, listA, listB, wideList, nullptr, typeCode, \
                           listC, startTime, endTime});                                             \
        a.scalar[1] = spare, a.scalar[2] = number, a.scalar[6] = optionFlag;                        \
        return Invoke(Export::Name, a);                                                             \
    }
KS_BRIDGE_MAKE(MakeTimeCard)
KS_BRIDGE_MAKE(MakeEmergentCard)
KS_BRIDGE_MAKE(MakeGuestCard)
KS_BRIDGE_MAKE(MakeFloorCard)
KS_BRIDGE_MAKE(MakeCleanDistrictCard)
KS_BRIDGE_MAKE(MakeBuildingCard)
KS_BRIDGE_MAKE(MakeLongOpenCard)
KS_BRIDGE_MAKE(MakeChiefCard)
KS_BRIDGE_MAKE(MakeInstallCard)
KS_BRIDGE_MAKE(MakeLostCard)
KS_BRIDGE_MAKE(MakeDataCard)
KS_BRIDGE_MAKE(MakeGuestLeaveCard)
KS_BRIDGE_MAKE(MakeSealCard)
#undef KS_BRIDGE_MAKE

KS_API int16_t KS_STDCALL ReadCard(int16_t *cardSerial, int32_t spare, int16_t *number, int16_t *listA,
                                   int16_t *listB, int16_t *wideList, int16_t *optionFlag, int16_t *typeCode,
                                   int16_t *listC, int16_t *startTime, int16_t *endTime) {
    CallArgs a = Args({cardSerial, nullptr, number, listA, listB, wideList, optionFlag, typeCode, listC,
                       startTime, endTime});
    a.scalar[1] = spare;
    return Invoke(Export::ReadCard, a);
}

KS_API int16_t KS_STDCALL ReadSystemPas(int16_t *password) { return Invoke(Export::ReadSystemPas, Args({password})); }
KS_API int16_t KS_STDCALL ClearCardData(int16_t *cardSerial) {
    return Invoke(Export::ClearCardData, Args({cardSerial}));
}
KS_API int16_t KS_STDCALL M1_ReadSn(int16_t *serial) { return Invoke(Export::M1_ReadSn, Args({serial})); }
KS_API int16_t KS_STDCALL TM_ReadSn(int16_t *rom) { return Invoke(Export::TM_ReadSn, Args({rom})); }

KS_API int16_t KS_STDCALL Des2(int16_t *data, int32_t length, int32_t mode) {
    CallArgs a = Args({data});
    a.scalar[1] = length, a.scalar[2] = mode;
    return Invoke(Export::Des2, a);
}

KS_API int16_t KS_STDCALL ReadDataCard(int32_t unused) {
    CallArgs a;
    a.scalar[0] = unused;
    return Invoke(Export::ReadDataCard, a);
}

KS_API int16_t KS_STDCALL ReadOneOpenDoorRecord(int16_t *header, int16_t *unused2, int16_t *unused3,
                                                int16_t *unused4, int16_t *headerList, int16_t *kind,
                                                int16_t *time, int16_t *cardBytes) {
    return Invoke(Export::ReadOneOpenDoorRecord,
                  Args({header, unused2, unused3, unused4, headerList, kind, time, cardBytes}));
}

KS_API int16_t KS_STDCALL PDA_SetTime(int16_t *time) { return Invoke(Export::PDA_SetTime, Args({time})); }
KS_API int16_t KS_STDCALL PDA_SetRoomNumber(int16_t *room) {
    return Invoke(Export::PDA_SetRoomNumber, Args({room}));
}

}  // extern "C"
