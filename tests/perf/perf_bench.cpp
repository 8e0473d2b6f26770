// Benchmarks of the exports through the bench, of the bench alone, and of the
// codec's hot loops.
//
// Card operations are timed by hand, one card per iteration: the card is put
// into the encoder untimed, the export is timed, then the same card goes in
// again and the vendor calls the export made (recorded once from the bench's
// call log) are replayed straight against the bench's vendor functions, also
// timed. The export's time is the reported time; counters:
//   bench_ns     the replayed vendor calls alone: what the bench costs
//   library_ns   export minus bench: the library's own work per card
//   cards_per_s  cards through the bench per second (library + bench)
//   calls        vendor calls per operation
//   payload_B    bytes that crossed those calls (written and read data)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "media/port_discovery.h"
#include "card_args.h"
#include "codec/codec.h"
#include "kestrane.h"
#include "rig.h"
#include "usb_bench.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// One operation: `prepare` puts the device state back (untimed), `run` is
// the export. The export must answer KS_OK every time.
struct Operation {
    std::function<void()> prepare;
    std::function<int16_t()> run;
};

// Runs the operation once and compiles its calls for replay; on failure the
// benchmark is skipped with the reason.
bool Record(benchmark::State &state, const Operation &op, rig::Replay *replay, std::vector<bench::Call> *log) {
    op.prepare();
    bench::ClearCallLog();
    const int16_t result = op.run();
    *log = bench::CallLog();
    std::string unknown;
    if (result != KS_OK) {
        state.SkipWithError(("the export answered " + std::to_string(result)).c_str());
    } else if (!rig::CompileReplay(*log, replay, &unknown)) {
        state.SkipWithError(("cannot replay " + unknown).c_str());
    } else {
        return true;
    }
    return false;
}

