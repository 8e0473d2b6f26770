// Mifare Classic driver through the RC500 reader: every operation opens its
// own reader connection on enc.PortNumber and closes it before it returns.
// The card record sits in enc.MifareSector; the Mifare data-card reader too.
#pragma once
#include <cstdint>

#include "base/encoder_state.h"

void DeriveMifareSectorKey(const uint8_t serial[4], const uint8_t password[4], uint8_t key[6]);
int16_t MifareReadCard(EncoderState &enc, int16_t *serial, int16_t *image);  // serial 8, image 64 elements
int16_t MifareReadSystemCard(EncoderState &enc, int16_t *image);            // from sector 15
int16_t MifareCheckCleared(EncoderState &enc);
int16_t MifareWriteCard(EncoderState &enc, int16_t *serial, int16_t *image, int16_t cardType);
int16_t MifareClearCard(EncoderState &enc, int16_t *serial);
int16_t MifareReadDataCard(EncoderState &enc, uint8_t *log);
// Body of the M1_ReadSn export: element 0 carries the port on entry.
int16_t MifareReadSerialNumber(int16_t *values);
