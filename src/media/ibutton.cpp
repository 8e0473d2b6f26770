// PENDING: iButton driver (being built).
#include "media/ibutton.h"
#include "api/result_codes.h"
int16_t TmReadSerialNumber(int16_t *) { return KS_ERR_COMM; }
