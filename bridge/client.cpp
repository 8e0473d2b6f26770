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
// A host that has not loaded Kestrane.dll after this long is taken for one
// that never will (the call's own time-out counts from its start-up's end).
constexpr DWORD kHostStartTimeoutMs = 60000;
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

// What the caller's calls set up in the library, so a fresh host can be
// brought back to it: the caller's last EncodeInit as the caller passed it
// (before the library wrote the port into byte 1), its result and the state
// the host reported after it, and the first EncodeExit after it.
struct CallerState {
    bool init = false;
    char path[kPathBuffer + 1] = {};
    int16_t initResult = 0;
    bridge::EncoderReport report;
    bool exit = false;
    int16_t exitResult = 0;
    // ReadSystemPas took the password from a card: no replay brings it back.
    bool passwordFromCard = false;
};
CallerState g_caller;
// The library state on the host is not the caller's and cannot be made so
// (a replay ended elsewhere, or a call that changes it was lost): every call
// but EncodeInit answers KS_ERR_HOST until the caller's own EncodeInit.
bool g_stateLost = false;
// A fetched log may still hold records on this host, and one that did was
// lost with its host: ReadOneOpenDoorRecord answers KS_ERR_HOST until the
// next ReadDataCard, rather than "no record" for records the caller never got.
bool g_recordsPending = false;
bool g_recordsLost = false;

// The watchdog's view of the call in progress, guarded by g_watchLock: the
// tick it started at (0: none), the host it went to and the request number,
// so a host whose answer is already in place is never ended.
struct WatchedCall {
    ULONGLONG started = 0;
    HANDLE host = nullptr;
    bridge::SharedChannel *shared = nullptr;
    uint32_t seq = 0;
    bool hostWasReady = false;  // the call's time runs from when the host was ready
};
WatchedCall g_watched;
SRWLOCK g_watchLock = SRWLOCK_INIT;
DWORD g_callTimeoutMs = kDefaultCallTimeoutMs;
// How long a host that was ended may take to be gone before the next starts
// (it may hold the contact encoder's COM port until then).
constexpr DWORD kHostEndWaitMs = 10000;

uint8_t g_out[bridge::kMessageCapacity];
uint8_t g_in[bridge::kMessageCapacity];

