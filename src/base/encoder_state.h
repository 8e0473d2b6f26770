// The encoder's configuration and what lives between calls. The exports own
// the one process-wide object of this type (api/encoder_state.h) and hand it
// down to the layers below, which never reach for it themselves.
#pragma once
#include <cstdint>

struct Medium;  // media/medium.h

// LockType values (the INI digit plus one).
constexpr int16_t kLockNone = 0;
constexpr int16_t kLockReserved1 = 1;
constexpr int16_t kLockIc4442 = 2;
constexpr int16_t kLockTemic = 3;
constexpr int16_t kLockReserved4 = 4;
constexpr int16_t kLockMifare = 5;

constexpr uint8_t kNoPort = 0xFF;

struct EncoderState {
    int16_t LockType;            // medium selector
    uint8_t PortNumber;          // 1-based COM port of the encoder
    int16_t DiscoveredPort;      // COM port of the last device port discovery found, -1 none
    uint8_t SystemPassword[4];   // hotel password, byte 0 = last two hex digits of Pass
    uint8_t MifareSector;        // sector holding the card record on Mifare cards
    int32_t IcHandle;            // MWIC_32 handle of the open contact encoder, 0 closed
    uint8_t IcPort;              // port of the open contact encoder, 0xFF closed
    const Medium *medium;        // the operations of LockType's medium, chosen by EncodeInit
};
