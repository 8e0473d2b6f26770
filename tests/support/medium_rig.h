// A medium on the bench as the card tests set it up: a configuration file for
// EncodeInit, the encoder on its port, factory cards of this hotel, and the
// card's bytes read back from the bench.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ic_bench.h"
#include "kestrane.h"
#include "mifare_bench.h"
#include "record_codec.h"
#include "temic_bench.h"

namespace kstest {

enum class Medium { Ic, Temic, Mifare };
constexpr Medium kMedia[] = {Medium::Ic, Medium::Temic, Medium::Mifare};
const char *NameOf(Medium m);
// The INI digit of the medium's LockType (the digit plus one is the LockType).
char LockDigit(Medium m);

constexpr int kEncoderPort = 4;  // CommProt digit 3
constexpr int kSector = 1;
constexpr int kSystemSector = 15;  // where a Mifare system password card keeps its record
constexpr const char *kPassText = "4B7E19D2";
using Password = std::array<uint8_t, 4>;
// The configured Pass as the cards carry it: the last two digits first.
constexpr Password kHotelPassword = {{0xD2, 0x19, 0x7E, 0x4B}};

// A configuration with Pass kPassText, this LockType digit and Sector value,
// and CommProt for the encoder's COM port.
std::string MediumIni(char lockDigit, const std::string &sector = std::to_string(kSector),
                      int encoderPort = kEncoderPort);
// A file of the temporary directory holding `text` (one file per text).
std::string WriteIni(const std::string &text);

// The host's path buffer: 255 bytes at least, ours has room to spare.
// EncodeInit writes the chosen COM port into byte 1.
struct PathBuffer {
    explicit PathBuffer(const std::string &path);
    char *get() { return bytes.data(); }
    int port() const { return static_cast<uint8_t>(bytes[1]); }
    std::array<char, 300> bytes{};
};

// EncodeInit with a configuration file holding `iniText`; the port it hands
// back in the path buffer goes to *port.
inline int16_t EncodeInitWith(const std::string &iniText, int *port = nullptr) {
    PathBuffer path(WriteIni(iniText));
    const int16_t result = EncodeInit(path.get());
    if (port != nullptr) *port = path.port();
    return result;
}

void PlaceEncoder(Medium m, int comPort = kEncoderPort);

// A card of any medium, held outside the encoder.
struct Card {
    Medium medium = Medium::Ic;
    bench::Sle4442Card ic;
    bench::TemicCard temic;
    bench::MifareCard mifare;
};
// A cleared card of the hotel `password` from the personalising station;
// `variant` gives it its own identity (IC serial 5A+v 12 34, TEMIC identity
// C1+v C2, Mifare UID 11+v 22 33 44); Mifare cards are keyed in `sector`.
Card FactoryCard(Medium m, int variant = 0, const Password &password = kHotelPassword, int sector = kSector);
void Insert(const Card &card);
// The card in the encoder as it is now, taken out or left in.
Card Take(Medium m);
Card Current(Medium m);
// Every byte of the card's memory (the TEMIC card as its dump).
std::vector<uint8_t> MemoryOf(const Card &card);
// The card in the encoder, or the one a RemoveCard fault took out last, with
// the SLE4442's PSC error counter after its memory (a fault must never cost a
// card one of its tries); empty when there is none.
std::vector<uint8_t> CardBytes(Medium m);

// The 28 record bytes as the card holds them (enciphered); Mifare: in `sector`.
CardRecord RawRecord(const Card &card, int sector = kSector);
void SetRawRecord(Card &card, const CardRecord &raw, int sector = kSector);
// The first serial byte a serial-bound medium (IC, Mifare) seals the record to.
uint8_t SealSerialByte(const Card &card);
// Makes the card a system password card (record type 1) handing over
// `cardPassword` and `extra`, written for the hotel `password`; every other
// record byte its own offset. Mifare cards hold it in `sector`.
void MakeSystemPasswordCard(Card &card, const Password &cardPassword, uint8_t extra,
                            const Password &password = kHotelPassword, int sector = kSystemSector);

}  // namespace kstest
