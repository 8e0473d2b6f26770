// Card reading: decoding, the system password card, clearing.
#pragma once
#include <cstdint>

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

int16_t DecodeCard(const ReadCardArgs &args);
int16_t TakeSystemPassword(int16_t *out);
int16_t ClearCard(int16_t *cardSerial);
