// IBFS32: the iButton TMEX library.
#pragma once
#include <cstdint>
#include "platform/abi.h"

extern "C" {
int32_t KS_VENDOR_CALL TMExtendedStartSession(int16_t port, int16_t portType, void *options);
int16_t KS_VENDOR_CALL TMSetup(int32_t session);       // 1 = port ready
int16_t KS_VENDOR_CALL TMTouchReset(int32_t session);  // 1 or 2 = presence
int16_t KS_VENDOR_CALL TMTouchByte(int32_t session, int16_t byte);
int16_t KS_VENDOR_CALL TMEndSession(int32_t session);
}
