// Hand-held collector model. It listens on one COM port at 2400 baud and
// parses what arrives byte by byte: bytes outside a frame are line noise and
// ignored; a frame is 0x53, N, N bytes (0, command, data) and a checksum over
// those N bytes. A set-time (2, N = 8) or room-number (3, N = 12) frame is
// answered 53 00 00 01 when accepted and 53 00 00 00 when refused; a frame
// with a bad checksum, an unknown command or a length that does not fit its
// command is refused too. A fetch frame (9, N = 3, data 0) gets no reply: the
// next log delivery (PDA_RcvOpenDoorData) hands over the log image.
#include <algorithm>
#include <deque>

#include "devices/collector_device.h"
#include "usb_bench.h"

namespace bench {
namespace {

constexpr const char *kResource = "COLLECTOR";
constexpr int32_t kBaud = 2400;
constexpr uint8_t kStart = 0x53;
constexpr uint8_t kNoiseByte = 0xA5;
constexpr uint8_t kCmdSetTime = 2, kCmdSetRoom = 3, kCmdFetch = 9;
constexpr size_t kTimeLength = 8, kRoomLength = 12, kFetchLength = 3;
constexpr size_t kMinLength = 2;   // zero byte and command
constexpr size_t kMaxLength = 64;  // longer claims are line garbage: the frame is dropped

struct ReceiveFault {
    bool on = false;
    int16_t status = 0;
    size_t bytesWritten = 0;
};

struct CollectorState {
    int port = 0;              // 0 = no collector
    bool open = false;
    int32_t baud = 0;
    std::vector<uint8_t> frame;  // the frame being received
    std::deque<uint8_t> toHost;  // reply bytes waiting on the line
    bool fetchAsked = false;
    std::vector<uint8_t> wire;
    std::vector<std::vector<uint8_t>> frames;
    bool clockSet = false;
    CollectorClock clock;
    bool roomSet = false;
    std::array<uint8_t, 10> room{};
    bool silent = false;
    int refusals = 0;
    int noise = 0;
    std::vector<uint8_t> log;
    ReceiveFault receiveFault;
    bool scripted = false;                    // replies come from `script`
    std::deque<std::vector<uint8_t>> script;  // raw replies still to give, in order
};

CollectorState &State() {
    static CollectorState state;
    return state;
}

void ResetCollector() { State() = CollectorState{}; }

const bool g_registered = [] {
    RegisterResetHook(ResetCollector);
    return true;
}();

int FromBcd(uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }

void Reply(bool accepted) {
    CollectorState &s = State();
    if (s.scripted) {
        if (s.script.empty()) return;
        s.toHost.insert(s.toHost.end(), s.script.front().begin(), s.script.front().end());
        s.script.pop_front();
        return;
    }
    if (s.silent) return;
    for (int i = 0; i < s.noise; ++i) s.toHost.push_back(kNoiseByte);
    for (uint8_t b : {kStart, uint8_t{0}, uint8_t{0}, static_cast<uint8_t>(accepted ? 1 : 0)}) s.toHost.push_back(b);
}

// A set command is carried out only when the collector does not refuse it.
bool Accepts() {
    CollectorState &s = State();
    if (s.refusals == 0) return true;
    --s.refusals;
    return false;
}

void HandleFrame(const std::vector<uint8_t> &f) {
    CollectorState &s = State();
    s.frames.push_back(f);
    const size_t n = f[1];
    uint8_t sum = 0;
    for (size_t i = 2; i < 2 + n; ++i) sum = static_cast<uint8_t>(sum + f[i]);
    const uint8_t command = f[3];
    const bool sound = sum == f[2 + n] && f[2] == 0;
    if (sound && command == kCmdFetch && n == kFetchLength && f[4] == 0) {
        s.fetchAsked = true;
        return;
    }
    if (sound && command == kCmdSetTime && n == kTimeLength) {
        const bool accepted = Accepts();
        if (accepted) {
            s.clock = CollectorClock{2000 + FromBcd(f[4]), FromBcd(f[5]), FromBcd(f[6]),
                                     FromBcd(f[7]),        FromBcd(f[8]), FromBcd(f[9])};
            s.clockSet = true;
        }
        Reply(accepted);
        return;
    }
    if (sound && command == kCmdSetRoom && n == kRoomLength) {
        const bool accepted = Accepts();
        if (accepted) {
            std::copy(f.begin() + 4, f.begin() + 14, s.room.begin());
            s.roomSet = true;
        }
        Reply(accepted);
        return;
    }
    Reply(false);
}

void TakeByte(uint8_t b) {
    CollectorState &s = State();
    s.wire.push_back(b);
    if (s.baud != kBaud) return;  // at another speed the bytes arrive as garbage
    if (s.frame.empty() && b != kStart) return;
    s.frame.push_back(b);
    if (s.frame.size() < 2) return;
    const size_t n = s.frame[1];
    if (n < kMinLength || n > kMaxLength) {
        s.frame.clear();
        return;
    }
    if (s.frame.size() == n + 3) {
        const std::vector<uint8_t> f = std::move(s.frame);
        s.frame.clear();
        HandleFrame(f);
    }
}

}  // namespace

// ---- control ----

void PlaceCollector(int comPort) {
    CollectorState &s = State();
    if (s.open) NoteClose(kResource);
    s.open = false;
    s.port = comPort;
}

int AttachCollector(int comPort, const std::string &serial) {
    Bridge bridge;
    bridge.product = kCollectorProduct;
    bridge.serial = serial;
    bridge.comPort = comPort;
    const int index = AttachBridge(bridge);
    PlaceCollector(comPort);
    return index;
}

void RemoveCollector() { PlaceCollector(0); }
bool CollectorPortOpen() { return State().open; }
bool CollectorClockSet() { return State().clockSet; }
CollectorClock CollectorTime() { return State().clock; }
bool CollectorRoomSet() { return State().roomSet; }
std::array<uint8_t, 10> CollectorRoomNumber() { return State().room; }
std::vector<uint8_t> CollectorWireBytes() { return State().wire; }
std::vector<std::vector<uint8_t>> CollectorFrames() { return State().frames; }
void CollectorStaySilent(bool silent) { State().silent = silent; }
void CollectorRefuse(int times) { State().refusals = std::max(0, times); }
void CollectorNoiseBeforeReply(int bytes) { State().noise = std::max(0, bytes); }
void CollectorSetLog(const std::vector<uint8_t> &image) { State().log = image; }

void CollectorFailReceive(int16_t status, size_t bytesWritten) {
    State().receiveFault = ReceiveFault{true, status, bytesWritten};
}

void CollectorReceiveWorks() { State().receiveFault = ReceiveFault{}; }

void CollectorScriptReplies(const std::vector<std::vector<uint8_t>> &replies) {
    CollectorState &s = State();
    s.scripted = !replies.empty();
    s.script.assign(replies.begin(), replies.end());
}

// ---- device side ----

namespace collector {

int16_t OpenPort(int16_t port, int32_t baud) {
    CollectorState &s = State();
    if (s.port == 0 || port != s.port || s.open) return kFailed;
    s.open = true;
    s.baud = baud;
    s.frame.clear();
    s.toHost.clear();
    s.fetchAsked = false;
    NoteOpen(kResource);
    return kOk;
}

int16_t ClosePort() {
    CollectorState &s = State();
    if (!s.open) return kFailed;
    s.open = false;
    s.frame.clear();
    s.toHost.clear();
    s.fetchAsked = false;
    NoteClose(kResource);
    return kOk;
}

int16_t Send(const uint8_t *data, int32_t count) {
    if (!State().open || data == nullptr || count < 0) return kFailed;
    for (int32_t i = 0; i < count; ++i) TakeByte(data[i]);
    return kOk;
}

int16_t WaitForByte() {
    const CollectorState &s = State();
    return s.open && !s.toHost.empty() ? kOk : kFailed;
}

int16_t ReceiveByte(uint8_t *byte) {
    CollectorState &s = State();
    if (!s.open || s.toHost.empty() || byte == nullptr) return kFailed;
    *byte = s.toHost.front();
    s.toHost.pop_front();
    return kOk;
}

int16_t DeliverLog(uint8_t *buffer, size_t *written) {
    CollectorState &s = State();
    *written = 0;
    if (!s.open || buffer == nullptr) return kFailed;
    if (s.receiveFault.on) {
        *written = std::min(s.receiveFault.bytesWritten, s.log.size());
        std::copy_n(s.log.begin(), *written, buffer);
        s.fetchAsked = false;
        return s.receiveFault.status;
    }
    if (!s.fetchAsked || s.silent) return kFailed;
    s.fetchAsked = false;
    std::copy(s.log.begin(), s.log.end(), buffer);
    *written = s.log.size();
    return kOk;
}

}  // namespace collector
}  // namespace bench
