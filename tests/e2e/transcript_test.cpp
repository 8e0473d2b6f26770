// The library's whole conversation with the vendor libraries, recorded once
// and compared on every run: a fixed walk of every export on every LockType
// (before any EncodeInit, none, reserved, IC 4442, TEMIC, Mifare, out of
// range), each step with its result, the host's arrays it hands back and
// every vendor call it made (arguments, bytes, result). Any refactor that
// changes one call, byte or result shows up here as the first differing line.
//
// KS_WRITE_TRANSCRIPT=1 writes the file instead of comparing (only for a
// change of behaviour that is meant, in a commit that says so).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"
#include "card_args.h"
#include "collector_bench.h"
#include "datacard_bench.h"
#include "ibutton_bench.h"
#include "kestrane.h"
#include "medium_rig.h"

namespace {

using namespace kstest;

const std::string kTranscriptPath = std::string(KS_SOURCE_DIR) + "/tests/vectors/transcript.txt";
constexpr int kCollectorPort = 6;
constexpr int kIButtonPort = 2;

std::ostringstream out;

std::string Hex(int64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(v & 0xFFFF));
    return text;
}

template <size_t N>
std::string Values(const int16_t (&a)[N]) {
    std::string s;
    for (int16_t v : a) s += " " + std::to_string(v);
    return s;
}

// One export call: its result, the named host arrays and the vendor calls.
void Step(const std::string &what, int16_t result, const std::string &arrays = "") {
    out << "== " << what << " -> " << Hex(result) << "\n";
    if (!arrays.empty()) out << "   host" << arrays << "\n";
    for (const bench::Call &c : bench::CallLog()) {
        out << "   " << c.fn << "(";
        for (size_t i = 0; i < c.args.size(); ++i) out << (i ? "," : "") << c.args[i];
        out << ")";
        if (!c.data.empty()) {
            out << " [";
            for (uint8_t b : c.data) out << Hex(b >> 4) << Hex(b & 15);
            out << "]";
        }
        out << " = " << c.result << (c.faulted ? " faulted" : "") << "\n";
    }
    bench::ClearCallLog();
}

std::vector<uint8_t> DataLog() {
    return bench::OpenDoorLogImage({{7, 8, 9}}, {bench::MakeOpenDoorSlot({{1, 2, 3, 4}}, 26, 3, 5, 6, 7, 8),
                                                 bench::MakeOpenDoorSlot({{5, 6, 7, 8}}, 27, 15, 1, 1, 1, 1),
                                                 bench::MakeOpenDoorSlot({{9, 9, 9, 9}}, 28, 10, 12, 31, 23, 59)});
}

void DrainRecords(const std::string &where) {
    for (int i = 0; i < 4; ++i) {
        int16_t header[1] = {}, u[1] = {}, list[6] = {}, kind[1] = {}, time[5] = {}, bytes[4] = {};
        const int16_t r = ReadOneOpenDoorRecord(header, u, u, u, list, kind, time, bytes);
        Step(where + " ReadOneOpenDoorRecord", r,
             Values(header) + " |" + Values(list) + " |" + Values(kind) + " |" + Values(time) + " |" + Values(bytes));
        if (r != KS_OK) break;
    }
}

void ReadBack(const std::string &where) {
    ReadOutputs o;
    const int16_t r = o.Read();
    std::string arrays;
    for (const auto &slot : o.Slots()) arrays += " " + std::to_string(slot.second);
    Step(where + " ReadCard", r, arrays);
}

