// An open-door log through ReadDataCard and ReadOneOpenDoorRecord: whatever
// bytes the collector or a data card delivers, the records handed to the host
// are exactly the valid slots of that log, in slot order, and nothing of an
// earlier log survives.
//
// Input: selector, fault, fail status, prior-reads, fill, then the log image.
//   selector bits 0-1: source: 0 collector, 1 TEMIC data-card reader,
//                      2 Mifare data-card reader, 3 24C64 card in the contact encoder
//            bit 2:    the source fails (status from the fail byte; the 24C64
//                      case inserts an SLE4442 card instead)
//            bit 3:    a full earlier log is fetched first and partly read
//   fill: the 24C64 bytes after the image.
#include <array>
#include <vector>

#include "api/encoder_state.h"
#include "base/result_codes.h"
#include "collector_bench.h"
#include "datacard_bench.h"
#include "datacollect/open_door_log.h"
#include "fuzz_support.h"
#include "ic_bench.h"
#include "kestrane.h"
#include "media/ic4442.h"

namespace {

enum Source { kCollector = 0, kTemicReader = 1, kMifareReader = 2, kIcCard = 3 };
constexpr uint8_t kSourceFails = 1 << 2;
constexpr uint8_t kEarlierLog = 1 << 3;

constexpr int kCollectorPort = 6;
constexpr int kEncoderPort = 4;
constexpr size_t kIcDataCardBytes = 2049;  // what the contact encoder reads of a 24C64 card
constexpr size_t k24c64Bytes = 8192;

struct Record {
    int16_t kind;
    std::array<int16_t, 5> time;
    std::array<int16_t, 4> card;
    bool operator==(const Record &o) const { return kind == o.kind && time == o.time && card == o.card; }
};

// The valid slots of a buffer, as the host must receive them.
std::vector<Record> ValidSlots(const std::vector<uint8_t> &buffer) {
    std::vector<Record> out;
    for (size_t k = 0; k < kRecordSlots; ++k) {
        const uint8_t *s = &buffer[kRecordAreaStart + kRecordSize * k];
        const int kind = s[kRecKindMonth] >> 4;
        const int month = s[kRecKindMonth] & 0x0F;
        if (kind < 2 || kind > 10 || month < 1 || month > 12 || s[kRecDay] < 1 || s[kRecDay] > 31 ||
            s[kRecMinute] > 59)
            continue;
        out.push_back(Record{static_cast<int16_t>(kind),
                             {static_cast<int16_t>(2000 + s[kRecYear]), static_cast<int16_t>(month),
                              s[kRecDay], s[kRecHour], s[kRecMinute]},
                             {s[0], s[1], s[2], s[3]}});
    }
    return out;
}

struct Read {
    int16_t result;
    Record record;
    int16_t header;
    std::array<int16_t, 6> headerList;
};

Read ReadOne() {
    std::vector<int16_t> header(1), unused(1, 0x7A7A), headerList(6), kind(1), time(5), card(4);
    Read r{};
    r.result = ReadOneOpenDoorRecord(header.data(), unused.data(), unused.data(), unused.data(),
                                     headerList.data(), kind.data(), time.data(), card.data());
    FUZZ_CHECK(unused[0] == 0x7A7A);
    r.record.kind = kind[0];
    std::copy(time.begin(), time.end(), r.record.time.begin());
    std::copy(card.begin(), card.end(), r.record.card.begin());
    r.header = header[0];
    std::copy(headerList.begin(), headerList.end(), r.headerList.begin());
    return r;
}

// Every record until none is left; each must be a valid record.
std::vector<Read> ReadAll() {
    std::vector<Read> out;
    for (;;) {
        const Read r = ReadOne();
        FUZZ_CHECK_RESULT(r.result, KS_OK, KS_ERR_NO_RECORD);
        if (r.result != KS_OK) break;
        FUZZ_CHECK(out.size() < kRecordSlots);
        const Record &rec = r.record;
        FUZZ_CHECK(rec.kind >= 2 && rec.kind <= 10);
        FUZZ_CHECK(rec.time[0] >= 2000 && rec.time[0] <= 2255);
        FUZZ_CHECK(rec.time[1] >= 1 && rec.time[1] <= 12);
        FUZZ_CHECK(rec.time[2] >= 1 && rec.time[2] <= 31);
        FUZZ_CHECK(rec.time[3] >= 0 && rec.time[3] <= 255);
        FUZZ_CHECK(rec.time[4] >= 0 && rec.time[4] <= 59);
        for (int16_t b : rec.card) FUZZ_CHECK(b >= 0 && b <= 255);
        FUZZ_CHECK(r.header >= 0 && r.header <= 255);
        for (int i = 2; i < 6; ++i) FUZZ_CHECK(r.headerList[i] == 0);
        out.push_back(r);
    }
    FUZZ_CHECK(ReadOne().result == KS_ERR_NO_RECORD);  // and stays so
    return out;
}

// Puts a log on the chosen source; returns what the library's buffer then
// holds, or an empty vector when the source is made to fail.
std::vector<uint8_t> Deliver(Source source, const std::vector<uint8_t> &image, bool fails, int16_t status,
                             uint8_t fill) {
    std::vector<uint8_t> buffer(kOpenDoorBufferSize, 0);
    g_encoder.PortNumber = kEncoderPort;
    switch (source) {
        case kCollector:
            bench::CollectorSetLog(image);
            if (fails) bench::CollectorFailReceive(status, image.size() / 2);
            break;
        case kTemicReader:
        case kMifareReader: {
            const auto reader = source == kTemicReader ? bench::DataReader::Temic : bench::DataReader::Mifare;
            bench::InsertDataCard(reader, image);
            if (fails) bench::FailDataRead(reader, status, image.size() / 2);
            break;
        }
        case kIcCard:
            if (fails) {
                bench::InsertSle4442(bench::MakeIcCard());
            } else {
                const std::vector<uint8_t> card = bench::Make24c64DataCard(image, fill);
                std::copy(card.begin(), card.begin() + kIcDataCardBytes, buffer.begin());
                bench::Insert24c64(card);
            }
            return fails ? std::vector<uint8_t>{} : buffer;
    }
    if (fails) return {};
    std::copy(image.begin(), image.end(), buffer.begin());
    return buffer;
}

}  // namespace

