// clsic32: TEMIC encoder, TEMIC and Mifare data-card readers, and the serial
// link to the hand-held collector. 16-bit statuses.
#pragma once
#include <cstdint>
#include "platform/abi.h"

extern "C" {
int16_t KS_VENDOR_CALL InitCommDev(int32_t portIndex);  // 0 = ready
int16_t KS_VENDOR_CALL Command57(int32_t zero1, int32_t zero2, const uint8_t *accessCode,
                                 int32_t zero3, int32_t operation, uint8_t block, uint8_t *data);
int16_t KS_VENDOR_CALL CloseCommDev(uint8_t port);
int16_t KS_VENDOR_CALL AT88RF256_12_Beep(int16_t pattern);
int16_t KS_VENDOR_CALL AT88RF256_12_OpenCommPort(int16_t port);
int16_t KS_VENDOR_CALL AT88RF256_12_ReadDataCard(uint8_t *buffer);  // 1 = data delivered
int16_t KS_VENDOR_CALL AT88RF256_12_CloseCommPort(void);
int16_t KS_VENDOR_CALL M1_OpenCommPort(int16_t port);
int16_t KS_VENDOR_CALL M1_ReadDataCard(uint8_t *buffer);  // 1 = data delivered
int16_t KS_VENDOR_CALL M1_CloseCommPort(void);
int16_t KS_VENDOR_CALL OpenPort(int16_t port, int32_t baud);
int16_t KS_VENDOR_CALL SendData(const uint8_t *data, int32_t count);  // 1 = sent
int16_t KS_VENDOR_CALL WaitForCommRxd(void);                          // 1 = a byte waits
int16_t KS_VENDOR_CALL ReceiveOneByte(uint8_t *byte);
int16_t KS_VENDOR_CALL PDA_RcvOpenDoorData(uint8_t *buffer);  // 1 = records delivered
int16_t KS_VENDOR_CALL ClosePort(void);
}

// AT88RF256_12_ReadDataCard and M1_ReadDataCard: the log is in the buffer.
constexpr int16_t kDataCardDelivered = 1;

// Command57 operations.
constexpr int32_t kCommand57WriteBlock = 2;
constexpr int32_t kCommand57ReadBlock = 3;
