// clsic32 facade, TEMIC encoder calls: served by the bench's TEMIC encoder
// model. Each call is logged with its scalar arguments and the four data
// bytes a block command moved.
#include "bench.h"
#include "devices/temic_device.h"
#include "media/vendor/clsic32.h"

namespace {

int16_t Finish(int16_t status, const uint8_t *data = nullptr, size_t size = 0) {
    return static_cast<int16_t>(bench::EndCall(status, data, size));
}

}  // namespace

extern "C" {

int16_t KS_VENDOR_CALL InitCommDev(int32_t portIndex) {
    if (bench::BeginCall("InitCommDev", {portIndex})) return Finish(bench::kTemicFaulted);
    return Finish(bench::temic::InitCommDev(portIndex));
}

int16_t KS_VENDOR_CALL Command57(int32_t zero1, int32_t zero2, const uint8_t *accessCode, int32_t zero3,
                                 int32_t operation, uint8_t block, uint8_t *data) {
    if (bench::BeginCall("Command57", {zero1, zero2, zero3, operation, block})) return Finish(bench::kTemicFaulted);
    const int16_t st = bench::temic::Command57(accessCode, operation, block, data);
    // A write moved its bytes whatever came of it; a read only when it worked.
    const bool moved = data != nullptr && (operation == kCommand57WriteBlock || st == bench::kTemicOk);
    return Finish(st, moved ? data : nullptr, moved ? bench::kTemicBlockSize : 0);
}

int16_t KS_VENDOR_CALL CloseCommDev(uint8_t port) {
    if (bench::BeginCall("CloseCommDev", {port})) return Finish(bench::kTemicFaulted);
    return Finish(bench::temic::CloseCommDev(port));
}

int16_t KS_VENDOR_CALL AT88RF256_12_Beep(int16_t pattern) {
    if (bench::BeginCall("AT88RF256_12_Beep", {pattern})) return Finish(bench::kTemicFaulted);
    return Finish(bench::temic::Beep(pattern));
}

}  // extern "C"
