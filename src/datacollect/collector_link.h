// The serial link to the hand-held collector ("USB Data Pick Device").
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/encoder_state.h"

// CollectorFrame: 0x53, N, 0, command, N - 2 data bytes, checksum (sum of
// bytes 2 .. N + 1, modulo 256). A frame is N + 3 bytes long.
constexpr uint8_t kFrameStart = 0x53;
constexpr size_t kFrameStartOffset = 0;
constexpr size_t kFrameLengthOffset = 1;
constexpr size_t kFrameZeroOffset = 2;
constexpr size_t kFrameCommandOffset = 3;
constexpr size_t kFrameDataOffset = 4;
constexpr size_t kFrameOverhead = 3;  // start, N, checksum

constexpr uint8_t kCommandSetTime = 2;
constexpr uint8_t kCommandSetRoom = 3;
constexpr uint8_t kCommandFetch = 9;

constexpr size_t kSetTimeFields = 6;   // year - 2000, month, day, hour, minute, second
constexpr size_t kRoomNumberBytes = 10;
constexpr size_t kFetchDataBytes = 1;  // a single 0

// CollectorReply to the set commands: 0x53, two bytes not examined, 1 = accepted.
constexpr size_t kReplyLength = 4;
constexpr size_t kReplyStatusOffset = 3;
constexpr uint8_t kReplyAccepted = 1;
constexpr int kReplyStartSearch = 8;  // bytes looked at for the start byte
constexpr int kAttempts = 3;          // frame sends per set command

constexpr int16_t kCollectorBaud = 2400;
constexpr int16_t kCommOk = 1;        // SendData / WaitForCommRxd / receive success

// BCD as the collector's clock takes it: tens in the high nibble, kept to 8 bits.
constexpr uint8_t ToBcd(int value) { return static_cast<uint8_t>((value / 10) * 16 + value % 10); }

// The fetch exchange: asks the collector for its log and has it delivered into
// the OpenDoorBuffer. 1 when the log arrived; otherwise a failure code
// (KS_ERR_OPEN_OR_NO_DEV, KS_ERR_COLLECTOR, a SendData or receive status).
int16_t CollectorFetchLog(EncoderState &enc);
