// ReadSystemPas: takes the hotel's SystemPassword from a SystemPasswordCard
// and keeps it for every later issue, read and clear.
#include "base/result_codes.h"
#include "cards/card_image.h"
#include "media/medium.h"
#include "platform/platform.h"
#include "reading/reading.h"

namespace {

// SystemPasswordCard: the password in TypeData bytes 10-13, one further byte at 14.
constexpr int kPasswordOffset = CardLayout::kTypeData;
constexpr int kPasswordLength = 4;
constexpr int kExtraByteOffset = kPasswordOffset + kPasswordLength;

}  // namespace

int16_t TakeSystemPassword(EncoderState &enc, int16_t *out) {
    if (!out) return KS_ERR_UNAVAILABLE;
    platform::ShowWaitCursor();

    int16_t image[kCardImageLength] = {};
    const int16_t result = enc.medium->readSystemCard(enc, image);
    if (result != KS_OK) return result;
    if ((image[CardLayout::kCardType] & 0xFF) != CardTypeCode::kSystemPassword) {
        return KS_ERR_CARD_INVALID;
    }
    for (int i = 0; i < kPasswordLength; ++i) {
        const uint8_t byte = static_cast<uint8_t>(image[kPasswordOffset + i]);
        out[i] = byte;
        enc.SystemPassword[i] = byte;
    }
    out[kPasswordLength] = static_cast<int16_t>(image[kExtraByteOffset] & 0xFF);
    return KS_OK;
}
