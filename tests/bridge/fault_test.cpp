// Kestrane64.dll when its host fails: killed in the middle of a card write,
// stalled, missing; a killed client takes its host along; each client has a
// host of its own; calls from several threads stay whole. Runs under Wine
// from the bin folder of the win64 build (Kestrane64.dll, KestraneHost32.exe,
// Kestrane.dll and the bench's DLLs side by side).
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "channel.h"
#include "kestrane.h"
#include "test_support.h"

namespace {

constexpr DWORD kCallTimeoutMs = 3000;  // the watchdog's limit in this program
constexpr int16_t kGuestType = 4;

// The host processes this process started (normally one, alive or dead).
std::vector<DWORD> HostsOf(DWORD parent) {
    std::vector<DWORD> pids;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W e = {};
    e.dwSize = sizeof e;
    for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e))
        if (e.th32ParentProcessID == parent && _wcsicmp(e.szExeFile, L"KestraneHost32.exe") == 0)
            pids.push_back(e.th32ProcessID);
    CloseHandle(snap);
    return pids;
}

bool Alive(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return false;
    const bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return alive;
}

DWORD LiveHost() {
    for (DWORD pid : HostsOf(GetCurrentProcessId()))
        if (Alive(pid)) return pid;
    return 0;
}

std::string FileBytes(const std::string &path) {
    std::string bytes;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
        std::fclose(f);
    }
    return bytes;
}

// The tool beside this program, by its full path (not looked up by cmd).
std::string Tool() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string dir(self, n);
    return "\"" + dir.substr(0, dir.find_last_of('\\')) + "\\kestrane.exe\"";
}

std::string Bench() {
    static const std::string dir = [] {
        const std::string d = kstest::TempDir() + "\\bench";
        EXPECT_EQ(std::system((Tool() + " --bench " + d + " bench init --medium mifare >NUL").c_str()), 0);
        SetEnvironmentVariableA("KESTRANE_BENCH", d.c_str());
        return d;
    }();
    return dir;
}

struct CardArgs {
    std::array<int16_t, 8> serial{};
    std::array<int16_t, 12> wide{101, 102};
    std::array<int16_t, 5> start{2026, 3, 1, 14, 0}, end{2026, 3, 3, 12, 0};
    int16_t Guest() {
        return MakeGuestCard(serial.data(), 0, 0, nullptr, nullptr, wide.data(), 0, nullptr, nullptr, start.data(),
                             end.data());
    }
};

int16_t ReadType() {
    std::array<int16_t, 8> serial{};
    std::array<int16_t, 12> wide{};
    std::array<int16_t, 6> start{}, end{};
    std::array<int16_t, 4> a{}, b{}, c{};
    int16_t number = 0, option = 0, type = -1;
    const int16_t r = ReadCard(serial.data(), 0, &number, a.data(), b.data(), wide.data(), &option, &type, c.data(),
                               start.data(), end.data());
    return r == KS_OK ? type : r;
}

class BridgeFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Bench();
        std::snprintf(path_, sizeof path_, "%s\\config.ini", Bench().c_str());
        ASSERT_EQ(EncodeInit(path_), KS_OK);
    }
    void TearDown() override { SetEnvironmentVariableA("KESTRANE_HOST_TEST_STALL", nullptr); }
    // The next host to start runs `exportName` and then stops answering.
    static void StallAfter(const char *exportName) {
        SetEnvironmentVariableA("KESTRANE_HOST_TEST_STALL", exportName);
        const DWORD host = LiveHost();
        if (host) {  // a running host would not read the variable: replace it
            HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, host);
            TerminateProcess(h, 9);
            WaitForSingleObject(h, 5000);
            CloseHandle(h);
        }
    }
    static char path_[255];
};

// Ends this program's host while no call is in progress, and waits for it.
void EndHost() {
    const DWORD pid = LiveHost();
    if (HANDLE h = pid ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid) : nullptr) {
        TerminateProcess(h, 9);
        EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
        CloseHandle(h);
    }
}

// A change to the bench, made while no host runs: a running host's bench
// holds the devices' state and would write its own over the change.
int BenchCommand(const std::string &command) {
    EndHost();
    return std::system((Tool() + " --bench " + Bench() + " bench " + command + " >NUL").c_str());
}
char BridgeFaults::path_[255];

