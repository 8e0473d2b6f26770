// Bench control for the Mifare medium: Mifare Classic cards, the RC500 reader
// behind RC500_232 on a COM port, and a personalising station that prepares
// cards as the hotel receives them.
//
// The card model: a 1K card has 16 sectors of 4 blocks; a 4K card 32 sectors
// of 4 blocks and 8 of 16. Block 0 holds UID (4 bytes), BCC, SAK and ATQA and
// is read-only. Each sector's last block is its trailer: key A (6), access
// bits (4), key B (6). Reading and writing need an authentication of the
// block's sector with key mode 0 and the trailer's key A; a trailer reads
// back with key A as zeros. Access bits are stored but not enforced.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

constexpr size_t kMifareBlockSize = 16;
constexpr size_t kMifare1KSize = 1024;  // bytes of a 1K card (and of its .mfd dump)
constexpr size_t kMifare4KSize = 4096;
constexpr uint8_t kMifareSak1K = 0x08;  // size code a Classic 1K answers to select
constexpr uint8_t kMifareSak4K = 0x18;

using MifareUid = std::array<uint8_t, 4>;  // UID byte 0 = least significant serial byte
using MifareKey = std::array<uint8_t, 6>;
using MifareBlock = std::array<uint8_t, kMifareBlockSize>;

// A Mifare Classic card: its whole memory, byte for byte as in a .mfd dump.
struct MifareCard {
    std::vector<uint8_t> memory;

    BENCH_API MifareUid Uid() const;
    BENCH_API uint8_t Sak() const;
    BENCH_API int BlockCount() const;
    BENCH_API int SectorCount() const;
    BENCH_API int FirstBlock(int sector) const;
    BENCH_API int TrailerBlock(int sector) const;
    BENCH_API int SectorOfBlock(int block) const;
    BENCH_API MifareBlock Block(int block) const;
    BENCH_API void SetBlock(int block, const MifareBlock &data);
    BENCH_API MifareKey KeyA(int sector) const;
    BENCH_API void SetKeyA(int sector, const MifareKey &key);
};

// ---------------------------------------------------------------------------
// Cards and dumps.

// A new card straight from the manufacturer: UID, BCC, SAK (0x08 for 1K, 0x18
// for 4K) in block 0; data blocks zero; every trailer FF..FF / FF 07 80 69 / FF..FF.
BENCH_API MifareCard MifareBlankCard(const MifareUid &uid, bool classic4K = false);
// A card from a .mfd dump: 1024 bytes (1K) or 4096 bytes (4K); false otherwise.
BENCH_API bool MifareCardFromDump(const std::vector<uint8_t> &dump, MifareCard *card);
BENCH_API std::vector<uint8_t> MifareCardToDump(const MifareCard &card);
BENCH_API bool LoadMifareCard(const std::string &path, MifareCard *card);
BENCH_API bool SaveMifareCard(const MifareCard &card, const std::string &path);

// ---------------------------------------------------------------------------
// This card system's key and record rules, computed by the bench itself (it
// never links the library), so the library's results can be checked against
// an independent implementation.

// The per-card sector key from UID bytes 0-2 and SystemPassword bytes 2-3.
BENCH_API MifareKey MifareSectorKeyFor(const MifareUid &uid, const std::array<uint8_t, 4> &systemPassword);
// Puts image bytes 0-47 into the sector's three data blocks: bytes 0-27 sealed
// to UID byte 0 (check bytes 25-26 computed here) and enciphered, 28-47 plain.
// Needs no key: the station writes with the card in its hands.
BENCH_API void WriteMifareRecord(MifareCard &card, int sector, const std::array<uint8_t, 48> &image);
// Reads the sector's three data blocks and opens the record; false when its
// check bytes fail for this card. Bytes 25-26 come back as the plain checksum.
BENCH_API bool ReadMifareRecord(const MifareCard &card, int sector, std::array<uint8_t, 48> *image);

// ---------------------------------------------------------------------------
// Personalising station.

// A new card made ready for this hotel: the sector's key A set to the card's
// MifareSectorKey, and a first cleared record in its data blocks (record byte 0
// 0x63, byte n = n + 1 elsewhere, sealed to UID byte 0; block 4s+2 zero).
BENCH_API MifareCard MakeFactoryMifareCard(const MifareUid &uid, const std::array<uint8_t, 4> &systemPassword,
                                           int sector, bool classic4K = false);
// Makes `sector` (sector 15 as the library reads it) a SystemPasswordCard
// record: key A set to the card's MifareSectorKey for `systemPassword`, record
// type 1 at byte 24, `cardPassword` at bytes 10-13, `extra` at 14,
// `systemPassword` at 20-23, every other byte its own offset; block 4s+2 zero.
BENCH_API void AddMifareSystemPasswordRecord(MifareCard &card, const std::array<uint8_t, 4> &systemPassword,
                                             const std::array<uint8_t, 4> &cardPassword, uint8_t extra,
                                             int sector = 15);

// ---------------------------------------------------------------------------
// The RC500 reader: at most one, on a 1-based COM port. RC500_232_init opens
// the connection only with that port number; every other call fails while no
// connection is open. Opening counts as NoteOpen("RC500"); RC500_232_exit
// closes it (NoteClose). An init while the connection is open re-uses it.
BENCH_API void PlaceRc500Reader(int comPort);
BENCH_API void RemoveRc500Reader();
BENCH_API bool Rc500ConnectionOpen();

// The card in the reader's field: one or none. Placing a card puts it in its
// idle state (a power-up); taking it out returns it as it is now.
BENCH_API void PlaceMifareCard(const MifareCard &card);
BENCH_API std::optional<MifareCard> TakeMifareCard();
BENCH_API std::optional<MifareCard> CurrentMifareCard();
// The card a RemoveCard fault took out of the field last, if any.
BENCH_API std::optional<MifareCard> LastRemovedMifareCard();
// Before the nth RC500_232_init from now (1 = the next), `next` replaces the
// card in the field, as when a clerk swaps cards between two connections.
BENCH_API void SwapMifareCardBeforeInit(int nth, const MifareCard &next);

// RC500 statuses of the model. Only the low 8 bits carry the status; the
// model puts kRc500StatusNoise into the high byte of every status it returns,
// as the real library leaves that half undefined.
constexpr int16_t kRc500Ok = 0x00;
constexpr int16_t kRc500NoCard = 0x01;        // nothing answered the request, or the card left
constexpr int16_t kRc500WrongState = 0x02;    // anticoll before request, select of another serial, ...
constexpr int16_t kRc500AuthFailed = 0x04;    // wrong key or no such sector; the card drops to idle
constexpr int16_t kRc500NotAuthorised = 0x05; // block outside the authenticated sector, or read-only
constexpr int16_t kRc500BadArgument = 0x06;   // null buffer, block beyond the card
constexpr int16_t kRc500NoConnection = 0x0A;  // no open connection (or no reader on the port)
constexpr int16_t kRc500Faulted = 0xFF;       // an injected fault
constexpr int16_t kRc500StatusNoise = 0x5A00;

}  // namespace bench
