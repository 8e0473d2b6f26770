// No export allocates on the heap: a front-desk program runs for months, and
// the library must leave its heap as it found it. This program replaces
// malloc and its relatives (and with them operator new, which calls malloc)
// and counts every allocation made while an export runs: those made inside a
// vendor call are the bench's (its call log, its device models), all others
// are the library's and must be none. Every export is run on every medium,
// on its working path and with a fault at each vendor call in turn.
#include <execinfo.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "bench.h"
#include "card_args.h"
#include "collector_bench.h"
#include "datacard_bench.h"
#include "ibutton_bench.h"
#include "kestrane.h"
#include "rig.h"
#include "usb_bench.h"

// ---------------------------------------------------------------------------
// The allocator, counted.

extern "C" {
void *__libc_malloc(size_t size);
void __libc_free(void *p);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void *__libc_valloc(size_t size);
void *__libc_pvalloc(size_t size);
}

namespace {

struct Tally {
    long library = 0;  // made outside any vendor call
    long bench = 0;    // made inside a vendor call
};

bool g_counting = false;
bool g_inHook = false;
Tally g_tally;
// Where the library's first allocation came from.
constexpr int kTraceDepth = 32;
void *g_trace[kTraceDepth];
int g_traceDepth = 0;

void NoteAllocation() {
    if (!g_counting || g_inHook) return;
    g_inHook = true;
    if (bench::InVendorCall()) {
        ++g_tally.bench;
    } else {
        if (g_tally.library == 0) g_traceDepth = backtrace(g_trace, kTraceDepth);
        ++g_tally.library;
    }
    g_inHook = false;
}

// backtrace() loads its unwinder on first use, which allocates: do it now.
const bool g_backtraceReady = [] {
    void *frames[2];
    return backtrace(frames, 2) >= 0;
}();

}  // namespace

