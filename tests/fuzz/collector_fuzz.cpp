// Collector replies through PDA_SetTime and PDA_SetRoomNumber: the collector
// answers each frame with fuzzed bytes (noise, partial, refused, accepting
// replies). The result must be the one the reply rule gives for those bytes,
// every frame on the wire must be the request, and the port must be closed.
//
// Input: selector, fault, the host's values (6 or 10 16-bit values), then
// three replies, each a length byte (0-15) and that many bytes.
//   selector bit 0:    PDA_SetRoomNumber (else PDA_SetTime)
//            bits 1-2: 0 the collector attached; 1 no bridge at all; 2 only a
//                      Mifare lock encoder; 3 the collector's bridge, but
//                      nothing listening on its port
#include <deque>
#include <vector>

#include "api/encoder_state.h"
#include "base/result_codes.h"
#include "collector_bench.h"
#include "fuzz_support.h"
#include "kestrane.h"
#include "usb_bench.h"

namespace {

enum Setup { kAttached = 0, kNoBridge = 1, kOtherDevice = 2, kNobodyListening = 3 };
constexpr int kCollectorPort = 5;
constexpr int kAttempts = 3;
constexpr int kStartSearch = 8;
constexpr uint8_t kStart = 0x53;
constexpr int16_t kSendFailed = 0;  // the bench's SendData status on a port that is not open

// The reply rule, applied to the bytes the collector put on the line: per
// attempt up to eight bytes are searched for the start byte, then three more
// read; the fourth byte of the reply is 1 when accepted. Bytes left unread
// stay on the line for the next attempt. Returns the attempts made (the
// frames sent) and whether one was accepted.
struct Outcome {
    int frames;
    bool accepted;
};

Outcome ApplyReplyRule(const std::vector<std::vector<uint8_t>> &replies) {
    std::deque<uint8_t> line;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        line.insert(line.end(), replies[attempt].begin(), replies[attempt].end());
        bool accepted = false;
        for (int seen = 0; seen < kStartSearch && !line.empty(); ++seen) {
            const uint8_t b = line.front();
            line.pop_front();
            if (b != kStart) continue;
            if (line.size() < 3) {
                line.clear();
                break;
            }
            line.pop_front();
            line.pop_front();
            accepted = line.front() == 1;
            line.pop_front();
            break;
        }
        if (accepted) return {attempt + 1, true};
    }
    return {kAttempts, false};
}

uint8_t Bcd(int v) { return static_cast<uint8_t>((v / 10) * 16 + v % 10); }

std::vector<uint8_t> Frame(uint8_t command, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> f = {kStart, static_cast<uint8_t>(payload.size() + 2), 0, command};
    f.insert(f.end(), payload.begin(), payload.end());
    uint8_t sum = 0;
    for (size_t i = 2; i < f.size(); ++i) sum = static_cast<uint8_t>(sum + f[i]);
    f.push_back(sum);
    return f;
}

}  // namespace

FUZZ_SKIP_SHORT_PAUSES()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::FreshStart();

    fuzz::Input in(data, size);
    const uint8_t selector = in.Byte();
    const uint8_t faultSpec = in.Byte();
    const bool room = selector & 1;
    const Setup setup = static_cast<Setup>((selector >> 1) & 3);
    std::vector<int16_t> values(room ? 10 : 6);
    for (int16_t &v : values) v = in.Int16();
    std::vector<std::vector<uint8_t>> replies(kAttempts);
    for (auto &reply : replies) reply = in.Bytes(in.Byte() % 16);

    switch (setup) {
        case kAttached:
            bench::AttachCollector(kCollectorPort, "FUZZPDA");
            break;
        case kNoBridge:
            break;
        case kOtherDevice:
            bench::AttachBridge(bench::Bridge{"Mifare Card Lock Device", "FUZZM1", 0x10C4, 0xEA60, 7});
            break;
        case kNobodyListening:
            bench::AttachBridge(bench::Bridge{bench::kCollectorProduct, "FUZZPDA", 0x10C4, 0xEA60, kCollectorPort});
            break;
    }
    bench::CollectorScriptReplies(replies);
    bench::ClearCallLog();
    fuzz::ArmFaultFrom(faultSpec);

    std::vector<int16_t> host = values;  // exactly as long as documented
    const int16_t result = room ? PDA_SetRoomNumber(host.data()) : PDA_SetTime(host.data());
    FUZZ_CHECK_RESULT(result, KS_OK, KS_ERR_OPEN_OR_NO_DEV, KS_ERR_COLLECTOR, kSendFailed);

    // The port is closed on every path that opened it; no bridge stays open.
    bool faultedClose = false;
    for (const bench::Call &c : bench::CallLog()) faultedClose |= c.faulted && (c.fn == "ClosePort" || c.fn == "CP2101_Close");
    if (!faultedClose) fuzz::CheckNothingOpen();
    if (faultSpec != 0) return 0;

    const bool portReached = setup == kAttached || setup == kNobodyListening;
    switch (setup) {
        case kNoBridge: FUZZ_CHECK(result == KS_ERR_OPEN_OR_NO_DEV); break;
        case kOtherDevice: FUZZ_CHECK(result == KS_ERR_COLLECTOR); break;
        case kNobodyListening: FUZZ_CHECK(result == kSendFailed); break;
        case kAttached: {
            const Outcome want = ApplyReplyRule(replies);
            FUZZ_CHECK(result == (want.accepted ? KS_OK : KS_ERR_COLLECTOR));
            // Every attempt sent the whole request, and only the request.
            std::vector<uint8_t> payload;
            if (room) {
                for (int16_t v : values) payload.push_back(static_cast<uint8_t>(v & 0xFF));
            } else {
                payload.push_back(Bcd(static_cast<int16_t>(values[0] - 2000)));
                for (size_t i = 1; i < values.size(); ++i) payload.push_back(Bcd(values[i]));
            }
            const std::vector<uint8_t> request = Frame(room ? 3 : 2, payload);
            const std::vector<std::vector<uint8_t>> frames = bench::CollectorFrames();
            FUZZ_CHECK(static_cast<int>(frames.size()) == want.frames);
            for (const auto &f : frames) FUZZ_CHECK(f == request);
            FUZZ_CHECK(bench::CollectorWireBytes().size() == request.size() * frames.size());
            break;
        }
    }
    // Only PDA_SetTime changes the host's array: the year, once the port is reached.
    for (size_t i = 0; i < values.size(); ++i) {
        const bool year = !room && i == 0 && portReached;
        FUZZ_CHECK(host[i] == (year ? static_cast<int16_t>(values[0] - 2000) : values[i]));
    }
    return 0;
}
