// Building a card image from the issuing arguments: the fill pattern, the
// times, each kind's TypeData and the ExtensionBlock. No device, no state.
#include "cards/card_image.h"

#include "codec/codec.h"

namespace {

// Which optional host arrays a kind reads.
enum ArgUse : uint8_t {
    kUsesListA = 1 << 0,
    kUsesListB = 1 << 1,
    kUsesListC = 1 << 2,
    kUsesWideList = 1 << 3,
    kUsesTypeCode = 1 << 4,  // the lost card; it reads WideList too when TypeCode[0] > 15
};

// Which ExtensionBlock a kind prepares: none (elements 32-63 hold 0xCC),
// the four extension bytes, or those and the four 16-bit wide values.
enum class Extension : uint8_t { None, Bytes, BytesAndWide };

struct CardKindInfo {
    CardKind kind;
    uint8_t typeCode;
    uint8_t uses;
    Extension extension;
};

// One row per export: type code, arrays read, ExtensionBlock.
constexpr CardKindInfo kCardKinds[] = {
    {CardKind::Time, CardTypeCode::kTime, 0, Extension::None},
    {CardKind::Emergent, CardTypeCode::kEmergent, 0, Extension::None},
    {CardKind::Guest, CardTypeCode::kGuest, kUsesWideList, Extension::BytesAndWide},
    {CardKind::Floor, CardTypeCode::kFloor, kUsesListA | kUsesListC | kUsesWideList, Extension::Bytes},
    {CardKind::CleanDistrict, CardTypeCode::kCleanDistrict, kUsesListB | kUsesListC | kUsesWideList,
     Extension::Bytes},
    {CardKind::Building, CardTypeCode::kBuilding, kUsesListA | kUsesListC | kUsesWideList,
     Extension::BytesAndWide},
    {CardKind::LongOpen, CardTypeCode::kLongOpen, kUsesWideList, Extension::Bytes},
    {CardKind::Chief, CardTypeCode::kChief, 0, Extension::None},
    {CardKind::Install, CardTypeCode::kInstall, kUsesListA | kUsesListB | kUsesWideList, Extension::Bytes},
    {CardKind::Lost, CardTypeCode::kLost, kUsesTypeCode, Extension::None},
    {CardKind::Data, CardTypeCode::kData, 0, Extension::None},
    {CardKind::GuestLeave, CardTypeCode::kGuestLeave, 0, Extension::None},
};

const CardKindInfo *FindKind(CardKind kind) {
    for (const CardKindInfo &info : kCardKinds) {
        if (info.kind == kind) return &info;
    }
    return nullptr;  // MakeSealCard
}

int16_t LowByte(int32_t value) { return static_cast<int16_t>(value & 0xFF); }

bool LostCardCopiesList(const CardFamilyArgs &args) {
    return args.typeCode[0] > kLostCardListThreshold;
}

// Bytes that no step sets go onto the card as their own offset; kinds
// without an ExtensionBlock carry 0xCC from offset 32 on.
void SetFillPattern(CardImage *image, bool prepareTail) {
    for (int i = 0; i < kCardImageLength; ++i) {
        image->element[i] = (i < CardLayout::kPreparedLength || prepareTail) ? i : kUnpreparedTail;
    }
}

void PutTime(CardImage *image, int offset, const int16_t *time, int count) {
    image->element[offset] = LowByte(static_cast<int16_t>(time[0] - kYearBase));
    for (int i = 1; i < count; ++i) image->element[offset + i] = LowByte(time[i]);
}

void PutSplit(CardImage *image, int offset, int16_t value) {
    image->element[offset] = SplitHigh(value);
    image->element[offset + 1] = SplitLow(value);
}

void PutList(CardImage *image, int offset, const int16_t *list, int count) {
    for (int i = 0; i < count; ++i) image->element[offset + i] = LowByte(list[i]);
}

// Packed decimal of 0..99 (45 becomes 0x45); other values keep the low 8 bits
// of the same formula.
int16_t PackedDecimal(int16_t value) { return LowByte((value / 10) * 16 + value % 10); }

void PutTimeCardTimes(CardImage *image, const int16_t *startTime) {
    PutTime(image, CardLayout::kStartTime, startTime, CardLayout::kTimeCardFields);
    const int16_t seconds = startTime[CardLayout::kTimeCardFields - 1];
    image->element[CardLayout::kTimeCardTens] = LowByte((seconds / 10) * 10);
    image->element[CardLayout::kTimeCardUnits] = LowByte(seconds % 10);
}

void PutTypeData(CardKind kind, const CardFamilyArgs &args, CardImage *image) {
    using namespace CardLayout;
    const int16_t number = static_cast<int16_t>(args.number);
    switch (kind) {
        case CardKind::Guest:
            for (int i = 0; i < WideListIndex::kNumberCount; ++i) {
                PutSplit(image, kGuestNumbers + 2 * i, args.wideList[WideListIndex::kNumbers + i]);
            }
            break;
        case CardKind::Floor:
            image->element[kNumber] = LowByte(number);
            PutList(image, kList, args.listA, kListLength);
            PutList(image, kListC, args.listC, kListLength);
            break;
        case CardKind::CleanDistrict:
            PutList(image, kList, args.listB, kListLength);
            PutList(image, kListC, args.listC, kListLength);
            break;
        case CardKind::Building:
            PutList(image, kList, args.listA, kListLength);
            for (int i = 0; i < kListLength; ++i) {
                image->element[kListC + i] = PackedDecimal(args.listC[i]);
            }
            break;
        case CardKind::Install:
            image->element[kNumber] = LowByte(number);
            PutSplit(image, kInstallNumber, args.wideList[WideListIndex::kNumbers]);
            image->element[kInstallListA] = LowByte(args.listA[0]);
            image->element[kInstallListB] = LowByte(args.listB[0]);
            break;
        case CardKind::Lost:
            image->element[kLostTypeCode] = LowByte(args.typeCode[0]);
            if (LostCardCopiesList(args)) {
                PutList(image, kLostList, args.wideList + WideListIndex::kNumbers, kListLength);
            }
            break;
        default:
            break;  // the remaining kinds keep the fill values
    }
}

void PutExtensionBlock(Extension extension, const int16_t *wideList, CardImage *image) {
    using namespace CardLayout;
    bool hasData = false;
    for (int i = 0; i < WideListIndex::kExtensionCount; ++i) {
        const int16_t value = wideList[WideListIndex::kExtension + i];
        image->element[kExtensionBytes + i] = LowByte(value);
        hasData = hasData || value != 0;  // whole element: 256 counts although its byte is 0
    }
    if (extension == Extension::BytesAndWide) {
        for (int i = 0; i < WideListIndex::kWideValueCount; ++i) {
            const int16_t value = wideList[WideListIndex::kWideValues + i];
            PutSplit(image, kExtensionWide + 2 * i, value);
            hasData = hasData || value != 0;
        }
    }
    SealExtensionBlock(image, hasData);
}

}  // namespace

