// RC500 reader model: one reader on a COM port, one Mifare Classic card in
// its field, and the card's ISO 14443-A states as far as the library's calls
// walk them (idle -> ready -> active -> authenticated).
#include <algorithm>

#include "devices/rc500_device.h"

namespace bench {
namespace {

constexpr int32_t kReaderBaud = 19200;  // the only rate the reader speaks
constexpr uint8_t kKeyModeA = 0;        // authkey mode 0: the trailer's key A; any other: key B
constexpr size_t kKeyLength = 6;
constexpr size_t kKeyAOffset = 0;
constexpr size_t kKeyBOffset = 10;
constexpr size_t kAtqaOffset = 6;
constexpr size_t kAnswerLength = 4;  // the caller's buffers for request and select

enum class CardState { Idle, Ready, Active, Authenticated };

struct PendingSwap {
    int remaining;
    MifareCard card;
};

struct ReaderState {
    int comPort = 0;  // 0: no reader on the bench
    bool open = false;
    std::optional<MifareCard> card;
    std::optional<MifareCard> lastRemoved;
    CardState cardState = CardState::Idle;
    int authSector = -1;
    std::vector<PendingSwap> swaps;
};

ReaderState &State() {
    static ReaderState state;
    return state;
}

void CardToIdle() {
    State().cardState = CardState::Idle;
    State().authSector = -1;
}

void ResetReader() { State() = ReaderState{}; }

void RemoveCardHook() {
    ReaderState &s = State();
    if (!s.card) return;
    s.lastRemoved = s.card;
    s.card.reset();
    CardToIdle();
}

[[maybe_unused]] const bool kRegistered = [] {
    RegisterResetHook(ResetReader);
    RegisterRemoveCardHook(RemoveCardHook);
    return true;
}();

// Common guard: an open connection and a card in the field.
int16_t NeedCard() {
    if (!State().open) return kRc500NoConnection;
    if (!State().card) return kRc500NoCard;
    return kRc500Ok;
}

}  // namespace

void PlaceRc500Reader(int comPort) { State().comPort = comPort; }

void RemoveRc500Reader() {
    ReaderState &s = State();
    if (s.open) NoteClose("RC500");
    s.open = false;
    s.comPort = 0;
    CardToIdle();
}

bool Rc500ConnectionOpen() { return State().open; }

void PlaceMifareCard(const MifareCard &card) {
    State().card = card;
    CardToIdle();
}

std::optional<MifareCard> TakeMifareCard() {
    std::optional<MifareCard> card = State().card;
    State().card.reset();
    CardToIdle();
    return card;
}

std::optional<MifareCard> CurrentMifareCard() { return State().card; }
std::optional<MifareCard> LastRemovedMifareCard() { return State().lastRemoved; }

void SwapMifareCardBeforeInit(int nth, const MifareCard &next) { State().swaps.push_back(PendingSwap{nth, next}); }

namespace rc500 {

void BeforeInit() {
    ReaderState &s = State();
    for (PendingSwap &swap : s.swaps) {
        if (--swap.remaining == 0) {
            s.card = swap.card;
            CardToIdle();
        }
    }
    s.swaps.erase(std::remove_if(s.swaps.begin(), s.swaps.end(), [](const PendingSwap &p) { return p.remaining <= 0; }),
                  s.swaps.end());
}

int16_t Init(int16_t port, int32_t baud) {
    ReaderState &s = State();
    if (s.comPort == 0 || port != s.comPort || baud != kReaderBaud) return kRc500NoConnection;
    if (!s.open) {
        s.open = true;
        NoteOpen("RC500");
    }
    CardToIdle();
    return kRc500Ok;
}

int16_t Config() { return State().open ? kRc500Ok : kRc500NoConnection; }

int16_t Request(uint8_t, uint8_t *answer) {
    if (int16_t st = NeedCard()) return st;
    if (answer == nullptr) return kRc500BadArgument;
    ReaderState &s = State();
    std::fill_n(answer, kAnswerLength, 0);
    std::copy_n(s.card->memory.begin() + kAtqaOffset, 2, answer);
    s.cardState = CardState::Ready;
    s.authSector = -1;
    return kRc500Ok;
}

int16_t Anticoll(uint8_t, uint32_t *serial) {
    if (int16_t st = NeedCard()) return st;
    if (State().cardState != CardState::Ready) return kRc500WrongState;
    if (serial == nullptr) return kRc500BadArgument;
    const MifareUid uid = State().card->Uid();
    *serial = static_cast<uint32_t>(uid[0]) | static_cast<uint32_t>(uid[1]) << 8 |
              static_cast<uint32_t>(uid[2]) << 16 | static_cast<uint32_t>(uid[3]) << 24;
    return kRc500Ok;
}

int16_t Select(uint32_t serial, uint8_t *sizeCode) {
    if (int16_t st = NeedCard()) return st;
    ReaderState &s = State();
    if (s.cardState != CardState::Ready) return kRc500WrongState;
    if (sizeCode == nullptr) return kRc500BadArgument;
    const MifareUid uid = s.card->Uid();
    for (int i = 0; i < 4; ++i)
        if (static_cast<uint8_t>(serial >> (8 * i)) != uid[i]) return kRc500NoCard;  // nobody has that serial
    std::fill_n(sizeCode, kAnswerLength, 0);
    sizeCode[0] = s.card->Sak();
    s.cardState = CardState::Active;
    return kRc500Ok;
}

int16_t Authkey(uint8_t mode, uint8_t sector, const uint8_t *key) {
    if (int16_t st = NeedCard()) return st;
    ReaderState &s = State();
    if (s.cardState != CardState::Active && s.cardState != CardState::Authenticated) return kRc500WrongState;
    if (key == nullptr) return kRc500BadArgument;
    if (sector >= s.card->SectorCount()) {
        CardToIdle();
        return kRc500AuthFailed;
    }
    const MifareBlock trailer = s.card->Block(s.card->TrailerBlock(sector));
    const size_t offset = mode == kKeyModeA ? kKeyAOffset : kKeyBOffset;
    if (!std::equal(key, key + kKeyLength, trailer.begin() + offset)) {
        CardToIdle();  // a failed authentication halts the card's crypto: select again
        return kRc500AuthFailed;
    }
    s.cardState = CardState::Authenticated;
    s.authSector = sector;
    return kRc500Ok;
}

namespace {

// A block the authenticated session may touch, or the status that refuses it.
int16_t CheckAccess(uint8_t block, const void *buffer) {
    if (int16_t st = NeedCard()) return st;
    ReaderState &s = State();
    if (buffer == nullptr || block >= s.card->BlockCount()) return kRc500BadArgument;
    if (s.cardState != CardState::Authenticated || s.card->SectorOfBlock(block) != s.authSector)
        return kRc500NotAuthorised;
    return kRc500Ok;
}

}  // namespace

int16_t Read(uint8_t block, uint8_t *data) {
    if (int16_t st = CheckAccess(block, data)) return st;
    const MifareCard &card = *State().card;
    MifareBlock content = card.Block(block);
    if (block == card.TrailerBlock(card.SectorOfBlock(block)))
        std::fill_n(content.begin() + kKeyAOffset, kKeyLength, 0);  // key A never reads back
    std::copy(content.begin(), content.end(), data);
    return kRc500Ok;
}

int16_t Write(uint8_t block, const uint8_t *data) {
    if (int16_t st = CheckAccess(block, data)) return st;
    if (block == 0) return kRc500NotAuthorised;  // manufacturer block
    MifareBlock content{};
    std::copy_n(data, kMifareBlockSize, content.begin());
    State().card->SetBlock(block, content);
    return kRc500Ok;
}

int16_t Reset(uint8_t) {
    if (!State().open) return kRc500NoConnection;
    CardToIdle();  // the field goes off and on: the card starts over
    return kRc500Ok;
}

int16_t Close() {
    if (!State().open) return kRc500NoConnection;
    CardToIdle();
    return kRc500Ok;
}

int16_t Exit() {
    ReaderState &s = State();
    if (!s.open) return kRc500NoConnection;
    s.open = false;
    NoteClose("RC500");
    CardToIdle();
    return kRc500Ok;
}

}  // namespace rc500
}  // namespace bench
