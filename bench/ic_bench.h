// Bench control for the contact IC card encoder (MWIC_32): the encoder on a
// COM port, the SLE4442 and 24C64 cards it can hold, and a personalising
// station that prepares SLE4442 cards as the hotel receives them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "bench.h"

namespace bench {

// ---------------------------------------------------------------------------
// SLE4442 contact memory card.
struct Sle4442Card {
    std::array<uint8_t, 256> memory{};  // main memory
    uint32_t protectedBytes = 0;        // bit i set: byte i (0-31) is write-protected for good
    std::array<uint8_t, 3> psc{{0xFF, 0xFF, 0xFF}};  // security memory: the card's PSC
    int triesLeft = 3;                  // error counter; 0 = locked for good
    bool pscVerified = false;           // PSC presented correctly since the card was inserted
};

constexpr size_t k24c64Size = 8192;

// The encoder: at most one, on a 1-based COM port (COM3 = 3). ic_init opens it
// only with port index comPort - 1, and only once at a time (a COM port is
// opened exclusively).
BENCH_API void PlaceIcEncoder(int comPort);
BENCH_API void RemoveIcEncoder();
BENCH_API bool IcEncoderOpen();

// The card in the encoder: one or none. Inserting a card clears its
// "PSC verified" state, as a power-up does.
BENCH_API void InsertSle4442(const Sle4442Card &card);
BENCH_API void Insert24c64(const std::vector<uint8_t> &memory);  // padded / cut to 8 KiB
BENCH_API void RemoveIcCard();
BENCH_API bool IcCardPresent();
BENCH_API bool IcCardIs24c64();
// The SLE4442 card in the encoder as it is now (a default card when none).
BENCH_API Sle4442Card CurrentSle4442();
// The SLE4442 card a RemoveCard fault took out of the encoder last, if any.
BENCH_API std::optional<Sle4442Card> LastRemovedSle4442();

// Beeps the encoder sounded (dv_beep calls that reached it) since Reset.
BENCH_API int IcBeepCount();

// ---------------------------------------------------------------------------
// Personalising station.
struct IcCardOptions {
    std::array<uint8_t, 3> serial{{0x5A, 0x12, 0x34}};  // card addresses 60-62
    bool wrongSerialCheck = false;  // address 63 is not the CardCrc8 of 60-62
    bool foreignPscMasks = false;   // PSC set with masks other than the library's
    bool clearedRecord = true;      // first record cleared and sealed to the serial; else all 0xFF
};
// A blank SLE4442 card personalised for this system: serial and its check
// byte, the PSC derived from the serial, bytes 0-31 protected, and (by
// default) a first cleared record: byte 0 0x63, bytes 1-15 = 2..16, sealed
// to serial byte 0.
BENCH_API Sle4442Card MakeIcCard(const IcCardOptions &options = {});
// The PSC the station set on a card made with these options.
BENCH_API std::array<uint8_t, 3> IcCardPsc(const IcCardOptions &options);
// The card's record as a reader of this system sees it: deciphered and, when
// its check bytes hold for the card's first serial byte, true with the plain
// 28 bytes (offsets 25-26 the plain check bytes).
BENCH_API bool OpenIcRecord(const Sle4442Card &card, std::array<uint8_t, 28> *plain);

}  // namespace bench
