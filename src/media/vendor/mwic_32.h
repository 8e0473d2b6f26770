// MWIC_32: the contact IC card encoder library (SLE4442 and 24C64 cards,
// beeper, hex conversion). Only the calls this library makes. Statuses are
// 16-bit (only AX is defined); 0 means success.
#pragma once
#include <cstdint>
#include "platform/abi.h"

extern "C" {
int32_t KS_VENDOR_CALL ic_init(int16_t portIndex, int32_t baud);  // handle, 0 = failed
int16_t KS_VENDOR_CALL ic_exit(int32_t handle);
int16_t KS_VENDOR_CALL srd_4442(int32_t handle, int16_t address, int16_t length, uint8_t *out);
int16_t KS_VENDOR_CALL swr_4442(int32_t handle, int16_t address, int16_t length, const uint8_t *in);
int16_t KS_VENDOR_CALL csc_4442(int32_t handle, int16_t length, const uint8_t *psc);
int16_t KS_VENDOR_CALL dv_beep(int32_t handle, int16_t length);
int16_t KS_VENDOR_CALL chk_24c64(int32_t handle);
int16_t KS_VENDOR_CALL srd_24c64(int32_t handle, int16_t address, int16_t length, uint8_t *out);
int16_t KS_VENDOR_CALL asc_hex(const char *text, uint8_t *out, int32_t byteCount);
}