extern "C" {
void *malloc(size_t size) {
    NoteAllocation();
    return __libc_malloc(size);
}
void free(void *p) { __libc_free(p); }
void *calloc(size_t n, size_t size) {
    NoteAllocation();
    return __libc_calloc(n, size);
}
void *realloc(void *p, size_t size) {
    NoteAllocation();
    return __libc_realloc(p, size);
}
void *memalign(size_t alignment, size_t size) {
    NoteAllocation();
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size) {
    NoteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, size_t alignment, size_t size) {
    NoteAllocation();
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void *valloc(size_t size) {
    NoteAllocation();
    return __libc_valloc(size);
}
void *pvalloc(size_t size) {
    NoteAllocation();
    return __libc_pvalloc(size);
}
}

void *operator new(size_t size) {
    if (void *p = malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return malloc(size == 0 ? 1 : size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return malloc(size == 0 ? 1 : size); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }

// ---------------------------------------------------------------------------

namespace {

using namespace kstest;

// Runs one export with the allocator counting.
template <class F>
Tally Counted(F &&call) {
    g_tally = {};
    g_counting = true;
    call();
    g_counting = false;
    return g_tally;
}

constexpr const char *kEveryExport[] = {
    "EncodeInit",        "EncodeExit",         "MakeTimeCard",       "MakeEmergentCard",
    "MakeGuestCard",     "MakeFloorCard",      "MakeCleanDistrictCard", "MakeBuildingCard",
    "MakeLongOpenCard",  "MakeChiefCard",      "MakeInstallCard",    "MakeLostCard",
    "MakeDataCard",      "MakeGuestLeaveCard", "MakeSealCard",       "ReadCard",
    "ReadSystemPas",     "ClearCardData",      "M1_ReadSn",          "TM_ReadSn",
    "Des2",              "ReadDataCard",       "ReadOneOpenDoorRecord", "PDA_SetTime",
    "PDA_SetRoomNumber",
};

// Every issuing export, the seal card's too.
std::vector<CardKindRow> IssuingExports() {
    std::vector<CardKindRow> all(std::begin(kCardKinds), std::end(kCardKinds));
    all.push_back({"MakeSealCard", MakeSealCard, 0, Extension::None});
    return all;
}

class NoAllocTest : public ::testing::TestWithParam<kstest::Medium> {
protected:
    void SetUp() override {
        bench::Reset();
        g_encoder = kInitialEncoderState;
    }
    void TearDown() override {
        EncodeExit();
        bench::Reset();
    }

    // Runs `call` counted and checks the library's share; `what` names the
    // export (and the case). Returns the bench's allocations.
    template <class F>
    long Check(const std::string &exportName, const std::string &variant, F &&call) {
        const Tally t = Counted(call);
        measured_.insert(exportName);
        benchAllocations_ += t.bench;
        EXPECT_EQ(t.library, 0) << exportName << " (" << variant << ") allocated on the heap; first from:";
        if (t.library != 0) backtrace_symbols_fd(g_trace, g_traceDepth, 2);
        return t.bench;
    }

    // The export on its working path, then with a failure of the nth vendor
    // call and with the card taken out before the nth call, for every n.
    template <class Prepare, class F>
    void CheckWithFaults(const std::string &exportName, Prepare &&prepare, F &&call) {
        prepare();
        bench::ClearCallLog();
        Check(exportName, "working", call);
        const int calls = static_cast<int>(bench::TotalCalls());
        for (bench::FaultKind kind : {bench::FaultKind::FailOnce, bench::FaultKind::RemoveCard}) {
            for (int n = 1; n <= calls; ++n) {
                prepare();
                bench::ClearFaults();
                bench::ArmFault(n, kind);
                Check(exportName, "fault at vendor call " + std::to_string(n), call);
            }
        }
        bench::ClearFaults();
    }

    std::set<std::string> measured_;
    long benchAllocations_ = 0;
};

std::vector<uint8_t> LogImage() {
    return bench::OpenDoorLogImage({{0x21, 0x05, 0x07}},
                                   {bench::MakeOpenDoorSlot({{1, 2, 3, 4}}, 25, 1, 6, 1, 12, 30),
                                    bench::MakeOpenDoorSlot({{5, 6, 7, 8}}, 25, 2, 6, 2, 8, 15),
                                    bench::MakeOpenDoorSlot({{9, 9, 9, 9}}, 25, 15, 13, 40, 99, 99)});
}

TEST_P(NoAllocTest, EveryExportLeavesTheHeapToTheHost) {
    const kstest::Medium m = GetParam();
    IssueArgs args;
    ReadOutputs read;
    int16_t out[16] = {};
    int16_t header = 0, kind = 0, list[6] = {}, time[5] = {}, cardBytes[4] = {};
    const auto readRecord = [&] {
        return ReadOneOpenDoorRecord(&header, nullptr, nullptr, nullptr, list, &kind, time, cardBytes);
    };

    // Before any configuration.
    const std::vector<CardKindRow> makes = IssuingExports();
    for (const CardKindRow &make : makes) Check(make.name, "before EncodeInit", [&] { args.Issue(make.make); });
    Check("ReadCard", "before EncodeInit", [&] { read.Read(); });
    Check("ReadSystemPas", "before EncodeInit", [&] { ReadSystemPas(out); });
    Check("ClearCardData", "before EncodeInit", [&] { ClearCardData(out); });
    Check("ReadDataCard", "before EncodeInit", [&] { ReadDataCard(0); });
    Check("ReadOneOpenDoorRecord", "nothing fetched", readRecord);
    Check("EncodeExit", "before EncodeInit", [&] { EncodeExit(); });

    // Start-up: no bridge, the encoder behind a bridge (NT and 9x registry),
    // then the collector beside it.
    int16_t result = 0;
    PathBuffer config = rig::ConfigFor(m);
    const auto init = [&] { result = EncodeInit(config.get()); };
    PlaceEncoder(m);
    Check("EncodeInit", "no bridge", init);
    EXPECT_EQ(result, KS_OK);
    const char *encoderProduct = m == kstest::Medium::Ic      ? "IC Card Lock Device"
                                 : m == kstest::Medium::Temic ? "TEMIC Card Lock Device"
                                                      : "Mifare Card Lock Device";
    bench::AttachBridge({encoderProduct, "", 0x10C4, 0xEA60, kEncoderPort});
    config = rig::ConfigFor(m);
    Check("EncodeInit", "encoder bridge", init);
    EXPECT_EQ(result, KS_OK);
    if (bench::Windows9xSelectable()) {
        bench::SetWindows9x(true);
        config = rig::ConfigFor(m);
        Check("EncodeInit", "encoder bridge, 9x registry", init);
        EXPECT_EQ(result, KS_OK);
        bench::SetWindows9x(false);
    }
    bench::AttachCollector(rig::kCollectorPort);
    bench::CollectorSetLog(LogImage());
    config = rig::ConfigFor(m);
    Check("EncodeInit", "collector bridge", init);
    EXPECT_EQ(result, KS_OK);

    // Issuing every kind on a fresh card.
    const Card fresh = FactoryCard(m);
    for (const CardKindRow &make : makes) {
        Insert(fresh);
        args = IssueArgs();
        Check(make.name, "fresh card", [&] { args.Issue(make.make); });
    }
    // A guest card to read and clear.
    Insert(fresh);
    args = IssueArgs();
    ASSERT_EQ(args.Issue(MakeGuestCard), KS_OK);
    const Card issued = Take(m);

    CheckWithFaults(
        "MakeGuestCard", [&] { Insert(fresh), args = IssueArgs(); }, [&] { args.Issue(MakeGuestCard); });
    CheckWithFaults(
        "ReadCard", [&] { Insert(issued); }, [&] { read.Read(); });
    CheckWithFaults(
        "ClearCardData", [&] { Insert(issued); }, [&] { ClearCardData(read.serial); });
    Insert(issued);
    Check("MakeGuestCard", "card not cleared", [&] { args.Issue(MakeGuestCard); });
    Insert(fresh);
    Check("ReadCard", "cleared card", [&] { result = read.Read(); });
    EXPECT_EQ(result, KS_OK);

    // The system password: a system password card on Mifare (carrying the
    // hotel's own password, so later cards still match), a guest card elsewhere.
    Card passwordCard = m == kstest::Medium::Mifare ? fresh : issued;
    if (m == kstest::Medium::Mifare)
        bench::AddMifareSystemPasswordRecord(passwordCard.mifare, kHotelPassword, kHotelPassword, 0x99);
    CheckWithFaults(
        "ReadSystemPas", [&] { Insert(passwordCard); }, [&] { ReadSystemPas(out); });

    // Serial numbers.
    bench::AttachIButtonReader(rig::kIButtonPort);
    bench::PlaceIButton(bench::MakeIButtonRom(0x01, 0x123456789ABCull));
    CheckWithFaults(
        "M1_ReadSn", [&] { Insert(fresh), out[0] = kEncoderPort; }, [&] { M1_ReadSn(out); });
    CheckWithFaults(
        "TM_ReadSn", [&] { out[0] = rig::kIButtonPort; }, [&] { TM_ReadSn(out); });

    // Des2.
    int16_t data[255] = {};
    for (int mode : {0, 1})
        for (int length : {0, 8, 255})
            Check("Des2", "mode " + std::to_string(mode) + ", " + std::to_string(length) + " bytes",
                  [&] { Des2(data, length, mode); });
    Check("Des2", "null data", [&] { Des2(nullptr, 8, 0); });

    // Open-door records: from the collector, then from the medium's data card.
    Check("ReadDataCard", "collector", [&] { result = ReadDataCard(0); });
    EXPECT_EQ(result, KS_OK);
    for (int i = 0; i < 4; ++i) Check("ReadOneOpenDoorRecord", "collector log", readRecord);
    bench::CollectorStaySilent(true);
    if (m == kstest::Medium::Ic) bench::Insert24c64(bench::Make24c64DataCard(LogImage()));
    const bench::DataReader reader = m == kstest::Medium::Temic ? bench::DataReader::Temic : bench::DataReader::Mifare;
    if (m != kstest::Medium::Ic) {
        bench::PlaceDataReader(reader, kEncoderPort);
        bench::InsertDataCard(reader, LogImage());
    }
    Check("ReadDataCard", "data card", [&] { result = ReadDataCard(0); });
    EXPECT_EQ(result, KS_OK);
    for (int i = 0; i < 4; ++i) Check("ReadOneOpenDoorRecord", "data card log", readRecord);
    if (m != kstest::Medium::Ic) bench::FailDataRead(reader, 0x0123, 100);
    if (m == kstest::Medium::Ic) bench::RemoveIcCard();
    Check("ReadDataCard", "data card fails", [&] { ReadDataCard(0); });

    // The collector's settings: answered, refused, with noise, silent.
    int16_t clock[6] = {2025, 6, 1, 12, 30, 0};
    int16_t room[10] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0};
    bench::CollectorStaySilent(false);
    Check("PDA_SetTime", "answered", [&] { PDA_SetTime(clock); });
    Check("PDA_SetRoomNumber", "answered", [&] { PDA_SetRoomNumber(room); });
    bench::CollectorRefuse(2);
    Check("PDA_SetTime", "refused", [&] { PDA_SetTime(clock); });
    Check("PDA_SetRoomNumber", "refused", [&] { PDA_SetRoomNumber(room); });
    bench::CollectorNoiseBeforeReply(3);
    Check("PDA_SetTime", "noise", [&] { PDA_SetTime(clock); });
    bench::CollectorNoiseBeforeReply(0);
    bench::CollectorStaySilent(true);
    Check("PDA_SetRoomNumber", "silent", [&] { PDA_SetRoomNumber(room); });

    Check("EncodeExit", "configured", [&] { EncodeExit(); });

    for (const char *name : kEveryExport) EXPECT_TRUE(measured_.count(name)) << name << " was not run";
    // The count works: the bench's own allocations were seen.
    EXPECT_GT(benchAllocations_, 0);
}

INSTANTIATE_TEST_SUITE_P(Media, NoAllocTest, ::testing::ValuesIn(kMedia),
                         [](const ::testing::TestParamInfo<kstest::Medium> &info) { return NameOf(info.param); });

// The counter tells the library's allocations from the bench's.
TEST(AllocationCounterTest, CountsOutsideAndInsideVendorCalls) {
    bench::Reset();
    const Tally outside = Counted([] { delete new int(1); });
    EXPECT_EQ(outside.library, 1);
    EXPECT_EQ(outside.bench, 0);
    // The C library's own allocations are seen too: fopen takes its FILE and
    // buffer from malloc, which is why the library reads files with open().
    const Tally file = Counted([] {
        if (FILE *f = std::fopen(KS_SOURCE_DIR "/CMakeLists.txt", "r")) {
            std::fgetc(f);
            std::fclose(f);
        }
    });
    EXPECT_GE(file.library, 1);
    const Tally inside = Counted([] {
        bench::BeginCall("a_vendor_function_with_a_long_name", {1, 2, 3});
        std::vector<int> v(100);
        bench::EndCall(0);
    });
    EXPECT_EQ(inside.library, 0);
    EXPECT_GE(inside.bench, 2);
    bench::Reset();
}

}  // namespace
