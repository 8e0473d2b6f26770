// PENDING: Mifare driver (being built).
#include "media/mifare.h"
#include "api/result_codes.h"
int16_t MifareReadSerialNumber(int16_t *) { return KS_ERR_COMM; }
