// ClearCardData: the driver of the configured medium turns the card back into
// a cleared card; its checks and codes are the driver's own.
#include "api/encoder_state.h"
#include "api/result_codes.h"
#include "media/ic4442.h"
#include "media/mifare.h"
#include "media/temic.h"
#include "reading/reading.h"

int16_t ClearCard(int16_t *cardSerial) {
    // A null array is refused only where the driver would write the serial
    // into it; the TEMIC clear never touches the host's array.
    switch (g_encoder.LockType) {
        case kLockReserved1:
        case kLockReserved4:
            return KS_ERR_MEDIUM_RESERVED;
        case kLockIc4442:
            return cardSerial ? IcClearCard(cardSerial) : KS_ERR_UNAVAILABLE;
        case kLockTemic:
            return TemicClearCard(cardSerial);  // leaves the host's array as it was
        case kLockMifare:
            return cardSerial ? MifareClearCard(cardSerial) : KS_ERR_UNAVAILABLE;
        default:
            return KS_ERR_UNAVAILABLE;
    }
}
