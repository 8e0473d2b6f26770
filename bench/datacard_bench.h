// Bench control for the clsic32 data-card readers: the TEMIC data-card reader
// (AT88RF256_12_* calls) and the Mifare data-card reader (M1_* calls). Each
// sits on a COM port and holds one data card (an open-door log image, see
// collector_bench.h) or none. A read delivers the card's image into the
// caller's buffer and answers 1, or answers a failure status of the reader's
// own. The 24C64 data card of the contact encoder is in ic_bench.h
// (Insert24c64 with an image from Make24c64DataCard).
#pragma once

#include <cstdint>
#include <vector>

#include "bench.h"
#include "collector_bench.h"

namespace bench {

// Statuses a data-card read answers besides 1 (delivered).
constexpr int16_t kDataReadNoCard = 2;    // no data card on the reader
constexpr int16_t kDataReadNotOpen = 3;   // the reader's port is not open

enum class DataReader { Temic, Mifare };

BENCH_API void PlaceDataReader(DataReader reader, int comPort);
BENCH_API void RemoveDataReader(DataReader reader);
BENCH_API void InsertDataCard(DataReader reader, const std::vector<uint8_t> &logImage);
BENCH_API void RemoveDataCard(DataReader reader);
BENCH_API bool DataReaderOpen(DataReader reader);
// Reads fail with `status` after writing the first `bytesWritten` bytes of the
// card's image (until DataReaderWorks).
BENCH_API void FailDataRead(DataReader reader, int16_t status, size_t bytesWritten = 0);
BENCH_API void DataReaderWorks(DataReader reader);

// A 24C64 memory image (8 KiB) holding a log image from address 0, for
// Insert24c64 of ic_bench.h; `fill` is the value of every byte after the log.
BENCH_API std::vector<uint8_t> Make24c64DataCard(const std::vector<uint8_t> &logImage,
                                                 uint8_t fill = 0xFF);

}  // namespace bench
