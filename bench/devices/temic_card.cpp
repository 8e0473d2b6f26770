// AT88RF256 card model, card dumps and the TEMIC personalising station.
#include <algorithm>
#include <fstream>
#include <iterator>

#include "devices/mifare_temic_codec.h"
#include "temic_bench.h"

namespace bench {
namespace {

constexpr size_t kRecordBlocks = kTemicLastUserBlock - kTemicFirstUserBlock + 1;
constexpr uint8_t kClearedMarker = 0x63;
constexpr size_t kClearedPatternEnd = 20;   // bytes 1-19 carry n + 1
constexpr size_t kSystemPasswordOffset = 20;
constexpr size_t kFreshCardTypeOffset = 24;  // no card type yet: n + 1 as well
constexpr size_t kIdentityOffset = 25;
// Configuration block of a personalised card: user blocks readable and
// writable with the access code, the access block locked.
constexpr TemicBlock kPersonalisedConfig = {{0x01, 0x7F, 0x00, 0x80}};

}  // namespace

TemicCard TemicBlankCard(const TemicBlock &id, const TemicBlock &accessCode) {
    TemicCard card;
    card.blocks[kTemicIdBlock] = id;
    card.blocks[kTemicConfigBlock] = kPersonalisedConfig;
    card.blocks[kTemicAccessBlock] = accessCode;
    return card;
}

bool TemicCardFromDump(const std::vector<uint8_t> &dump, TemicCard *card) {
    if (card == nullptr || dump.size() != kTemicDumpSize) return false;
    for (int b = 0; b < kTemicBlockCount; ++b)
        std::copy_n(dump.begin() + b * kTemicBlockSize, kTemicBlockSize, card->blocks[b].begin());
    return true;
}

std::vector<uint8_t> TemicCardToDump(const TemicCard &card) {
    std::vector<uint8_t> dump;
    for (const TemicBlock &block : card.blocks) dump.insert(dump.end(), block.begin(), block.end());
    return dump;
}

bool LoadTemicCard(const std::string &path, TemicCard *card) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<uint8_t> dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return TemicCardFromDump(dump, card);
}

bool SaveTemicCard(const TemicCard &card, const std::string &path) {
    const std::vector<uint8_t> dump = TemicCardToDump(card);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(dump.data()), static_cast<std::streamsize>(dump.size()));
    return static_cast<bool>(out);
}

TemicRecord TemicRawRecord(const TemicCard &card) {
    TemicRecord raw{};
    for (size_t b = 0; b < kRecordBlocks; ++b)
        std::copy_n(card.blocks[kTemicFirstUserBlock + b].begin(), kTemicBlockSize, raw.begin() + b * kTemicBlockSize);
    return raw;
}

void WriteTemicRecord(TemicCard &card, const TemicRecord &plain) {
    const cardsys::Record sealed = cardsys::SealTrailing(plain);
    for (size_t b = 0; b < kRecordBlocks; ++b)
        std::copy_n(sealed.begin() + b * kTemicBlockSize, kTemicBlockSize, card.blocks[kTemicFirstUserBlock + b].begin());
}

bool ReadTemicRecord(const TemicCard &card, TemicRecord *plain) {
    return cardsys::OpenTrailing(TemicRawRecord(card), plain);
}

TemicCard MakeFactoryTemicCard(const TemicBlock &id, const std::array<uint8_t, 2> &identity,
                               const std::array<uint8_t, 4> &systemPassword) {
    TemicCard card = TemicBlankCard(id);
    TemicRecord record{};
    record[0] = kClearedMarker;
    for (size_t i = 1; i < kClearedPatternEnd; ++i) record[i] = static_cast<uint8_t>(i + 1);
    std::copy(systemPassword.begin(), systemPassword.end(), record.begin() + kSystemPasswordOffset);
    record[kFreshCardTypeOffset] = static_cast<uint8_t>(kFreshCardTypeOffset + 1);
    std::copy(identity.begin(), identity.end(), record.begin() + kIdentityOffset);
    WriteTemicRecord(card, record);
    return card;
}

}  // namespace bench
