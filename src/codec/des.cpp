// PENDING: DES engine (being built).
#include "codec/des.h"
#include "api/result_codes.h"
int16_t RunDes2(int16_t *, int32_t, int32_t) { return KS_ERR_UNAVAILABLE; }