// The card is written but the answer never comes: the call must not report
// success, and the next call finds a fresh host already through the caller's
// EncodeInit (a Mifare clear works only after one), without writing the
// caller's path buffer again.
TEST_F(BridgeFaults, HostKilledDuringACardWriteThenTheNextCallRecovers) {
    ASSERT_EQ(ClearCardData(CardArgs{}.serial.data()), KS_OK);
    StallAfter("MakeGuestCard");
    path_[1] = 0x55;
    const std::string card = Bench() + "\\cards\\card-1.mfd";
    const std::string blank = FileBytes(card);
    CardArgs args;
    int16_t result = 0;
    std::thread call([&] { result = args.Guest(); });
    // The host has written the card (the bench saves it after each vendor
    // call) and then stalls.
    for (int waited = 0; FileBytes(card) == blank && waited < 20000; waited += 50) Sleep(50);
    Sleep(200);
    const DWORD stalled = LiveHost();
    if (HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, stalled)) {
        TerminateProcess(h, 9);
        CloseHandle(h);
    }
    call.join();  // bounded: the watchdog ends a stalled host after kCallTimeoutMs
    ASSERT_NE(stalled, 0u);
    EXPECT_EQ(result, KS_ERR_HOST);
    EXPECT_EQ(args.start[0], 2026) << "nothing came back, so nothing was written back";
    SetEnvironmentVariableA("KESTRANE_HOST_TEST_STALL", nullptr);

    EXPECT_EQ(ReadType(), kGuestType) << "the write had reached the card";
    EXPECT_NE(LiveHost(), stalled);
    EXPECT_EQ(ClearCardData(CardArgs{}.serial.data()), KS_OK);
    EXPECT_EQ(CardArgs{}.Guest(), KS_OK);
    EXPECT_EQ(path_[1], 0x55);
}

TEST_F(BridgeFaults, AHostThatStopsAnsweringIsEndedAfterTheTimeOut) {
    StallAfter("Des2");
    std::array<int16_t, 8> data{1, 2, 3, 4, 5, 6, 7, 8};
    const DWORD t0 = GetTickCount();
    EXPECT_EQ(Des2(data.data(), 8, 0), KS_ERR_HOST);
    const DWORD took = GetTickCount() - t0;
    EXPECT_GE(took, kCallTimeoutMs);
    EXPECT_LT(took, kCallTimeoutMs + 2000);
    SetEnvironmentVariableA("KESTRANE_HOST_TEST_STALL", nullptr);
    EXPECT_EQ(Des2(data.data(), 8, 0), KS_OK);
    EXPECT_EQ(ClearCardData(CardArgs{}.serial.data()), KS_OK);  // state restored: Mifare configured
}

TEST_F(BridgeFaults, AMissingHostAnswersHostError) {
    // Kestrane64.dll alone in a folder.
    const std::string dir = kstest::TempDir() + "\\alone";
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string dll = dir + "\\K64.dll";  // its own copy, not the one this program linked
    ASSERT_TRUE(CopyFileA("Kestrane64.dll", dll.c_str(), FALSE));
    HMODULE lib = LoadLibraryA(dll.c_str());
    ASSERT_NE(lib, nullptr);
    auto des = reinterpret_cast<int16_t (*)(int16_t *, int32_t, int32_t)>(
        reinterpret_cast<void (*)()>(GetProcAddress(lib, "Des2")));
    std::array<int16_t, 8> data{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(des(data.data(), 8, 0), KS_ERR_HOST);
    EXPECT_EQ(des(data.data(), 8, 0), KS_ERR_HOST);
    EXPECT_EQ(data[0], 1);
}

// Child modes of this program (see main): print the child's host pid and
// the result of an issuing call made without EncodeInit, then wait.
// The child is ended with the test, whatever the test's outcome: one left
// behind would outlive the run.
struct Child {
    HANDLE process = nullptr;
    DWORD host = 0;
    int issue = 0;
    ~Child() {
        if (!process) return;
        TerminateProcess(process, 9);
        CloseHandle(process);
    }
};
void StartChild(Child &c) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    CreatePipe(&readEnd, &writeEnd, &sa, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --child";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    // Not our stderr: a child left behind would hold the test runner's pipe
    // open, and the runner would wait for it until its time-out.
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(self, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        c.process = pi.hProcess;
    }
    CloseHandle(writeEnd);
    char line[64] = {};
    DWORD got = 0, ready = 0;
    // Bounded: a child that never answers fails the test, it does not stall it.
    for (int waited = 0; waited < 30000; waited += 20) {
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &ready, nullptr) || ready > 0) break;
        Sleep(20);
    }
    if (ready > 0) ReadFile(readEnd, line, sizeof line - 1, &got, nullptr);
    else std::fprintf(stderr, "the child printed nothing within 30 s\n");
    CloseHandle(readEnd);
    std::sscanf(line, "%lu %d", &c.host, &c.issue);
}

