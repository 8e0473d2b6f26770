// Lock data collection: the open-door log, its records and the collector link.
// Every array argument must be non-null: a null one answers KS_ERR_UNAVAILABLE
// before anything is touched (no port opened, no record consumed).
#pragma once
#include <cstdint>

#include "base/encoder_state.h"

// ReadDataCard: the collector first, then the data card of the configured
// medium. A call that does not answer KS_OK leaves no record readable.
int16_t FetchOpenDoorLog(EncoderState &enc);
// ReadOneOpenDoorRecord (its arguments 1, 5, 6, 7, 8): KS_OK with the next
// valid record, KS_ERR_NO_RECORD when none is left.
int16_t NextOpenDoorRecord(int16_t *header, int16_t *headerList, int16_t *kind, int16_t *time,
                           int16_t *cardBytes);
// PDA_SetTime (6 elements; element 0 reduced by 2000 once the port is reached)
// and PDA_SetRoomNumber (10 elements).
int16_t CollectorSetTime(EncoderState &enc, int16_t *time);
int16_t CollectorSetRoomNumber(EncoderState &enc, int16_t *room);
