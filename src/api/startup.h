// EncodeInit: configuration, port settling, the medium's table and its opening step.
#pragma once
#include <cstdint>

int16_t EncoderStart(char *path);