void SetCallCounters(benchmark::State &state, const std::vector<bench::Call> &log) {
    state.counters["calls"] = static_cast<double>(log.size());
    state.counters["payload_B"] = static_cast<double>(rig::PayloadBytes(log));
    state.counters["cards_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate);
}

// The export, with the bench's share measured beside it.
void RunExport(benchmark::State &state, const Operation &op) {
    rig::Replay replay;
    std::vector<bench::Call> log;
    if (!Record(state, op, &replay, &log)) return;
    double exportSeconds = 0, benchSeconds = 0;
    for (auto _ : state) {
        op.prepare();
        bench::ClearCallLog();
        const auto t0 = Clock::now();
        const int16_t result = op.run();
        const auto t1 = Clock::now();
        op.prepare();
        bench::ClearCallLog();
        const auto t2 = Clock::now();
        rig::RunReplay(replay);
        const auto t3 = Clock::now();
        if (result != KS_OK) {
            state.SkipWithError("the export failed during the run");
            break;
        }
        state.SetIterationTime(Seconds(t0, t1));
        exportSeconds += Seconds(t0, t1);
        benchSeconds += Seconds(t2, t3);
    }
    const double n = static_cast<double>(state.iterations());
    if (n == 0) return;
    state.counters["bench_ns"] = benchSeconds / n * 1e9;
    state.counters["library_ns"] = (exportSeconds - benchSeconds) / n * 1e9;
    SetCallCounters(state, log);
}

// The bench alone: the recorded vendor calls, without the library.
void RunBenchOnly(benchmark::State &state, const Operation &op) {
    rig::Replay replay;
    std::vector<bench::Call> log;
    if (!Record(state, op, &replay, &log)) return;
    for (auto _ : state) {
        op.prepare();
        bench::ClearCallLog();
        const auto t0 = Clock::now();
        rig::RunReplay(replay);
        state.SetIterationTime(Seconds(t0, Clock::now()));
    }
    SetCallCounters(state, log);
}

// ---------------------------------------------------------------------------
// Card operations on each medium.

struct MediumRig {
    kstest::Medium medium;
    kstest::Card fresh;   // a cleared factory card
    kstest::Card issued;  // the same card with a guest record
    kstest::IssueArgs args;
    kstest::ReadOutputs read;
};

// Sets the medium up on a clean bench: encoder, configuration, cards.
bool SetUpMedium(MediumRig *r, std::string *error) {
    bench::Reset();
    g_encoder = kInitialEncoderState;
    kstest::PlaceEncoder(r->medium);
    if (const int16_t init = kstest::EncodeInitWith(kstest::MediumIni(kstest::LockDigit(r->medium))); init != KS_OK) {
        *error = "EncodeInit answered " + std::to_string(init);
        return false;
    }
    r->fresh = kstest::FactoryCard(r->medium);
    kstest::Insert(r->fresh);
    r->args = kstest::IssueArgs();
    if (const int16_t made = r->args.Issue(MakeGuestCard); made != KS_OK) {
        *error = "MakeGuestCard answered " + std::to_string(made);
        return false;
    }
    r->issued = kstest::Take(r->medium);
    return true;
}

enum class CardOp { MakeGuestCard, ReadCard, ClearCardData };

Operation CardOperation(MediumRig *r, CardOp op) {
    switch (op) {
        case CardOp::MakeGuestCard:
            return {[r] {
                        kstest::Insert(r->fresh);
                        r->args = kstest::IssueArgs();
                    },
                    [r] { return r->args.Issue(MakeGuestCard); }};
        case CardOp::ReadCard:
            return {[r] { kstest::Insert(r->issued); }, [r] { return r->read.Read(); }};
        case CardOp::ClearCardData:
            return {[r] { kstest::Insert(r->issued); }, [r] { return ClearCardData(r->read.serial); }};
    }
    return {};
}

void CardBenchmark(benchmark::State &state, kstest::Medium medium, CardOp op, bool benchOnly) {
    MediumRig r{medium, {}, {}, {}, {}};
    std::string error;
    if (!SetUpMedium(&r, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const Operation operation = CardOperation(&r, op);
    if (benchOnly) {
        RunBenchOnly(state, operation);
    } else {
        RunExport(state, operation);
    }
    EncodeExit();
}

// ---------------------------------------------------------------------------
// Port discovery with N bridges: N - 1 that name no known device, and the
// encoder last, so that every bridge has to be looked at.

void AttachBridges(int n) {
    bench::Reset();
    g_encoder = kInitialEncoderState;
    for (int i = 0; i + 1 < n; ++i) bench::AttachBridge({"CP2101 USB to UART Bridge", "", 0x10C4, 0xEA60, 10 + i});
    bench::AttachBridge({"Mifare Card Lock Device", "", 0x10C4, 0xEA60, 5});
}

Operation DiscoveryOperation() {
    return {[] {},
            [] {
                int16_t kind = 0;
                return FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort);
            }};
}

void Discovery(benchmark::State &state) {
    AttachBridges(static_cast<int>(state.range(0)));
    RunExport(state, DiscoveryOperation());
    bench::ClearCallLog();
    int16_t kind = 0;
    FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort);
    state.counters["bridge_opens"] = static_cast<double>(bench::CallCount("CP2101_Open"));
    bench::Reset();
}

void DiscoveryBenchOnly(benchmark::State &state) {
    AttachBridges(static_cast<int>(state.range(0)));
    RunBenchOnly(state, DiscoveryOperation());
    bench::Reset();
}

// The search as it was: the bridges asked again for each of the nine kinds.
void DiscoveryKindByKind(benchmark::State &state) {
    AttachBridges(static_cast<int>(state.range(0)));
    const int16_t kinds[] = {0, 3, 4, 5, 6, 7, 8, 9, 10};
    for (auto _ : state) {
        bench::ClearCallLog();
        const auto t0 = Clock::now();
        int port = -1;
        for (int16_t kind : kinds)
            if ((port = PortForDeviceKind(kind)) != -1) break;
        state.SetIterationTime(Seconds(t0, Clock::now()));
        benchmark::DoNotOptimize(port);
    }
    state.counters["bridge_opens"] = static_cast<double>(bench::CallCount("CP2101_Open"));
    bench::Reset();
}

// ---------------------------------------------------------------------------
// Codec.

void Des2Bytes(benchmark::State &state) {
    const int32_t mode = static_cast<int32_t>(state.range(0));
    int16_t data[255];
    for (int i = 0; i < 255; ++i) data[i] = static_cast<int16_t>(i * 7 & 0xFF);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Des2(data, 255, mode));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 255);
}

uint8_t *CodecInput() {
    static uint8_t bytes[255];
    for (int i = 0; i < 255; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    return bytes;
}

void SetPerByte(benchmark::State &state, int64_t length) {
    state.SetBytesProcessed(state.iterations() * length);
    state.counters["s_per_byte"] = benchmark::Counter(static_cast<double>(state.iterations() * length),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Checksum(benchmark::State &state) {
    const uint8_t length = static_cast<uint8_t>(state.range(0));
    const uint8_t *bytes = CodecInput();
    uint8_t low = 0, high = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes);
        CardChecksum(bytes, length, &low, &high);
        benchmark::DoNotOptimize(low);
        benchmark::DoNotOptimize(high);
    }
    SetPerByte(state, length);
}

void Crc8(benchmark::State &state) {
    const uint8_t length = static_cast<uint8_t>(state.range(0));
    const uint8_t *bytes = CodecInput();
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(CardCrc8(bytes, length));
    }
    SetPerByte(state, length);
}

