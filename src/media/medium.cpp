// The five tables of operations and the one choice among them.
#include "media/medium.h"

#include "base/result_codes.h"
#include "media/ic4442.h"
#include "media/mifare.h"
#include "media/temic.h"

namespace {

// CardSerial elements ReadCard reports: the IC 4442 card's three serial bytes
// and their check byte; the TEMIC card's two identity bytes and two zeros.
constexpr int kIcSerialElements = 4;
constexpr int kTemicSerialElements = 4;

// An operation that only answers `Code`, whatever it is given.
template <int16_t Code, class... Args>
int16_t Answer(EncoderState &, Args...) {
    return Code;
}

// A card that cannot be read is an invalid card to the host: the driver's
// own reason (no card, refused key, bad check) is not passed on.
template <int16_t (*Read)(EncoderState &, int16_t *, int16_t *)>
int16_t ReadOrInvalid(EncoderState &enc, int16_t *serial, int16_t *image) {
    return Read(enc, serial, image) == KS_OK ? KS_OK : KS_ERR_CARD_INVALID;
}

// IC 4442 and TEMIC keep the system password card where every card keeps its record.
template <int16_t (*Read)(EncoderState &, int16_t *, int16_t *)>
int16_t ReadSystemCard(EncoderState &enc, int16_t *image) {
    int16_t serial[kMediumSerialLength] = {};
    return ReadOrInvalid<Read>(enc, serial, image);
}

}  // namespace

// Fields in order: serialLength, open, close, writeCard, readCard,
// readSystemCard, clearCard, readDataCard.

// No medium serves cards; only EncodeInit calls the configuration reserved.
const Medium kNoMedium = {0, Answer<KS_ERR_MEDIUM_RESERVED>, Answer<KS_ERR_UNAVAILABLE>,
                          Answer<KS_ERR_UNAVAILABLE>, Answer<KS_ERR_UNAVAILABLE>, Answer<KS_ERR_UNAVAILABLE>,
                          Answer<KS_ERR_UNAVAILABLE>, Answer<KS_ERR_UNAVAILABLE>};
// Recognised but not served: reserved where the medium itself is asked for.
const Medium kReservedMedium = {0, Answer<KS_ERR_MEDIUM_RESERVED>, Answer<KS_ERR_MEDIUM_RESERVED>,
                                Answer<KS_ERR_UNAVAILABLE>, Answer<KS_ERR_UNAVAILABLE>, Answer<KS_ERR_UNAVAILABLE>,
                                Answer<KS_ERR_MEDIUM_RESERVED>, Answer<KS_ERR_MEDIUM_RESERVED>};
// The contact encoder stays open from EncodeInit to EncodeExit.
const Medium kIc4442Medium = {kIcSerialElements, IcOpen, IcClose, IcWriteCard, ReadOrInvalid<IcReadCard>,
                              ReadSystemCard<IcReadCard>, IcClearCard, IcReadDataCard};
// TEMIC and Mifare open their encoder per operation.
const Medium kTemicMedium = {kTemicSerialElements, Answer<KS_OK>, Answer<KS_OK>, TemicWriteCard,
                             ReadOrInvalid<TemicReadCard>, ReadSystemCard<TemicReadCard>, TemicClearCard,
                             TemicReadDataCard};
const Medium kMifareMedium = {kMediumSerialLength, Answer<KS_OK>, Answer<KS_OK>, MifareWriteCard,
                              ReadOrInvalid<MifareReadCard>, MifareReadSystemCard, MifareClearCard,
                              MifareReadDataCard};

const Medium *MediumFor(int16_t lockType) {
    switch (lockType) {
        case kLockIc4442: return &kIc4442Medium;
        case kLockTemic: return &kTemicMedium;
        case kLockMifare: return &kMifareMedium;
        case kLockReserved1:
        case kLockReserved4: return &kReservedMedium;
        default: return &kNoMedium;
    }
}
