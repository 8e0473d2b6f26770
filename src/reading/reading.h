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

// ReadCard: reads the card on the configured medium and decodes it.
int16_t DecodeCard(const ReadCardArgs &args);
// Decodes a read image (64 values; positions the medium does not fill are 0)
// into ReadCard's outputs, CardSerial included: from the image on IC 4442 and
// TEMIC, the 8 elements `mifareSerial` that the Mifare driver reported on
// Mifare. Writes nothing and answers KS_ERR_UNAVAILABLE when an output this
// card needs is missing.
int16_t DecodeReadImage(int16_t lockType, const int16_t *image, const int16_t *mifareSerial,
                        const ReadCardArgs &out);
// ReadSystemPas: out 5 elements; replaces the SystemPassword only on success.
int16_t TakeSystemPassword(int16_t *out);
// ClearCardData: the driver of the configured medium clears the card.
int16_t ClearCard(int16_t *cardSerial);
