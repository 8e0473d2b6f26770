// Bench control for the iButton (TMEX, IBFS32): one 1-Wire reader on a TMEX
// port number, holding one iButton key or none.
//
// The key answers the 1-Wire Read ROM command (0x33) with its eight ROM ID
// bytes, one per 0xFF touch. The reader allows one TMEX session at a time
// (a second TMExtendedStartSession while one is open gets no session), so a
// driver that forgets to end its sessions locks itself out, as on a PC.
// Sessions are counted as "TMEX" open resources.
#pragma once

#include <array>
#include <cstdint>

#include "bench.h"

namespace bench {

using IButtonRom = std::array<uint8_t, 8>;

// How the reader and its key behave.
enum class IButtonMode {
    Normal,            // the key answers the reset with a normal presence (1)
    AlarmingPresence,  // the key answers the reset with an alarming presence (2)
    NoDevice,          // nothing answers the reset (0), as if no key were held
    BadCrc,            // the key delivers its ROM ID with a wrong CRC-8 byte
    NoSession,         // TMExtendedStartSession answers 0: no session
    SetupRefused,      // TMSetup answers 0: the 1-Wire port is not ready
};

// A ROM ID with its correct CRC-8: family code, 48-bit serial (stored least
// significant byte first), check byte.
BENCH_API IButtonRom MakeIButtonRom(uint8_t family, uint64_t serial48);

// The reader on TMEX port `port` (a session on any other port number, or of
// a port type other than 1, does not start). Attaching replaces any reader.
BENCH_API void AttachIButtonReader(int port);
BENCH_API void DetachIButtonReader();
// The key held against the reader: its ROM bytes exactly as it delivers them
// (the bench does not correct the check byte).
BENCH_API void PlaceIButton(const IButtonRom &rom);
BENCH_API void RemoveIButton();
BENCH_API void SetIButtonMode(IButtonMode mode);

// Read ROM commands the key has answered since Reset.
BENCH_API int IButtonRomReads();

}  // namespace bench
