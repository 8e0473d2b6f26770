// Mifare Classic card model, .mfd dumps and the personalising station.
#include <algorithm>
#include <fstream>
#include <iterator>

#include "devices/mifare_temic_codec.h"
#include "mifare_bench.h"

namespace bench {
namespace {

// Block 0 (manufacturer block).
constexpr size_t kUidOffset = 0;
constexpr size_t kBccOffset = 4;
constexpr size_t kSakOffset = 5;
constexpr size_t kAtqaOffset = 6;
constexpr uint8_t kAtqa1K[2] = {0x04, 0x00};
constexpr uint8_t kAtqa4K[2] = {0x02, 0x00};
constexpr uint8_t kManufacturerData[8] = {'K', 'S', 'B', 'E', 'N', 'C', 'H', 0x01};

// Sector trailer: key A, access bits, key B.
constexpr size_t kKeyAOffset = 0;
constexpr size_t kAccessOffset = 6;
constexpr size_t kKeyBOffset = 10;
constexpr size_t kKeyLength = 6;
constexpr uint8_t kTransportAccessBits[4] = {0xFF, 0x07, 0x80, 0x69};
constexpr uint8_t kTransportKey = 0xFF;

// 4K layout: 32 small sectors of 4 blocks, then 8 large ones of 16.
constexpr int kSmallSectorBlocks = 4;
constexpr int kLargeSectorBlocks = 16;
constexpr int kSmallSectors4K = 32;
constexpr int kSmallAreaBlocks = kSmallSectors4K * kSmallSectorBlocks;

// The record in a sector's first three blocks.
constexpr size_t kRecordLength = 28;
constexpr uint8_t kClearedMarker = 0x63;
constexpr size_t kPasswordCardTypeOffset = 24;
constexpr uint8_t kSystemPasswordCardType = 1;
constexpr size_t kCardPasswordOffset = 10;
constexpr size_t kCardPasswordExtraOffset = 14;
constexpr size_t kSystemPasswordOffset = 20;
constexpr size_t kExtensionOffset = 32;

std::array<uint8_t, 48> ClearedImage() {
    std::array<uint8_t, 48> image{};
    for (size_t i = 0; i < kExtensionOffset; ++i) image[i] = static_cast<uint8_t>(i + 1);
    image[0] = kClearedMarker;
    return image;  // bytes 32-47 (the extension block) stay zero
}

}  // namespace

MifareUid MifareCard::Uid() const { return {{memory[0], memory[1], memory[2], memory[3]}}; }
uint8_t MifareCard::Sak() const { return memory[kSakOffset]; }
int MifareCard::BlockCount() const { return static_cast<int>(memory.size() / kMifareBlockSize); }
int MifareCard::SectorCount() const {
    return BlockCount() <= kSmallAreaBlocks ? BlockCount() / kSmallSectorBlocks
                                            : kSmallSectors4K + (BlockCount() - kSmallAreaBlocks) / kLargeSectorBlocks;
}
int MifareCard::FirstBlock(int sector) const {
    return sector < kSmallSectors4K ? sector * kSmallSectorBlocks
                                    : kSmallAreaBlocks + (sector - kSmallSectors4K) * kLargeSectorBlocks;
}
int MifareCard::TrailerBlock(int sector) const {
    return FirstBlock(sector) + (sector < kSmallSectors4K ? kSmallSectorBlocks : kLargeSectorBlocks) - 1;
}
int MifareCard::SectorOfBlock(int block) const {
    return block < kSmallAreaBlocks ? block / kSmallSectorBlocks
                                    : kSmallSectors4K + (block - kSmallAreaBlocks) / kLargeSectorBlocks;
}
MifareBlock MifareCard::Block(int block) const {
    MifareBlock out{};
    std::copy_n(memory.begin() + block * kMifareBlockSize, kMifareBlockSize, out.begin());
    return out;
}
void MifareCard::SetBlock(int block, const MifareBlock &data) {
    std::copy(data.begin(), data.end(), memory.begin() + block * kMifareBlockSize);
}
MifareKey MifareCard::KeyA(int sector) const {
    MifareKey key{};
    const MifareBlock trailer = Block(TrailerBlock(sector));
    std::copy_n(trailer.begin() + kKeyAOffset, kKeyLength, key.begin());
    return key;
}
void MifareCard::SetKeyA(int sector, const MifareKey &key) {
    MifareBlock trailer = Block(TrailerBlock(sector));
    std::copy(key.begin(), key.end(), trailer.begin() + kKeyAOffset);
    SetBlock(TrailerBlock(sector), trailer);
}

MifareCard MifareBlankCard(const MifareUid &uid, bool classic4K) {
    MifareCard card;
    card.memory.assign(classic4K ? kMifare4KSize : kMifare1KSize, 0);
    uint8_t *block0 = card.memory.data();
    std::copy(uid.begin(), uid.end(), block0 + kUidOffset);
    block0[kBccOffset] = static_cast<uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]);
    block0[kSakOffset] = classic4K ? kMifareSak4K : kMifareSak1K;
    const uint8_t *atqa = classic4K ? kAtqa4K : kAtqa1K;
    std::copy(atqa, atqa + 2, block0 + kAtqaOffset);
    std::copy(std::begin(kManufacturerData), std::end(kManufacturerData), block0 + 8);
    for (int s = 0; s < card.SectorCount(); ++s) {
        MifareBlock trailer{};
        std::fill_n(trailer.begin() + kKeyAOffset, kKeyLength, kTransportKey);
        std::copy(std::begin(kTransportAccessBits), std::end(kTransportAccessBits), trailer.begin() + kAccessOffset);
        std::fill_n(trailer.begin() + kKeyBOffset, kKeyLength, kTransportKey);
        card.SetBlock(card.TrailerBlock(s), trailer);
    }
    return card;
}

