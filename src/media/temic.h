// TEMIC AT88RF256 driver through clsic32: every operation opens the encoder
// on PortNumber and closes it again.
#pragma once
#include <cstdint>

// The access code presented with every block command; cards of this system
// are personalised with it.
constexpr int kTemicAccessCodeLength = 4;
extern const uint8_t kTemicAccessCode[kTemicAccessCodeLength];

int16_t TemicWriteCard(int16_t *serial, int16_t *image, int16_t cardType, int16_t length);
int16_t TemicClearCard(int16_t *serial);
int16_t TemicReadCard(int16_t *values);  // 32 values
