// clsic32 facade, serial link to the hand-held collector: OpenPort, SendData,
// WaitForCommRxd, ReceiveOneByte, PDA_RcvOpenDoorData, ClosePort, served by
// the bench's collector model. Sent and received bytes are logged.
#include "bench.h"
#include "devices/collector_device.h"
#include "media/vendor/clsic32.h"

namespace col = bench::collector;

extern "C" {

int16_t KS_VENDOR_CALL OpenPort(int16_t port, int32_t baud) {
    if (bench::BeginCall("OpenPort", {port, baud})) return static_cast<int16_t>(bench::EndCall(col::kFailed));
    return static_cast<int16_t>(bench::EndCall(col::OpenPort(port, baud)));
}

int16_t KS_VENDOR_CALL SendData(const uint8_t *data, int32_t count) {
    const size_t n = data != nullptr && count > 0 ? static_cast<size_t>(count) : 0;
    if (bench::BeginCall("SendData", {count})) return static_cast<int16_t>(bench::EndCall(col::kFailed, data, n));
    return static_cast<int16_t>(bench::EndCall(col::Send(data, count), data, n));
}

int16_t KS_VENDOR_CALL WaitForCommRxd(void) {
    if (bench::BeginCall("WaitForCommRxd", {})) return static_cast<int16_t>(bench::EndCall(col::kFailed));
    return static_cast<int16_t>(bench::EndCall(col::WaitForByte()));
}

int16_t KS_VENDOR_CALL ReceiveOneByte(uint8_t *byte) {
    if (bench::BeginCall("ReceiveOneByte", {})) return static_cast<int16_t>(bench::EndCall(col::kFailed));
    const int16_t status = col::ReceiveByte(byte);
    if (status != col::kOk) return static_cast<int16_t>(bench::EndCall(status));
    return static_cast<int16_t>(bench::EndCall(status, byte, 1));
}

int16_t KS_VENDOR_CALL PDA_RcvOpenDoorData(uint8_t *buffer) {
    if (bench::BeginCall("PDA_RcvOpenDoorData", {})) return static_cast<int16_t>(bench::EndCall(col::kFailed));
    size_t written = 0;
    const int16_t status = col::DeliverLog(buffer, &written);
    return static_cast<int16_t>(bench::EndCall(status, buffer, written));
}

int16_t KS_VENDOR_CALL ClosePort(void) {
    if (bench::BeginCall("ClosePort", {})) return static_cast<int16_t>(bench::EndCall(col::kFailed));
    return static_cast<int16_t>(bench::EndCall(col::ClosePort()));
}

}  // extern "C"
