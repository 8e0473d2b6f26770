// clsic32 facade, data-card readers: AT88RF256_12_OpenCommPort / ReadDataCard
// / CloseCommPort (TEMIC) and M1_OpenCommPort / M1_ReadDataCard /
// M1_CloseCommPort (Mifare), served by the bench's reader models. A read logs
// the bytes it put into the buffer.
#include "bench.h"
#include "devices/collector_device.h"
#include "media/vendor/clsic32.h"

namespace {

int16_t OpenReader(const char *fn, bench::DataReader reader, int16_t port) {
    if (bench::BeginCall(fn, {port})) return static_cast<int16_t>(bench::EndCall(0));
    return static_cast<int16_t>(bench::EndCall(bench::datareader::Open(reader, port)));
}

int16_t ReadCard(const char *fn, bench::DataReader reader, uint8_t *buffer) {
    if (bench::BeginCall(fn, {})) return static_cast<int16_t>(bench::EndCall(bench::kDataReadNoCard));
    size_t written = 0;
    const int16_t status = bench::datareader::Read(reader, buffer, &written);
    return static_cast<int16_t>(bench::EndCall(status, buffer, written));
}

int16_t CloseReader(const char *fn, bench::DataReader reader) {
    if (bench::BeginCall(fn, {})) return static_cast<int16_t>(bench::EndCall(0));
    return static_cast<int16_t>(bench::EndCall(bench::datareader::Close(reader)));
}

}  // namespace

extern "C" {

int16_t KS_VENDOR_CALL AT88RF256_12_OpenCommPort(int16_t port) {
    return OpenReader("AT88RF256_12_OpenCommPort", bench::DataReader::Temic, port);
}
int16_t KS_VENDOR_CALL AT88RF256_12_ReadDataCard(uint8_t *buffer) {
    return ReadCard("AT88RF256_12_ReadDataCard", bench::DataReader::Temic, buffer);
}
int16_t KS_VENDOR_CALL AT88RF256_12_CloseCommPort(void) {
    return CloseReader("AT88RF256_12_CloseCommPort", bench::DataReader::Temic);
}
int16_t KS_VENDOR_CALL M1_OpenCommPort(int16_t port) {
    return OpenReader("M1_OpenCommPort", bench::DataReader::Mifare, port);
}
int16_t KS_VENDOR_CALL M1_ReadDataCard(uint8_t *buffer) {
    return ReadCard("M1_ReadDataCard", bench::DataReader::Mifare, buffer);
}
int16_t KS_VENDOR_CALL M1_CloseCommPort(void) {
    return CloseReader("M1_CloseCommPort", bench::DataReader::Mifare);
}

}  // extern "C"
