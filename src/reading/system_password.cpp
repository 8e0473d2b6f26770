// ReadSystemPas: takes the hotel's SystemPassword from a SystemPasswordCard
// and keeps it for every later issue, read and clear.
#include "api/encoder_state.h"
#include "api/result_codes.h"
#include "cards/card_image.h"
#include "media/ic4442.h"
#include "media/mifare.h"
#include "media/temic.h"
#include "platform/platform.h"
#include "reading/reading.h"

namespace {

// On Mifare the SystemPasswordCard is held in this sector, whatever sector
// the configuration names for ordinary cards.
constexpr uint8_t kSystemPasswordSector = 15;
// SystemPasswordCard: the password in TypeData bytes 10-13, one further byte at 14.
constexpr int kPasswordOffset = CardLayout::kTypeData;
constexpr int kPasswordLength = 4;
constexpr int kExtraByteOffset = kPasswordOffset + kPasswordLength;

int16_t ReadMifareSystemSector(int16_t *image) {
    int16_t serial[kCardSerialLength] = {};
    // The configured sector must come back on every path, or every later
    // card would be issued into sector 15.
    const uint8_t configured = g_encoder.MifareSector;
    g_encoder.MifareSector = kSystemPasswordSector;
    const int16_t result = MifareReadCard(serial, image);
    g_encoder.MifareSector = configured;
    return result;
}

}  // namespace

int16_t TakeSystemPassword(int16_t *out) {
    if (!out) return KS_ERR_UNAVAILABLE;
    platform::ShowWaitCursor();

    int16_t image[kCardImageLength] = {};
    switch (g_encoder.LockType) {
        case kLockIc4442:
            if (IcReadCard(image) != KS_OK) return KS_ERR_CARD_INVALID;
            break;
        case kLockTemic:
            if (TemicReadCard(image) != KS_OK) return KS_ERR_CARD_INVALID;
            break;
        case kLockMifare: {
            const int16_t result = ReadMifareSystemSector(image);
            if (result != KS_OK) return result;
            break;
        }
        default:
            return KS_ERR_UNAVAILABLE;
    }
    if ((image[CardLayout::kCardType] & 0xFF) != CardTypeCode::kSystemPassword) {
        return KS_ERR_CARD_INVALID;
    }
    for (int i = 0; i < kPasswordLength; ++i) {
        const uint8_t byte = static_cast<uint8_t>(image[kPasswordOffset + i]);
        out[i] = byte;
        g_encoder.SystemPassword[i] = byte;
    }
    out[kPasswordLength] = static_cast<int16_t>(image[kExtraByteOffset] & 0xFF);
    return KS_OK;
}
