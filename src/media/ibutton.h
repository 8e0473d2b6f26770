// iButton (TMEX) reader: the 64-bit ROM ID of a touch memory key.
#pragma once
#include <cstdint>

int16_t TmReadRom(int32_t session, int16_t *values);
// Body of the TM_ReadSn export: element 0 carries the port on entry.
int16_t TmReadSerialNumber(int16_t *values);