DWORD WINAPI Watchdog(void *) {
    for (;;) {
        Sleep(kWatchdogPeriodMs);
        AcquireSRWLockExclusive(&g_watchLock);
        WatchedCall &c = g_watched;
        const ULONGLONG now = GetTickCount64();
        if (c.started != 0 && !c.hostWasReady && c.shared->hostReady.load()) {
            c.hostWasReady = true;
            c.started = now;
        }
        const DWORD limit = c.hostWasReady ? g_callTimeoutMs : kHostStartTimeoutMs + g_callTimeoutMs;
        // The call's start, its host and whether it answered are read under
        // the lock the call clears them with: a host that answered is kept.
        if (c.started != 0 && now - c.started > limit && c.host && c.shared->replySeq.load() != c.seq)
            TerminateProcess(c.host, 1);  // the waiting call sees it end and answers KS_ERR_HOST
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

void Watch(ULONGLONG started, uint32_t seq) {
    AcquireSRWLockExclusive(&g_watchLock);
    g_watched = {started, g_host.process, g_host.shared, seq, g_host.shared && g_host.shared->hostReady.load() != 0};
    ReleaseSRWLockExclusive(&g_watchLock);
}

void DropHost() {
    if (g_host.process) {
        TerminateProcess(g_host.process, 1);
        // Gone before another starts: it may still hold a COM port.
        WaitForSingleObject(g_host.process, kHostEndWaitMs);
    }
    Watch(0, 0);
    if (g_host.shared) UnmapViewOfFile(g_host.shared);
    g_host.shared = nullptr;
    g_host.seq = 0;
    CloseIf(g_host.section);
    CloseIf(g_host.requestEvent);
    CloseIf(g_host.replyEvent);
    CloseIf(g_host.job);  // kills the host if it is still there
    CloseIf(g_host.process);
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

// A duplicate for the host, not inheritable yet: it becomes so only for the
// host's CreateProcess (Inheritable) and is closed right after, so a child
// another thread of the program starts with inheritance can receive the
// channel only while that one call runs, not while the host is set up.
HANDLE ForHost(HANDLE h, DWORD access = 0, DWORD options = DUPLICATE_SAME_ACCESS) {
    HANDLE copy = nullptr;
    return DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, access, FALSE, options) ? copy : nullptr;
}

bool Inheritable(HANDLE *handles, size_t n, bool on) {
    bool ok = true;
    for (size_t i = 0; i < n; ++i)
        ok = SetHandleInformation(handles[i], HANDLE_FLAG_INHERIT, on ? HANDLE_FLAG_INHERIT : 0) && ok;
    return ok;
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
    // Inheritable for this one call (the handle list names them alone), and
    // closed at once after it.
    ok = ok && Inheritable(inherit, 4, true) &&
         CreateProcessW(program, command, nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                        &si.StartupInfo, &pi);
    for (HANDLE &h : inherit) CloseIf(h);
    if (listSize <= sizeof listStorage) DeleteProcThreadAttributeList(list);
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
Trip RoundTrip(Export e, const CallArgs &args, int16_t *result, bridge::EncoderReport *report) {
    uint16_t carried[bridge::kMaxArgs] = {};
    const size_t size = bridge::EncodeCall(e, args, carried, g_out);
    bridge::SharedChannel &ch = *g_host.shared;
    std::memcpy(ch.request, g_out, size);
    const uint32_t seq = ++g_host.seq;
    Watch(GetTickCount64(), seq);
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
            if (bridge::ApplyReply(e, carried, g_in + bridge::kHeaderSize, h.bodyLength, args, result, report))
                trip = Trip::Ok;
        }
    }
    Watch(0, 0);
    if (trip != Trip::Ok) DropHost();
    return trip;
}

// The caller's last EncodeInit, and the EncodeExit after it, run again on a
// fresh host: true when each answered as it did for the caller and the host
// reports the encoder state it reported then. The INI file may have changed
// since, and a COM port may be taken: then the state is not the caller's.
bool Replay() {
    char copy[kPathBuffer + 1];
    std::memcpy(copy, g_caller.path, sizeof copy);
    CallArgs init;
    init.array[0] = copy;  // the caller's buffer is not written again
    int16_t result = 0;
    bridge::EncoderReport report;
    if (RoundTrip(Export::EncodeInit, init, &result, &report) != Trip::Ok || result != g_caller.initResult ||
        !bridge::SameEncoderState(report, g_caller.report))
        return false;
    return !g_caller.exit ||
           (RoundTrip(Export::EncodeExit, CallArgs{}, &result, nullptr) == Trip::Ok && result == g_caller.exitResult);
}

// A fresh host, brought to the state the caller's calls had set up; for the
// caller's own EncodeInit (`replay` false) none is needed. A host that cannot
// be brought there is ended and the state marked lost.
bool ReviveHost(bool replay) {
    if (!StartHost()) return false;
    // Whatever log the old host held is gone with it.
    g_recordsLost = g_recordsLost || g_recordsPending;
    g_recordsPending = false;
    if (!replay || !g_caller.init) return true;
    if (!g_caller.passwordFromCard && Replay()) return true;
    DropHost();
    g_stateLost = true;
    return false;
}

// What a call that reached the host did to the caller's state (`trip`
// Lost: it may have run, its result unknown).
void Record(Export e, Trip trip, int16_t result, const char *initPath, const bridge::EncoderReport &report) {
    const bool lost = trip == Trip::Lost;
    switch (e) {
    case Export::EncodeInit:
        if (lost) {
            g_stateLost = true;
            return;
        }
        g_caller = CallerState{};
        g_caller.init = true;
        std::memcpy(g_caller.path, initPath, sizeof g_caller.path);
        g_caller.initResult = result;
        g_caller.report = report;
        g_stateLost = false;
        break;
    case Export::EncodeExit:
        if (lost) g_stateLost = g_stateLost || g_caller.init;
        else if (g_caller.init && !g_caller.exit) g_caller.exit = true, g_caller.exitResult = result;
        break;
    case Export::ReadSystemPas:
        if (lost) g_stateLost = g_stateLost || g_caller.init;
        else if (result == KS_OK) g_caller.passwordFromCard = true;
        break;
    case Export::ReadDataCard:
        // Even a failed fetch may have set the log's cursor back (a
        // collector exchange that got as far as receiving).
        g_recordsPending = true;
        g_recordsLost = false;
        break;
    case Export::ReadOneOpenDoorRecord:
        if (!lost && result == KS_ERR_NO_RECORD) g_recordsPending = false;
        break;
    default: break;
    }
}

bool Refused(Export e) {
    return (g_stateLost && e != Export::EncodeInit) || (g_recordsLost && e == Export::ReadOneOpenDoorRecord);
}

int16_t Invoke(Export e, const CallArgs &args) {
    AcquireSRWLockExclusive(&g_lock);
    char initCopy[kPathBuffer + 1] = {};
    if (e == Export::EncodeInit && args.array[0])
        std::memcpy(initCopy, args.array[0], bridge::CarryCount(e, 0, args));
    int16_t result = KS_ERR_HOST;
    bridge::EncoderReport report;
    Trip trip = Trip::NotSent;
    // A host found gone before the call reached it is replaced once, and the
    // call goes to the new one (nothing ran yet) unless the replacement lost
    // what the call depends on.
    for (int attempt = 0; attempt < 2 && trip == Trip::NotSent; ++attempt) {
        if (Refused(e)) break;
        if (!g_host.process && !ReviveHost(e != Export::EncodeInit)) break;
        if (Refused(e)) break;
        trip = RoundTrip(e, args, &result, &report);
    }
    if (trip != Trip::Ok) result = KS_ERR_HOST;
    if (trip != Trip::NotSent) Record(e, trip, result, initCopy, report);
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
