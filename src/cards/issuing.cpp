// The issuing skeleton shared by every Make...Card export: check the host's
// arrays, build the image, reduce the host's years, hand the image to the
// configured medium.
#include "cards/issuing.h"

#include "base/result_codes.h"
#include "cards/card_image.h"
#include "media/medium.h"

int16_t IssueCard(EncoderState &enc, CardKind kind, const CardFamilyArgs &args) {
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

    return enc.medium->writeCard(enc, args.cardSerial, image.element, typeCode);
}
