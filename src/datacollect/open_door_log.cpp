// The open-door log: the buffer a fetch fills, the cursor over its record
// slots and the header latched at every completed fetch; and the record
// reader behind ReadOneOpenDoorRecord.
#include "datacollect/open_door_log.h"

#include <cstring>

#include "base/result_codes.h"
#include "datacollect/datacollect.h"

namespace {

// Plain static storage: zero at load, before any fetch.
uint8_t g_openDoorBuffer[kOpenDoorBufferSize];
int16_t g_recordCursor;

struct DataHeader {
    int16_t value;                     // buffer byte 16
    int16_t list[kHeaderListLength];   // bytes 17 and 18, then zeros
};
DataHeader g_dataHeader;

constexpr size_t kSlotSpan = kRecordAreaEnd - 1 + kRecordSize;  // past the last slot's end
static_assert(kRecordAreaStart + kRecordSize * (kRecordSlots - 1) == kRecordAreaEnd - 1,
              "slot 199 is the last slot that starts below the end of the record area");
static_assert(kSlotSpan <= kOpenDoorBufferSize, "every slot lies inside the buffer");

bool ValidDate(uint8_t month, uint8_t day, uint8_t minute) {
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && minute <= 59;
}

}  // namespace

uint8_t *OpenDoorBuffer() { return g_openDoorBuffer; }

void BeginOpenDoorFetch() {
    std::memset(g_openDoorBuffer, 0, sizeof g_openDoorBuffer);
    g_recordCursor = kRecordAreaEnd;
}

void CompleteOpenDoorFetch() {
    g_recordCursor = kRecordAreaStart;
    g_dataHeader.value = g_openDoorBuffer[kHeaderValueOffset];
    for (size_t i = 0; i < kHeaderListBytes; ++i)
        g_dataHeader.list[i] = g_openDoorBuffer[kHeaderListOffset + i];
}

void AbandonOpenDoorFetch() {
    // The failed source may have written part of its log: drop it so nothing
    // of it can be served later as records.
    BeginOpenDoorFetch();
}

void ResetOpenDoorLog() {
    std::memset(g_openDoorBuffer, 0, sizeof g_openDoorBuffer);
    g_recordCursor = 0;
    g_dataHeader = DataHeader{};
}

int16_t OpenDoorRecordCursor() { return g_recordCursor; }

int16_t NextOpenDoorRecord(int16_t *header, int16_t *headerList, int16_t *kind, int16_t *time,
                           int16_t *cardBytes) {
    if (header == nullptr || headerList == nullptr || kind == nullptr || time == nullptr ||
        cardBytes == nullptr)
        return KS_ERR_UNAVAILABLE;

    while (g_recordCursor < kRecordAreaEnd) {
        uint8_t *slot = g_openDoorBuffer + g_recordCursor;
        const int slotKind = (slot[kRecKindMonth] & kKindMask) >> kKindShift;
        if (slotKind < kKindMin || slotKind > kKindMax) {
            g_recordCursor += kRecordSize;
            continue;
        }

        *header = g_dataHeader.value;
        for (size_t i = 0; i < kHeaderListLength; ++i) headerList[i] = g_dataHeader.list[i];
        *kind = static_cast<int16_t>(slotKind);
        for (size_t i = 0; i < kRecCardByteCount; ++i) cardBytes[i] = slot[kRecCardBytes + i];

        // A slot is looked at as a record at most once per fetch, whether it
        // is returned or turned down for its date.
        slot[kRecKindMonth] &= kMonthMask;
        for (size_t i = 0; i < kRecTimeFields; ++i) time[i] = slot[kRecYear + i];

        g_recordCursor += kRecordSize;
        if (!ValidDate(slot[kRecKindMonth], slot[kRecDay], slot[kRecMinute])) continue;

        time[0] = static_cast<int16_t>(time[0] + kRecordYearBase);
        return KS_OK;
    }
    return KS_ERR_NO_RECORD;
}