void RegisterAll() {
    const struct {
        CardOp op;
        const char *name;
    } ops[] = {{CardOp::MakeGuestCard, "MakeGuestCard"},
               {CardOp::ReadCard, "ReadCard"},
               {CardOp::ClearCardData, "ClearCardData"}};
    for (bool benchOnly : {false, true}) {
        for (kstest::Medium m : kstest::kMedia) {
            for (const auto &o : ops) {
                const std::string name =
                    std::string(benchOnly ? "BenchOnly/" : "Export/") + kstest::NameOf(m) + "/" + o.name;
                benchmark::RegisterBenchmark(name.c_str(), CardBenchmark, m, o.op, benchOnly)
                    ->UseManualTime()
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
    benchmark::RegisterBenchmark("Export/FindUsbDevicePort", Discovery)
        ->Arg(1)->Arg(4)->Arg(16)->UseManualTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BenchOnly/FindUsbDevicePort", DiscoveryBenchOnly)
        ->Arg(1)->Arg(4)->Arg(16)->UseManualTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("KindByKind/FindUsbDevicePort", DiscoveryKindByKind)
        ->Arg(1)->Arg(4)->Arg(16)->UseManualTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Codec/Des2_255B", Des2Bytes)->ArgName("mode")->Arg(0)->Arg(1);
    benchmark::RegisterBenchmark("Codec/CardChecksum", Checksum)->ArgName("bytes")->Arg(28)->Arg(255);
    benchmark::RegisterBenchmark("Codec/CardCrc8", Crc8)->ArgName("bytes")->Arg(3)->Arg(255);
}

// --calls: the vendor calls of each card operation, with the bytes each one
// carried, for working out the time a real serial link needs.
int PrintCallLogs() {
    const struct {
        CardOp op;
        const char *name;
    } ops[] = {{CardOp::MakeGuestCard, "MakeGuestCard"},
               {CardOp::ReadCard, "ReadCard"},
               {CardOp::ClearCardData, "ClearCardData"}};
    for (kstest::Medium m : kstest::kMedia) {
        MediumRig r{m, {}, {}, {}, {}};
        std::string error;
        if (!SetUpMedium(&r, &error)) {
            std::fprintf(stderr, "%s: %s\n", kstest::NameOf(m), error.c_str());
            return 1;
        }
        for (const auto &o : ops) {
            const Operation op = CardOperation(&r, o.op);
            op.prepare();
            bench::ClearCallLog();
            const int16_t result = op.run();
            const std::vector<bench::Call> log = bench::CallLog();
            std::printf("%s %s: result %d, %zu calls, %zu payload bytes\n", kstest::NameOf(m), o.name, result,
                        log.size(), rig::PayloadBytes(log));
            for (const bench::Call &c : log) {
                std::printf("  %-20s", c.fn.c_str());
                for (int64_t a : c.args) std::printf(" %lld", static_cast<long long>(a));
                std::printf("  -> %lld, %zu bytes\n", static_cast<long long>(c.result), c.data.size());
            }
        }
        EncodeExit();
    }
    return 0;
}

// The console report, remembering whether any benchmark failed (an export
// that stopped answering KS_OK, a call the replayer cannot make), so the short
// run under ctest fails with it.
// Google Benchmark 1.7 marks a failed run with error_occurred, later versions
// with skipped.
template <class R>
auto RunFailed(const R &run, int) -> decltype(run.error_occurred, bool()) {
    return run.error_occurred;
}
template <class R>
bool RunFailed(const R &run, long) {
    return static_cast<int>(run.skipped) != 0;
}

class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) failed_ = failed_ || RunFailed(run, 0);
        ConsoleReporter::ReportRuns(runs);
    }
    bool failed() const { return failed_; }

private:
    bool failed_ = false;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::string(argv[1]) == "--calls") return PrintCallLogs();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterAll();
    Reporter reporter;
    const size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (reporter.failed()) {
        std::fprintf(stderr, "perf_bench: a benchmark failed\n");
        return 1;
    }
    return ran > 0 ? 0 : 1;
}
