// What the benchmarks and the allocation test share: an encoder of each
// medium on the bench with factory cards for it, the host's argument arrays
// of the card family, and a replayer that sends the vendor calls one export
// made (as the bench's call log recorded them) straight to the bench's vendor
// functions, so the bench's own cost can be measured without the library.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bench.h"
#include "ic_bench.h"
#include "mifare_bench.h"
#include "temic_bench.h"

namespace rig {

enum class Medium { Ic, Temic, Mifare };
constexpr Medium kMedia[] = {Medium::Ic, Medium::Temic, Medium::Mifare};
const char *NameOf(Medium m);

constexpr int kEncoderPort = 4;
constexpr int kCollectorPort = 6;
constexpr int kIButtonPort = 1;
constexpr int kSector = 1;
// [SystemInfo] Pass of the configuration, and the SystemPassword it gives.
constexpr const char *kPassText = "4B7E19D2";
constexpr std::array<uint8_t, 4> kHotelPassword = {{0xD2, 0x19, 0x7E, 0x4B}};

// A configuration file for the medium (encoder on kEncoderPort), as the
// host's path buffer for EncodeInit.
struct ConfigPath {
    char buffer[256];
};
ConfigPath WriteConfig(Medium m);
// Writes the configuration and runs EncodeInit with it. The encoder itself
// must be placed first (PlaceEncoder).
int16_t Configure(Medium m);
void PlaceEncoder(Medium m);

// A card of any medium, held outside the encoder.
struct Card {
    Medium medium;
    bench::Sle4442Card ic;
    bench::TemicCard temic;
    bench::MifareCard mifare;
};
// A cleared card from the personalising station; `variant` gives it its own identity.
Card FactoryCard(Medium m, int variant = 0);
void Insert(const Card &card);
// Takes the card out of the encoder as it is now.
Card Take(Medium m);

// The host's arrays for the 11-argument card family: a guest card for room
// 0x0102, valid for a year.
struct CardArgs {
    int16_t cardSerial[8];
    int16_t number;
    int16_t listA[4], listB[4], wideList[12];
    int16_t optionFlag;
    int16_t typeCode[1];
    int16_t listC[4];
    int16_t startTime[6], endTime[5];
    // Output arrays of ReadCard.
    int16_t readNumber[1], readOption[1];
    void Reset();  // the values a host passes (issuing turns the years into 2-digit ones)
};
int16_t MakeGuest(CardArgs &a);
int16_t Read(CardArgs &a);
int16_t Clear(CardArgs &a);

// ---------------------------------------------------------------------------
// Replay of recorded vendor calls.
struct ReplayStep {
    int fn;                       // index into the replayer's table
    int64_t args[6];              // the scalar arguments as logged
    std::vector<uint8_t> data;    // the bytes the call carried in (writes) or out (reads)
};
using Replay = std::vector<ReplayStep>;
// Turns a call log into steps; false (and the function's name) when a call
// is not one the replayer can make.
bool CompileReplay(const std::vector<bench::Call> &log, Replay *out, std::string *unknown);
// Makes the calls, in order, against the bench's vendor functions.
void RunReplay(const Replay &replay);
// Bytes that crossed the vendor calls (the data of every call in the log).
size_t PayloadBytes(const std::vector<bench::Call> &log);

}  // namespace rig
