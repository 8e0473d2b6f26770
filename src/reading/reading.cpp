// PENDING: card reading (being built).
#include "reading/reading.h"
#include "api/result_codes.h"

int16_t DecodeCard(const ReadCardArgs &) { return KS_ERR_UNAVAILABLE; }
int16_t TakeSystemPassword(int16_t *) { return KS_ERR_UNAVAILABLE; }
int16_t ClearCard(int16_t *) { return KS_ERR_UNAVAILABLE; }
