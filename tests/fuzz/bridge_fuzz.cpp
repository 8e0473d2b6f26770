// The bridge's messages (bridge/protocol.h) as KestraneHost32.exe and
// Kestrane64.dll meet them. The input is what the host reads from its pipe:
// a header, then as many body bytes as the header claims (when there are that
// many); whatever follows is taken as a reply body for the client's decoder.
// Every call the host accepts must stay within its export's bounds, and its
// reply, applied by the client, must store exactly the changed elements; a
// reply the client accepts must never store outside what the call carried.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol.h"

namespace {

void Require(bool ok) {
    if (!ok) std::abort();
}

bridge::Call g_before, g_after;
uint8_t g_reply[bridge::kHeaderSize + bridge::kMaxBody];
// The caller's arrays: each one larger than any capacity, the tail a guard.
constexpr int kGuarded = bridge::kMaxCapacity + 16;
int16_t g_arrays[bridge::kMaxArgs][kGuarded];
constexpr int16_t kGuard = 0x7A7A;

bridge::CallArgs ArraysHolding(const bridge::Call &call) {
    bridge::CallArgs args;
    const bridge::ExportShape &shape = bridge::ShapeOf(call.exportId);
    for (int a = 0; a < shape.argCount; ++a) {
        for (int i = 0; i < kGuarded; ++i) g_arrays[a][i] = i < call.count[a] ? call.value[a][i] : kGuard;
        args.array[a] = g_arrays[a];
    }
    return args;
}

void CheckAppliedReply(const bridge::Call &call, const bridge::CallArgs &args, const bridge::Call *expected) {
    const bridge::ExportShape &shape = bridge::ShapeOf(call.exportId);
    for (int a = 0; a < shape.argCount; ++a) {
        for (int i = call.count[a]; i < kGuarded; ++i) Require(g_arrays[a][i] == kGuard);
        if (!expected || shape.kind[a] == bridge::ArgKind::Scalar) continue;
        for (int i = 0; i < call.count[a]; ++i) {
            const int16_t want = expected->value[a][i];
            if (shape.kind[a] == bridge::ArgKind::Bytes)
                Require(static_cast<const char *>(args.array[a])[i] == static_cast<char>(want));
            else
                Require(g_arrays[a][i] == want);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    bridge::Header h{};
    if (bridge::DecodeHeader(data, size, &h) != bridge::DecodeError::None) return 0;
    if (size - bridge::kHeaderSize < h.bodyLength) return 0;  // the host would wait for the rest
    const uint8_t *body = data + bridge::kHeaderSize;
    if (bridge::DecodeCallBody(h, body, h.bodyLength, &g_before) != bridge::DecodeError::None) return 0;
    const bridge::ExportShape &shape = bridge::ShapeOf(g_before.exportId);
    for (int a = 0; a < shape.argCount; ++a) Require(g_before.count[a] <= shape.capacity[a]);

    // A stand-in for the library: changes every other carried element.
    g_after = g_before;
    for (int a = 0; a < shape.argCount; ++a)
        for (int i = 0; i < g_after.count[a]; i += 2)
            g_after.value[a][i] = shape.kind[a] == bridge::ArgKind::Bytes
                                      ? static_cast<int8_t>(g_after.value[a][i] + 1)
                                      : static_cast<int16_t>(g_after.value[a][i] ^ 0x1234);
    const size_t n = bridge::EncodeReply(g_before, g_after, 7, bridge::EncoderReport{}, g_reply);
    bridge::Header rh{};
    Require(bridge::DecodeHeader(g_reply, n, &rh) == bridge::DecodeError::None && rh.kind == bridge::Kind::Reply);
    bridge::CallArgs args = ArraysHolding(g_before);
    // Bytes arguments are char buffers on the client: view the storage so.
    char path[kGuarded];
    for (int a = 0; a < shape.argCount; ++a) {
        if (shape.kind[a] != bridge::ArgKind::Bytes) continue;
        for (int i = 0; i < g_before.count[a]; ++i) path[i] = static_cast<char>(g_before.value[a][i]);
        args.array[a] = path;
    }
    int16_t result = 0;
    Require(bridge::ApplyReply(g_before.exportId, g_before.count, g_reply + bridge::kHeaderSize, n - bridge::kHeaderSize,
                               args, &result, nullptr));
    Require(result == 7);
    CheckAppliedReply(g_before, args, &g_after);

    // Whatever follows the call, as a reply: accepted or not, no store
    // outside the carried elements.
    const size_t rest = size - bridge::kHeaderSize - h.bodyLength;
    args = ArraysHolding(g_before);
    bridge::ApplyReply(g_before.exportId, g_before.count, body + h.bodyLength, rest, args, &result, nullptr);
    CheckAppliedReply(g_before, args, nullptr);
    return 0;
}
