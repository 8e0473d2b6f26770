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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
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

// One export call: its result, the host's arrays as the call left them
// (rendered only now, after the call) and the vendor calls it made.
using Arrays = std::function<std::string()>;
void Step(const std::string &what, int16_t result, const Arrays &arrays = nullptr) {
    out << "== " << what << " -> " << Hex(result) << "\n";
    if (arrays) out << "   host" << arrays() << "\n";
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
        Step(where + " ReadOneOpenDoorRecord", r, [&] {
            return Values(header) + " |" + Values(list) + " |" + Values(kind) + " |" + Values(time) + " |" +
                   Values(bytes);
        });
        if (r != KS_OK) break;
    }
}

void ReadBack(const std::string &where) {
    ReadOutputs o;
    Step(where + " ReadCard", o.Read(), [&] {
        std::string arrays;
        for (const auto &slot : o.Slots()) arrays += " " + std::to_string(slot.second);
        return arrays;
    });
}

// Every export once, with the medium's devices and cards on the bench when
// there is a medium; lockDigit 0 skips EncodeInit.
void Walk(const std::string &name, char lockDigit, std::optional<Medium> m) {
    const std::string at = "[" + name + "] ";
    bench::Reset();
    if (m) PlaceEncoder(*m);
    if (lockDigit != 0) {
        PathBuffer path(WriteIni(MediumIni(lockDigit)));
        Step(at + "EncodeInit", EncodeInit(path.get()), [&] { return " port " + std::to_string(path.port()); });
    }
    // Every kind on a fresh cleared card, read back.
    for (const CardKindRow &k : kCardKinds) {
        if (m) Insert(FactoryCard(*m));
        IssueArgs a;
        Step(at + k.name, a.Issue(k.make),
             [&] { return Values(a.serial) + " |" + Values(a.start) + " |" + Values(a.end); });
        ReadBack(at + k.name);
    }
    IssueArgs seal;
    Step(at + "MakeSealCard", seal.Issue(MakeSealCard),
         [&] { return Values(seal.serial) + " |" + Values(seal.start); });
    // The issued card: refused for a second issue, cleared, read as cleared.
    IssueArgs again;
    Step(at + "MakeGuestCard again", again.Issue(MakeGuestCard), [&] { return Values(again.serial); });
    int16_t serial[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    const auto serialOut = [&] { return Values(serial); };
    Step(at + "ClearCardData", ClearCardData(serial), serialOut);
    ReadBack(at + "cleared");
    // The system password card (it hands over this hotel's own password).
    if (m) {
        Card c = FactoryCard(*m, 1);
        MakeSystemPasswordCard(c, kHotelPassword, 0x5E);
        Insert(c);
    }
    int16_t pass[5] = {-1, -1, -1, -1, -1};
    const auto passOut = [&] { return Values(pass); };
    Step(at + "ReadSystemPas", ReadSystemPas(pass), passOut);
    std::fill(std::begin(serial), std::end(serial), -1);
    Step(at + "ClearCardData system card", ClearCardData(serial), serialOut);
    // No card at all.
    if (m) Take(*m);
    IssueArgs noCard;
    Step(at + "MakeChiefCard no card", noCard.Issue(MakeChiefCard), [&] { return Values(noCard.serial); });
    ReadBack(at + "no card");
    std::fill(std::begin(pass), std::end(pass), -1);
    Step(at + "ReadSystemPas no card", ReadSystemPas(pass), passOut);
    std::fill(std::begin(serial), std::end(serial), -1);
    Step(at + "ClearCardData no card", ClearCardData(serial), serialOut);
    Step(at + "ClearCardData null", ClearCardData(nullptr));
    // Data cards: none in the reader, then one with three records.
    Step(at + "ReadDataCard no data card", ReadDataCard(0));
    DrainRecords(at + "no data card");
    if (m == Medium::Ic) bench::Insert24c64(bench::Make24c64DataCard(DataLog()));
    for (bench::DataReader reader : {bench::DataReader::Temic, bench::DataReader::Mifare}) {
        bench::PlaceDataReader(reader, kEncoderPort);
        bench::InsertDataCard(reader, DataLog());
    }
    Step(at + "ReadDataCard", ReadDataCard(0));
    DrainRecords(at + "data card");
    // The collector answers before any data card.
    bench::AttachCollector(kCollectorPort, "KS 01");
    bench::CollectorSetLog(DataLog());
    Step(at + "ReadDataCard collector", ReadDataCard(0));
    DrainRecords(at + "collector");
    int16_t time[6] = {2026, 12, 8, 23, 59, 30};
    Step(at + "PDA_SetTime", PDA_SetTime(time), [&] { return Values(time); });
    int16_t room[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 300};
    Step(at + "PDA_SetRoomNumber", PDA_SetRoomNumber(room), [&] { return Values(room); });
    // The serial readers and Des2 take nothing from the configuration.
    if (m == Medium::Mifare) Insert(FactoryCard(*m, 2));
    int16_t m1[8] = {kEncoderPort, -1, -1, -1, -1, -1, -1, -1};
    Step(at + "M1_ReadSn", M1_ReadSn(m1), [&] { return Values(m1); });
    bench::AttachIButtonReader(kIButtonPort);
    bench::PlaceIButton(bench::MakeIButtonRom(0x01, 0x0000A1B2C3D4E5ull));
    int16_t rom[8] = {kIButtonPort, -1, -1, -1, -1, -1, -1, -1};
    Step(at + "TM_ReadSn", TM_ReadSn(rom), [&] { return Values(rom); });
    int16_t data[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    Step(at + "Des2", Des2(data, 16, 0), [&] { return Values(data); });
    Step(at + "EncodeExit", EncodeExit());
    Step(at + "EncodeExit again", EncodeExit());
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
    Step("[reload] EncodeInit IC 4442", EncodeInitWith(MediumIni(LockDigit(Medium::Ic))));
    Step("[reload] EncodeInit Mifare", EncodeInitWith(MediumIni(LockDigit(Medium::Mifare))));
    Step("[reload] EncodeExit", EncodeExit());

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
