// The issuing skeleton shared by every Make...Card export: check the host's
// arrays, build the image, reduce the host's years, hand the image to the
// driver of the configured medium.
#include "cards/issuing.h"

#include "api/encoder_state.h"
#include "api/result_codes.h"
#include "cards/card_image.h"
#include "media/ic4442.h"
#include "media/mifare.h"
#include "media/temic.h"

int16_t IssueCard(CardKind kind, const CardFamilyArgs &args) {
    const uint8_t typeCode = CardTypeCodeOf(kind);
    // MakeSealCard issues nothing and touches nothing, not even the years.
    if (typeCode == 0) return KS_ERR_UNAVAILABLE;
    // A missing array is refused before anything changes, the years included.
    if (!CardArgsPresent(kind, args)) return KS_ERR_UNAVAILABLE;

    CardImage image;
    BuildCardImage(kind, args, &image);

    // The host sees its years reduced by 2000 after every issuing call,
    // whether the card was written or not.
    args.startTime[0] = static_cast<int16_t>(args.startTime[0] - kYearBase);
    args.endTime[0] = static_cast<int16_t>(args.endTime[0] - kYearBase);

    switch (g_encoder.LockType) {
        case kLockIc4442:
            return IcWriteCard(args.cardSerial, image.element, typeCode, kIssueRecordLength);
        case kLockTemic:
            return TemicWriteCard(args.cardSerial, image.element, typeCode, kIssueRecordLength);
        case kLockMifare:
            return MifareWriteCard(args.cardSerial, image.element, typeCode);
        default:
            return KS_ERR_UNAVAILABLE;  // 1 and 4 included: no medium serves cards there
    }
}
