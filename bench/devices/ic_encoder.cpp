// Contact IC encoder model: one encoder on a COM port, holding one SLE4442 or
// 24C64 card or none, plus the personalising station for SLE4442 cards.
//
// The SLE4442 behaves as the chip does where a driver fault would show:
// writes are refused until the PSC has been verified since insertion, every
// wrong PSC spends one of the three tries, the third locks the card for good,
// and protected bytes 0-31 never change.
#include <cstring>

#include "codec/codec.h"
#include "devices/ic_device.h"
#include "media/ic4442_psc.h"

namespace bench {
namespace {

enum class CardKind { None, Sle4442, C24c64 };

struct IcState {
    int encoderPort = 0;  // 1-based COM port, 0 = no encoder
    int32_t handle = 0;   // open handle, 0 = not open
    int32_t nextHandle = 0x4C00;
    CardKind kind = CardKind::None;
    Sle4442Card sle;
    std::optional<Sle4442Card> lastRemoved;  // taken out by a RemoveCard fault
    std::vector<uint8_t> eeprom;  // 24C64
    int beeps = 0;
};

IcState &State() {
    static IcState state;
    return state;
}

void DropOpenHandle() {
    if (State().handle != 0) NoteClose("MWIC_32");
    State().handle = 0;
}

void ResetIc() {
    IcState &s = State();
    // Reset() has already zeroed the open counts; only forget the handle.
    s = IcState{};
}

void RemoveCardHook() {
    if (State().kind == CardKind::Sle4442) State().lastRemoved = State().sle;
    RemoveIcCard();
}

const bool g_registered = [] {
    RegisterResetHook(ResetIc);
    RegisterRemoveCardHook(RemoveCardHook);
    return true;
}();

bool HandleOk(int32_t handle) { return handle != 0 && handle == State().handle; }

bool InRange(int16_t address, int16_t length, size_t size) {
    return address >= 0 && length >= 0 &&
           static_cast<size_t>(address) + static_cast<size_t>(length) <= size;
}

}  // namespace

// ---- control ----

void PlaceIcEncoder(int comPort) {
    DropOpenHandle();
    State().encoderPort = comPort;
}

void RemoveIcEncoder() {
    DropOpenHandle();
    State().encoderPort = 0;
}

bool IcEncoderOpen() { return State().handle != 0; }

void InsertSle4442(const Sle4442Card &card) {
    IcState &s = State();
    s.kind = CardKind::Sle4442;
    s.sle = card;
    s.sle.pscVerified = false;
}

void Insert24c64(const std::vector<uint8_t> &memory) {
    IcState &s = State();
    s.kind = CardKind::C24c64;
    s.eeprom = memory;
    s.eeprom.resize(k24c64Size, 0xFF);
}

void RemoveIcCard() {
    IcState &s = State();
    s.kind = CardKind::None;
    s.sle.pscVerified = false;
}

bool IcCardPresent() { return State().kind != CardKind::None; }
bool IcCardIs24c64() { return State().kind == CardKind::C24c64; }
Sle4442Card CurrentSle4442() {
    return State().kind == CardKind::Sle4442 ? State().sle : Sle4442Card{};
}
std::optional<Sle4442Card> LastRemovedSle4442() { return State().lastRemoved; }
int IcBeepCount() { return State().beeps; }

// ---- personalising station ----

std::array<uint8_t, 3> IcCardPsc(const IcCardOptions &options) {
    std::array<uint8_t, 3> psc{};
    IcDerivePsc(options.serial.data(), psc.data());
    if (options.foreignPscMasks) {
        // Another installation's masks: every byte differs from ours.
        for (uint8_t &b : psc) b ^= 0xA5;
    }
    return psc;
}

Sle4442Card MakeIcCard(const IcCardOptions &options) {
    Sle4442Card card;
    card.memory.fill(0xFF);
    card.protectedBytes = 0xFFFFFFFFu;  // manufacturer area locked at the factory
    std::memcpy(&card.memory[kIcSerialAddress], options.serial.data(), kIcSerialLength);
    uint8_t check = CardCrc8(options.serial.data(), kIcSerialLength);
    if (options.wrongSerialCheck) check ^= 0x01;
    card.memory[kIcSerialCheckAddress] = check;
    if (options.clearedRecord) {
        uint8_t record[kCardRecordLength + 1] = {};
        for (uint8_t n = 0; n < 16; ++n) record[n] = static_cast<uint8_t>(n + 1);
        record[0] = kClearedRecordMarker;
        SealCardRecord(record, SealVariant::SerialBound, options.serial[0]);
        std::memcpy(&card.memory[kIcRecordAddress], record, kCardRecordLength);
    }
    card.psc = IcCardPsc(options);
    card.triesLeft = 3;
    card.pscVerified = false;
    return card;
}

bool OpenIcRecord(const Sle4442Card &card, std::array<uint8_t, 28> *plain) {
    uint8_t record[kCardRecordLength + 1] = {};
    std::memcpy(record, &card.memory[kIcRecordAddress], kCardRecordLength);
    const bool valid = OpenCardRecord(record, SealVariant::SerialBound, card.memory[kIcSerialAddress]);
    std::memcpy(plain->data(), record, kCardRecordLength);
    return valid;
}

// ---- device behaviour behind MWIC_32 ----

namespace ic {

int32_t Open(int16_t portIndex, int32_t) {
    IcState &s = State();
    // Only the port where the encoder sits opens, and only once at a time.
    if (s.encoderPort == 0 || portIndex != s.encoderPort - 1 || s.handle != 0) return 0;
    s.handle = ++s.nextHandle;
    NoteOpen("MWIC_32");
    return s.handle;
}

int16_t Close(int32_t handle) {
    if (!HandleOk(handle)) return kStatusBadHandle;
    DropOpenHandle();
    return kStatusOk;
}

int16_t Read4442(int32_t handle, int16_t address, int16_t length, uint8_t *out) {
    IcState &s = State();
    if (!HandleOk(handle)) return kStatusBadHandle;
    if (s.kind != CardKind::Sle4442) return kStatusNoCard;
    if (out == nullptr) return kStatusBadArgument;
    if (!InRange(address, length, s.sle.memory.size())) return kStatusRange;
    std::memcpy(out, &s.sle.memory[address], length);
    return kStatusOk;
}

int16_t Write4442(int32_t handle, int16_t address, int16_t length, const uint8_t *in) {
    IcState &s = State();
    if (!HandleOk(handle)) return kStatusBadHandle;
    if (s.kind != CardKind::Sle4442) return kStatusNoCard;
    if (in == nullptr) return kStatusBadArgument;
    if (!InRange(address, length, s.sle.memory.size())) return kStatusRange;
    if (!s.sle.pscVerified) return kStatusRefused;
    for (int16_t i = 0; i < length; ++i) {
        const int a = address + i;
        if (a < 32 && (s.sle.protectedBytes >> a & 1u)) continue;  // protected: stays as it is
        s.sle.memory[a] = in[i];
    }
    return kStatusOk;
}

int16_t ComparePsc(int32_t handle, int16_t length, const uint8_t *psc) {
    IcState &s = State();
    if (!HandleOk(handle)) return kStatusBadHandle;
    if (s.kind != CardKind::Sle4442) return kStatusNoCard;
    if (psc == nullptr || length != kIcPscLength) return kStatusBadArgument;
    if (s.sle.triesLeft <= 0) return kStatusRefused;  // locked: no compare ever succeeds
    if (std::memcmp(psc, s.sle.psc.data(), kIcPscLength) != 0) {
        --s.sle.triesLeft;
        s.sle.pscVerified = false;
        return kStatusRefused;
    }
    s.sle.triesLeft = 3;
    s.sle.pscVerified = true;
    return kStatusOk;
}

int16_t Beep(int32_t handle, int16_t) {
    if (!HandleOk(handle)) return kStatusBadHandle;
    ++State().beeps;
    return kStatusOk;
}

int16_t Check24c64(int32_t handle) {
    if (!HandleOk(handle)) return kStatusBadHandle;
    return State().kind == CardKind::C24c64 ? kStatusOk : kStatusNoCard;
}

int16_t Read24c64(int32_t handle, int16_t address, int16_t length, uint8_t *out) {
    IcState &s = State();
    if (!HandleOk(handle)) return kStatusBadHandle;
    if (s.kind != CardKind::C24c64) return kStatusNoCard;
    if (out == nullptr) return kStatusBadArgument;
    if (!InRange(address, length, s.eeprom.size())) return kStatusRange;
    std::memcpy(out, &s.eeprom[address], length);
    return kStatusOk;
}

}  // namespace ic
}  // namespace bench
