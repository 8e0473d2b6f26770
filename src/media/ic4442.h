// Contact IC encoder driver: SLE4442 cards and 24C64 data cards through
// MWIC_32. The encoder is opened by EncodeInit and stays open until EncodeExit;
// its handle lives in the encoder state.
#pragma once
#include <cstdint>

#include "base/encoder_state.h"

int16_t IcOpen(EncoderState &enc);  // on enc.PortNumber
int16_t IcClose(EncoderState &enc);
int16_t IcReadSerial(EncoderState &enc, int16_t *serial);
int16_t IcPresentCode(EncoderState &enc);
int16_t IcCheckCleared(EncoderState &enc);
int16_t IcWriteCard(EncoderState &enc, int16_t *serial, int16_t *image, int16_t cardType);
int16_t IcClearCard(EncoderState &enc, int16_t *serial);
// 32 values: plain record + serial bytes; the serial bytes and their check
// byte also go to serial[0..3].
int16_t IcReadCard(EncoderState &enc, int16_t *serial, int16_t *values);
int16_t IcReadDataCard(EncoderState &enc, uint8_t *log);  // kDataCardLogLength bytes
