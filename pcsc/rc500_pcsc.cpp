// RC500_232 over PC/SC: the Mifare reader functions the library calls,
// answered through any contactless reader that implements the PC/SC
// storage-card commands.
//
//   init      establishes the PC/SC context (the COM port is ignored)
//   config    nothing to do
//   request   chooses the reader and connects to the card in its field
//   anticoll  FF CA 00 00 00: the UID
//   select    the size code from the ATR's card name (no command)
//   authkey   FF 82 into volatile slot 0, then FF 86 key A on the sector's first block
//   read      FF B0, write FF D6 (16-byte blocks)
//   reset     nothing; close disconnects (resetting the card); exit releases the context
// Status 0 is success; any failure, no card and a card removed included, is nonzero.
// Only request connects: every later step of an operation uses the card
// request connected to, and fails once that card has left or been reset
// (the connection is dropped, and with it the sector authenticated).
#include <cstring>

#include "media/vendor/rc500_232.h"
#include "reader.h"

namespace {

using namespace kpcsc;

// Statuses (only the low byte counts for the library).
constexpr int16_t kOk = 0x00;
constexpr int16_t kNoCard = 0x01;
constexpr int16_t kWrongState = 0x02;
constexpr int16_t kAuthFailed = 0x04;
constexpr int16_t kRefused = 0x05;
constexpr int16_t kBadArgument = 0x06;
constexpr int16_t kNoReader = 0x0A;

constexpr size_t kUidBytes = 4;
constexpr size_t kBlockBytes = 16;
constexpr size_t kKeyBytes = 6;
constexpr size_t kAnswerBytes = 4;  // the caller's request/select buffers

// select's size codes (the card's SAK): Classic 1K, Classic 4K, anything else.
constexpr uint8_t kSizeCode1K = 0x08;
constexpr uint8_t kSizeCode4K = 0x18;
constexpr uint8_t kSizeCodeOther = 0x00;
// request's answer (ATQA) by card kind.
constexpr uint8_t kAtqa1K[2] = {0x04, 0x00};
constexpr uint8_t kAtqa4K[2] = {0x02, 0x00};

// Load key: P1 0x00 = a plain key into the reader's volatile memory (never
// its non-volatile store), P2 = slot.
constexpr uint8_t kKeyStructureVolatile = 0x00;
constexpr uint8_t kVolatileSlot = 0x00;
// General Authenticate data: version 01, block MSB, block LSB, key type, slot.
constexpr uint8_t kAuthenticateVersion = 0x01;
constexpr uint8_t kKeyTypeA = 0x60;
constexpr uint8_t kKeyModeA = 0;  // authkey's mode for key A
constexpr size_t kAuthenticateDataBytes = 5;

// Sector to first block: 32 sectors of 4 blocks, then (4K) 8 of 16.
constexpr int kSmallSectors = 32;
constexpr int kSmallSectorBlocks = 4;
constexpr int kLargeSectorBlocks = 16;

struct Rc500State {
    Link link;
    uint8_t uid[kUidBytes] = {};
    bool uidRead = false;
    int authenticatedSector = -1;  // one authentication per sector and connection
    uint8_t authenticatedKey[kKeyBytes] = {};
};

Rc500State g_rc500;

int FirstBlock(int sector) {
    return sector < kSmallSectors ? sector * kSmallSectorBlocks
                                  : kSmallSectors * kSmallSectorBlocks + (sector - kSmallSectors) * kLargeSectorBlocks;
}

void ForgetCard() {
    g_rc500.uidRead = false;
    g_rc500.authenticatedSector = -1;
}

// One command whose answer must be 90 00 with `expected` data bytes.
bool Exchange(const uint8_t *apdu, size_t length, uint8_t *data, size_t expected) {
    uint8_t response[kResponseMax];
    size_t got = sizeof response;
    uint16_t sw = 0;
    if (!Transmit(g_rc500.link, apdu, length, response, &got, &sw)) {
        ForgetCard();
        return false;
    }
    if (sw != kSwOk || got != expected) return false;
    if (data != nullptr) std::memcpy(data, response, expected);
    return true;
}

KsPcscCardKind ConnectedKind() { return KindFromAtr(g_rc500.link.atr, g_rc500.link.atrLength); }

}  // namespace