TEST_F(BridgeFaults, EachClientHasItsOwnHostWhichEndsWithIt) {
    std::array<int16_t, 8> data{};
    ASSERT_EQ(Des2(data.data(), 8, 0), KS_OK);
    const DWORD ours = LiveHost();
    Child child;
    StartChild(child);
    ASSERT_NE(child.process, nullptr);
    ASSERT_NE(child.host, 0u);
    EXPECT_NE(child.host, ours);
    // Our EncodeInit configured our host only: the child's has no medium.
    EXPECT_EQ(child.issue, KS_ERR_UNAVAILABLE);

    HANDLE host = OpenProcess(SYNCHRONIZE, FALSE, child.host);
    ASSERT_NE(host, nullptr);
    TerminateProcess(child.process, 9);
    EXPECT_EQ(WaitForSingleObject(host, 1000), WAIT_OBJECT_0) << "the host outlived its killed client";
    CloseHandle(host);
    EXPECT_TRUE(Alive(ours));
}

// A host started by hand on a channel of this test, holding one message.
struct RawHost {
    RawHost(const std::vector<uint8_t> &message, bool inherit) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, inherit};
        section = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(bridge::SharedChannel), nullptr);
        shared = static_cast<bridge::SharedChannel *>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        std::memcpy(shared->request, message.data(), message.size());
        shared->requestSeq.store(1);
        request = CreateEventW(&sa, FALSE, TRUE, nullptr);
        reply = CreateEventW(&sa, FALSE, FALSE, nullptr);
        DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &us,
                        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, inherit, 0);
        std::wstring command = L"KestraneHost32.exe --channel";
        for (HANDLE h : {section, request, reply, us}) command += L" " + std::to_wstring(reinterpret_cast<uintptr_t>(h));
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        started = CreateProcessW(L"KestraneHost32.exe", &command[0], nullptr, nullptr, inherit, 0, nullptr, nullptr,
                                 &si, &pi);
    }
    // The host's exit code once it ended (within 5 s), or -1.
    long Exit() {
        DWORD code = 0;
        if (!started || WaitForSingleObject(pi.hProcess, 5000) != WAIT_OBJECT_0) return -1;
        GetExitCodeProcess(pi.hProcess, &code);
        return static_cast<long>(code);
    }
    ~RawHost() {
        if (started) {
            TerminateProcess(pi.hProcess, 9);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
        UnmapViewOfFile(shared);
        for (HANDLE h : {section, request, reply, us}) CloseHandle(h);
    }
    HANDLE section = nullptr, request = nullptr, reply = nullptr, us = nullptr;
    bridge::SharedChannel *shared = nullptr;
    PROCESS_INFORMATION pi = {};
    bool started = false;
};

constexpr long kHostRefused = 4;  // KestraneHost32's exit code for a malformed message
const std::vector<uint8_t> kEncodeExit = {1, 0, 1, 0, 0, 0, 0, 0};

TEST_F(BridgeFaults, AHostGivenHandlesItDidNotInheritServesNothing) {
    // The numbers of a channel of ours, holding a well-formed call, mean
    // nothing in another process: the host takes nothing and ends.
    RawHost host(kEncodeExit, false);
    ASSERT_TRUE(host.started);
    EXPECT_NE(host.Exit(), -1);
    EXPECT_EQ(host.shared->takenSeq.load(), 0u) << "the call was taken by another process";
    EXPECT_EQ(host.shared->replySeq.load(), 0u);
}

