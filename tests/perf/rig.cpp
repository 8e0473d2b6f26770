#include "rig.h"

#include <cstring>

#include "kestrane.h"
#include "media/vendor/clsic32.h"
#include "media/vendor/cp2101.h"
#include "media/vendor/ibfs32.h"
#include "media/vendor/mwic_32.h"
#include "media/vendor/rc500_232.h"
#include "test_support.h"

namespace rig {

const char *NameOf(Medium m) {
    switch (m) {
        case Medium::Ic: return "Ic4442";
        case Medium::Temic: return "Temic";
        case Medium::Mifare: return "Mifare";
    }
    return "?";
}

void PlaceEncoder(Medium m) {
    if (m == Medium::Ic) bench::PlaceIcEncoder(kEncoderPort);
    if (m == Medium::Temic) bench::PlaceTemicEncoder(kEncoderPort);
    if (m == Medium::Mifare) bench::PlaceRc500Reader(kEncoderPort);
}

ConfigPath WriteConfig(Medium m) {
    const char lockDigit = m == Medium::Ic ? '1' : m == Medium::Temic ? '2' : '4';
    // CommProt is the port index: the digit plus one is the COM number.
    const std::string ini = std::string("[SystemInfo]\nPass=") + kPassText + "\n[Config]\nLockType=" + lockDigit +
                            "\nSector=" + std::to_string(kSector) + "\nCommProt=" + std::to_string(kEncoderPort - 1) +
                            "\n";
    static int configs = 0;
    const std::string path =
        kstest::WriteFile(kstest::TempDir(), "perf" + std::to_string(++configs) + ".ini", ini);
    ConfigPath config{};
    std::strncpy(config.buffer, path.c_str(), sizeof config.buffer - 1);
    return config;
}

int16_t Configure(Medium m) {
    ConfigPath config = WriteConfig(m);
    return EncodeInit(config.buffer);  // byte 1 of the buffer comes back as the port
}

Card FactoryCard(Medium m, int variant) {
    Card c{m, {}, {}, {}};
    const uint8_t v = static_cast<uint8_t>(variant);
    if (m == Medium::Ic) {
        bench::IcCardOptions o;
        o.serial = {{static_cast<uint8_t>(0x5A + v), 0x12, 0x34}};
        c.ic = bench::MakeIcCard(o);
    }
    if (m == Medium::Temic)
        c.temic = bench::MakeFactoryTemicCard({{0xE0, 0x01, 0x02, v}}, {{static_cast<uint8_t>(0xC1 + v), 0xC2}},
                                              kHotelPassword);
    if (m == Medium::Mifare)
        c.mifare = bench::MakeFactoryMifareCard({{static_cast<uint8_t>(0x11 + v), 0x22, 0x33, 0x44}}, kHotelPassword,
                                                kSector);
    return c;
}

void Insert(const Card &c) {
    if (c.medium == Medium::Ic) bench::InsertSle4442(c.ic);
    if (c.medium == Medium::Temic) bench::PlaceTemicCard(c.temic);
    if (c.medium == Medium::Mifare) bench::PlaceMifareCard(c.mifare);
}

Card Take(Medium m) {
    Card c{m, {}, {}, {}};
    if (m == Medium::Ic) {
        c.ic = bench::CurrentSle4442();
        bench::RemoveIcCard();
    }
    if (m == Medium::Temic) c.temic = bench::TakeTemicCard().value_or(bench::TemicCard{});
    if (m == Medium::Mifare) c.mifare = bench::TakeMifareCard().value_or(bench::MifareCard{});
    return c;
}

void CardArgs::Reset() {
    *this = CardArgs{};
    number = 0;
    optionFlag = 1;
    const int16_t wide[12] = {0x0102, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4};
    std::memcpy(wideList, wide, sizeof wide);
    const int16_t start[6] = {2025, 6, 1, 12, 0, 0};
    const int16_t end[5] = {2026, 6, 1, 12, 0};
    std::memcpy(startTime, start, sizeof start);
    std::memcpy(endTime, end, sizeof end);
}

int16_t MakeGuest(CardArgs &a) {
    return MakeGuestCard(a.cardSerial, 0, a.number, a.listA, a.listB, a.wideList, a.optionFlag, a.typeCode, a.listC,
                         a.startTime, a.endTime);
}

int16_t Read(CardArgs &a) {
    return ReadCard(a.cardSerial, 0, a.readNumber, a.listA, a.listB, a.wideList, a.readOption, a.typeCode, a.listC,
                    a.startTime, a.endTime);
}

int16_t Clear(CardArgs &a) { return ClearCardData(a.cardSerial); }

// ---------------------------------------------------------------------------
// Replay.

namespace {

// Room for whatever a vendor call hands out: an open-door log, 8 KiB of 24C64.
constexpr size_t kScratch = 8192;
uint8_t g_scratch[kScratch];

void *Handle(int64_t v) { return reinterpret_cast<void *>(static_cast<uintptr_t>(v)); }

const uint8_t *In(const ReplayStep &s) { return s.data.empty() ? g_scratch : s.data.data(); }

// The replayer's table: each entry makes one vendor call from a logged step.
// The arguments the log leaves out are the buffers (supplied here) and the
// TEMIC access code, which is the system's fixed one.
struct Entry {
    const char *name;
    void (*call)(const ReplayStep &s);
};

const Entry kTable[] = {
    // MWIC_32
    {"ic_init", [](const ReplayStep &s) { ic_init(int16_t(s.args[0]), int32_t(s.args[1])); }},
    {"ic_exit", [](const ReplayStep &s) { ic_exit(int32_t(s.args[0])); }},
    {"srd_4442", [](const ReplayStep &s) { srd_4442(int32_t(s.args[0]), int16_t(s.args[1]), int16_t(s.args[2]), g_scratch); }},
    {"swr_4442", [](const ReplayStep &s) { swr_4442(int32_t(s.args[0]), int16_t(s.args[1]), int16_t(s.args[2]), In(s)); }},
    {"csc_4442", [](const ReplayStep &s) { csc_4442(int32_t(s.args[0]), int16_t(s.args[1]), In(s)); }},
    {"dv_beep", [](const ReplayStep &s) { dv_beep(int32_t(s.args[0]), int16_t(s.args[1])); }},
    {"chk_24c64", [](const ReplayStep &s) { chk_24c64(int32_t(s.args[0])); }},
    {"srd_24c64", [](const ReplayStep &s) { srd_24c64(int32_t(s.args[0]), int16_t(s.args[1]), int16_t(s.args[2]), g_scratch); }},
    // RC500_232
    {"RC500_232_init", [](const ReplayStep &s) { RC500_232_init(int16_t(s.args[0]), int32_t(s.args[1])); }},
    {"RC500_232_config", [](const ReplayStep &) { RC500_232_config(); }},
    {"RC500_232_request", [](const ReplayStep &s) { RC500_232_request(uint8_t(s.args[0]), g_scratch); }},
    {"RC500_232_anticoll", [](const ReplayStep &s) {
         uint32_t serial = 0;
         RC500_232_anticoll(uint8_t(s.args[0]), &serial);
     }},
    {"RC500_232_select", [](const ReplayStep &s) { RC500_232_select(uint32_t(s.args[0]), g_scratch); }},
    {"RC500_232_authkey", [](const ReplayStep &s) { RC500_232_authkey(uint8_t(s.args[0]), uint8_t(s.args[1]), In(s)); }},
    {"RC500_232_read", [](const ReplayStep &s) { RC500_232_read(uint8_t(s.args[0]), g_scratch); }},
    {"RC500_232_write", [](const ReplayStep &s) { RC500_232_write(uint8_t(s.args[0]), In(s)); }},
    {"RC500_232_reset", [](const ReplayStep &s) { RC500_232_reset(uint8_t(s.args[0])); }},
    {"RC500_232_close", [](const ReplayStep &) { RC500_232_close(); }},
    {"RC500_232_exit", [](const ReplayStep &) { RC500_232_exit(); }},
    // clsic32: TEMIC encoder
    {"InitCommDev", [](const ReplayStep &s) { InitCommDev(int32_t(s.args[0])); }},
    {"Command57", [](const ReplayStep &s) {
         uint8_t block[bench::kTemicBlockSize] = {};
         if (!s.data.empty()) std::memcpy(block, s.data.data(), sizeof block);
         Command57(int32_t(s.args[0]), int32_t(s.args[1]), bench::kTemicSystemAccessCode.data(), int32_t(s.args[2]),
                   int32_t(s.args[3]), uint8_t(s.args[4]), block);
     }},
    {"CloseCommDev", [](const ReplayStep &s) { CloseCommDev(uint8_t(s.args[0])); }},
    {"AT88RF256_12_Beep", [](const ReplayStep &s) { AT88RF256_12_Beep(int16_t(s.args[0])); }},
    // clsic32: data-card readers and the collector's serial line
    {"AT88RF256_12_OpenCommPort", [](const ReplayStep &s) { AT88RF256_12_OpenCommPort(int16_t(s.args[0])); }},
    {"AT88RF256_12_ReadDataCard", [](const ReplayStep &) { AT88RF256_12_ReadDataCard(g_scratch); }},
    {"AT88RF256_12_CloseCommPort", [](const ReplayStep &) { AT88RF256_12_CloseCommPort(); }},
    {"M1_OpenCommPort", [](const ReplayStep &s) { M1_OpenCommPort(int16_t(s.args[0])); }},
    {"M1_ReadDataCard", [](const ReplayStep &) { M1_ReadDataCard(g_scratch); }},
    {"M1_CloseCommPort", [](const ReplayStep &) { M1_CloseCommPort(); }},
    {"OpenPort", [](const ReplayStep &s) { OpenPort(int16_t(s.args[0]), int32_t(s.args[1])); }},
    {"SendData", [](const ReplayStep &s) { SendData(In(s), int32_t(s.args[0])); }},
    {"WaitForCommRxd", [](const ReplayStep &) { WaitForCommRxd(); }},
    {"ReceiveOneByte", [](const ReplayStep &) { ReceiveOneByte(g_scratch); }},
    {"PDA_RcvOpenDoorData", [](const ReplayStep &) { PDA_RcvOpenDoorData(g_scratch); }},
    {"ClosePort", [](const ReplayStep &) { ClosePort(); }},
    // IBFS32
    {"TMExtendedStartSession", [](const ReplayStep &s) {
         int16_t options[16] = {};
         TMExtendedStartSession(int16_t(s.args[0]), int16_t(s.args[1]), s.args[2] ? options : nullptr);
     }},
    {"TMSetup", [](const ReplayStep &s) { TMSetup(int32_t(s.args[0])); }},
    {"TMTouchReset", [](const ReplayStep &s) { TMTouchReset(int32_t(s.args[0])); }},
    {"TMTouchByte", [](const ReplayStep &s) { TMTouchByte(int32_t(s.args[0]), int16_t(s.args[1])); }},
    {"TMEndSession", [](const ReplayStep &s) { TMEndSession(int32_t(s.args[0])); }},
    // CP2101
    {"CP2101_GetNumDevices", [](const ReplayStep &) {
         uint32_t count = 0;
         CP2101_GetNumDevices(&count);
     }},
    {"CP2101_Open", [](const ReplayStep &s) {
         void *handle = nullptr;
         CP2101_Open(uint32_t(s.args[0]), &handle);
     }},
    {"CP2101_Close", [](const ReplayStep &s) { CP2101_Close(Handle(s.args[0])); }},
    {"CP2101_GetDeviceProductString", [](const ReplayStep &s) {
         uint8_t length = 0;
         CP2101_GetDeviceProductString(Handle(s.args[0]), reinterpret_cast<char *>(g_scratch), &length,
                                       int32_t(s.args[1]));
     }},
    {"CP2101_GetDeviceSerialNumber", [](const ReplayStep &s) {
         uint8_t length = 0;
         CP2101_GetDeviceSerialNumber(Handle(s.args[0]), reinterpret_cast<char *>(g_scratch), &length,
                                      int32_t(s.args[1]));
     }},
    {"CP2101_GetDeviceVid", [](const ReplayStep &s) {
         uint16_t vid = 0;
         CP2101_GetDeviceVid(Handle(s.args[0]), &vid);
     }},
    {"CP2101_GetDevicePid", [](const ReplayStep &s) {
         uint16_t pid = 0;
         CP2101_GetDevicePid(Handle(s.args[0]), &pid);
     }},
};

}  // namespace

bool CompileReplay(const std::vector<bench::Call> &log, Replay *out, std::string *unknown) {
    out->clear();
    for (const bench::Call &call : log) {
        int fn = -1;
        for (size_t i = 0; i < sizeof(kTable) / sizeof(kTable[0]); ++i)
            if (call.fn == kTable[i].name) fn = static_cast<int>(i);
        if (fn < 0) {
            if (unknown != nullptr) *unknown = call.fn;
            return false;
        }
        ReplayStep step{fn, {}, call.data};
        for (size_t i = 0; i < call.args.size() && i < 6; ++i) step.args[i] = call.args[i];
        out->push_back(std::move(step));
    }
    return true;
}

void RunReplay(const Replay &replay) {
    for (const ReplayStep &step : replay) kTable[step.fn].call(step);
}

size_t PayloadBytes(const std::vector<bench::Call> &log) {
    size_t n = 0;
    for (const bench::Call &call : log) n += call.data.size();
    return n;
}

}  // namespace rig
