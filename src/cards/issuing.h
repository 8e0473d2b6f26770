// Card issuing: the card image, the issuing skeleton and the card kinds.
#pragma once
#include <cstdint>

#include "base/encoder_state.h"

enum class CardKind {
    Time, Emergent, Guest, Floor, CleanDistrict, Building, LongOpen, Chief, Install, Lost,
    Data, GuestLeave, Seal
};

// The 11 arguments every Make...Card export takes, as passed.
struct CardFamilyArgs {
    int16_t *cardSerial;
    int32_t spare;
    int32_t number;
    int16_t *listA;
    int16_t *listB;
    int16_t *wideList;
    int32_t optionFlag;
    int16_t *typeCode;
    int16_t *listC;
    int16_t *startTime;
    int16_t *endTime;
};

int16_t IssueCard(EncoderState &enc, CardKind kind, const CardFamilyArgs &args);