bool MifareCardFromDump(const std::vector<uint8_t> &dump, MifareCard *card) {
    if (card == nullptr || (dump.size() != kMifare1KSize && dump.size() != kMifare4KSize)) return false;
    card->memory = dump;
    return true;
}

std::vector<uint8_t> MifareCardToDump(const MifareCard &card) { return card.memory; }

bool LoadMifareCard(const std::string &path, MifareCard *card) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<uint8_t> dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return MifareCardFromDump(dump, card);
}

bool SaveMifareCard(const MifareCard &card, const std::string &path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(card.memory.data()), static_cast<std::streamsize>(card.memory.size()));
    return static_cast<bool>(out);
}

MifareKey MifareSectorKeyFor(const MifareUid &uid, const std::array<uint8_t, 4> &systemPassword) {
    return cardsys::MifareKey(uid, systemPassword);
}

void WriteMifareRecord(MifareCard &card, int sector, const std::array<uint8_t, 48> &image) {
    cardsys::Record plain{};
    std::copy_n(image.begin(), kRecordLength, plain.begin());
    const cardsys::Record sealed = cardsys::SealSerialBound(plain, card.Uid()[0]);
    std::array<uint8_t, 48> stored = image;
    std::copy(sealed.begin(), sealed.end(), stored.begin());
    const int first = card.FirstBlock(sector);
    for (int b = 0; b < 3; ++b) {
        MifareBlock block{};
        std::copy_n(stored.begin() + b * kMifareBlockSize, kMifareBlockSize, block.begin());
        card.SetBlock(first + b, block);
    }
}

bool ReadMifareRecord(const MifareCard &card, int sector, std::array<uint8_t, 48> *image) {
    std::array<uint8_t, 48> stored{};
    const int first = card.FirstBlock(sector);
    for (int b = 0; b < 3; ++b) {
        const MifareBlock block = card.Block(first + b);
        std::copy(block.begin(), block.end(), stored.begin() + b * kMifareBlockSize);
    }
    cardsys::Record sealed{};
    std::copy_n(stored.begin(), kRecordLength, sealed.begin());
    cardsys::Record plain{};
    const bool valid = cardsys::OpenSerialBound(sealed, card.Uid()[0], &plain);
    std::copy(plain.begin(), plain.end(), stored.begin());
    *image = stored;
    return valid;
}

MifareCard MakeFactoryMifareCard(const MifareUid &uid, const std::array<uint8_t, 4> &systemPassword, int sector,
                                 bool classic4K) {
    MifareCard card = MifareBlankCard(uid, classic4K);
    card.SetKeyA(sector, MifareSectorKeyFor(uid, systemPassword));
    WriteMifareRecord(card, sector, ClearedImage());
    return card;
}

void AddMifareSystemPasswordRecord(MifareCard &card, const std::array<uint8_t, 4> &systemPassword,
                                   const std::array<uint8_t, 4> &cardPassword, uint8_t extra, int sector) {
    std::array<uint8_t, 48> image{};
    for (size_t i = 0; i < kExtensionOffset; ++i) image[i] = static_cast<uint8_t>(i);
    std::copy(cardPassword.begin(), cardPassword.end(), image.begin() + kCardPasswordOffset);
    image[kCardPasswordExtraOffset] = extra;
    std::copy(systemPassword.begin(), systemPassword.end(), image.begin() + kSystemPasswordOffset);
    image[kPasswordCardTypeOffset] = kSystemPasswordCardType;
    card.SetKeyA(sector, MifareSectorKeyFor(card.Uid(), systemPassword));
    WriteMifareRecord(card, sector, image);
}

}  // namespace bench
