// MWIC_32 facade: the contact IC encoder library's calls, served by the
// bench's encoder model. Each call is logged with its scalar arguments and
// the bytes it moved.

#include "bench.h"
#include "codec/codec.h"
#include "devices/ic_device.h"
#include "media/vendor/mwic_32.h"

extern "C" {

int32_t KS_VENDOR_CALL ic_init(int16_t portIndex, int32_t baud) {
    if (bench::BeginCall("ic_init", {portIndex, baud})) return static_cast<int32_t>(bench::EndCall(0));
    return static_cast<int32_t>(bench::EndCall(bench::ic::Open(portIndex, baud)));
}

int16_t KS_VENDOR_CALL ic_exit(int32_t handle) {
    if (bench::BeginCall("ic_exit", {handle}))
        return static_cast<int16_t>(bench::EndCall(bench::ic::kStatusBadHandle));
    return static_cast<int16_t>(bench::EndCall(bench::ic::Close(handle)));
}

int16_t KS_VENDOR_CALL srd_4442(int32_t handle, int16_t address, int16_t length, uint8_t *out) {
    if (bench::BeginCall("srd_4442", {handle, address, length}))
        return static_cast<int16_t>(bench::EndCall(bench::ic::kStatusNoCard));
    const int16_t status = bench::ic::Read4442(handle, address, length, out);
    if (status != 0) return static_cast<int16_t>(bench::EndCall(status));
    return static_cast<int16_t>(bench::EndCall(status, out, static_cast<size_t>(length)));
}

int16_t KS_VENDOR_CALL swr_4442(int32_t handle, int16_t address, int16_t length, const uint8_t *in) {
    if (bench::BeginCall("swr_4442", {handle, address, length}))
        return static_cast<int16_t>(bench::EndCall(bench::ic::kStatusNoCard));
    const int16_t status = bench::ic::Write4442(handle, address, length, in);
    const size_t n = in != nullptr && length > 0 ? static_cast<size_t>(length) : 0;
    return static_cast<int16_t>(bench::EndCall(status, in, n));
}

int16_t KS_VENDOR_CALL csc_4442(int32_t handle, int16_t length, const uint8_t *psc) {
    if (bench::BeginCall("csc_4442", {handle, length}))
        return static_cast<int16_t>(bench::EndCall(bench::ic::kStatusNoCard));
    const int16_t status = bench::ic::ComparePsc(handle, length, psc);
    const size_t n = psc != nullptr && length > 0 ? static_cast<size_t>(length) : 0;
    return static_cast<int16_t>(bench::EndCall(status, psc, n));
}

int16_t KS_VENDOR_CALL dv_beep(int32_t handle, int16_t length) {
    if (bench::BeginCall("dv_beep", {handle, length}))
        return static_cast<int16_t>(bench::EndCall(bench::ic::kStatusBadHandle));
    return static_cast<int16_t>(bench::EndCall(bench::ic::Beep(handle, length)));
}

int16_t KS_VENDOR_CALL chk_24c64(int32_t handle) {
    if (bench::BeginCall("chk_24c64", {handle}))
        return static_cast<int16_t>(bench::EndCall(bench::ic::kStatusNoCard));
    return static_cast<int16_t>(bench::EndCall(bench::ic::Check24c64(handle)));
}

int16_t KS_VENDOR_CALL srd_24c64(int32_t handle, int16_t address, int16_t length, uint8_t *out) {
    if (bench::BeginCall("srd_24c64", {handle, address, length}))
        return static_cast<int16_t>(bench::EndCall(bench::ic::kStatusNoCard));
    const int16_t status = bench::ic::Read24c64(handle, address, length, out);
    if (status != 0) return static_cast<int16_t>(bench::EndCall(status));
    return static_cast<int16_t>(bench::EndCall(status, out, static_cast<size_t>(length)));
}

// Pairs of hex digits into bytes, first digit high. A missing or non-hex
// digit stops the conversion with a nonzero status; bytes not reached are 0.
int16_t KS_VENDOR_CALL asc_hex(const char *text, uint8_t *out, int32_t byteCount) {
    if (bench::BeginCall("asc_hex", {byteCount}))
        return static_cast<int16_t>(bench::EndCall(bench::ic::kStatusBadArgument));
    if (text == nullptr || out == nullptr || byteCount < 0)
        return static_cast<int16_t>(bench::EndCall(bench::ic::kStatusBadArgument));
    const int16_t status = HexTextToBytes(text, out, byteCount) ? bench::ic::kStatusOk : bench::ic::kStatusBadArgument;
    return static_cast<int16_t>(bench::EndCall(status, out, static_cast<size_t>(byteCount)));
}

}  // extern "C"
