// Kestrane64.dll when its host fails: killed in the middle of a card write,
// stalled, missing; a killed client takes its host along; each client has a
// host of its own; calls from several threads stay whole. Runs under Wine
// from the bin folder of the win64 build (Kestrane64.dll, KestraneHost32.exe,
// Kestrane.dll and the bench's DLLs side by side).
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <array>
#include <cstdio>
#include <cstring>
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

std::string Bench() {
    static const std::string dir = [] {
        const std::string d = kstest::TempDir() + "\\bench";
        EXPECT_EQ(std::system(("kestrane.exe --bench " + d + " bench init --medium mifare >NUL").c_str()), 0);
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
    ASSERT_NE(stalled, 0u);
    HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, stalled);
    TerminateProcess(h, 9);
    CloseHandle(h);
    call.join();
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
struct Child {
    HANDLE process = nullptr;
    DWORD host = 0;
    int issue = 0;
};
Child StartChild() {
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
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    Child c;
    if (CreateProcessW(self, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        c.process = pi.hProcess;
    }
    CloseHandle(writeEnd);
    char line[64] = {};
    DWORD got = 0;
    ReadFile(readEnd, line, sizeof line - 1, &got, nullptr);
    CloseHandle(readEnd);
    std::sscanf(line, "%lu %d", &c.host, &c.issue);
    return c;
}

TEST_F(BridgeFaults, EachClientHasItsOwnHostWhichEndsWithIt) {
    std::array<int16_t, 8> data{};
    ASSERT_EQ(Des2(data.data(), 8, 0), KS_OK);
    const DWORD ours = LiveHost();
    Child child = StartChild();
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
    CloseHandle(child.process);
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

}  // namespace

int main(int argc, char **argv) {
    SetEnvironmentVariableA("KESTRANE_HOST_TIMEOUT_MS", std::to_string(kCallTimeoutMs).c_str());
    if (argc == 2 && std::strcmp(argv[1], "--child") == 0) {
        CardArgs args;
        const int issue = args.Guest();
        std::printf("%lu %d\n", LiveHost(), issue);
        std::fflush(stdout);
        Sleep(INFINITE);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