// Every export once, with the medium's devices and cards on the bench when
// there is a medium.
void Walk(const std::string &name, char lockDigit, std::optional<Medium> m) {
    const std::string at = "[" + name + "]";
    bench::Reset();
    if (m) PlaceEncoder(*m);
    if (lockDigit != 0) {
        PathBuffer path(WriteIni(MediumIni(lockDigit)));
        const int16_t r = EncodeInit(path.get());
        Step(at + " EncodeInit", r, " port " + std::to_string(path.port()));
    }
    // Every kind on a fresh cleared card, read back.
    for (const CardKindRow &k : kCardKinds) {
        if (m) Insert(FactoryCard(*m));
        IssueArgs a;
        {
            const int16_t r = a.Issue(k.make);
            Step(at + " " + k.name, r, Values(a.serial) + " |" + Values(a.start) + " |" + Values(a.end));
        }
        ReadBack(at + " " + k.name);
    }
    {
        IssueArgs a;
        {
            const int16_t r = a.Issue(MakeSealCard);
            Step(at + " MakeSealCard", r, Values(a.serial) + " |" + Values(a.start));
        }
    }
    // The issued card: refused for a second issue, cleared, read as cleared.
    {
        IssueArgs a;
        {
            const int16_t r = a.Issue(MakeGuestCard);
            Step(at + " MakeGuestCard again", r, Values(a.serial));
        }
        int16_t serial[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
        {
            const int16_t r = ClearCardData(serial);
            Step(at + " ClearCardData", r, Values(serial));
        }
        ReadBack(at + " cleared");
    }
    // The system password card (it hands over this hotel's own password).
    if (m) {
        Card c = FactoryCard(*m, 1);
        MakeSystemPasswordCard(c, kHotelPassword, 0x5E);
        Insert(c);
    }
    {
        int16_t pass[5] = {-1, -1, -1, -1, -1};
        {
            const int16_t r = ReadSystemPas(pass);
            Step(at + " ReadSystemPas", r, Values(pass));
        }
        int16_t serial[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
        {
            const int16_t r = ClearCardData(serial);
            Step(at + " ClearCardData system card", r, Values(serial));
        }
    }
    // No card at all.
    if (m) Take(*m);
    {
        IssueArgs a;
        {
            const int16_t r = a.Issue(MakeChiefCard);
            Step(at + " MakeChiefCard no card", r, Values(a.serial));
        }
        ReadBack(at + " no card");
        int16_t pass[5] = {-1, -1, -1, -1, -1};
        {
            const int16_t r = ReadSystemPas(pass);
            Step(at + " ReadSystemPas no card", r, Values(pass));
        }
        int16_t serial[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
        {
            const int16_t r = ClearCardData(serial);
            Step(at + " ClearCardData no card", r, Values(serial));
        }
        {
            const int16_t r = ClearCardData(nullptr);
            Step(at + " ClearCardData null", r);
        }
    }
    // Data cards: none in the reader, then one with three records.
    {
        const int16_t r = ReadDataCard(0);
        Step(at + " ReadDataCard no data card", r);
    }
    DrainRecords(at + " no data card");
    if (m == Medium::Ic) bench::Insert24c64(bench::Make24c64DataCard(DataLog()));
    for (bench::DataReader reader : {bench::DataReader::Temic, bench::DataReader::Mifare}) {
        bench::PlaceDataReader(reader, kEncoderPort);
        bench::InsertDataCard(reader, DataLog());
    }
    {
        const int16_t r = ReadDataCard(0);
        Step(at + " ReadDataCard", r);
    }
    DrainRecords(at + " data card");
    // The collector answers before any data card.
    bench::AttachCollector(kCollectorPort, "KS 01");
    bench::CollectorSetLog(DataLog());
    {
        const int16_t r = ReadDataCard(0);
        Step(at + " ReadDataCard collector", r);
    }
    DrainRecords(at + " collector");
    {
        int16_t time[6] = {2026, 12, 8, 23, 59, 30};
        {
            const int16_t r = PDA_SetTime(time);
            Step(at + " PDA_SetTime", r, Values(time));
        }
        int16_t room[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 300};
        {
            const int16_t r = PDA_SetRoomNumber(room);
            Step(at + " PDA_SetRoomNumber", r, Values(room));
        }
    }
    // The serial readers and Des2 take nothing from the configuration.
    if (m == Medium::Mifare) Insert(FactoryCard(*m, 2));
    {
        int16_t serial[8] = {kEncoderPort, -1, -1, -1, -1, -1, -1, -1};
        {
            const int16_t r = M1_ReadSn(serial);
            Step(at + " M1_ReadSn", r, Values(serial));
        }
        bench::AttachIButtonReader(kIButtonPort);
        bench::PlaceIButton(bench::MakeIButtonRom(0x01, 0x0000A1B2C3D4E5ull));
        int16_t rom[8] = {kIButtonPort, -1, -1, -1, -1, -1, -1, -1};
        {
            const int16_t r = TM_ReadSn(rom);
            Step(at + " TM_ReadSn", r, Values(rom));
        }
        int16_t data[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        {
            const int16_t r = Des2(data, 16, 0);
            Step(at + " Des2", r, Values(data));
        }
    }
    {
        const int16_t r = EncodeExit();
        Step(at + " EncodeExit", r);
    }
    {
        const int16_t r = EncodeExit();
        Step(at + " EncodeExit again", r);
    }
}

TEST(Transcript, EveryExportOnEveryMediumCallsTheVendorLibrariesAsRecorded) {
    // Before any EncodeInit: the library's initial state, an empty bench.
    Walk("before EncodeInit", 0, std::nullopt);
    // LockType is the INI digit plus one: '/' is 0 (no medium), '0' and '3'
    // are reserved, '5' is out of range.
    Walk("LockType 0", '/', std::nullopt);
    Walk("LockType 1", '0', std::nullopt);
    Walk("IC 4442", LockDigit(Medium::Ic), Medium::Ic);
    Walk("TEMIC", LockDigit(Medium::Temic), Medium::Temic);
    Walk("LockType 4", '3', std::nullopt);
    Walk("Mifare", LockDigit(Medium::Mifare), Medium::Mifare);
    Walk("LockType 6", '5', std::nullopt);
    // A reload while the IC encoder is held closes it first.
    bench::Reset();
    PlaceEncoder(Medium::Ic);
    {
        const int16_t r = EncodeInitWith(MediumIni(LockDigit(Medium::Ic)));
        Step("[reload] EncodeInit IC 4442", r);
    }
    {
        const int16_t r = EncodeInitWith(MediumIni(LockDigit(Medium::Mifare)));
        Step("[reload] EncodeInit Mifare", r);
    }
    {
        const int16_t r = EncodeExit();
        Step("[reload] EncodeExit", r);
    }

    const std::string got = out.str();
    if (const char *write = std::getenv("KS_WRITE_TRANSCRIPT"); write && *write == '1') {
        std::ofstream(kTranscriptPath, std::ios::binary) << got;
        GTEST_SKIP() << "transcript written to " << kTranscriptPath;
    }
    std::ifstream in(kTranscriptPath, std::ios::binary);
    ASSERT_TRUE(in) << "missing " << kTranscriptPath;
    std::stringstream want;
    want << in.rdbuf();
    std::istringstream g(got), w(want.str());
    std::string gl, wl;
    for (int line = 1;; ++line) {
        const bool moreG = static_cast<bool>(std::getline(g, gl)), moreW = static_cast<bool>(std::getline(w, wl));
        if (!moreG && !moreW) break;
        ASSERT_EQ(gl, wl) << "transcript line " << line << " (" << kTranscriptPath << ")";
    }
}

}  // namespace
