// ReadCard: the driver of the configured medium reads and opens the record,
// then the pure decoder fills the host's slots.
#include "api/encoder_state.h"
#include "api/result_codes.h"
#include "cards/card_image.h"
#include "media/ic4442.h"
#include "media/mifare.h"
#include "media/temic.h"
#include "reading/reading.h"

int16_t DecodeCard(const ReadCardArgs &args) {
    const int16_t lockType = g_encoder.LockType;
    if (lockType != kLockIc4442 && lockType != kLockTemic && lockType != kLockMifare) {
        return KS_ERR_UNAVAILABLE;
    }
    if (!args.cardSerial) return KS_ERR_UNAVAILABLE;

    // Positions the medium does not fill carry no card data and read as 0,
    // so the ExtensionBlock is absent on IC 4442 and TEMIC cards.
    int16_t image[kCardImageLength] = {};
    // The Mifare driver reports the serial as soon as the card is selected.
    // It goes to the host only once the decoder has found every output it
    // needs, or when the read failed (the host then learns which card it was);
    // elements the driver did not reach keep the host's values.
    int16_t mifareSerial[kCardSerialLength] = {};
    int16_t result;
    if (lockType == kLockIc4442) {
        result = IcReadCard(image);
    } else if (lockType == kLockTemic) {
        result = TemicReadCard(image);
    } else {
        for (int i = 0; i < kCardSerialLength; ++i) mifareSerial[i] = args.cardSerial[i];
        result = MifareReadCard(mifareSerial, image);
        if (result != KS_OK) {
            for (int i = 0; i < kCardSerialLength; ++i) args.cardSerial[i] = mifareSerial[i];
        }
    }
    // The driver's own reason (no card, refused key, bad check) is not passed on.
    if (result != KS_OK) return KS_ERR_CARD_INVALID;
    return DecodeReadImage(lockType, image, mifareSerial, args);
}
