// Lock data collection: the open-door log, its records and the collector link.
#pragma once
#include <cstdint>

int16_t FetchOpenDoorLog();
int16_t NextOpenDoorRecord(int16_t *header, int16_t *headerList, int16_t *kind, int16_t *time,
                           int16_t *cardBytes);
int16_t CollectorSetTime(int16_t *time);
int16_t CollectorSetRoomNumber(int16_t *room);
