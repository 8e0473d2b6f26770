// PENDING: data collection (being built).
#include "datacollect/datacollect.h"
#include "api/result_codes.h"

int16_t FetchOpenDoorLog() { return KS_ERR_UNAVAILABLE; }
int16_t NextOpenDoorRecord(int16_t *, int16_t *, int16_t *, int16_t *, int16_t *) { return KS_ERR_NO_RECORD; }
int16_t CollectorSetTime(int16_t *) { return KS_ERR_OPEN_OR_NO_DEV; }
int16_t CollectorSetRoomNumber(int16_t *) { return KS_ERR_OPEN_OR_NO_DEV; }
