// Card reading: decoding and the system password card.
#pragma once
#include <cstdint>

#include "base/encoder_state.h"

// ReadCard's 11 output slots.
struct ReadCardArgs {
    int16_t *cardSerial;
    int32_t spare;
    int16_t *number;
    int16_t *listA;
    int16_t *listB;
    int16_t *wideList;
    int16_t *optionFlag;
    int16_t *typeCode;
    int16_t *listC;
    int16_t *startTime;
    int16_t *endTime;
};

// ReadCard: reads the card on the configured medium and decodes it.
int16_t DecodeCard(EncoderState &enc, const ReadCardArgs &args);
// Decodes a read image (64 values; positions the medium does not fill are 0)
// into ReadCard's outputs, CardSerial included: the `serialLength` elements
// `serial` the medium reported. Writes nothing and answers KS_ERR_UNAVAILABLE
// when an output this card needs is missing.
int16_t DecodeReadImage(const int16_t *image, const int16_t *serial, int serialLength, const ReadCardArgs &out);
// ReadSystemPas: out 5 elements; replaces enc.SystemPassword only on success.
int16_t TakeSystemPassword(EncoderState &enc, int16_t *out);
