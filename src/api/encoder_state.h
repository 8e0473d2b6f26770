// The process-wide encoder state. Plain static storage: loading the library
// runs no code, so these initial values are what an export sees before
// EncodeInit. Only the exports and the start-up code touch g_encoder.
#pragma once
#include "base/encoder_state.h"
#include "media/medium.h"

constexpr EncoderState kInitialEncoderState = {kLockNone, kNoPort, -1, {0, 0, 0, 0}, 0, 0, kNoPort, &kNoMedium};

extern EncoderState g_encoder;
