// The process-wide encoder state every export reads. Plain static storage:
// loading the library runs no code, so these initial values are what an
// export sees before EncodeInit.
#pragma once
#include <cstdint>

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
};

constexpr EncoderState kInitialEncoderState = {kLockNone, kNoPort, -1, {0, 0, 0, 0}, 0, 0, kNoPort};

extern EncoderState g_encoder;
