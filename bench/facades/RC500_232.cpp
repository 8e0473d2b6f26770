// RC500_232 facade: the Mifare reader library's calls, served by the bench's
// RC500 reader model. Each call is logged with its scalar arguments and the
// bytes it moved; every status carries noise in its undefined high byte.
#include "bench.h"
#include "devices/rc500_device.h"
#include "media/vendor/rc500_232.h"

namespace {

int16_t Status(int16_t status) { return static_cast<int16_t>(bench::kRc500StatusNoise | (status & 0xFF)); }

int16_t Finish(int16_t status, const uint8_t *data = nullptr, size_t size = 0) {
    return static_cast<int16_t>(bench::EndCall(Status(status), data, size));
}

int16_t Faulted() { return Finish(bench::kRc500Faulted); }

bool Ok(int16_t status) { return status == bench::kRc500Ok; }

}  // namespace

extern "C" {

int16_t KS_VENDOR_CALL RC500_232_init(int16_t port, int32_t baud) {
    bench::rc500::BeforeInit();
    if (bench::BeginCall("RC500_232_init", {port, baud})) return Faulted();
    return Finish(bench::rc500::Init(port, baud));
}

int16_t KS_VENDOR_CALL RC500_232_config(void) {
    if (bench::BeginCall("RC500_232_config", {})) return Faulted();
    return Finish(bench::rc500::Config());
}

int16_t KS_VENDOR_CALL RC500_232_request(uint8_t mode, uint8_t *answer) {
    if (bench::BeginCall("RC500_232_request", {mode})) return Faulted();
    const int16_t st = bench::rc500::Request(mode, answer);
    return Ok(st) ? Finish(st, answer, 4) : Finish(st);
}

int16_t KS_VENDOR_CALL RC500_232_anticoll(uint8_t bitCount, uint32_t *serial) {
    if (bench::BeginCall("RC500_232_anticoll", {bitCount})) return Faulted();
    const int16_t st = bench::rc500::Anticoll(bitCount, serial);
    if (!Ok(st)) return Finish(st);
    const uint8_t bytes[4] = {static_cast<uint8_t>(*serial), static_cast<uint8_t>(*serial >> 8),
                              static_cast<uint8_t>(*serial >> 16), static_cast<uint8_t>(*serial >> 24)};
    return Finish(st, bytes, 4);
}

int16_t KS_VENDOR_CALL RC500_232_select(uint32_t serial, uint8_t *sizeCode) {
    if (bench::BeginCall("RC500_232_select", {static_cast<int64_t>(serial)})) return Faulted();
    const int16_t st = bench::rc500::Select(serial, sizeCode);
    return Ok(st) ? Finish(st, sizeCode, 1) : Finish(st);
}

int16_t KS_VENDOR_CALL RC500_232_authkey(uint8_t mode, uint8_t sector, const uint8_t *key) {
    if (bench::BeginCall("RC500_232_authkey", {mode, sector})) return Faulted();
    return Finish(bench::rc500::Authkey(mode, sector, key), key, key != nullptr ? 6 : 0);
}

int16_t KS_VENDOR_CALL RC500_232_read(uint8_t block, uint8_t *data) {
    if (bench::BeginCall("RC500_232_read", {block})) return Faulted();
    const int16_t st = bench::rc500::Read(block, data);
    return Ok(st) ? Finish(st, data, bench::kMifareBlockSize) : Finish(st);
}

int16_t KS_VENDOR_CALL RC500_232_write(uint8_t block, const uint8_t *data) {
    if (bench::BeginCall("RC500_232_write", {block})) return Faulted();
    return Finish(bench::rc500::Write(block, data), data, data != nullptr ? bench::kMifareBlockSize : 0);
}

int16_t KS_VENDOR_CALL RC500_232_reset(uint8_t mode) {
    if (bench::BeginCall("RC500_232_reset", {mode})) return Faulted();
    return Finish(bench::rc500::Reset(mode));
}

int16_t KS_VENDOR_CALL RC500_232_close(void) {
    if (bench::BeginCall("RC500_232_close", {})) return Faulted();
    return Finish(bench::rc500::Close());
}

int16_t KS_VENDOR_CALL RC500_232_exit(void) {
    if (bench::BeginCall("RC500_232_exit", {})) return Faulted();
    return Finish(bench::rc500::Exit());
}

}  // extern "C"