uint8_t CardTypeCodeOf(CardKind kind) {
    const CardKindInfo *info = FindKind(kind);
    return info ? info->typeCode : 0;
}

bool CardArgsPresent(CardKind kind, const CardFamilyArgs &args) {
    const CardKindInfo *info = FindKind(kind);
    if (info == nullptr) return true;  // MakeSealCard reads nothing
    if (!args.cardSerial || !args.startTime || !args.endTime) return false;
    if ((info->uses & kUsesListA) && !args.listA) return false;
    if ((info->uses & kUsesListB) && !args.listB) return false;
    if ((info->uses & kUsesListC) && !args.listC) return false;
    if ((info->uses & kUsesWideList) && !args.wideList) return false;
    if (info->uses & kUsesTypeCode) {
        if (!args.typeCode) return false;
        if (LostCardCopiesList(args) && !args.wideList) return false;
    }
    return true;
}

void SealExtensionBlock(CardImage *image, bool hasData) {
    using namespace CardLayout;
    image->element[kExtensionMarker] = hasData ? kExtensionMarkerValue : 0;
    uint8_t bytes[kExtensionChecked];
    for (int i = 0; i < kExtensionChecked; ++i) {
        bytes[i] = static_cast<uint8_t>(image->element[kExtension + i]);
    }
    uint8_t low = 0, high = 0;
    CardChecksum(bytes, kExtensionChecked, &low, &high);
    image->element[kExtensionCheckLow] = low;
    image->element[kExtensionCheckHigh] = high;
}

bool BuildCardImage(CardKind kind, const CardFamilyArgs &args, CardImage *image) {
    const CardKindInfo *info = FindKind(kind);
    if (info == nullptr) return false;
    const bool hasExtension = info->extension != Extension::None;
    SetFillPattern(image, hasExtension);
    if (kind == CardKind::Time) {
        PutTimeCardTimes(image, args.startTime);  // the end time is not stored
    } else {
        PutTime(image, CardLayout::kStartTime, args.startTime, CardLayout::kTimeFields);
        PutTime(image, CardLayout::kEndTime, args.endTime, CardLayout::kTimeFields);
    }
    PutTypeData(kind, args, image);
    // Only the low 16 bits of the flag count: 0x10001 is 1, 2 and -1 are not.
    image->element[CardLayout::kOptionFlag] = static_cast<int16_t>(args.optionFlag) == 1 ? 1 : 0;
    if (hasExtension) PutExtensionBlock(info->extension, args.wideList, image);
    return true;
}
