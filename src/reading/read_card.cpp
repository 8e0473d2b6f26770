// ReadCard: the configured medium reads and opens the record, then the pure
// decoder fills the host's slots.
#include "base/result_codes.h"
#include "cards/card_image.h"
#include "media/medium.h"
#include "reading/reading.h"

int16_t DecodeCard(EncoderState &enc, const ReadCardArgs &args) {
    if (!args.cardSerial) return KS_ERR_UNAVAILABLE;

    // Positions the medium does not fill carry no card data and read as 0,
    // so the ExtensionBlock is absent on IC 4442 and TEMIC cards.
    int16_t image[kCardImageLength] = {};
    // The medium reports the serial as it reads (Mifare as soon as the card
    // is selected). It goes to the host only once the decoder has found every
    // output it needs, or when the read failed (the host then learns which
    // card it was); elements the medium did not reach keep the host's values.
    const int serialLength = enc.medium->serialLength;
    int16_t serial[kCardSerialLength] = {};
    for (int i = 0; i < serialLength; ++i) serial[i] = args.cardSerial[i];
    const int16_t result = enc.medium->readCard(enc, serial, image);
    if (result != KS_OK) {
        for (int i = 0; i < serialLength; ++i) args.cardSerial[i] = serial[i];
        return result;
    }
    return DecodeReadImage(image, serial, serialLength, args);
}
