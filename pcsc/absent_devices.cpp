// The vendor functions PC/SC readers do not stand in for, answered as the
// vendor libraries answer when their device is not attached: the TEMIC
// encoder and the data-card readers (clsic32), the hand-held collector's
// serial link, the iButton reader (IBFS32) and the USB bridges (CP2101, none
// attached). Natively libkestrane.so needs every vendor symbol; on Windows
// the host keeps the vendor's own DLLs for these.
#include "media/vendor/clsic32.h"
#include "media/vendor/cp2101.h"
#include "media/vendor/ibfs32.h"

namespace {
constexpr int16_t kTemicNoEncoder = 0x0102;   // InitCommDev: nothing on the port
constexpr int16_t kTemicNotOpen = 0x0103;     // every later TEMIC call
constexpr int16_t kOpenFailed = 0;            // data-card readers: OpenCommPort / CloseCommPort
constexpr int16_t kDataReadNotOpen = 3;       // data-card readers: ReadDataCard on a port not open
constexpr int16_t kLinkFailed = 0;            // collector link: port not open, nothing sent or waiting
constexpr int32_t kNoSession = 0;             // TMEX: no session, no port, no presence
constexpr int16_t kBadSession = -1;           // TMEX: TMTouchByte without a session
constexpr int32_t kBridgeOk = 0;
constexpr int32_t kBridgeNotFound = 0xFF;     // CP2101 calls on a device that is not there
}  // namespace

extern "C" {

int16_t KS_VENDOR_CALL InitCommDev(int32_t) { return kTemicNoEncoder; }
int16_t KS_VENDOR_CALL Command57(int32_t, int32_t, const uint8_t *, int32_t, int32_t, uint8_t, uint8_t *) {
    return kTemicNotOpen;
}
int16_t KS_VENDOR_CALL CloseCommDev(uint8_t) { return kTemicNotOpen; }
int16_t KS_VENDOR_CALL AT88RF256_12_Beep(int16_t) { return kTemicNotOpen; }
int16_t KS_VENDOR_CALL AT88RF256_12_OpenCommPort(int16_t) { return kOpenFailed; }
int16_t KS_VENDOR_CALL AT88RF256_12_ReadDataCard(uint8_t *) { return kDataReadNotOpen; }
int16_t KS_VENDOR_CALL AT88RF256_12_CloseCommPort(void) { return kOpenFailed; }
int16_t KS_VENDOR_CALL M1_OpenCommPort(int16_t) { return kOpenFailed; }
int16_t KS_VENDOR_CALL M1_ReadDataCard(uint8_t *) { return kDataReadNotOpen; }
int16_t KS_VENDOR_CALL M1_CloseCommPort(void) { return kOpenFailed; }
int16_t KS_VENDOR_CALL OpenPort(int16_t, int32_t) { return kLinkFailed; }
int16_t KS_VENDOR_CALL SendData(const uint8_t *, int32_t) { return kLinkFailed; }
int16_t KS_VENDOR_CALL WaitForCommRxd(void) { return kLinkFailed; }
int16_t KS_VENDOR_CALL ReceiveOneByte(uint8_t *) { return kLinkFailed; }
int16_t KS_VENDOR_CALL PDA_RcvOpenDoorData(uint8_t *) { return kLinkFailed; }
int16_t KS_VENDOR_CALL ClosePort(void) { return kLinkFailed; }

int32_t KS_VENDOR_CALL TMExtendedStartSession(int16_t, int16_t, void *) { return kNoSession; }
int16_t KS_VENDOR_CALL TMSetup(int32_t) { return kNoSession; }
int16_t KS_VENDOR_CALL TMTouchReset(int32_t) { return kNoSession; }
int16_t KS_VENDOR_CALL TMTouchByte(int32_t, int16_t) { return kBadSession; }
int16_t KS_VENDOR_CALL TMEndSession(int32_t) { return kNoSession; }

int32_t KS_VENDOR_CALL CP2101_GetNumDevices(uint32_t *count) {
    if (count != nullptr) *count = 0;
    return kBridgeOk;
}
int32_t KS_VENDOR_CALL CP2101_Open(uint32_t, void **) { return kBridgeNotFound; }
int32_t KS_VENDOR_CALL CP2101_Close(void *) { return kBridgeNotFound; }
int32_t KS_VENDOR_CALL CP2101_GetDeviceProductString(void *, char *, uint8_t *, int32_t) { return kBridgeNotFound; }
int32_t KS_VENDOR_CALL CP2101_GetDeviceSerialNumber(void *, char *, uint8_t *, int32_t) { return kBridgeNotFound; }
int32_t KS_VENDOR_CALL CP2101_GetDeviceVid(void *, uint16_t *) { return kBridgeNotFound; }
int32_t KS_VENDOR_CALL CP2101_GetDevicePid(void *, uint16_t *) { return kBridgeNotFound; }

}  // extern "C"