FUZZ_SKIP_SHORT_PAUSES()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::FreshStart();

    fuzz::Input in(data, size);
    const uint8_t selector = in.Byte();
    const uint8_t faultSpec = in.Byte();
    int16_t status = static_cast<int16_t>(in.Byte());
    if (status == KS_OK) status = 0;  // a failing source never answers "delivered"
    const int earlierReads = in.Byte() % 8;
    const uint8_t fill = in.Byte();
    const Source source = static_cast<Source>(selector & 3);
    const bool fails = selector & kSourceFails;
    // The sources deliver at most the library's buffer; a 24C64 holds 8 KiB.
    std::vector<uint8_t> image = in.Take(source == kIcCard ? k24c64Bytes : kOpenDoorBufferSize);

    g_encoder.PortNumber = kEncoderPort;
    switch (source) {
        case kCollector:
            bench::AttachCollector(kCollectorPort, "FUZZLOG");
            // No data-card reader behind: a collector that fails leaves nothing.
            g_encoder.LockType = kLockMifare;
            g_encoder.medium = MediumFor(g_encoder.LockType);
            break;
        case kTemicReader:
            bench::PlaceDataReader(bench::DataReader::Temic, kEncoderPort);
            g_encoder.LockType = kLockTemic;
            g_encoder.medium = MediumFor(g_encoder.LockType);
            break;
        case kMifareReader:
            bench::PlaceDataReader(bench::DataReader::Mifare, kEncoderPort);
            g_encoder.LockType = kLockMifare;
            g_encoder.medium = MediumFor(g_encoder.LockType);
            break;
        case kIcCard:
            bench::PlaceIcEncoder(kEncoderPort);
            g_encoder.LockType = kLockIc4442;
            g_encoder.medium = MediumFor(g_encoder.LockType);
            FUZZ_CHECK(IcOpen(g_encoder) == KS_OK);
            break;
    }

    if (selector & kEarlierLog) {
        // A full log of valid records, partly read: none of it may come back.
        std::vector<bench::OpenDoorSlot> slots;
        for (int k = 0; k < 200; ++k)
            slots.push_back(bench::MakeOpenDoorSlot({0xEE, 0xEE, 0xEE, static_cast<uint8_t>(k)}, 24, 5, 6, 7, 8, 9));
        const std::vector<uint8_t> earlier = bench::OpenDoorLogImage({1, 2, 3}, slots);
        Deliver(source, earlier, false, 0, 0xFF);
        FUZZ_CHECK(ReadDataCard(0) == KS_OK);
        for (int i = 0; i < earlierReads; ++i) FUZZ_CHECK(ReadOne().result == KS_OK);
    }

    const std::vector<uint8_t> expected = Deliver(source, image, fails, status, fill);
    bench::ClearCallLog();
    fuzz::ArmFaultFrom(faultSpec);
    const int16_t result = ReadDataCard(0);
    if (source == kIcCard) FUZZ_CHECK_RESULT(result, KS_OK, KS_ERR_IC_NOT_OPEN, KS_ERR_CARD_INVALID);

    const std::vector<Read> records = ReadAll();
    // A fetch that did not answer KS_OK leaves no record readable.
    if (result != KS_OK) FUZZ_CHECK(records.empty());
    if (faultSpec == 0) {
        FUZZ_CHECK((result == KS_OK) == !fails);
        if (fails && source != kCollector && source != kIcCard) FUZZ_CHECK(result == status);
        if (!fails) {
            const std::vector<Record> want = ValidSlots(expected);
            FUZZ_CHECK(records.size() == want.size());
            for (size_t i = 0; i < records.size(); ++i) {
                FUZZ_CHECK(records[i].record == want[i]);
                FUZZ_CHECK(records[i].header == expected[kHeaderValueOffset]);
                FUZZ_CHECK(records[i].headerList[0] == expected[kHeaderListOffset]);
                FUZZ_CHECK(records[i].headerList[1] == expected[kHeaderListOffset + 1]);
            }
        }
        fuzz::CheckNothingOpen("MWIC_32", source == kIcCard ? 1 : 0);
    }
    if (source == kIcCard) IcClose(g_encoder);
    return 0;
}
