// The DLL as a host binds it: LoadLibraryA, GetProcAddress by the plain
// names, and __stdcall calls with one 4-byte slot per argument. Each call
// goes through a small assembly thunk that pushes the slots, calls, and
// checks that the callee popped exactly its own arguments (ESP back where a
// callee-pops return must leave it) and kept EBX and ESI. A wrong slot count
// or calling convention in any export shows up here as an ESP difference.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "../../include/kestrane.h"

extern "C" uint32_t ks_abi_call(void *fn, uint32_t slots, const uint32_t *args,
                                int32_t *espDifference, int32_t *registersKept);

// cdecl thunk: pushes args[slots-1] .. args[0], calls fn, reports how far ESP
// is from where a callee that popped `slots` slots leaves it.
asm(R"(
    .text
    .globl _ks_abi_call
_ks_abi_call:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  12(%ebp), %ecx
    movl  16(%ebp), %edx
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%edx,%ecx,4)
    jmp   1b
2:  movl  12(%ebp), %ecx
    leal  (%esp,%ecx,4), %edi
    movl  $0x5EB5EB5E, %ebx
    movl  $0x51515151, %esi
    call  *8(%ebp)
    movl  %esp, %edx
    subl  %edi, %edx
    movl  20(%ebp), %ecx
    movl  %edx, (%ecx)
    xorl  %edx, %edx
    cmpl  $0x5EB5EB5E, %ebx
    jne   3f
    cmpl  $0x51515151, %esi
    jne   3f
    incl  %edx
3:  movl  24(%ebp), %ecx
    movl  %edx, (%ecx)
    leal  -12(%ebp), %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

namespace {

// Generous element arrays: every export gets more room than it may use.
struct Buffers {
    std::vector<int16_t> a[12];
    char path[255];
    Buffers() {
        for (auto &v : a) v.assign(64, 0);
        // A time the Make...Card exports accept.
        for (int i : {9, 10}) {
            a[i][0] = 2026;
            a[i][1] = 1;
            a[i][2] = 2;
        }
        std::memset(path, 0, sizeof path);
        std::strcpy(path, "C:\\kestrane-abi-test\\no-such-dir\\no-such-file.ini");
    }
    uint32_t P(int i) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(a[i].data())); }
};

struct ExportRow {
    const char *name;
    uint32_t slots;
    std::vector<uint32_t> (*args)(Buffers &);
};

std::vector<uint32_t> CardFamily(Buffers &b) {
    return {b.P(0), 0, 1, b.P(3), b.P(4), b.P(5), 0, b.P(7), b.P(8), b.P(9), b.P(10)};
}
std::vector<uint32_t> OneArray(Buffers &b) { return {b.P(0)}; }

const ExportRow kExports[] = {
    {"EncodeInit", 1,
     [](Buffers &b) { return std::vector<uint32_t>{static_cast<uint32_t>(reinterpret_cast<uintptr_t>(b.path))}; }},
    {"MakeTimeCard", 11, CardFamily},
    {"MakeEmergentCard", 11, CardFamily},
    {"MakeGuestCard", 11, CardFamily},
    {"MakeFloorCard", 11, CardFamily},
    {"MakeCleanDistrictCard", 11, CardFamily},
    {"MakeBuildingCard", 11, CardFamily},
    {"MakeLongOpenCard", 11, CardFamily},
    {"MakeChiefCard", 11, CardFamily},
    {"MakeInstallCard", 11, CardFamily},
    {"MakeLostCard", 11, CardFamily},
    {"MakeDataCard", 11, CardFamily},
    {"MakeGuestLeaveCard", 11, CardFamily},
    {"MakeSealCard", 11, CardFamily},
    {"ReadCard", 11,
     [](Buffers &b) {
         return std::vector<uint32_t>{b.P(0), 0, b.P(2), b.P(3), b.P(4), b.P(5),
                                      b.P(6), b.P(7), b.P(8), b.P(9), b.P(10)};
     }},
    {"ReadSystemPas", 1, OneArray},
    {"ClearCardData", 1, OneArray},
    {"M1_ReadSn", 1, [](Buffers &b) { b.a[0][0] = 1; return std::vector<uint32_t>{b.P(0)}; }},
    {"TM_ReadSn", 1, [](Buffers &b) { b.a[0][0] = 1; return std::vector<uint32_t>{b.P(0)}; }},
    {"Des2", 3, [](Buffers &b) { return std::vector<uint32_t>{b.P(11), 16, 0}; }},
    {"ReadDataCard", 1, [](Buffers &) { return std::vector<uint32_t>{0}; }},
    {"ReadOneOpenDoorRecord", 8,
     [](Buffers &b) {
         return std::vector<uint32_t>{b.P(0), b.P(1), b.P(2), b.P(3), b.P(4), b.P(5), b.P(6), b.P(7)};
     }},
    {"PDA_SetTime", 1, [](Buffers &b) { return std::vector<uint32_t>{b.P(9)}; }},
    {"PDA_SetRoomNumber", 1, OneArray},
    {"EncodeExit", 0, [](Buffers &) { return std::vector<uint32_t>{}; }},
};

