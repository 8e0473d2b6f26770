// The bench folder: the bench's devices and cards kept on disk, so that one
// process (the kestrane tool, a demo) issues a card and the next reads it.
//
//   bench.ini      manifest: the medium, the encoder's COM port (and its USB
//                  bridge, if any), the installation's password and sector,
//                  the card in the encoder, the collector, the iButton, the cards
//   config.ini     the configuration file for EncodeInit, matching the manifest
//   registry.ini   (natively) the registry file port discovery reads
//   cards/NAME.*   one file per card: .sle4442 (text), .mfd (1024-byte Mifare
//                  dump), .temic (40-byte AT88RF256 dump)
//                  and .log for a data card (its open-door log, as text)
//   collector.log  the collector's open-door log, as text
//
// A process loads the folder named by KESTRANE_BENCH when the library makes
// its first vendor call (a first-call hook), and writes back what changed,
// the inserted card and what the collector was told, after every vendor
// call. Without the variable nothing is loaded or saved: tests keep
// everything in memory. A program that calls bench::Reset() before its first
// vendor call (every test program) is never given the folder either, and a
// Reset() after a load detaches the folder: nothing more is saved to it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "bench.h"
#include "collector_bench.h"
#include "ic_bench.h"
#include "mifare_bench.h"
#include "temic_bench.h"

namespace bench {

constexpr const char *kBenchFolderVariable = "KESTRANE_BENCH";
constexpr const char *kBenchManifestFile = "bench.ini";
constexpr const char *kBenchConfigFile = "config.ini";
constexpr const char *kBenchRegistryFile = "registry.ini";
constexpr const char *kBenchLogFile = "collector.log";

enum class BenchMedium { Ic4442, Temic, Mifare };
BENCH_API const char *BenchMediumName(BenchMedium medium);  // "ic", "temic", "mifare"
BENCH_API bool BenchMediumFromName(const std::string &name, BenchMedium *medium);

struct BenchCardEntry {
    std::string name;
    std::string type;  // "sle4442", "mifare", "temic", or "data" (an open-door log, as collector.log)
    std::string file;  // relative to the folder
};

struct BenchManifest {
    BenchMedium medium = BenchMedium::Ic4442;
    int encoderPort = 3;
    std::string encoderBridge;  // serial of the USB bridge in front of the encoder; empty: plain COM port
    std::string pass = "4B7E19D2";  // the installation's password as [SystemInfo] Pass writes it
    int sector = 1;
    std::string inserted;  // card in the encoder; empty: none
    std::vector<BenchCardEntry> cards;
    int nextCard = 1;      // number of the next card made

    bool collector = false;
    int collectorPort = 0;
    std::string collectorBridge;
    std::string collectorClock;  // what the collector was last told (information only)
    std::string collectorRoom;

    bool windows9x = false;      // natively: the platform reports the Windows 9x family

    int ibuttonPort = 0;         // 0: no iButton reader
    std::string ibuttonRom;      // hex, the key held against it; empty: none

    const BenchCardEntry *Card(const std::string &name) const {
        for (const BenchCardEntry &c : cards)
            if (c.name == name) return &c;
        return nullptr;
    }
};

// SystemPassword bytes 0-3 from a Pass text (its last two digits are byte 0).
BENCH_API std::array<uint8_t, 4> BenchSystemPassword(const std::string &pass);

BENCH_API bool ReadBenchManifest(const std::string &dir, BenchManifest *manifest, std::string *error);
BENCH_API bool WriteBenchManifest(const std::string &dir, const BenchManifest &manifest, std::string *error);
// config.ini for EncodeInit: CommProt, LockType, Sector, Pass from the manifest.
BENCH_API bool WriteBenchConfig(const std::string &dir, const BenchManifest &manifest, std::string *error);

// A card as its file holds it.
struct BenchCard {
    std::string type;  // "sle4442", "mifare", "temic"
    Sle4442Card sle;
    MifareCard mifare;
    TemicCard temic;
};
BENCH_API bool LoadBenchCard(const std::string &dir, const BenchCardEntry &entry, BenchCard *card,
                             std::string *error);
BENCH_API bool SaveBenchCard(const std::string &dir, const BenchCardEntry &entry, const BenchCard &card,
                             std::string *error);
// The card's memory as bytes (SLE4442: main memory; Mifare: the dump; TEMIC: blocks 0-9).
BENCH_API std::vector<uint8_t> BenchCardMemory(const BenchCard &card);
// The card's plain record (bytes 0-27; on Mifare 0-47 with the extension
// block), opened with this system's rules; false when its check bytes fail.
BENCH_API bool OpenBenchCardRecord(const BenchCard &card, int mifareSector, std::vector<uint8_t> *record);

// Seals and writes a plain record onto a card as this system's issuing
// station would (SLE4442: 28 bytes at 32-59 bound to serial byte 60; TEMIC:
// 28 bytes, trailing check byte; Mifare: 48 bytes into `mifareSector`).
BENCH_API void WriteBenchCardRecord(BenchCard &card, int mifareSector, const std::vector<uint8_t> &plain);

// The collector's log file: header bytes and record slots, as text.
struct BenchLog {
    std::array<uint8_t, 3> header{};
    std::vector<OpenDoorSlot> slots;
};
BENCH_API bool ReadBenchLog(const std::string &path, BenchLog *log, std::string *error);
BENCH_API bool WriteBenchLog(const std::string &path, const BenchLog &log, std::string *error);

// Puts the folder's devices and cards on the bench of this process. Done once
// per process (a second call for the same folder does nothing).
BENCH_API bool LoadBenchFolder(const std::string &dir, std::string *error);
// Writes back what changed since the load: the inserted card's file and the
// collector's clock and room in the manifest. Nothing when no folder is loaded.
BENCH_API bool SaveBenchFolder(std::string *error);
// The folder loaded in this process, or "".
BENCH_API std::string LoadedBenchFolder();

}  // namespace bench
