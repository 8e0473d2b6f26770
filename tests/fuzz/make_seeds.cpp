// Writes the seed corpus of the fuzz targets: cards from the bench's
// personalising stations and cards the library itself issued, open-door logs,
// collector replies, bridges and configuration files, each in the input
// layout its target reads (see the comment at the top of each *_fuzz.cpp).
//
//   cmake --build <dir> --target fuzz_make_seeds
//   <dir>/bin/fuzz_make_seeds tests/fuzz/corpus
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api/encoder_state.h"
#include "codec/codec.h"
#include "collector_bench.h"
#include "ic_bench.h"
#include "kestrane.h"
#include "media/ic4442.h"
#include "media/ic4442_psc.h"
#include "mifare_bench.h"
#include "temic_bench.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::filesystem::path g_root;

void Write(const std::string &target, const std::string &name, const Bytes &bytes) {
    const std::filesystem::path dir = g_root / target;
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Put16(Bytes &b, int v) {
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}
void Append(Bytes &b, const Bytes &more) { b.insert(b.end(), more.begin(), more.end()); }

// ---- card ----

const std::array<uint8_t, 4> kPassword = {{0xD2, 0x19, 0x7E, 0x4B}};  // Pass=4B7E19D2

struct Args {
    int number = 7, flag = 1, typeCode = 3;
    std::array<int, 4> listA{{1, 2, 3, 4}}, listB{{5, 6, 7, 8}}, listC{{9, 10, 11, 12}};
    std::array<int, 12> wide{{101, 102, 103, 104, 1000, 2000, 3000, 4000, 11, 12, 13, 14}};
    std::array<int, 6> start{{2024, 5, 6, 12, 30, 15}}, end{{2024, 5, 8, 12, 0, 0}};
};

Bytes ArgBytes(const Args &a) {
    Bytes b;
    Put16(b, a.number);
    Put16(b, a.flag);
    Put16(b, a.typeCode);
    for (int v : a.listA) Put16(b, v);
    for (int v : a.listB) Put16(b, v);
    for (int v : a.listC) Put16(b, v);
    for (int v : a.wide) Put16(b, v);
    for (int v : a.start) Put16(b, v);
    for (int v : a.end) Put16(b, v);
    return b;
}

Bytes CardHeader(uint8_t selector, uint8_t kind, uint8_t sector) {
    Bytes b = {selector, 0, kind, sector};
    Append(b, Bytes(kPassword.begin(), kPassword.end()));
    Append(b, {3, 0, 0, 0});  // tries, PSC (derived when the keys bit is set)
    return b;
}

void IssueGuest(const Args &a) {
    std::vector<int16_t> serial(8), type = {static_cast<int16_t>(a.typeCode)}, listA(4), listB(4), listC(4),
        wide(12), start(6), end(6);
    for (int i = 0; i < 12; ++i) wide[i] = static_cast<int16_t>(a.wide[i]);
    for (int i = 0; i < 6; ++i) start[i] = static_cast<int16_t>(a.start[i]), end[i] = static_cast<int16_t>(a.end[i]);
    const int16_t r = MakeGuestCard(serial.data(), 0, a.number, listA.data(), listB.data(), wide.data(), a.flag,
                                    type.data(), listC.data(), start.data(), end.data());
    if (r != KS_OK) std::fprintf(stderr, "seed: MakeGuestCard answered %d\n", r);
}

void SetEncoder(int16_t lockType, uint8_t port, uint8_t sector) {
    g_encoder = kInitialEncoderState;
    g_encoder.LockType = lockType;
    g_encoder.medium = MediumFor(g_encoder.LockType);
    g_encoder.PortNumber = port;
    g_encoder.MifareSector = sector;
    std::copy(kPassword.begin(), kPassword.end(), g_encoder.SystemPassword);
}

void CardSeeds() {
    const Args args;
    constexpr uint8_t kKeys = 0x08, kCheck = 0x10, kSeal = 0x04, kNoClear = 0x20;
    // SLE4442: a station card, a guest card the library issued, a system
    // password card, a card with a wrong serial check byte.
    {
        const bench::Sle4442Card blank = bench::MakeIcCard();
        Bytes b = CardHeader(kKeys | kCheck, 2, 1);
        Append(b, Bytes(blank.memory.begin(), blank.memory.end()));
        Append(b, ArgBytes(args));
        Write("card", "ic-station-card", b);

        bench::Reset();
        SetEncoder(kLockIc4442, 2, 1);
        bench::PlaceIcEncoder(2);
        bench::InsertSle4442(blank);
        IcOpen(g_encoder);
        IssueGuest(args);
        const bench::Sle4442Card issued = bench::CurrentSle4442();
        IcClose(g_encoder);
        b = CardHeader(kKeys | kCheck | kNoClear, 2, 1);
        Append(b, Bytes(issued.memory.begin(), issued.memory.end()));
        Append(b, ArgBytes(args));
        Write("card", "ic-guest-card-issued", b);

        bench::Sle4442Card pas = blank;
        uint8_t record[kCardRecordLength + 1] = {};
        for (int i = 0; i < kCardRecordLength; ++i) record[i] = static_cast<uint8_t>(i);
        record[10] = 0x12, record[11] = 0x34, record[12] = 0x56, record[13] = 0x78, record[14] = 0x9A;
        record[24] = 1;
        SealCardRecord(record, SealVariant::SerialBound, pas.memory[kIcSerialAddress]);
        std::copy(record, record + kCardRecordLength, pas.memory.begin() + kIcRecordAddress);
        b = CardHeader(kKeys | kCheck | kNoClear, 9, 1);
        Append(b, Bytes(pas.memory.begin(), pas.memory.end()));
        Append(b, ArgBytes(args));
        Write("card", "ic-system-password-card", b);

        bench::IcCardOptions wrong;
        wrong.wrongSerialCheck = true;
        const bench::Sle4442Card bad = bench::MakeIcCard(wrong);
        b = CardHeader(kKeys, 2, 1);
        Append(b, Bytes(bad.memory.begin(), bad.memory.end()));
        Append(b, ArgBytes(args));
        Write("card", "ic-wrong-serial-check", b);
    }
    // Mifare: a station card, a guest card the library issued (extension
    // block set), a system password card in sector 15, another hotel's card.
    {
        const bench::MifareUid uid = {{0x11, 0x22, 0x33, 0x44}};
        bench::MifareCard card = bench::MakeFactoryMifareCard(uid, kPassword, 1);
        Bytes b = CardHeader(1, 2, 1);
        Append(b, bench::MifareCardToDump(card));
        Append(b, ArgBytes(args));
        Write("card", "mifare-station-card", b);

        bench::Reset();
        SetEncoder(kLockMifare, 3, 1);
        bench::PlaceRc500Reader(3);
        bench::PlaceMifareCard(card);
        IssueGuest(args);
        const bench::MifareCard issued = *bench::CurrentMifareCard();
        b = CardHeader(1 | kNoClear, 2, 1);
        Append(b, bench::MifareCardToDump(issued));
        Append(b, ArgBytes(args));
        Write("card", "mifare-guest-card-issued", b);

        bench::AddMifareSystemPasswordRecord(card, kPassword, {{0x12, 0x34, 0x56, 0x78}}, 0x9A);
        b = CardHeader(1 | kNoClear, 5, 1);
        Append(b, bench::MifareCardToDump(card));
        Append(b, ArgBytes(args));
        Write("card", "mifare-system-password-card", b);

        const bench::MifareCard foreign = bench::MakeFactoryMifareCard(uid, {{1, 2, 3, 4}}, 4);
        b = CardHeader(1, 3, 4);
        Append(b, bench::MifareCardToDump(foreign));
        Append(b, ArgBytes(args));
        Write("card", "mifare-other-hotel", b);
    }
    // TEMIC: a station card, a guest card the library issued, a card whose
    // record is sealed but carries another password.
    {
        const bench::TemicCard card = bench::MakeFactoryTemicCard({{0xA1, 0xB2, 0xC3, 0xD4}}, {{0x5E, 0x6F}}, kPassword);
        Bytes b = CardHeader(2 | kKeys, 2, 1);
        Append(b, bench::TemicCardToDump(card));
        Append(b, ArgBytes(args));
        Write("card", "temic-station-card", b);

        bench::Reset();
        SetEncoder(kLockTemic, 4, 1);
        bench::PlaceTemicEncoder(4);
        bench::PlaceTemicCard(card);
        IssueGuest(args);
        const bench::TemicCard issued = *bench::CurrentTemicCard();
        b = CardHeader(2 | kKeys | kNoClear, 2, 1);
        Append(b, bench::TemicCardToDump(issued));
        Append(b, ArgBytes(args));
        Write("card", "temic-guest-card-issued", b);

        const bench::TemicCard foreign = bench::MakeFactoryTemicCard({{1, 2, 3, 4}}, {{5, 6}}, {{9, 9, 9, 9}});
        b = CardHeader(2 | kKeys | kSeal, 8, 1);
        Append(b, bench::TemicCardToDump(foreign));
        Append(b, ArgBytes(args));
        Write("card", "temic-other-hotel", b);
    }
    Write("card", "no-medium", {3, 0, 2});
    bench::Reset();
}

// ---- open-door logs ----

Bytes LogImage(int valid) {
    std::vector<bench::OpenDoorSlot> slots;
    for (int k = 0; k < valid; ++k)
        slots.push_back(bench::MakeOpenDoorSlot({{0x10, 0x20, 0x30, static_cast<uint8_t>(k)}}, 24, 2 + k % 9,
                                                1 + k % 12, 1 + k % 31, k % 24, k % 60));
    // Slots a lock leaves behind that are not records: kinds 1 and 11, month
    // 13, day 32, minute 60.
    slots.push_back(bench::MakeOpenDoorSlot({{1, 1, 1, 1}}, 24, 1, 5, 5, 5, 5));
    slots.push_back(bench::MakeOpenDoorSlot({{2, 2, 2, 2}}, 24, 11, 5, 5, 5, 5));
    slots.push_back(bench::MakeOpenDoorSlot({{3, 3, 3, 3}}, 24, 5, 13, 5, 5, 5));
    slots.push_back(bench::MakeOpenDoorSlot({{4, 4, 4, 4}}, 24, 5, 5, 32, 5, 5));
    slots.push_back(bench::MakeOpenDoorSlot({{5, 5, 5, 5}}, 24, 5, 5, 5, 25, 60));
    slots.push_back(bench::MakeOpenDoorSlot({{6, 6, 6, 6}}, 9, 10, 12, 31, 25, 59));
    return bench::OpenDoorLogImage({{0x31, 0x32, 0x33}}, slots);
}

void OpenDoorSeeds() {
    const char *names[] = {"collector", "temic-reader", "mifare-reader", "ic-24c64"};
    for (uint8_t source = 0; source < 4; ++source) {
        Bytes b = {source, 0, 2, 0, 0xFF};
        Append(b, LogImage(3));
        Write("open_door", std::string(names[source]) + "-log", b);
    }
    Bytes full = {1 | 0x08, 0, 2, 3, 0xFF};
    Append(full, LogImage(194));  // every slot used: the last one ends past the record area
    Write("open_door", "temic-reader-full-log-after-earlier", full);
    Bytes failing = {2 | 0x04, 0, 7, 0, 0xFF};
    Append(failing, LogImage(5));
    Write("open_door", "mifare-reader-fails-midway", failing);
    Bytes collectorFails = {0 | 0x04 | 0x08, 0, 9, 2, 0xFF};
    Append(collectorFails, LogImage(5));
    Write("open_door", "collector-fails-after-earlier", collectorFails);
}

// ---- collector replies ----

Bytes CollectorInput(uint8_t selector, const std::vector<int> &values, const std::vector<Bytes> &replies) {
    Bytes b = {selector, 0};
    for (int v : values) Put16(b, v);
    for (const Bytes &r : replies) {
        b.push_back(static_cast<uint8_t>(r.size()));
        Append(b, r);
    }
    return b;
}

void CollectorSeeds() {
    const std::vector<int> time = {2009, 12, 31, 23, 59, 58};
    const std::vector<int> room = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const Bytes accept = {0x53, 0, 0, 1}, refuse = {0x53, 0, 0, 0};
    Write("collector", "time-accepted", CollectorInput(0, time, {accept, {}, {}}));
    Write("collector", "time-refused-three-times", CollectorInput(0, time, {refuse, refuse, refuse}));
    Write("collector", "time-noise-then-accepted",
          CollectorInput(0, time, {{0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0x53, 0, 0, 1}, {}, {}}));
    Write("collector", "time-eight-noise-bytes",
          CollectorInput(0, time, {{1, 2, 3, 4, 5, 6, 7, 8, 0x53, 0, 0, 1}, {}, {}}));
    Write("collector", "time-partial-reply", CollectorInput(0, time, {{0x53, 0}, {0, 1}, accept}));
    Write("collector", "time-year-2100", CollectorInput(0, {2100, 1, 1, 0, 0, 0}, {accept, {}, {}}));
    Write("collector", "room-accepted", CollectorInput(1, room, {accept, {}, {}}));
    Write("collector", "room-silent", CollectorInput(1, room, {{}, {}, {}}));
    Write("collector", "room-no-bridge", CollectorInput(1 | 2, room, {accept, {}, {}}));
    Write("collector", "time-other-device", CollectorInput(4, time, {accept, {}, {}}));
    Write("collector", "time-nobody-listening", CollectorInput(6, time, {accept, {}, {}}));
}

// ---- bridges and registry values ----

// A bridge named from the product table; serials of 256 bytes or more set
// the flag that adds 256 to the length byte.
Bytes TableBridge(uint8_t flags, uint8_t choice, const std::string &serial, int com, uint32_t caseMask = 0) {
    if (serial.size() >= 256) flags |= 0x40;
    Bytes b = {flags, choice, static_cast<uint8_t>(caseMask), static_cast<uint8_t>(caseMask >> 8),
               static_cast<uint8_t>(caseMask >> 16), static_cast<uint8_t>(serial.size() & 0xFF)};
    Append(b, Bytes(serial.begin(), serial.end()));
    Put16(b, 0x10C4);
    Put16(b, 0xEA60);
    b.push_back(static_cast<uint8_t>(com));
    return b;
}

void DiscoverySeeds() {
    Bytes b = {0, 0, 1};
    Append(b, TableBridge(0, 0, "PDA1", 3));
    b.push_back(0);
    Write("discovery", "collector", b);

    b = {1, 0, 1};
    Append(b, TableBridge(0, 7, "M1 SERIAL x", 12));
    b.push_back(0);
    Write("discovery", "mifare-lock-encoder-9x", b);

    b = {0, 0, 3};
    Append(b, TableBridge(0, 7, "M1", 4));
    Append(b, TableBridge(1, 0, "PDA-UNREADABLE", 5));  // product read fails
    Append(b, TableBridge(0, 9 + 0, "pda two", 6, 0x0F0F0F));  // product in mixed case
    b.push_back(0);
    Write("discovery", "encoder-and-collectors", b);

    b = {0, 0, 1};
    Append(b, TableBridge(0, 5, std::string(300, 'S'), 7));  // cut to 255 by the bridge library
    b.push_back(1);
    b.push_back(0);  // the bridge's own key
    const std::string port = "COM12";
    b.push_back(static_cast<uint8_t>((port.size() + 1) / 2));
    Append(b, Bytes(port.begin(), port.end()));
    b.push_back(' ');
    Write("discovery", "long-serial-port-name-override", b);

    b = {0, 0, 1};
    Bytes raw = {0, 200, 20};
    const std::string product = "Some Other Device!!!";
    Append(raw, Bytes(product.begin(), product.end()));
    raw.push_back(3);
    Append(raw, {'a', 'b', 'c'});
    Put16(raw, 0x1234);
    Put16(raw, 0x5678);
    raw.push_back(9);
    Append(b, raw);
    b.push_back(0);
    Write("discovery", "unknown-product", b);
}

// ---- configuration files ----

void IniSeeds() {
    auto ini = [](uint8_t selector, uint8_t port, const std::string &text) {
        Bytes b = {selector, port};
        Append(b, Bytes(text.begin(), text.end()));
        return b;
    };
    Write("ini", "ic-com3", ini(0x08, 4, "[Config]\nCommProt=3\nLockType=1\nSector=1\n[SystemInfo]\nPass=4B7E19D2\n"));
    Write("ini", "mifare-sector-12", ini(0, 0, "[Config]\r\nCommProt=0\r\nLockType=4\r\nSector=12\r\n[SystemInfo]\r\nPass=A1B2C3D4\r\n"));
    Write("ini", "temic-lower-case", ini(0, 0, "; front desk\n[config]\ncommprot = 9\nlocktype = 2\nsector = 123\n[systeminfo]\npass = 12\n"));
    Write("ini", "mifare-discovered", ini(0x02, 7, "[Config]\nLockType=4\n"));
    Write("ini", "collector-first", ini(0x06, 7, "[Config]\nCommProt=2\nLockType=4\n"));
    Write("ini", "locktype-out-of-range", ini(0, 0, "[Config]\nLockType=5\n[Config]\nLockType=4\n"));
    Write("ini", "reserved-and-reload", ini(0x18, 1, "[Config]\nLockType=0\nSector=\n[SystemInfo]\nPass=4B7EXXD2\n"));
    Write("ini", "empty", ini(0x08, 1, ""));
    Write("ini", "fuzzed-path", ini(0x01, 0, std::string(300, 'k')));
    Write("ini", "long-value", ini(0, 0, "[Config]\nLockType=" + std::string(100, '4') + "\n[SystemInfo]\nPass=" +
                                             std::string(40, 'F') + "\n"));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_ROOT\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    CardSeeds();
    OpenDoorSeeds();
    CollectorSeeds();
    DiscoverySeeds();
    IniSeeds();
    return 0;
}
