// Bench control for the TEMIC medium: AT88RF256 cards, the TEMIC encoder
// behind clsic32 (InitCommDev, Command57, CloseCommDev, AT88RF256_12_Beep) on
// a COM port, and a personalising station that initialises cards as the
// hotel receives them.
//
// The card model: 10 blocks of 4 bytes. Block 0 is the card's ID, blocks 1-7
// user data, block 8 configuration and block 9 the four-byte access code.
// Command57 reads blocks 0-7 and writes blocks 1-7, and only when the access
// code it is given equals block 9; blocks 8-9 are never readable.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

constexpr int kTemicBlockCount = 10;
constexpr int kTemicBlockSize = 4;
constexpr int kTemicIdBlock = 0;
constexpr int kTemicFirstUserBlock = 1;
constexpr int kTemicLastUserBlock = 7;
constexpr int kTemicConfigBlock = 8;
constexpr int kTemicAccessBlock = 9;
constexpr size_t kTemicDumpSize = kTemicBlockCount * kTemicBlockSize;

using TemicBlock = std::array<uint8_t, kTemicBlockSize>;
using TemicRecord = std::array<uint8_t, 28>;  // a plain (deciphered) card record

// The access code the personalising station sets on every card of this
// system: the code the library presents with each block command. The bench
// keeps its own copy (it never links the library); a test compares the two.
constexpr TemicBlock kTemicSystemAccessCode = {{0x3A, 0x9C, 0x51, 0xE6}};

struct TemicCard {
    std::array<TemicBlock, kTemicBlockCount> blocks{};
};

// ---------------------------------------------------------------------------
// Cards and dumps (40 bytes, block 0 first).

// A card with its ID in block 0, user blocks zero, the given access code.
BENCH_API TemicCard TemicBlankCard(const TemicBlock &id, const TemicBlock &accessCode = kTemicSystemAccessCode);
BENCH_API bool TemicCardFromDump(const std::vector<uint8_t> &dump, TemicCard *card);
BENCH_API std::vector<uint8_t> TemicCardToDump(const TemicCard &card);
BENCH_API bool LoadTemicCard(const std::string &path, TemicCard *card);
BENCH_API bool SaveTemicCard(const TemicCard &card, const std::string &path);

// This card system's record rule, computed by the bench itself: byte 27 set
// to the low CRC-16 byte of bytes 0-26, the 28 bytes enciphered into blocks 1-7.
BENCH_API void WriteTemicRecord(TemicCard &card, const TemicRecord &plain);
// Deciphers blocks 1-7; false when byte 27 does not match bytes 0-26.
BENCH_API bool ReadTemicRecord(const TemicCard &card, TemicRecord *plain);
// Blocks 1-7 as the 28 raw (enciphered) bytes.
BENCH_API TemicRecord TemicRawRecord(const TemicCard &card);

// ---------------------------------------------------------------------------
// Personalising station: a card initialised for this hotel. Its record: the
// cleared pattern (byte 0 0x63, byte n = n + 1 for 1-19 and 24), the hotel's
// SystemPassword at 20-23, the card's two identity bytes at 25-26, and the
// trailing check byte at 27; the system access code in block 9.
BENCH_API TemicCard MakeFactoryTemicCard(const TemicBlock &id, const std::array<uint8_t, 2> &identity,
                                         const std::array<uint8_t, 4> &systemPassword);

// ---------------------------------------------------------------------------
// The TEMIC encoder: at most one, on a 1-based COM port. InitCommDev opens it
// only with port index comPort - 1 (NoteOpen("TEMIC")); CloseCommDev closes
// it only when given comPort (NoteClose). An InitCommDev while it is open
// re-uses the connection.
BENCH_API void PlaceTemicEncoder(int comPort);
BENCH_API void RemoveTemicEncoder();
BENCH_API bool TemicEncoderOpen();
// The status InitCommDev answers where no encoder sits (default
// kTemicNoEncoder); a test may choose any value.
BENCH_API void SetTemicNoEncoderStatus(int16_t status);

BENCH_API void PlaceTemicCard(const TemicCard &card);
BENCH_API std::optional<TemicCard> TakeTemicCard();
BENCH_API std::optional<TemicCard> CurrentTemicCard();
// The card a RemoveCard fault took out of the encoder last, if any.
BENCH_API std::optional<TemicCard> LastRemovedTemicCard();

// The nth block write from now (1 = the next) is acknowledged with status 0
// but never reaches the card, as a card that left the field mid-write.
BENCH_API void TemicDropBlockWrite(int nth);
// Beep patterns the open encoder sounded since Reset.
BENCH_API std::vector<int> TemicBeeps();

// clsic32 statuses of the model (0 = success).
constexpr int16_t kTemicOk = 0;
constexpr int16_t kTemicNoEncoder = 0x0102;   // InitCommDev: nothing on that port (default)
constexpr int16_t kTemicNotOpen = 0x0103;     // Command57 / beep / close without an open encoder
constexpr int16_t kTemicNoCard = 0x0104;      // no card in the field
constexpr int16_t kTemicDenied = 0x0105;      // wrong access code, or block not accessible
constexpr int16_t kTemicBadArgument = 0x0106; // unknown operation, null buffer
constexpr int16_t kTemicFaulted = 0x01FF;     // an injected fault

}  // namespace bench
