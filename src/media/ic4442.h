// Contact IC encoder driver: SLE4442 cards through MWIC_32. The encoder is
// opened by EncodeInit and stays open until EncodeExit.
#pragma once
#include <cstdint>

int16_t IcOpen(uint8_t port);
int16_t IcClose();
int16_t IcReadSerial(int16_t *serial);
int16_t IcPresentCode();
int16_t IcCheckCleared();
int16_t IcWriteCard(int16_t *serial, int16_t *image, int16_t cardType, int16_t length);
int16_t IcClearCard(int16_t *serial);
int16_t IcReadCard(int16_t *values);  // 32 values: plain record + serial bytes
void IcBeep();
