// CP2101 facade: the USB-to-serial bridge library's calls, served by the
// bench's bridge model. On Windows they are exported by ordinal only.
#include "bench.h"
#include "devices/usb_device.h"
#include "media/vendor/cp2101.h"

namespace {

int64_t Handle(void *h) { return static_cast<int64_t>(reinterpret_cast<uintptr_t>(h)); }

}  // namespace

extern "C" {

int32_t KS_VENDOR_CALL CP2101_GetNumDevices(uint32_t *count) {
    if (bench::BeginCall("CP2101_GetNumDevices", {}))
        return static_cast<int32_t>(bench::EndCall(bench::usb::kStatusNotFound));
    const int32_t status = bench::usb::Count(count);
    if (status == 0) {
        const uint8_t n = static_cast<uint8_t>(*count);
        return static_cast<int32_t>(bench::EndCall(status, &n, 1));
    }
    return static_cast<int32_t>(bench::EndCall(status));
}

int32_t KS_VENDOR_CALL CP2101_Open(uint32_t index, void **handle) {
    if (bench::BeginCall("CP2101_Open", {index}))
        return static_cast<int32_t>(bench::EndCall(bench::usb::kStatusNotFound));
    return static_cast<int32_t>(bench::EndCall(bench::usb::Open(index, handle)));
}

int32_t KS_VENDOR_CALL CP2101_Close(void *handle) {
    if (bench::BeginCall("CP2101_Close", {Handle(handle)}))
        return static_cast<int32_t>(bench::EndCall(bench::usb::kStatusInvalidHandle));
    return static_cast<int32_t>(bench::EndCall(bench::usb::Close(handle)));
}

int32_t KS_VENDOR_CALL CP2101_GetDeviceProductString(void *handle, char *text, uint8_t *length,
                                                     int32_t asSingleBytes) {
    if (bench::BeginCall("CP2101_GetDeviceProductString", {Handle(handle), asSingleBytes}))
        return static_cast<int32_t>(bench::EndCall(bench::usb::kStatusInvalidHandle));
    const int32_t status = bench::usb::ProductString(handle, text, length);
    if (status != 0) return static_cast<int32_t>(bench::EndCall(status));
    return static_cast<int32_t>(
        bench::EndCall(status, reinterpret_cast<const uint8_t *>(text), *length));
}

int32_t KS_VENDOR_CALL CP2101_GetDeviceSerialNumber(void *handle, char *text, uint8_t *length,
                                                    int32_t asSingleBytes) {
    if (bench::BeginCall("CP2101_GetDeviceSerialNumber", {Handle(handle), asSingleBytes}))
        return static_cast<int32_t>(bench::EndCall(bench::usb::kStatusInvalidHandle));
    const int32_t status = bench::usb::SerialString(handle, text, length);
    if (status != 0) return static_cast<int32_t>(bench::EndCall(status));
    return static_cast<int32_t>(
        bench::EndCall(status, reinterpret_cast<const uint8_t *>(text), *length));
}

int32_t KS_VENDOR_CALL CP2101_GetDeviceVid(void *handle, uint16_t *vid) {
    if (bench::BeginCall("CP2101_GetDeviceVid", {Handle(handle)}))
        return static_cast<int32_t>(bench::EndCall(bench::usb::kStatusInvalidHandle));
    return static_cast<int32_t>(bench::EndCall(bench::usb::Vid(handle, vid)));
}

int32_t KS_VENDOR_CALL CP2101_GetDevicePid(void *handle, uint16_t *pid) {
    if (bench::BeginCall("CP2101_GetDevicePid", {Handle(handle)}))
        return static_cast<int32_t>(bench::EndCall(bench::usb::kStatusInvalidHandle));
    return static_cast<int32_t>(bench::EndCall(bench::usb::Pid(handle, pid)));
}

}  // extern "C"
