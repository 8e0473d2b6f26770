#include "medium_rig.h"

#include <algorithm>
#include <map>
#include <optional>

#include "test_support.h"

namespace kstest {

namespace {

constexpr int kIcRecordOffset = 32;   // SLE4442 main memory: the record at 32-59
constexpr int kIcSerialOffset = 60;   // serial bytes 60-62, their check byte 63
constexpr int kMifareBlockSize = 16;

}  // namespace

const char *NameOf(Medium m) { return m == Medium::Ic ? "Ic4442" : m == Medium::Temic ? "Temic" : "Mifare"; }

char LockDigit(Medium m) { return m == Medium::Ic ? '1' : m == Medium::Temic ? '2' : '4'; }

std::string MediumIni(char lockDigit, const std::string &sector, int encoderPort) {
    return std::string("[SystemInfo]\nPass=") + kPassText + "\n[Config]\nCommProt=" + std::to_string(encoderPort - 1) +
           "\nLockType=" + lockDigit + "\nSector=" + sector + "\n";
}

std::string WriteIni(const std::string &text) {
    static std::map<std::string, std::string> paths;
    auto it = paths.find(text);
    if (it == paths.end()) {
        const std::string name = "config" + std::to_string(paths.size() + 1) + ".ini";
        it = paths.emplace(text, WriteFile(TempDir(), name, text)).first;
    }
    return it->second;
}

PathBuffer::PathBuffer(const std::string &path) {
    std::copy_n(path.begin(), std::min(path.size(), bytes.size() - 1), bytes.begin());
}

void PlaceEncoder(Medium m, int comPort) {
    if (m == Medium::Ic) bench::PlaceIcEncoder(comPort);
    if (m == Medium::Temic) bench::PlaceTemicEncoder(comPort);
    if (m == Medium::Mifare) bench::PlaceRc500Reader(comPort);
}

Card FactoryCard(Medium m, int variant, const Password &password, int sector) {
    Card c;
    c.medium = m;
    const uint8_t v = static_cast<uint8_t>(variant);
    if (m == Medium::Ic) {
        bench::IcCardOptions o;
        o.serial = {{static_cast<uint8_t>(0x5A + v), 0x12, 0x34}};
        c.ic = bench::MakeIcCard(o);
    }
    if (m == Medium::Temic)
        c.temic = bench::MakeFactoryTemicCard({{0xE0, 0x01, 0x02, v}}, {{static_cast<uint8_t>(0xC1 + v), 0xC2}},
                                              password);
    if (m == Medium::Mifare)
        c.mifare = bench::MakeFactoryMifareCard({{static_cast<uint8_t>(0x11 + v), 0x22, 0x33, 0x44}}, password, sector);
    return c;
}

void Insert(const Card &c) {
    if (c.medium == Medium::Ic) bench::InsertSle4442(c.ic);
    if (c.medium == Medium::Temic) bench::PlaceTemicCard(c.temic);
    if (c.medium == Medium::Mifare) bench::PlaceMifareCard(c.mifare);
}

Card Current(Medium m) {
    Card c;
    c.medium = m;
    if (m == Medium::Ic) c.ic = bench::CurrentSle4442();
    if (m == Medium::Temic) c.temic = bench::CurrentTemicCard().value_or(bench::TemicCard{});
    if (m == Medium::Mifare) c.mifare = bench::CurrentMifareCard().value_or(bench::MifareCard{});
    return c;
}

Card Take(Medium m) {
    Card c = Current(m);
    if (m == Medium::Ic) bench::RemoveIcCard();
    if (m == Medium::Temic) bench::TakeTemicCard();
    if (m == Medium::Mifare) bench::TakeMifareCard();
    return c;
}

std::vector<uint8_t> MemoryOf(const Card &c) {
    if (c.medium == Medium::Ic) return std::vector<uint8_t>(c.ic.memory.begin(), c.ic.memory.end());
    if (c.medium == Medium::Temic) return bench::TemicCardToDump(c.temic);
    return c.mifare.memory;
}

std::vector<uint8_t> CardBytes(Medium m) {
    Card c;
    c.medium = m;
    if (m == Medium::Ic) {
        const auto card = bench::IcCardPresent() ? std::optional<bench::Sle4442Card>(bench::CurrentSle4442())
                                                 : bench::LastRemovedSle4442();
        if (!card) return {};
        c.ic = *card;
        std::vector<uint8_t> bytes = MemoryOf(c);
        bytes.push_back(static_cast<uint8_t>(card->triesLeft));
        return bytes;
    }
    if (m == Medium::Temic) {
        auto card = bench::CurrentTemicCard();
        if (!card) card = bench::LastRemovedTemicCard();
        if (!card) return {};
        c.temic = *card;
    } else {
        auto card = bench::CurrentMifareCard();
        if (!card) card = bench::LastRemovedMifareCard();
        if (!card) return {};
        c.mifare = *card;
    }
    return MemoryOf(c);
}

CardRecord RawRecord(const Card &c, int sector) {
    CardRecord r{};
    if (c.medium == Medium::Ic)
        std::copy_n(c.ic.memory.begin() + kIcRecordOffset, r.size(), r.begin());
    if (c.medium == Medium::Temic) r = bench::TemicRawRecord(c.temic);
    if (c.medium == Medium::Mifare)
        std::copy_n(c.mifare.memory.begin() + kMifareBlockSize * 4 * sector, r.size(), r.begin());
    return r;
}

void SetRawRecord(Card &c, const CardRecord &r, int sector) {
    if (c.medium == Medium::Ic) std::copy(r.begin(), r.end(), c.ic.memory.begin() + kIcRecordOffset);
    if (c.medium == Medium::Temic) {
        for (int b = 0; b < 7; ++b)
            std::copy_n(r.begin() + bench::kTemicBlockSize * b, bench::kTemicBlockSize,
                        c.temic.blocks[bench::kTemicFirstUserBlock + b].begin());
    }
    if (c.medium == Medium::Mifare)
        std::copy(r.begin(), r.end(), c.mifare.memory.begin() + kMifareBlockSize * 4 * sector);
}

uint8_t SealSerialByte(const Card &c) {
    return c.medium == Medium::Ic ? c.ic.memory[kIcSerialOffset] : c.mifare.Uid()[0];
}

void MakeSystemPasswordCard(Card &c, const Password &cardPassword, uint8_t extra, const Password &password,
                            int sector) {
    if (c.medium == Medium::Mifare) {
        bench::AddMifareSystemPasswordRecord(c.mifare, password, cardPassword, extra, sector);
        return;
    }
    CardRecord plain = DecipherRecord(RawRecord(c));
    for (int i = 0; i < 25; ++i) plain[i] = static_cast<uint8_t>(i);
    std::copy(cardPassword.begin(), cardPassword.end(), plain.begin() + 10);
    plain[14] = extra;
    std::copy(password.begin(), password.end(), plain.begin() + 20);
    plain[24] = 1;
    if (c.medium == Medium::Ic) {
        SetRawRecord(c, SealSerialBound(plain, SealSerialByte(c)));
    } else {
        bench::WriteTemicRecord(c.temic, plain);  // keeps the card's identity bytes 25-26 left in `plain`
    }
}

}  // namespace kstest
