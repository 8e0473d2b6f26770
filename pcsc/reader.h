// The shared PC/SC side of both reader libraries: one reader connection per
// medium, reader choice, ATR classification and APDU exchange. Both systems
// compile this file; only the SCard* entry points come from the system.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrane_pcsc.h"
#include "pcsc_system.h"

namespace kpcsc {

enum class Medium { Mifare, Sle4442 };

constexpr size_t kAtrMax = 36;
constexpr size_t kReaderNameMax = 128;
constexpr size_t kResponseMax = 258;  // 256 data bytes and the status word

// ISO 7816 status words the libraries look at.
constexpr uint16_t kSwOk = 0x9000;

constexpr size_t kApduHeader = 5;  // CLA INS P1 P2 Lc/Le

// The PC/SC storage-card commands (class FF) both libraries and the listing use.
constexpr uint8_t kClassStorage = 0xFF;
constexpr uint8_t kInsGetData = 0xCA;          // FF CA 00 00 00: the card's UID
constexpr uint8_t kInsLoadKey = 0x82;          // FF 82 P1 slot 06 key
constexpr uint8_t kInsGeneralAuthenticate = 0x86;
constexpr uint8_t kInsReadBinary = 0xB0;       // FF B0 00 address length
constexpr uint8_t kInsReadProtection = 0xB2;   // FF B2 00 00 04: SLE4442 protection bits
constexpr uint8_t kInsUpdateBinary = 0xD6;     // FF D6 00 address length data
constexpr uint8_t kInsSelectCardType = 0xA4;   // FF A4 00 00 01 type
constexpr uint8_t kInsVerify = 0x20;           // FF 20 00 00 03 psc: present the SLE4442 PSC
constexpr uint8_t kGetUidCommand[] = {kClassStorage, kInsGetData, 0x00, 0x00, 0x00};

// One medium's connection: a PC/SC context from init to exit, and a card
// handle while a card is connected.
struct Link {
    SCARDCONTEXT context = 0;
    bool hasContext = false;
    SCARDHANDLE card = 0;
    bool connected = false;
    // Numbers each connection made on this link: state a card keeps only
    // for one connection (an SLE4442 unlocked by its PSC, a Mifare sector
    // authenticated) is valid while this still has the number it had then.
    uint32_t connection = 0;
    DWORD protocol = 0;
    uint8_t atr[kAtrMax] = {};
    size_t atrLength = 0;
    char reader[kReaderNameMax] = {};
};

// Establishes the context; false when no PC/SC service answers or no reader
// (the one named by the setting, when there is a setting) is attached.
bool OpenLink(Link &link, Medium medium);
// Disconnects (resetting the card, so no unlocked state outlives us) and
// releases the context.
void CloseLink(Link &link);
// Chooses the reader and connects to its card exclusively; false when there
// is no card (or no reader).
bool ConnectCard(Link &link, Medium medium);
void DisconnectCard(Link &link);
// True while the connected card is still the one connected to: not taken
// out, not reset by anyone (a status query, no command to the card). A
// handle that is stale is dropped.
bool CardStillConnected(Link &link);

// Sends one APDU. On success the response data (without the status word) is
// in `data`/`*dataLength` and the status word in `*sw`. A transport failure
// (card removed, reset by someone else, reader gone) drops the connection
// and returns false.
bool Transmit(Link &link, const uint8_t *apdu, size_t apduLength, uint8_t *data, size_t *dataLength,
              uint16_t *sw);

KsPcscCardKind KindFromAtr(const uint8_t *atr, size_t length);

// Counts APDUs sent by this process (for the performance notes).
uint64_t CommandCount();

}  // namespace kpcsc
