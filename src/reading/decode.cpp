// Decoding a read image back into ReadCard's eleven slots: which outputs each
// card type fills and which it leaves as the host passed them. No device.
#include "base/result_codes.h"
#include "cards/card_image.h"
#include "codec/codec.h"
#include "reading/reading.h"

namespace {

// Outputs a decoded card writes, beyond CardSerial.
enum Output : uint16_t {
    kOutTypeCode = 1 << 0,
    kOutWideList = 1 << 1,   // elements 8-11 always; 0-7 guest, 0 install
    kOutTimes = 1 << 2,      // StartTime and EndTime
    kOutOptionFlag = 1 << 3,
    kOutNumber = 1 << 4,
    kOutListA = 1 << 5,
    kOutListB = 1 << 6,
};

constexpr uint16_t kCommonOutputs = kOutTypeCode | kOutWideList | kOutTimes;
constexpr uint16_t kClearedOutputs = kOutTypeCode | kOutWideList;

// Type codes ReadCard decodes and the outputs each adds to the common ones.
struct DecodeRow {
    uint8_t code;
    uint16_t outputs;
};
constexpr DecodeRow kDecodable[] = {
    {CardTypeCode::kSystemPassword, 0},
    {CardTypeCode::kTime, 0},
    {CardTypeCode::kEmergent, 0},
    {CardTypeCode::kGuest, 0},
    {CardTypeCode::kFloor, kOutNumber | kOutListA},
    {CardTypeCode::kCleanDistrict, kOutListB},
    {CardTypeCode::kBuilding, kOutListA},
    {CardTypeCode::kLongOpen, 0},
    {CardTypeCode::kChief, 0},
    {CardTypeCode::kInstall, kOutNumber | kOutListA | kOutListB},
    {CardTypeCode::kLost, 0},
    {CardTypeCode::kData, 0},
    {CardTypeCode::kGuestLeave, 0},
};

const DecodeRow *FindDecodable(int16_t code) {
    for (const DecodeRow &row : kDecodable) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

// A SystemPasswordCard reports this fixed end time (year already full).
constexpr int16_t kSystemPasswordCardEnd[CardLayout::kTimeFields] = {2001, 1, 1, 1, 1};

bool OutputsPresent(uint16_t outputs, const ReadCardArgs &out) {
    return !((outputs & kOutTypeCode) && !out.typeCode) &&
           !((outputs & kOutWideList) && !out.wideList) &&
           !((outputs & kOutTimes) && (!out.startTime || !out.endTime)) &&
           !((outputs & kOutOptionFlag) && !out.optionFlag) &&
           !((outputs & kOutNumber) && !out.number) && !((outputs & kOutListA) && !out.listA) &&
           !((outputs & kOutListB) && !out.listB);
}

int16_t Byte(const int16_t *image, int offset) { return static_cast<int16_t>(image[offset] & 0xFF); }

// A 16-bit value stored high byte first.
int16_t Word(const int16_t *image, int offset) {
    return static_cast<int16_t>((Byte(image, offset) << 8) | Byte(image, offset + 1));
}

void WriteExtensionBytes(const int16_t *image, int16_t *wideList) {
    const bool marked = Byte(image, CardLayout::kExtensionMarker) == kExtensionMarkerValue;
    for (int i = 0; i < WideListIndex::kExtensionCount; ++i) {
        wideList[WideListIndex::kExtension + i] =
            marked ? Byte(image, CardLayout::kExtensionBytes + i) : 0;
    }
}

void WriteTimes(const int16_t *image, int16_t *startTime, int16_t *endTime) {
    for (int i = 0; i < CardLayout::kTimeFields; ++i) {
        startTime[i] = Byte(image, CardLayout::kStartTime + i);
        endTime[i] = Byte(image, CardLayout::kEndTime + i);
    }
    startTime[0] = static_cast<int16_t>(startTime[0] + kYearBase);
    endTime[0] = static_cast<int16_t>(endTime[0] + kYearBase);
}

// Install card without a lock number: the number in byte 32 comes back as a
// 32-bit mask with bit (n - 1) set, the bit number taken modulo 32.
void WriteInstallBitMask(const int16_t *image, int16_t *wideList) {
    const unsigned bit = static_cast<unsigned>(Byte(image, CardLayout::kExtensionBytes) - 1) & 31u;
    const uint32_t mask = uint32_t{1} << bit;
    for (int i = 0; i < WideListIndex::kExtensionCount; ++i) {
        wideList[WideListIndex::kExtension + i] = static_cast<int16_t>((mask >> (8 * i)) & 0xFF);
    }
}

void WriteTypeFields(int16_t code, const int16_t *image, const ReadCardArgs &out) {
    using namespace CardLayout;
    switch (code) {
        case CardTypeCode::kSystemPassword:
            // Start time as in the common fields; the end time is fixed.
            for (int i = 0; i < kTimeFields; ++i) out.endTime[i] = kSystemPasswordCardEnd[i];
            break;
        case CardTypeCode::kTime:
            for (int i = 0; i < kTimeCardFields; ++i) {
                out.startTime[i] = Byte(image, kStartTime + i);
                out.endTime[i] = 0;  // year included: it stays 0
            }
            out.startTime[0] = static_cast<int16_t>(out.startTime[0] + kYearBase);
            break;
        case CardTypeCode::kGuest: {
            const bool marked = Byte(image, kExtensionMarker) == kExtensionMarkerValue;
            for (int i = 0; i < WideListIndex::kNumberCount; ++i) {
                out.wideList[WideListIndex::kNumbers + i] = Word(image, kGuestNumbers + 2 * i);
                out.wideList[WideListIndex::kWideValues + i] =
                    marked ? Word(image, kExtensionWide + 2 * i) : 0;
            }
            break;
        }
        case CardTypeCode::kFloor:
            out.number[0] = Byte(image, kNumber);
            for (int i = 0; i < kListLength; ++i) out.listA[i] = Byte(image, kList + i);
            break;
        case CardTypeCode::kCleanDistrict:
            for (int i = 0; i < kListLength; ++i) out.listB[i] = Byte(image, kList + i);
            break;
        case CardTypeCode::kBuilding:
            for (int i = 0; i < kListLength; ++i) out.listA[i] = Byte(image, kList + i);
            break;
        case CardTypeCode::kInstall:
            out.number[0] = Byte(image, kNumber);
            out.wideList[WideListIndex::kNumbers] = Word(image, kInstallNumber);
            out.listA[0] = Byte(image, kInstallListA);
            out.listB[0] = Byte(image, kInstallListB);
            if (Byte(image, kExtensionMarker) == kExtensionMarkerValue &&
                out.wideList[WideListIndex::kNumbers] == 0) {
                WriteInstallBitMask(image, out.wideList);
            }
            break;
        default:
            break;  // the flag alone
    }
    out.optionFlag[0] = static_cast<int16_t>(Byte(image, kOptionFlag) & 1);
}

}  // namespace

int16_t DecodeReadImage(const int16_t *image, const int16_t *serial, int serialLength, const ReadCardArgs &out) {
    if (!out.cardSerial) return KS_ERR_UNAVAILABLE;
    const bool cleared = Byte(image, CardLayout::kStartTime) == kClearedRecordMarker;
    const int16_t code = Byte(image, CardLayout::kCardType);
    const DecodeRow *row = cleared ? nullptr : FindDecodable(code);
    const uint16_t outputs = cleared ? kClearedOutputs
                             : row   ? kCommonOutputs | kOutOptionFlag | row->outputs
                                     : kCommonOutputs;
    // Every output this card needs must be there before any is written.
    if (!OutputsPresent(outputs, out)) return KS_ERR_UNAVAILABLE;

    for (int i = 0; i < serialLength; ++i) out.cardSerial[i] = serial[i];
    if (cleared) {
        // Only the type and the empty extension: times and flag stay as passed.
        out.typeCode[0] = CardTypeCode::kCleared;
        for (int i = 0; i < WideListIndex::kExtensionCount; ++i) {
            out.wideList[WideListIndex::kExtension + i] = 0;
        }
        return KS_OK;
    }
    out.typeCode[0] = code;
    WriteTimes(image, out.startTime, out.endTime);
    WriteExtensionBytes(image, out.wideList);
    if (row == nullptr) return KS_ERR_CARD_INVALID;
    WriteTypeFields(code, image, out);
    return KS_OK;
}
