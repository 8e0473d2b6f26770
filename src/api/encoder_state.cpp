#include "api/encoder_state.h"

EncoderState g_encoder = kInitialEncoderState;
