// PENDING: encoder start-up (being built).
#include "api/startup.h"
#include "api/encoder_state.h"
#include "api/result_codes.h"

int16_t EncoderStart(char *) { return KS_ERR_MEDIUM_RESERVED; }
int16_t EncoderStop() {
    switch (g_encoder.LockType) {
        case kLockReserved1:
        case kLockReserved4: return KS_ERR_MEDIUM_RESERVED;
        case kLockTemic:
        case kLockMifare: return KS_OK;
        default: return KS_ERR_UNAVAILABLE;
    }
}
