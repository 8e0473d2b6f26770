// TEMIC AT88RF256 driver through clsic32: every operation opens the encoder
// on enc.PortNumber and closes it again. The TEMIC data-card reader too.
#pragma once
#include <cstdint>

#include "base/encoder_state.h"

// The access code presented with every block command; cards of this system
// are personalised with it.
constexpr int kTemicAccessCodeLength = 4;
extern const uint8_t kTemicAccessCode[kTemicAccessCodeLength];

int16_t TemicWriteCard(EncoderState &enc, int16_t *serial, int16_t *image, int16_t cardType);
int16_t TemicClearCard(EncoderState &enc, int16_t *serial);  // never touches serial
// 32 values; the card's two identity bytes, then two zeros, go to serial[0..3].
int16_t TemicReadCard(EncoderState &enc, int16_t *serial, int16_t *values);
int16_t TemicReadDataCard(EncoderState &enc, uint8_t *log);