TEST_F(BridgeFaults, AMalformedMessageEndsTheConnectionWithAnError) {
    const struct {
        const char *what;
        std::vector<uint8_t> message;
    } cases[] = {
        {"unknown kind", {9, 0, 1, 0, 0, 0, 0, 0}},
        {"unknown export", {1, 0, 25, 0, 0, 0, 0, 0}},
        {"oversized body", {1, 0, 1, 0, 0xFF, 0xFF, 0, 0}},
        {"count beyond the array", {1, 0, 23, 0, 2, 0, 0, 0, 11, 0}},  // PDA_SetTime, 11 elements
        {"body shorter than its arrays", {1, 0, 20, 0, 10, 0, 0, 0, 8, 0, 1, 0, 8, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        RawHost host(c.message, true);
        ASSERT_TRUE(host.started);
        EXPECT_EQ(host.Exit(), kHostRefused) << c.what;
        EXPECT_EQ(host.shared->replySeq.load(), 1u) << c.what;
        EXPECT_EQ(host.shared->reply[0], 3) << c.what << ": not an error message";
    }
    RawHost good(kEncodeExit, true);  // the same rig with a good call: answered
    ASSERT_TRUE(good.started);
    for (int waited = 0; good.shared->replySeq.load() != 1 && waited < 5000; waited += 10) Sleep(10);
    EXPECT_EQ(good.shared->reply[0], 2);
}

// The host ends while idle; the calls after it must answer as the caller's
// own state says, never from a state the caller replaced or never set up.
struct Step {
    const char *what;
    std::function<int16_t()> call;
    int16_t expect;
};
constexpr int16_t kHostEnds = 0x7FFF;  // a step that ends the host (its result is not looked at)

int16_t Init(const std::string &path) {
    char buffer[255] = {};
    std::snprintf(buffer, sizeof buffer, "%s", path.c_str());
    return EncodeInit(buffer);
}
int16_t Record() {
    int16_t header = 0, kind = 0, list[6] = {}, time[5] = {}, card[4] = {};
    return ReadOneOpenDoorRecord(&header, nullptr, nullptr, nullptr, list, &kind, time, card);
}
int16_t Des() {
    std::array<int16_t, 8> d{1, 2, 3, 4, 5, 6, 7, 8};
    return Des2(d.data(), 8, 0);
}
int16_t SystemPas() {
    std::array<int16_t, 5> password{};
    return ReadSystemPas(password.data());
}
int16_t Clear() { return ClearCardData(CardArgs{}.serial.data()); }

TEST_F(BridgeFaults, ARestartedHostRunsOnlyInTheCallersState) {
    const std::string dir = kstest::TempDir();
    const std::string base = Bench() + "\\config.ini";  // path_ holds the port in byte 1
    const std::string config = FileBytes(base);
    auto withLockType = [&](const char *digit) {
        std::string text = config;
        const size_t at = text.find("LockType=");
        if (at != std::string::npos) text[at + 9] = digit[0];
        return text;
    };
    ASSERT_NE(config.find("LockType=4"), std::string::npos) << "the bench's configuration is Mifare";
    const std::string bad = kstest::WriteFile(dir, "bad.ini", withLockType("9"));
    const std::string mine = kstest::WriteFile(dir, "mine.ini", config);
    auto rewrite = [&](const char *digit) {
        return [&, digit] { return kstest::WriteFile(dir, "mine.ini", withLockType(digit)).empty() ? 0 : KS_OK; };
    };
    std::string log = kstest::WriteFile(dir, "log.txt",
                                        "record 2 2026-03-01 10:00 01020304\nrecord 3 2026-03-01 10:05 01020304\n"
                                        "record 4 2026-03-01 10:10 01020304\n");
    ASSERT_EQ(BenchCommand("card new --data --name restart-log --log " + log), 0);
    ASSERT_EQ(BenchCommand("card new --system-password --name restart-pass"), 0);

    const struct {
        const char *what;
        std::vector<Step> steps;
    } cases[] = {
        {"a failed EncodeInit replaced a good one",
         {{"EncodeInit A", [&] { return Init(base); }, KS_OK},
          {"EncodeInit B (LockType out of range)", [&] { return Init(bad); }, KS_ERR_MEDIUM_RESERVED},
          {"MakeGuestCard", [] { return CardArgs{}.Guest(); }, KS_ERR_UNAVAILABLE},
          {"", nullptr, kHostEnds},
          {"MakeGuestCard after the restart", [] { return CardArgs{}.Guest(); }, KS_ERR_UNAVAILABLE}}},
        {"the INI file changed under the caller",
         {{"EncodeInit", [&] { return Init(mine); }, KS_OK},
          {"LockType changed on disk", rewrite("9"), KS_OK},
          {"", nullptr, kHostEnds},
          {"ClearCardData", Clear, KS_ERR_HOST},
          {"Des2 too: no call runs on that host", Des, KS_ERR_HOST},
          {"the file as it was", rewrite("4"), KS_OK},
          {"still: only the caller's EncodeInit ends it", Clear, KS_ERR_HOST},
          {"EncodeInit", [&] { return Init(mine); }, KS_OK},
          {"ClearCardData", Clear, KS_OK}}},
        {"records still in the log",
         {{"insert the data card", [] { return BenchCommand("card insert restart-log") == 0 ? KS_OK : 0; }, KS_OK},
          {"EncodeInit", [&] { return Init(base); }, KS_OK},
          {"ReadDataCard", [] { return ReadDataCard(0); }, KS_OK},
          {"first record", Record, KS_OK},
          {"", nullptr, kHostEnds},
          {"second record, lost with its host", Record, KS_ERR_HOST},
          {"still lost", Record, KS_ERR_HOST},
          {"the card still works", Des, KS_OK},
          {"ReadDataCard again", [] { return ReadDataCard(0); }, KS_OK},
          {"the log from its start", Record, KS_OK}}},
        {"the password came from a card, which no replay reads again",
         {{"insert the password card", [] { return BenchCommand("card insert restart-pass") == 0 ? KS_OK : 0; }, KS_OK},
          {"EncodeInit", [&] { return Init(base); }, KS_OK},
          {"ReadSystemPas", SystemPas, KS_OK},
          {"", nullptr, kHostEnds},
          {"ReadCard", ReadType, KS_ERR_HOST},
          {"EncodeInit", [&] { return Init(base); }, KS_OK},
          {"a working host again", SystemPas, KS_OK}}},
        {"a log read to its end",
         {{"insert the data card", [] { return BenchCommand("card insert restart-log") == 0 ? KS_OK : 0; }, KS_OK},
          {"EncodeInit", [&] { return Init(base); }, KS_OK},
          {"ReadDataCard", [] { return ReadDataCard(0); }, KS_OK},
          {"1", Record, KS_OK}, {"2", Record, KS_OK}, {"3", Record, KS_OK},
          {"end of the log", Record, KS_ERR_NO_RECORD},
          {"", nullptr, kHostEnds},
          {"nothing was lost: still the end", Record, KS_ERR_NO_RECORD}}},
    };
    for (const auto &c : cases) {
        for (const Step &step : c.steps) {
            if (step.expect == kHostEnds) EndHost();
            else EXPECT_EQ(step.call(), step.expect) << c.what << ": " << step.what;
        }
    }
    EXPECT_EQ(BenchCommand("card insert card-1"), 0);
    EXPECT_EQ(Init(base), KS_OK);
}

TEST_F(BridgeFaults, CallsFromSeveralThreadsAreSerialised) {
    auto cipher = [](int seed) {
        std::array<int16_t, 16> d{};
        for (int i = 0; i < 16; ++i) d[i] = static_cast<int16_t>((seed * 31 + i) & 0xFF);
        Des2(d.data(), 16, 0);
        return d;
    };
    std::vector<std::array<int16_t, 16>> expected;
    for (int s = 0; s < 4; ++s) expected.push_back(cipher(s));
    int mismatches = 0;
    std::vector<std::thread> threads;
    for (int s = 0; s < 4; ++s)
        threads.emplace_back([&, s] {
            for (int n = 0; n < 100; ++n)
                if (cipher(s) != expected[s]) ++mismatches;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(mismatches, 0);
}

// Every wait above is bounded; this bounds the rest. A test that runs
// longer than kTestLimitMs is named and the program ends with a failure,
// long before the test runner's own time-out.
constexpr DWORD kTestLimitMs = 60000;
std::atomic<ULONGLONG> g_testStarted{0};
char g_testName[256];

class StallGuard : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &t) override {
        std::snprintf(g_testName, sizeof g_testName, "%s.%s", t.test_suite_name(), t.name());
        g_testStarted.store(GetTickCount64());
    }
    void OnTestEnd(const ::testing::TestInfo &) override { g_testStarted.store(0); }
};

DWORD WINAPI WatchForStalls(void *) {
    for (;;) {
        Sleep(500);
        const ULONGLONG started = g_testStarted.load();
        if (started != 0 && GetTickCount64() - started > kTestLimitMs) {
            std::fprintf(stderr, "STALL: %s still running after %lu s; ending the program\n", g_testName,
                         kTestLimitMs / 1000);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    SetEnvironmentVariableA("KESTRANE_HOST_TIMEOUT_MS", std::to_string(kCallTimeoutMs).c_str());
    if (argc == 2 && std::strcmp(argv[1], "--child") == 0) {
        CardArgs args;
        const int issue = args.Guest();
        std::printf("%lu %d\n", LiveHost(), issue);
        std::fflush(stdout);
        Sleep(60000);  // ended by the test long before; never left behind for good
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new StallGuard);
    if (HANDLE t = CreateThread(nullptr, 0, WatchForStalls, nullptr, 0, nullptr)) CloseHandle(t);
    return RUN_ALL_TESTS();
}
