// RC500_232: the Mifare reader library. Only the low 8 bits of a status
// count; any nonzero value is a failure.
#pragma once
#include <cstdint>
#include "platform/abi.h"

extern "C" {
int16_t KS_VENDOR_CALL RC500_232_init(int16_t port, int32_t baud);
int16_t KS_VENDOR_CALL RC500_232_config(void);
int16_t KS_VENDOR_CALL RC500_232_request(uint8_t mode, uint8_t *answer /* 4 bytes */);
int16_t KS_VENDOR_CALL RC500_232_anticoll(uint8_t bitCount, uint32_t *serial);
int16_t KS_VENDOR_CALL RC500_232_select(uint32_t serial, uint8_t *sizeCode /* 4 bytes */);
int16_t KS_VENDOR_CALL RC500_232_authkey(uint8_t mode, uint8_t sector, const uint8_t *key /* 6 */);
int16_t KS_VENDOR_CALL RC500_232_read(uint8_t block, uint8_t *data /* 16 */);
int16_t KS_VENDOR_CALL RC500_232_write(uint8_t block, const uint8_t *data /* 16 */);
int16_t KS_VENDOR_CALL RC500_232_reset(uint8_t mode);
int16_t KS_VENDOR_CALL RC500_232_close(void);
int16_t KS_VENDOR_CALL RC500_232_exit(void);
}

// True when an RC500 status reports success.
inline bool Rc500Ok(int16_t status) { return (status & 0xFF) == 0; }
