// The card image: the 64-element work array every issued card is built in,
// its byte layout, the card-type codes and the ExtensionBlock. Building an
// image is a pure function of the export's arguments; the medium driver adds
// the SystemPassword, the type code and the seal.
#pragma once
#include <cstdint>

#include "cards/issuing.h"

constexpr int kCardImageLength = 64;

// One element per card byte; drivers take the low 8 bits of each.
struct CardImage {
    int16_t element[kCardImageLength];
};

// Byte layout (offsets are card bytes and element indexes alike).
namespace CardLayout {
constexpr int kStartTime = 0;          // year - 2000, month, day, hour, minute
constexpr int kEndTime = 5;            // same form
constexpr int kTimeFields = 5;
constexpr int kTypeData = 10;          // card-type specific, up to byte 18:
constexpr int kGuestNumbers = 10;      //   guest: WideList[0..3], high then low, 10-17
constexpr int kNumber = 10;            //   floor, install: Number
constexpr int kList = 11;              //   floor, building: ListA; clean-district: ListB (11-14)
constexpr int kListC = 15;             //   floor, clean-district, building: ListC (15-18)
constexpr int kInstallNumber = 11;     //   install: WideList[0], high then low (11-12)
constexpr int kInstallListA = 13;      //   install: ListA[0]
constexpr int kInstallListB = 14;      //   install: ListB[0]
constexpr int kLostTypeCode = 10;      //   lost: TypeCode[0]
constexpr int kLostList = 11;          //   lost: WideList[0..3] (11-14) when TypeCode[0] > 15
constexpr int kOptionFlag = 19;
constexpr int kSystemPassword = 20;    // 4 bytes, set by the driver
constexpr int kCardType = 24;          // set by the driver; 25-27: the medium's seal
constexpr int kPreparedLength = 32;    // kinds without an ExtensionBlock prepare 0-31 only

// Time card: the start time carries the seconds too (byte 5), split again
// into tens and units.
constexpr int kTimeCardTens = 6;
constexpr int kTimeCardUnits = 7;
constexpr int kTimeCardFields = 6;

// ExtensionBlock (plain, only Mifare stores it).
constexpr int kExtension = 32;
constexpr int kExtensionBytes = 32;    // 32-35: WideList[8..11]
constexpr int kExtensionWide = 36;     // 36-43: WideList[4..7], high then low; 44 fill
constexpr int kExtensionMarker = 45;
constexpr int kExtensionCheckLow = 46;
constexpr int kExtensionCheckHigh = 47;
constexpr int kExtensionChecked = 14;  // the checksum covers offsets 32-45
}  // namespace CardLayout

// WideList elements by role.
namespace WideListIndex {
constexpr int kNumbers = 0;        // 0-3: 16-bit numbers in TypeData
constexpr int kNumberCount = 4;
constexpr int kWideValues = 4;     // 4-7: 16-bit ExtensionBlock values
constexpr int kWideValueCount = 4;
constexpr int kExtension = 8;      // 8-11: ExtensionBlock bytes
constexpr int kExtensionCount = 4;
}  // namespace WideListIndex

constexpr uint8_t kExtensionMarkerValue = 0xF8;
// Elements 32-63 of the kinds that prepare only elements 0-31.
constexpr int16_t kUnpreparedTail = 0xCC;
constexpr int16_t kYearBase = 2000;
constexpr int kListLength = 4;     // ListA, ListB, ListC
// CardSerial: the host's array of 8; Mifare fills all 8, IC 4442 and TEMIC 4.
constexpr int kCardSerialLength = 8;

// Card-type codes, byte 24.
namespace CardTypeCode {
constexpr uint8_t kSystemPassword = 1;
constexpr uint8_t kTime = 2;
constexpr uint8_t kEmergent = 3;
constexpr uint8_t kGuest = 4;
constexpr uint8_t kFloor = 5;
constexpr uint8_t kCleanDistrict = 6;
constexpr uint8_t kBuilding = 8;
constexpr uint8_t kLongOpen = 9;
constexpr uint8_t kChief = 10;
constexpr uint8_t kInstall = 11;
constexpr uint8_t kLost = 12;
constexpr uint8_t kData = 14;
constexpr uint8_t kGuestLeave = 15;
// Reported by ReadCard for a cleared card; never stored on a card.
constexpr int16_t kCleared = 20;
}  // namespace CardTypeCode

// A lost card copies WideList[0..3] only when its TypeCode[0] exceeds this.
constexpr int16_t kLostCardListThreshold = 15;

// High and low byte of a 16-bit number as cards store them: signed division
// truncating toward zero, so only 0..32767 survive the split unchanged.
inline uint8_t SplitHigh(int16_t value) { return static_cast<uint8_t>(value / 256); }
inline uint8_t SplitLow(int16_t value) { return static_cast<uint8_t>(value % 256); }

// Card-type code of an issuable kind; 0 for MakeSealCard, which issues nothing.
uint8_t CardTypeCodeOf(CardKind kind);

// Whether the host handed every array this kind reads (CardSerial, StartTime
// and EndTime always; the rest by kind). Reads only TypeCode[0] (lost card).
bool CardArgsPresent(CardKind kind, const CardFamilyArgs &args);

// Builds the image for `kind` from the host's arguments, years given in full
// (the image stores year - 2000). Reads the arguments only. Returns false
// for MakeSealCard, for which there is nothing to build. The arrays must be
// present (CardArgsPresent).
bool BuildCardImage(CardKind kind, const CardFamilyArgs &args, CardImage *image);

// ExtensionMarker and its CRC-16 over offsets 32-45, once 32-44 are filled.
void SealExtensionBlock(CardImage *image, bool hasData);
