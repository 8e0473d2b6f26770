// The clsic32 data-card readers: a TEMIC reader and a Mifare reader, each on
// a COM port, each holding one data card (an open-door log image) or none.
// Opening the reader's port is counted ("AT88DATA", "M1DATA"); a read
// delivers the card's image, or fails with a status of the reader's own.
#include <algorithm>

#include "devices/collector_device.h"

namespace bench {
namespace {

struct ReaderState {
    int port = 0;  // 0 = no reader
    bool open = false;
    bool cardPresent = false;
    std::vector<uint8_t> image;
    bool failing = false;
    int16_t failStatus = 0;
    size_t failBytes = 0;
};

struct Readers {
    ReaderState temic;
    ReaderState mifare;
};

Readers &State() {
    static Readers readers;
    return readers;
}

ReaderState &Of(DataReader reader) {
    return reader == DataReader::Temic ? State().temic : State().mifare;
}

const char *Resource(DataReader reader) { return reader == DataReader::Temic ? "AT88DATA" : "M1DATA"; }

void ResetReaders() { State() = Readers{}; }

void TakeCardsAway() {
    State().temic.cardPresent = false;
    State().mifare.cardPresent = false;
}

const bool g_registered = [] {
    RegisterResetHook(ResetReaders);
    RegisterRemoveCardHook(TakeCardsAway);
    return true;
}();

void CloseIfOpen(DataReader reader) {
    ReaderState &r = Of(reader);
    if (r.open) NoteClose(Resource(reader));
    r.open = false;
}

}  // namespace

// ---- control ----

void PlaceDataReader(DataReader reader, int comPort) {
    CloseIfOpen(reader);
    Of(reader).port = comPort;
}

void RemoveDataReader(DataReader reader) { PlaceDataReader(reader, 0); }

void InsertDataCard(DataReader reader, const std::vector<uint8_t> &logImage) {
    Of(reader).cardPresent = true;
    Of(reader).image = logImage;
}

void RemoveDataCard(DataReader reader) { Of(reader).cardPresent = false; }
bool DataReaderOpen(DataReader reader) { return Of(reader).open; }

void FailDataRead(DataReader reader, int16_t status, size_t bytesWritten) {
    ReaderState &r = Of(reader);
    r.failing = true;
    r.failStatus = status;
    r.failBytes = bytesWritten;
}

void DataReaderWorks(DataReader reader) { Of(reader).failing = false; }

// ---- device side ----

namespace datareader {

int16_t Open(DataReader reader, int16_t port) {
    ReaderState &r = Of(reader);
    if (r.port == 0 || port != r.port || r.open) return 0;
    r.open = true;
    NoteOpen(Resource(reader));
    return 1;
}

int16_t Close(DataReader reader) {
    if (!Of(reader).open) return 0;
    CloseIfOpen(reader);
    return 1;
}

int16_t Read(DataReader reader, uint8_t *buffer, size_t *written) {
    ReaderState &r = Of(reader);
    *written = 0;
    if (!r.open || buffer == nullptr) return kDataReadNotOpen;
    if (r.failing) {
        *written = r.cardPresent ? std::min(r.failBytes, r.image.size()) : 0;
        std::copy_n(r.image.begin(), *written, buffer);
        return r.failStatus;
    }
    if (!r.cardPresent) return kDataReadNoCard;
    std::copy(r.image.begin(), r.image.end(), buffer);
    *written = r.image.size();
    return 1;
}

}  // namespace datareader
}  // namespace bench
