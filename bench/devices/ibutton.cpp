// iButton reader model: a TMEX 1-Wire port with at most one key on it.
//
// Bus behaviour: after a reset pulse that the key answers, the first byte
// touched is its command. After Read ROM (0x33) the next eight touches read
// the ROM bytes; the master sends 0xFF to leave the bus to the key, and since
// a 1-Wire slot reads the wired AND of master and key, a touch with other
// bits set to 0 reads those bits as 0. With no key (or no reset, or another
// command) the bus floats high and reads 0xFF.
#include "devices/ibutton_device.h"

#include <string>

namespace bench {
namespace {

constexpr const char *kResource = "TMEX";
constexpr int16_t kPortTypeSerial = 1;  // the only port type the model serves
constexpr uint8_t kReadRom = 0x33;
constexpr int32_t kFirstHandle = 0x1001;

enum class BusPhase { Idle, AwaitCommand, RomOut };

struct IButtonState {
    bool readerAttached = false;
    int port = 0;
    bool keyPresent = false;
    IButtonRom rom{};
    IButtonMode mode = IButtonMode::Normal;
    int32_t session = 0;  // the open session's handle, 0 none
    int32_t nextHandle = kFirstHandle;
    bool setUp = false;   // TMSetup succeeded in this session
    BusPhase phase = BusPhase::Idle;
    int romIndex = 0;
    int romReads = 0;
};

IButtonState &State() {
    static IButtonState state;
    return state;
}

// Dallas/Maxim CRC-8, written independently of the library so the model does
// not share a fault with the code under test.
uint8_t Crc8(const uint8_t *bytes, int length) {
    uint8_t crc = 0;
    for (int i = 0; i < length; ++i) {
        uint8_t b = bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((crc ^ b) & 1) != 0;
            crc = static_cast<uint8_t>(crc >> 1);
            if (mix) crc ^= 0x8C;
            b = static_cast<uint8_t>(b >> 1);
        }
    }
    return crc;
}

bool IsOpenSession(int32_t session) {
    return State().session != 0 && session == State().session;
}

bool KeyAnswers() {
    const IButtonState &s = State();
    return s.keyPresent && s.mode != IButtonMode::NoDevice;
}

void ResetModel() { State() = IButtonState{}; }
void TakeKeyAway() { State().keyPresent = false; }

struct Registration {
    Registration() {
        RegisterResetHook(ResetModel);
        RegisterRemoveCardHook(TakeKeyAway);
    }
} registration;

}  // namespace

IButtonRom MakeIButtonRom(uint8_t family, uint64_t serial48) {
    IButtonRom rom{};
    rom[0] = family;
    for (int i = 0; i < 6; ++i) rom[1 + i] = static_cast<uint8_t>(serial48 >> (8 * i));
    rom[7] = Crc8(rom.data(), 7);
    return rom;
}

void AttachIButtonReader(int port) {
    IButtonState &s = State();
    if (s.session != 0) NoteClose(kResource);  // the old reader's session goes with it
    s.readerAttached = true;
    s.port = port;
    s.session = 0;
    s.phase = BusPhase::Idle;
}

void DetachIButtonReader() {
    IButtonState &s = State();
    if (s.session != 0) NoteClose(kResource);
    s.readerAttached = false;
    s.session = 0;
}

void PlaceIButton(const IButtonRom &rom) {
    State().keyPresent = true;
    State().rom = rom;
    State().phase = BusPhase::Idle;
}

void RemoveIButton() { TakeKeyAway(); }
void SetIButtonMode(IButtonMode mode) { State().mode = mode; }
int IButtonRomReads() { return State().romReads; }

namespace ibutton {

int32_t StartSession(int16_t port, int16_t portType, const void *) {
    IButtonState &s = State();
    if (!s.readerAttached || port != s.port || portType != kPortTypeSerial) return 0;
    if (s.mode == IButtonMode::NoSession) return 0;
    if (s.session != 0) return 0;  // the port is held by a session not yet ended
    s.session = s.nextHandle++;
    s.setUp = false;
    s.phase = BusPhase::Idle;
    NoteOpen(kResource);
    return s.session;
}

int16_t Setup(int32_t session) {
    IButtonState &s = State();
    if (!IsOpenSession(session) || s.mode == IButtonMode::SetupRefused) return 0;
    s.setUp = true;
    return 1;
}

int16_t TouchReset(int32_t session) {
    IButtonState &s = State();
    if (!IsOpenSession(session)) return kBadSession;
    s.phase = BusPhase::Idle;
    if (!s.setUp || !KeyAnswers()) return 0;
    s.phase = BusPhase::AwaitCommand;
    return s.mode == IButtonMode::AlarmingPresence ? 2 : 1;
}

int16_t TouchByte(int32_t session, int16_t byte) {
    IButtonState &s = State();
    if (!IsOpenSession(session)) return kBadSession;
    const uint8_t sent = static_cast<uint8_t>(byte & 0xFF);
    if (!s.setUp || !KeyAnswers()) return sent;  // nothing pulls the bus low
    switch (s.phase) {
        case BusPhase::AwaitCommand:
            if (sent == kReadRom) {
                s.phase = BusPhase::RomOut;
                s.romIndex = 0;
                ++s.romReads;
            } else {
                s.phase = BusPhase::Idle;  // commands the model does not know: key falls silent
            }
            return sent;
        case BusPhase::RomOut: {
            uint8_t out = s.rom[s.romIndex];
            if (s.romIndex == 7 && s.mode == IButtonMode::BadCrc) {
                out = static_cast<uint8_t>(Crc8(s.rom.data(), 7) ^ 0x5A);
            }
            if (++s.romIndex == 8) s.phase = BusPhase::Idle;
            return static_cast<uint8_t>(out & sent);
        }
        case BusPhase::Idle:
        default:
            return sent;  // the bus floats high: the master reads what it sent
    }
}

int16_t EndSession(int32_t session) {
    IButtonState &s = State();
    if (!IsOpenSession(session)) return 0;
    s.session = 0;
    s.setUp = false;
    s.phase = BusPhase::Idle;
    NoteClose(kResource);
    return 1;
}

}  // namespace ibutton
}  // namespace bench