// Result codes a host may see (low 16 bits, as signed).
const std::set<int16_t> kDocumentedResults = {
    KS_OK, KS_ERR_OPEN_OR_NO_DEV, KS_ERR_CARD_INVALID, KS_ERR_NOT_MIFARE_1K, KS_ERR_COMM,
    KS_ERR_IC_NOT_OPEN, KS_ERR_NO_RECORD, KS_ERR_MEDIUM_RESERVED, KS_ERR_UNAVAILABLE,
    KS_ERR_COLLECTOR, KS_ERR_NOT_CLEARED, KS_ERR_OTHER_HOTEL};

class AbiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dll = LoadLibraryA("Kestrane.dll"); }
    static void TearDownTestSuite() {
        if (dll != nullptr) FreeLibrary(dll);
        dll = nullptr;
    }
    void SetUp() override { ASSERT_NE(dll, nullptr) << "LoadLibraryA failed, error " << GetLastError(); }
    static HMODULE dll;
};
HMODULE AbiTest::dll = nullptr;

TEST_F(AbiTest, ExportsAreFoundByPlainNameOnly) {
    ASSERT_EQ(sizeof kExports / sizeof kExports[0], 25u);
    for (const ExportRow &e : kExports) {
        SCOPED_TRACE(e.name);
        EXPECT_NE(GetProcAddress(dll, e.name), nullptr);
        const std::string decorated = std::string(e.name) + "@" + std::to_string(4 * e.slots);
        EXPECT_EQ(GetProcAddress(dll, decorated.c_str()), nullptr);
        EXPECT_EQ(GetProcAddress(dll, ("_" + decorated).c_str()), nullptr);
        EXPECT_EQ(GetProcAddress(dll, ("_" + std::string(e.name)).c_str()), nullptr);
    }
}

TEST_F(AbiTest, EveryExportPopsItsOwnSlotsAndKeepsCalleeSavedRegisters) {
    Buffers buffers;
    for (const ExportRow &e : kExports) {
        SCOPED_TRACE(e.name);
        void *fn = reinterpret_cast<void *>(GetProcAddress(dll, e.name));
        ASSERT_NE(fn, nullptr);
        const std::vector<uint32_t> args = e.args(buffers);
        ASSERT_EQ(args.size(), e.slots);
        int32_t espDifference = 12345;
        int32_t registersKept = 0;
        const uint32_t eax = ks_abi_call(fn, e.slots, args.data(), &espDifference, &registersKept);
        EXPECT_EQ(espDifference, 0) << "stack off by " << espDifference << " bytes";
        EXPECT_EQ(registersKept, 1);
        const auto result = static_cast<int16_t>(eax & 0xFFFF);
        EXPECT_EQ(kDocumentedResults.count(result), 1u) << "result " << result;
    }
}

TEST_F(AbiTest, Des2ThroughTheDllEnciphersInPlace) {
    // Published known answer for the library's fixed key.
    const uint8_t plain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    const uint8_t cipher[8] = {0x0F, 0xA2, 0x7F, 0x57, 0x8F, 0xB6, 0xBB, 0x2E};
    int16_t data[8];
    for (int i = 0; i < 8; ++i) data[i] = plain[i];
    void *fn = reinterpret_cast<void *>(GetProcAddress(dll, "Des2"));
    ASSERT_NE(fn, nullptr);
    const uint32_t args[3] = {static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data)), 8, 0};
    int32_t espDifference = -1, registersKept = 0;
    const uint32_t eax = ks_abi_call(fn, 3, args, &espDifference, &registersKept);
    EXPECT_EQ(espDifference, 0);
    EXPECT_EQ(static_cast<int16_t>(eax & 0xFFFF), KS_OK);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(data[i], cipher[i]) << "element " << i;
}

}  // namespace
