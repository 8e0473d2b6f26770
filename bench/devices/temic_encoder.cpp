// TEMIC encoder model: one encoder on a COM port, one AT88RF256 card in its
// field, block commands guarded by the card's access code.
#include <algorithm>

#include "devices/temic_device.h"

namespace bench {
namespace {

constexpr int32_t kOpReadBlock = 3;
constexpr int32_t kOpWriteBlock = 2;

struct EncoderState {
    int comPort = 0;  // 0: no encoder on the bench
    bool open = false;
    int16_t noEncoderStatus = kTemicNoEncoder;
    std::optional<TemicCard> card;
    std::optional<TemicCard> lastRemoved;
    std::vector<int> dropWrites;  // block writes still to pass before one is dropped
    std::vector<int> beeps;
};

EncoderState &State() {
    static EncoderState state;
    return state;
}

void ResetEncoder() { State() = EncoderState{}; }

void RemoveCardHook() {
    EncoderState &s = State();
    if (!s.card) return;
    s.lastRemoved = s.card;
    s.card.reset();
}

[[maybe_unused]] const bool kRegistered = [] {
    RegisterResetHook(ResetEncoder);
    RegisterRemoveCardHook(RemoveCardHook);
    return true;
}();

// True when an armed drop swallows this block write.
bool DropThisWrite() {
    bool drop = false;
    for (int &remaining : State().dropWrites) drop = (--remaining == 0) || drop;
    auto &d = State().dropWrites;
    d.erase(std::remove_if(d.begin(), d.end(), [](int r) { return r <= 0; }), d.end());
    return drop;
}

}  // namespace

void PlaceTemicEncoder(int comPort) { State().comPort = comPort; }

void RemoveTemicEncoder() {
    EncoderState &s = State();
    if (s.open) NoteClose("TEMIC");
    s.open = false;
    s.comPort = 0;
}

bool TemicEncoderOpen() { return State().open; }
void SetTemicNoEncoderStatus(int16_t status) { State().noEncoderStatus = status; }

void PlaceTemicCard(const TemicCard &card) { State().card = card; }

std::optional<TemicCard> TakeTemicCard() {
    std::optional<TemicCard> card = State().card;
    State().card.reset();
    return card;
}

std::optional<TemicCard> CurrentTemicCard() { return State().card; }
std::optional<TemicCard> LastRemovedTemicCard() { return State().lastRemoved; }
void TemicDropBlockWrite(int nth) { State().dropWrites.push_back(nth); }
std::vector<int> TemicBeeps() { return State().beeps; }

namespace temic {

int16_t InitCommDev(int32_t portIndex) {
    EncoderState &s = State();
    if (s.comPort == 0 || portIndex != s.comPort - 1) return s.noEncoderStatus;
    if (!s.open) {
        s.open = true;
        NoteOpen("TEMIC");
    }
    return kTemicOk;
}

int16_t Command57(const uint8_t *accessCode, int32_t operation, uint8_t block, uint8_t *data) {
    EncoderState &s = State();
    if (!s.open) return kTemicNotOpen;
    if (!s.card) return kTemicNoCard;
    if (accessCode == nullptr || data == nullptr) return kTemicBadArgument;
    TemicCard &card = *s.card;
    if (!std::equal(accessCode, accessCode + kTemicBlockSize, card.blocks[kTemicAccessBlock].begin()))
        return kTemicDenied;
    if (operation == kOpReadBlock) {
        if (block > kTemicLastUserBlock) return kTemicDenied;  // configuration and code never read out
        std::copy(card.blocks[block].begin(), card.blocks[block].end(), data);
        return kTemicOk;
    }
    if (operation == kOpWriteBlock) {
        if (block < kTemicFirstUserBlock || block > kTemicLastUserBlock) return kTemicDenied;
        if (!DropThisWrite()) std::copy_n(data, kTemicBlockSize, card.blocks[block].begin());
        return kTemicOk;
    }
    return kTemicBadArgument;
}

int16_t CloseCommDev(uint8_t port) {
    EncoderState &s = State();
    if (!s.open || port != s.comPort) return kTemicNotOpen;
    s.open = false;
    NoteClose("TEMIC");
    return kTemicOk;
}

int16_t Beep(int16_t pattern) {
    if (!State().open) return kTemicNotOpen;
    State().beeps.push_back(pattern);
    return kTemicOk;
}

}  // namespace temic
}  // namespace bench
