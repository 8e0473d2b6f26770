// MWIC_32 over PC/SC: the contact encoder's card functions the library
// calls, answered through a PC/SC contact reader that accepts the
// storage-card commands for SLE4442 cards.
//
//   ic_init   establishes the PC/SC context (the COM port index is ignored);
//             the handle is 0 when no PC/SC service or no reader answers
//   srd_4442  FF B0 00 address length
//   swr_4442  FF D6 00 address length data (below address 32 the protection
//             bits, FF B2, are checked first: the card would skip a
//             protected byte silently)
//   csc_4442  FF 20 00 00 03 psc; the answer 90 07 (all three tries left)
//             is the only success, the status word carrying the error counter
//   dv_beep   succeeds silently (no buzzer command)
//   chk_24c64 / srd_24c64: the card is not a 24C64
//   asc_hex   hex text to bytes, as the vendor library does
// The connection to the card is made by a read (selecting the card type,
// FF A4 00 00 01 06) and kept until the card leaves or ic_exit. Every
// operation of the library begins with a read, and only a read connects:
// the PSC compare and the write go to the card of the connection they find,
// and fail when that card has been taken out or reset since (a quiet
// reconnect there would present one card's PSC to another, or write to a
// card no longer unlocked). A PSC counts only on the connection it was
// presented on: a write on any other is refused before it is sent, as
// common contact readers answer 90 00 to a write the card ignored. (A read
// later in an operation connects again too, when it must: the calls do not
// say where an operation starts. The library checks that each of its reads
// shows the card it checked first, and the new connection carries no PSC,
// so the operation still fails before anything reaches the card.)
#include <cstring>

#include "codec/codec.h"
#include "media/vendor/mwic_32.h"
#include "reader.h"

namespace {

using namespace kpcsc;

constexpr int32_t kHandle = 0x4442;  // the one handle ic_init gives out
constexpr int16_t kOk = 0;
constexpr int16_t kBadHandle = -1;
constexpr int16_t kNoCard = -2;
constexpr int16_t kRange = -3;
constexpr int16_t kRefused = -4;
constexpr int16_t kBadArgument = -5;
constexpr int16_t kNot24c64 = -2;

constexpr int kMemoryBytes = 256;
constexpr int kProtectedArea = 32;  // bytes 0-31 carry a protection bit each
constexpr uint8_t kProtectionBytes = 4;
constexpr uint8_t kPscBytes = 3;
constexpr uint8_t kCardTypeSle4442 = 0x06;
constexpr uint8_t kSelectCardType[] = {kClassStorage, kInsSelectCardType, 0x00, 0x00, 0x01, kCardTypeSle4442};
constexpr uint8_t kReadProtection[] = {kClassStorage, kInsReadProtection, 0x00, 0x00, kProtectionBytes};
// After a PSC: SW1 90, SW2 the error counter; 07 = three tries left = verified.
constexpr uint8_t kSw1Ok = 0x90;
constexpr uint8_t kCounterVerified = 0x07;

Link g_ic;
bool g_open = false;
// The connection the PSC was verified on; 0: none.
uint32_t g_pscConnection = 0;

bool PscVerifiedHere() { return g_ic.connected && g_pscConnection == g_ic.connection; }

// For a read, the first step of every operation. The connection outlives
// one operation (ic_init to ic_exit may span a day at a desk): a card taken
// out and another put in since must get a connection of its own, not a
// failed first operation. The new connection has no PSC presented.
bool EnsureCard() {
    if (CardStillConnected(g_ic)) return true;
    if (!ConnectCard(g_ic, Medium::Sle4442)) return false;
    uint8_t none[1];
    size_t n = 0;
    uint16_t sw = 0;
    if (!Transmit(g_ic, kSelectCardType, sizeof kSelectCardType, none, &n, &sw) || sw != kSwOk) {
        DisconnectCard(g_ic);
        return false;
    }
    return true;
}

bool RangeOk(int16_t address, int16_t length) {
    return address >= 0 && length > 0 && address + length <= kMemoryBytes;
}

// One command on the card; 90 00 with `expected` data bytes is success.
int16_t Exchange(const uint8_t *apdu, size_t length, uint8_t *data, size_t expected) {
    uint8_t response[kResponseMax];
    size_t got = sizeof response;
    uint16_t sw = 0;
    if (!Transmit(g_ic, apdu, length, response, &got, &sw)) return kNoCard;
    if (sw != kSwOk || got != expected) return kRefused;
    if (data != nullptr) std::memcpy(data, response, expected);
    return kOk;
}

// A write below address 32 must not touch a protected byte: the card skips
// it without a word, and the record would be half written.
int16_t CheckUnprotected(int16_t address, int16_t length) {
    if (address >= kProtectedArea) return kOk;
    uint8_t bits[kProtectionBytes];
    const int16_t status = Exchange(kReadProtection, sizeof kReadProtection, bits, kProtectionBytes);
    if (status != kOk) return status;
    for (int a = address; a < address + length && a < kProtectedArea; ++a)
        if ((bits[a / 8] >> (a % 8) & 1) == 0) return kRefused;  // bit cleared: protected
    return kOk;
}

}  // namespace

