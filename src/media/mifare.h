// Mifare Classic driver through the RC500 reader: every operation opens its
// own reader connection and closes it before it returns.
#pragma once
#include <cstdint>

void DeriveMifareSectorKey(const uint8_t serial[4], const uint8_t password[4], uint8_t key[6]);
int16_t MifareReadCard(int16_t *serial, int16_t *image);  // serial 8, image 64 elements
int16_t MifareCheckCleared();
int16_t MifareWriteCard(int16_t *serial, int16_t *image, int16_t cardType);
int16_t MifareClearCard(int16_t *serial);
// Body of the M1_ReadSn export: element 0 carries the port on entry.
int16_t MifareReadSerialNumber(int16_t *values);
