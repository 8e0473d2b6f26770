// EncodeInit: the configuration file, the encoder's port, the system
// password, the choice of the medium's table of operations and the medium's
// opening step (the contact IC encoder alone stays open between calls).
//
// Each field is stored as soon as it is read and the first failure stops the
// load, so a failed EncodeInit leaves the fields read before it new and the
// rest as they were; hosts rely on byte 1 of their path buffer for the port.
#include "api/startup.h"

#include "api/encoder_state.h"
#include "base/result_codes.h"
#include "codec/codec.h"
#include "media/ic4442.h"
#include "media/port_discovery.h"
#include "platform/platform.h"

namespace {

// The host's path buffer is at least this long; the private copy has room
// for a terminator even when those bytes hold none.
constexpr uint32_t kPathBufferSize = 255;
// Every value is read into 32 bytes: at most 31 characters.
constexpr uint32_t kValueSize = 32;
// Byte of the host's path buffer that receives PortNumber.
constexpr uint32_t kPortByteInPath = 1;

constexpr const char *kConfigSection = "Config";
constexpr const char *kSystemInfoSection = "SystemInfo";
constexpr const char *kCommProtKey = "CommProt";
constexpr const char *kPassKey = "Pass";
constexpr const char *kLockTypeKey = "LockType";
constexpr const char *kSectorKey = "Sector";
constexpr const char *kCommProtDefault = "0";
constexpr const char *kPassDefault = "4B7E19D2";
constexpr const char *kLockTypeDefault = "1";
constexpr const char *kSectorDefault = "1";

// CommProt and LockType: the character code of the first character minus
// 47, i.e. the digit plus one.
constexpr int kDigitPlusOneBase = '0' - 1;
constexpr int16_t kLockTypeMax = 5;
constexpr uint8_t kPasswordLength = 4;

char g_configPath[kPathBufferSize + 1];

// Pass "4B7E19D2" -> P0..P3 = 4B 7E 19 D2 -> SystemPassword = D2 19 7E 4B.
// A value shorter than 8 characters is read up to its end only, and a
// position that holds no hexadecimal digit (missing or not hex) counts as
// digit 0: "12" gives P0 = 0x12 and P1..P3 = 0; "4B7EXXD2" gives 4B 7E 00 D2.
void StorePassword(const char *pass) {
    uint8_t text[kPasswordLength] = {};
    bool ended = false;
    for (uint8_t i = 0; i < 2 * kPasswordLength; ++i) {
        ended = ended || pass[i] == '\0';
        const int digit = ended ? -1 : HexDigitValue(pass[i]);
        const uint8_t nibble = digit < 0 ? 0 : static_cast<uint8_t>(digit);
        text[i / 2] = static_cast<uint8_t>(text[i / 2] << 4 | nibble);
    }
    for (uint8_t i = 0; i < kPasswordLength; ++i)
        g_encoder.SystemPassword[i] = text[kPasswordLength - 1 - i];
}

uint8_t SectorFromValue(const char *value) {
    const int first = value[0] - '0';
    if (value[0] != '\0' && value[1] != '\0') return static_cast<uint8_t>(first * 10 + (value[1] - '0'));
    return static_cast<uint8_t>(first);
}

}  // namespace

EncoderState g_encoder = kInitialEncoderState;

int16_t EncoderStart(char *path) {
    // A null path would crash the host's process; nothing is changed.
    if (path == nullptr) return KS_ERR_UNAVAILABLE;

    uint32_t n = 0;
    for (; n < kPathBufferSize && path[n] != '\0'; ++n) g_configPath[n] = path[n];
    g_configPath[n] = '\0';

    // A reload must not strand a held IC encoder: once LockType changes, or
    // the same port is opened again, nothing could close the old handle.
    if (g_encoder.IcHandle != 0) IcClose(g_encoder);

    char value[kValueSize];
    int16_t kind = 0;
    if (FindUsbDevicePort(&kind, &g_encoder.DiscoveredPort) == KS_OK &&
        (kind == kUsbTemicLockEncoder || kind == kUsbMifareLockEncoder)) {
        g_encoder.PortNumber = static_cast<uint8_t>(g_encoder.DiscoveredPort);
    } else {
        platform::ReadProfileString(kConfigSection, kCommProtKey, kCommProtDefault, value, kValueSize,
                                    g_configPath);
        g_encoder.PortNumber = static_cast<uint8_t>(static_cast<uint8_t>(value[0]) - kDigitPlusOneBase);
    }
    path[kPortByteInPath] = static_cast<char>(g_encoder.PortNumber);

    platform::ReadProfileString(kSystemInfoSection, kPassKey, kPassDefault, value, kValueSize, g_configPath);
    StorePassword(value);

    platform::ReadProfileString(kConfigSection, kLockTypeKey, kLockTypeDefault, value, kValueSize,
                                g_configPath);
    g_encoder.LockType = static_cast<int16_t>(static_cast<uint8_t>(value[0]) - kDigitPlusOneBase);
    g_encoder.medium = MediumFor(g_encoder.LockType);
    if (g_encoder.LockType > kLockTypeMax || g_encoder.LockType < 0) return KS_ERR_MEDIUM_RESERVED;

    for (char &c : value) c = '\0';
    platform::ReadProfileString(kConfigSection, kSectorKey, kSectorDefault, value, kValueSize, g_configPath);
    g_encoder.MifareSector = SectorFromValue(value);

    return g_encoder.medium->open(g_encoder);
}
