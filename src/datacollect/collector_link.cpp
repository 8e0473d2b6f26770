// The hand-held collector link: PDA_SetTime, PDA_SetRoomNumber and the fetch
// exchange that ReadDataCard runs first, before the data card of the
// configured medium. Every exchange finds the collector by port discovery,
// opens its port, talks, and closes the port again.
#include "datacollect/collector_link.h"

#include <cstring>

#include "base/result_codes.h"
#include "datacollect/datacollect.h"
#include "datacollect/open_door_log.h"
#include "media/medium.h"
#include "media/port_discovery.h"
#include "media/vendor/clsic32.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxFrameData = kRoomNumberBytes;
constexpr size_t kMaxFrame = kFrameOverhead + 2 + kMaxFrameData;

// Pauses around the exchanges, in milliseconds.
constexpr uint32_t kPauseBeforeOpen = 10;     // set time, fetch
constexpr uint32_t kPauseShort = 1;           // room number around open/close; after each time byte
constexpr uint32_t kNoPause = 0;

// Fills `frame` with a CollectorFrame; returns its length.
size_t BuildFrame(uint8_t command, const uint8_t *data, size_t dataLength, uint8_t *frame) {
    const size_t n = 2 + dataLength;  // zero byte, command, data
    frame[kFrameStartOffset] = kFrameStart;
    frame[kFrameLengthOffset] = static_cast<uint8_t>(n);
    frame[kFrameZeroOffset] = 0;
    frame[kFrameCommandOffset] = command;
    std::memcpy(frame + kFrameDataOffset, data, dataLength);
    uint8_t sum = 0;
    for (size_t i = kFrameZeroOffset; i < kFrameZeroOffset + n; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    frame[kFrameZeroOffset + n] = sum;
    return n + kFrameOverhead;
}

static_assert(kDataCardLogLength <= static_cast<int16_t>(kOpenDoorBufferSize), "a data card's log fits the buffer");

// Opening steps shared by the three exchanges: the collector must be the
// first known USB device found. Nothing is opened here.
int16_t FindCollector(EncoderState &enc) {
    int16_t kind = -1;
    const int16_t found = FindUsbDevicePort(&kind, &enc.DiscoveredPort);
    if (found != KS_OK) return found;
    return kind == kUsbCollector ? KS_OK : KS_ERR_COLLECTOR;
}

void OpenCollectorPort(const EncoderState &enc, uint32_t pauseBefore) {
    platform::SleepMs(pauseBefore);
    OpenPort(enc.DiscoveredPort, kCollectorBaud);  // its result tells nothing reliable
}

// One byte per SendData call. Returns 1, or the first SendData status other than 1.
int16_t SendFrame(const uint8_t *frame, size_t length, uint32_t pauseAfterByte) {
    for (size_t i = 0; i < length; ++i) {
        const int16_t sent = SendData(frame + i, 1);
        if (sent != kCommOk) return sent;
        if (pauseAfterByte != kNoPause) platform::SleepMs(pauseAfterByte);
    }
    return kCommOk;
}

// Waits for the reply to a set command: up to eight bytes are looked at for
// the start byte, then the three bytes after it are read. 1 accepted,
// KS_ERR_COLLECTOR refused or no start byte, or the WaitForCommRxd status
// that ended the wait.
int16_t ReceiveReply() {
    for (int seen = 0; seen < kReplyStartSearch; ++seen) {
        int16_t waiting = WaitForCommRxd();
        if (waiting != kCommOk) return waiting;
        uint8_t reply[kReplyLength] = {};
        ReceiveOneByte(&reply[0]);
        if (reply[0] != kFrameStart) continue;
        for (size_t i = 1; i < kReplyLength; ++i) {
            waiting = WaitForCommRxd();
            if (waiting != kCommOk) return waiting;
            ReceiveOneByte(&reply[i]);
        }
        return reply[kReplyStatusOffset] == kReplyAccepted ? KS_OK : KS_ERR_COLLECTOR;
    }
    return KS_ERR_COLLECTOR;
}

// The attempts of a set command: the whole frame is sent again after a
// missing reply, a refusal or a reception error. 1, KS_ERR_COLLECTOR after
// the last attempt, or a failed SendData status (no further attempt).
int16_t SendWithRetries(const uint8_t *frame, size_t length, uint32_t pauseAfterByte) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int16_t sent = SendFrame(frame, length, pauseAfterByte);
        if (sent != kCommOk) return sent;
        if (ReceiveReply() == KS_OK) return KS_OK;
    }
    return KS_ERR_COLLECTOR;
}

}  // namespace

int16_t CollectorSetTime(EncoderState &enc, int16_t *time) {
    if (time == nullptr) return KS_ERR_UNAVAILABLE;
    const int16_t found = FindCollector(enc);
    if (found != KS_OK) return found;

    OpenCollectorPort(enc, kPauseBeforeOpen);
    // The host's year element keeps the reduced value, as the card exports do.
    time[0] = static_cast<int16_t>(time[0] - kRecordYearBase);
    uint8_t data[kSetTimeFields];
    for (size_t i = 0; i < kSetTimeFields; ++i) data[i] = ToBcd(time[i]);
    uint8_t frame[kMaxFrame];
    const size_t length = BuildFrame(kCommandSetTime, data, kSetTimeFields, frame);

    const int16_t result = SendWithRetries(frame, length, kPauseShort);
    ClosePort();
    return result;
}

int16_t CollectorSetRoomNumber(EncoderState &enc, int16_t *room) {
    if (room == nullptr) return KS_ERR_UNAVAILABLE;
    const int16_t found = FindCollector(enc);
    if (found != KS_OK) return found;

    OpenCollectorPort(enc, kPauseShort);
    uint8_t data[kRoomNumberBytes];
    for (size_t i = 0; i < kRoomNumberBytes; ++i) data[i] = static_cast<uint8_t>(room[i] & 0xFF);
    uint8_t frame[kMaxFrame];
    const size_t length = BuildFrame(kCommandSetRoom, data, kRoomNumberBytes, frame);

    const int16_t result = SendWithRetries(frame, length, kNoPause);
    ClosePort();
    platform::SleepMs(kPauseShort);
    return result;
}

int16_t CollectorFetchLog(EncoderState &enc) {
    const int16_t found = FindCollector(enc);
    if (found != KS_OK) return found;

    OpenCollectorPort(enc, kPauseBeforeOpen);
    const uint8_t data[kFetchDataBytes] = {0};
    uint8_t frame[kMaxFrame];
    const size_t length = BuildFrame(kCommandFetch, data, kFetchDataBytes, frame);
    const int16_t sent = SendFrame(frame, length, kNoPause);
    if (sent != kCommOk) {
        ClosePort();
        return sent;
    }

    BeginOpenDoorFetch();
    const int16_t received = PDA_RcvOpenDoorData(OpenDoorBuffer());
    if (received == KS_OK)
        CompleteOpenDoorFetch();
    else
        AbandonOpenDoorFetch();
    ClosePort();
    return received;
}

int16_t FetchOpenDoorLog(EncoderState &enc) {
    // The previous log goes first: whatever this call ends in, no record of
    // an earlier fetch is served after it, and a failed call leaves none.
    BeginOpenDoorFetch();
    // The collector's own failure only means it did not deliver.
    if (CollectorFetchLog(enc) == KS_OK) return KS_OK;
    const int16_t read = enc.medium->readDataCard(enc, OpenDoorBuffer());
    if (read == KS_OK)
        CompleteOpenDoorFetch();
    else
        AbandonOpenDoorFetch();
    return read;
}
