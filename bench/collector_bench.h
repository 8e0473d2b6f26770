// Bench control for the hand-held collector: a unit behind a CP2101 bridge
// whose product string is "USB Data Pick Device", listening on the bridge's
// COM port through the clsic32 serial functions. It takes request frames byte
// by byte, keeps its clock and room number, answers the set commands, and
// hands over its open-door log on a fetch. It can be made to stay silent,
// refuse, put noise before its replies, or fail the log delivery.
//
// Open-door log images (used by the collector and the data-card readers) are
// laid out as the library's buffer expects them: header bytes at offsets
// 16-18, slot k at offset 256 + 9k.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

constexpr const char *kCollectorProduct = "USB Data Pick Device";

// ---------------------------------------------------------------------------
// Open-door log images.
using OpenDoorSlot = std::array<uint8_t, 9>;
constexpr size_t kLogHeaderOffset = 16;
constexpr size_t kLogSlotsOffset = 256;
constexpr size_t kLogSlotSize = 9;
constexpr size_t kLogMaxSlots = 200;

// One record: four card bytes, year - 2000, kind (bits 7-4 of byte 5) and
// month (bits 3-0), day, hour, minute. Values are taken as given (invalid
// ones included) so tests can build slots the library must skip.
BENCH_API OpenDoorSlot MakeOpenDoorSlot(std::array<uint8_t, 4> card, int yearSince2000, int kind,
                                        int month, int day, int hour, int minute);
// The image of a log: 256 + 9 x slots bytes, zeros except the header and the
// slots. At most 200 slots.
BENCH_API std::vector<uint8_t> OpenDoorLogImage(std::array<uint8_t, 3> header,
                                                const std::vector<OpenDoorSlot> &slots);

// ---------------------------------------------------------------------------
// The collector.
struct CollectorClock {
    int year = 0;    // 2000 + the decoded BCD year byte
    int month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// The collector listens on this 1-based COM port (no bridge is attached).
BENCH_API void PlaceCollector(int comPort);
// Attaches a bridge "USB Data Pick Device" on comPort (usb_bench.h) and places
// the collector there. Returns the bridge index.
BENCH_API int AttachCollector(int comPort, const std::string &serial = "");
BENCH_API void RemoveCollector();
BENCH_API bool CollectorPortOpen();

// What the collector has been told (accepted frames only).
BENCH_API bool CollectorClockSet();
BENCH_API CollectorClock CollectorTime();
BENCH_API bool CollectorRoomSet();
BENCH_API std::array<uint8_t, 10> CollectorRoomNumber();
// Every byte that reached it over the line, and the complete frames among them.
BENCH_API std::vector<uint8_t> CollectorWireBytes();
BENCH_API std::vector<std::vector<uint8_t>> CollectorFrames();

// Behaviour.
BENCH_API void CollectorStaySilent(bool silent);       // no replies, no log delivery
BENCH_API void CollectorRefuse(int times);             // the next `times` set commands get 53 00 00 00
BENCH_API void CollectorNoiseBeforeReply(int bytes);   // this many non-0x53 bytes before every reply
BENCH_API void CollectorSetLog(const std::vector<uint8_t> &image);  // delivered on a fetch
// Log delivery fails with `status` after writing the first `bytesWritten`
// bytes of the log image (until CollectorReceiveWorks).
BENCH_API void CollectorFailReceive(int16_t status, size_t bytesWritten = 0);
BENCH_API void CollectorReceiveWorks();
// Raw replies: the k-th set-command frame from now is answered with
// replies[k] byte for byte (any bytes: noise, a partial or a malformed reply)
// instead of the model's own reply; once the list is used up the collector
// stays silent. The frames are still taken as the model takes them. An empty
// list goes back to the model's replies.
BENCH_API void CollectorScriptReplies(const std::vector<std::vector<uint8_t>> &replies);

}  // namespace bench
