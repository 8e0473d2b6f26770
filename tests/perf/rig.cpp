#include "rig.h"

#include <cstring>

#include "media/vendor/clsic32.h"
#include "media/vendor/cp2101.h"
#include "media/vendor/ibfs32.h"
#include "media/vendor/mwic_32.h"
#include "media/vendor/rc500_232.h"

namespace rig {

kstest::PathBuffer ConfigFor(kstest::Medium m) {
    return kstest::PathBuffer(kstest::WriteIni(kstest::MediumIni(kstest::LockDigit(m))));
}

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