extern "C" {

int16_t KS_VENDOR_CALL RC500_232_init(int16_t, int32_t) {
    ForgetCard();
    return OpenLink(g_rc500.link, Medium::Mifare) ? kOk : kNoReader;
}

int16_t KS_VENDOR_CALL RC500_232_config(void) { return g_rc500.link.hasContext ? kOk : kNoReader; }

int16_t KS_VENDOR_CALL RC500_232_request(uint8_t, uint8_t *answer) {
    if (!g_rc500.link.hasContext) return kNoReader;
    if (answer == nullptr) return kBadArgument;
    ForgetCard();
    if (!ConnectCard(g_rc500.link, Medium::Mifare)) return kNoCard;
    const uint8_t *atqa = ConnectedKind() == KS_PCSC_MIFARE_4K ? kAtqa4K : kAtqa1K;
    std::memset(answer, 0, kAnswerBytes);
    std::memcpy(answer, atqa, sizeof kAtqa1K);
    return kOk;
}

int16_t KS_VENDOR_CALL RC500_232_anticoll(uint8_t, uint32_t *serial) {
    if (!g_rc500.link.connected) return kNoCard;
    if (serial == nullptr) return kBadArgument;
    // A UID of another length (7-byte cards) cannot carry this system's key.
    if (!Exchange(kGetUidCommand, sizeof kGetUidCommand, g_rc500.uid, kUidBytes)) return kNoCard;
    g_rc500.uidRead = true;
    uint32_t wire = 0;
    for (size_t i = 0; i < kUidBytes; ++i) wire |= static_cast<uint32_t>(g_rc500.uid[i]) << (8 * i);
    *serial = wire;
    return kOk;
}

int16_t KS_VENDOR_CALL RC500_232_select(uint32_t serial, uint8_t *sizeCode) {
    // No command goes to the card here: ask PC/SC whether it is still the
    // card request connected to.
    if (!CardStillConnected(g_rc500.link)) {
        ForgetCard();
        return kNoCard;
    }
    if (!g_rc500.uidRead) return kWrongState;
    if (sizeCode == nullptr) return kBadArgument;
    for (size_t i = 0; i < kUidBytes; ++i)
        if (static_cast<uint8_t>(serial >> (8 * i)) != g_rc500.uid[i]) return kNoCard;
    const KsPcscCardKind kind = ConnectedKind();
    std::memset(sizeCode, 0, kAnswerBytes);
    sizeCode[0] = kind == KS_PCSC_MIFARE_1K ? kSizeCode1K : kind == KS_PCSC_MIFARE_4K ? kSizeCode4K : kSizeCodeOther;
    return kOk;
}

int16_t KS_VENDOR_CALL RC500_232_authkey(uint8_t mode, uint8_t sector, const uint8_t *key) {
    if (!g_rc500.link.connected) return kNoCard;
    if (!g_rc500.uidRead) return kWrongState;
    if (key == nullptr || mode != kKeyModeA) return kBadArgument;
    // An authentication already made holds only while the card has not
    // left or been reset: answering from memory must not hide that.
    if (g_rc500.authenticatedSector == sector && std::memcmp(g_rc500.authenticatedKey, key, kKeyBytes) == 0) {
        if (CardStillConnected(g_rc500.link)) return kOk;
        ForgetCard();
        return kNoCard;
    }
    g_rc500.authenticatedSector = -1;
    uint8_t load[kApduHeader + kKeyBytes] = {kClassStorage, kInsLoadKey, kKeyStructureVolatile, kVolatileSlot,
                                   static_cast<uint8_t>(kKeyBytes)};
    std::memcpy(load + kApduHeader, key, kKeyBytes);
    if (!Exchange(load, sizeof load, nullptr, 0)) return kAuthFailed;
    const int block = FirstBlock(sector);
    const uint8_t authenticate[kApduHeader + kAuthenticateDataBytes] = {
        kClassStorage, kInsGeneralAuthenticate, 0x00, 0x00, static_cast<uint8_t>(kAuthenticateDataBytes),
        kAuthenticateVersion, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block & 0xFF),
        kKeyTypeA, kVolatileSlot};
    if (!Exchange(authenticate, sizeof authenticate, nullptr, 0)) return kAuthFailed;
    g_rc500.authenticatedSector = sector;
    std::memcpy(g_rc500.authenticatedKey, key, kKeyBytes);
    return kOk;
}

int16_t KS_VENDOR_CALL RC500_232_read(uint8_t block, uint8_t *data) {
    if (!g_rc500.link.connected) return kNoCard;
    if (data == nullptr) return kBadArgument;
    const uint8_t apdu[kApduHeader] = {kClassStorage, kInsReadBinary, 0x00, block, static_cast<uint8_t>(kBlockBytes)};
    return Exchange(apdu, sizeof apdu, data, kBlockBytes) ? kOk : kRefused;
}

int16_t KS_VENDOR_CALL RC500_232_write(uint8_t block, const uint8_t *data) {
    if (!g_rc500.link.connected) return kNoCard;
    if (data == nullptr) return kBadArgument;
    uint8_t apdu[kApduHeader + kBlockBytes] = {kClassStorage, kInsUpdateBinary, 0x00, block, static_cast<uint8_t>(kBlockBytes)};
    std::memcpy(apdu + kApduHeader, data, kBlockBytes);
    return Exchange(apdu, sizeof apdu, nullptr, 0) ? kOk : kRefused;
}

int16_t KS_VENDOR_CALL RC500_232_reset(uint8_t) { return g_rc500.link.hasContext ? kOk : kNoReader; }

int16_t KS_VENDOR_CALL RC500_232_close(void) {
    ForgetCard();
    DisconnectCard(g_rc500.link);
    return kOk;
}

int16_t KS_VENDOR_CALL RC500_232_exit(void) {
    ForgetCard();
    CloseLink(g_rc500.link);
    return kOk;
}

}  // extern "C"
