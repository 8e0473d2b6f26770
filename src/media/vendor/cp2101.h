// CP2101: the USB-to-serial bridge library, imported by ordinal (the names
// here are ours; the Windows import library binds them to ordinals 1, 3, 4,
// 12, 13, 14, 15). Status 0 means success.
#pragma once
#include <cstdint>
#include "platform/abi.h"

extern "C" {
int32_t KS_VENDOR_CALL CP2101_GetNumDevices(uint32_t *count);                    // ordinal 1
int32_t KS_VENDOR_CALL CP2101_Open(uint32_t index, void **handle);               // ordinal 3
int32_t KS_VENDOR_CALL CP2101_Close(void *handle);                               // ordinal 4
int32_t KS_VENDOR_CALL CP2101_GetDeviceProductString(void *handle, char *text,  // ordinal 12
                                                     uint8_t *length, int32_t asSingleBytes);
int32_t KS_VENDOR_CALL CP2101_GetDeviceSerialNumber(void *handle, char *text,   // ordinal 13
                                                    uint8_t *length, int32_t asSingleBytes);
int32_t KS_VENDOR_CALL CP2101_GetDeviceVid(void *handle, uint16_t *vid);         // ordinal 14
int32_t KS_VENDOR_CALL CP2101_GetDevicePid(void *handle, uint16_t *pid);         // ordinal 15
}
