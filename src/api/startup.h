// EncodeInit / EncodeExit: configuration, port settling, the IC open.
#pragma once
#include <cstdint>

int16_t EncoderStart(char *path);
int16_t EncoderStop();