extern "C" {

int32_t KS_VENDOR_CALL ic_init(int16_t, int32_t) {
    if (g_open) return 0;  // opened exclusively, like the COM port it stands for
    if (!OpenLink(g_ic, Medium::Sle4442)) return 0;
    g_open = true;
    return kHandle;
}

int16_t KS_VENDOR_CALL ic_exit(int32_t handle) {
    if (!g_open || handle != kHandle) return kBadHandle;
    CloseLink(g_ic);
    g_open = false;
    g_pscConnection = 0;
    return kOk;
}

int16_t KS_VENDOR_CALL srd_4442(int32_t handle, int16_t address, int16_t length, uint8_t *out) {
    if (!g_open || handle != kHandle) return kBadHandle;
    if (out == nullptr) return kBadArgument;
    if (!RangeOk(address, length)) return kRange;
    if (!EnsureCard()) return kNoCard;
    const uint8_t apdu[kApduHeader] = {kClassStorage, kInsReadBinary, 0x00, static_cast<uint8_t>(address),
                                       static_cast<uint8_t>(length)};
    return Exchange(apdu, sizeof apdu, out, static_cast<size_t>(length));
}

int16_t KS_VENDOR_CALL swr_4442(int32_t handle, int16_t address, int16_t length, const uint8_t *in) {
    if (!g_open || handle != kHandle) return kBadHandle;
    if (in == nullptr) return kBadArgument;
    if (!RangeOk(address, length) || length >= kMemoryBytes) return kRange;
    if (!CardStillConnected(g_ic)) return kNoCard;
    // Without its PSC the card drops the write, and many readers still answer 90 00.
    if (!PscVerifiedHere()) return kRefused;
    const int16_t allowed = CheckUnprotected(address, length);
    if (allowed != kOk) return allowed;
    uint8_t apdu[kApduHeader + kMemoryBytes] = {kClassStorage, kInsUpdateBinary, 0x00, static_cast<uint8_t>(address),
                                                static_cast<uint8_t>(length)};
    std::memcpy(apdu + kApduHeader, in, static_cast<size_t>(length));
    return Exchange(apdu, kApduHeader + static_cast<size_t>(length), nullptr, 0);
}

int16_t KS_VENDOR_CALL csc_4442(int32_t handle, int16_t length, const uint8_t *psc) {
    if (!g_open || handle != kHandle) return kBadHandle;
    if (psc == nullptr || length != kPscBytes) return kBadArgument;
    // Only to the card the operation read: never to one put in since.
    if (!CardStillConnected(g_ic)) return kNoCard;
    g_pscConnection = 0;  // a compare that fails leaves the card locked
    uint8_t apdu[kApduHeader + kPscBytes] = {kClassStorage, kInsVerify, 0x00, 0x00, kPscBytes};
    std::memcpy(apdu + kApduHeader, psc, kPscBytes);
    size_t n = 0;
    uint16_t sw = 0;
    uint8_t none[1];
    if (!Transmit(g_ic, apdu, sizeof apdu, none, &n, &sw)) return kNoCard;
    if (sw != (kSw1Ok << 8 | kCounterVerified)) return kRefused;
    g_pscConnection = g_ic.connection;
    return kOk;
}

int16_t KS_VENDOR_CALL dv_beep(int32_t handle, int16_t) {
    return g_open && handle == kHandle ? kOk : kBadHandle;
}

int16_t KS_VENDOR_CALL chk_24c64(int32_t handle) {
    return g_open && handle == kHandle ? kNot24c64 : kBadHandle;
}

int16_t KS_VENDOR_CALL srd_24c64(int32_t handle, int16_t, int16_t, uint8_t *) {
    return g_open && handle == kHandle ? kNot24c64 : kBadHandle;
}

// Pairs of hex digits into bytes, first digit high. A missing or non-hex
// digit stops the conversion with a nonzero status; bytes not reached are 0.
int16_t KS_VENDOR_CALL asc_hex(const char *text, uint8_t *out, int32_t byteCount) {
    if (text == nullptr || out == nullptr || byteCount < 0) return kBadArgument;
    return HexTextToBytes(text, out, byteCount) ? kOk : kBadArgument;
}

}  // extern "C"
