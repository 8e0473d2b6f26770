// The open-door log as the library holds it between ReadDataCard and the
// ReadOneOpenDoorRecord calls that follow: one static buffer, a cursor and
// the latched header. Internal to the data-collection unit.
#pragma once
#include <cstddef>
#include <cstdint>

// OpenDoorBuffer layout.
constexpr size_t kOpenDoorBufferSize = 2600;
constexpr size_t kHeaderValueOffset = 16;      // returned as the single header value
constexpr size_t kHeaderListOffset = 17;       // two bytes, returned as header list 0 and 1
constexpr size_t kHeaderListBytes = 2;
constexpr size_t kHeaderListLength = 6;        // elements handed to the host; 2..5 stay 0
constexpr int16_t kRecordAreaStart = 256;      // slot 0
constexpr int16_t kRecordAreaEnd = 2048;       // no slot starts here or later
constexpr int16_t kRecordSize = 9;
constexpr size_t kRecordSlots = 200;           // slot 199 starts at 2047 and ends at 2055

// OpenDoorRecord, offsets within one slot.
constexpr size_t kRecCardBytes = 0;            // four bytes, passed through
constexpr size_t kRecCardByteCount = 4;
constexpr size_t kRecYear = 4;                 // year - 2000
constexpr size_t kRecKindMonth = 5;            // kind in bits 7-4, month in bits 3-0
constexpr size_t kRecDay = 6;
constexpr size_t kRecHour = 7;                 // not validated
constexpr size_t kRecMinute = 8;
constexpr size_t kRecTimeFields = 5;           // year, month, day, hour, minute
constexpr uint8_t kKindMask = 0xF0;
constexpr uint8_t kMonthMask = 0x0F;
constexpr int kKindShift = 4;
constexpr int kKindMin = 2;
constexpr int kKindMax = 10;
constexpr int16_t kRecordYearBase = 2000;

// The buffer a source (collector or data-card reader) delivers into.
uint8_t *OpenDoorBuffer();

// Start of every fetch from a source: the buffer is zeroed and no slot is
// readable until the fetch completes, so a log never mixes the bytes of two
// fetches and bytes a source does not deliver read as zero.
void BeginOpenDoorFetch();
// A source delivered its log: records are served from slot 0, with the header
// latched from this log.
void CompleteOpenDoorFetch();
// A source failed after BeginOpenDoorFetch: whatever it wrote is dropped and
// no record is readable until the next successful fetch.
void AbandonOpenDoorFetch();

// Test support: back to the load-time state (zero buffer, cursor 0, header 0).
void ResetOpenDoorLog();
int16_t OpenDoorRecordCursor();
