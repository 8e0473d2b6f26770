// Card contents on every medium through ReadCard, ClearCardData, one issuing
// export and ReadSystemPas. The input is the card's memory, as a clerk could
// hand any card to the encoder: an SLE4442's 256 bytes (serial and check byte
// included), a Mifare 1K dump, or an AT88RF256's ten blocks.
//
// Input: selector, fault, kind, sector, SystemPassword[4], SLE4442 tries,
// SLE4442 PSC[3], the card memory (256 / 1024 / 40 bytes), then the issuing
// export's arguments as 16-bit values. Short inputs read zeros.
//   selector bits 0-1: medium: 0 SLE4442, 1 Mifare, 2 TEMIC, 3 no medium
//                      (LockType from the kind byte: 0, 1, 4, 6 or -1)
//            bit 2:    records sealed with valid check bytes (else raw)
//            bit 3:    card keyed as this system keys it (PSC, Mifare key A of
//                      the record sector and sector 15, TEMIC access code)
//            bit 4:    SLE4442 serial check byte valid
//            bit 5:    no ClearCardData before issuing
//
// Invariants: every result is one the export documents; nothing stays open
// but the contact encoder; no card byte outside the record changes; without
// a fault, a cleared card reads as cleared, an issued card reads back as the
// kind issued and refuses a second issue; ReadSystemPas restores the sector
// and changes the password only on success.
#include <array>
#include <cstring>
#include <vector>

#include "api/encoder_state.h"
#include "base/result_codes.h"
#include "cards/card_image.h"
#include "codec/codec.h"
#include "fuzz_support.h"
#include "ic_bench.h"
#include "kestrane.h"
#include "media/ic4442.h"
#include "media/ic4442_psc.h"
#include "mifare_bench.h"
#include "temic_bench.h"

namespace {

enum CardMedium { kIc = 0, kMifare = 1, kTemic = 2, kNone = 3 };
constexpr uint8_t kSealRecords = 1 << 2;
constexpr uint8_t kSystemKeys = 1 << 3;
constexpr uint8_t kValidSerialCheck = 1 << 4;
constexpr uint8_t kSkipClear = 1 << 5;

constexpr int kIcPort = 2;
constexpr int kMifarePort = 3;
constexpr int kTemicPort = 4;
constexpr int kPasswordSector = 15;  // where ReadSystemPas looks on Mifare
constexpr int kMifareDataBlocks = 3;
constexpr int16_t kTemicFaultStatus = bench::kTemicFaulted;  // InitCommDev's status under a fault

const int16_t kOtherLockTypes[] = {kLockNone, kLockReserved1, kLockReserved4, 6, -1};

using MakeFn = int16_t(KS_STDCALL *)(KS_CARD_FAMILY_ARGS);
struct Kind {
    MakeFn make;
    int16_t code;  // what ReadCard reports for it; 0: issues nothing
};
const Kind kKinds[] = {
    {MakeTimeCard, CardTypeCode::kTime},       {MakeEmergentCard, CardTypeCode::kEmergent},
    {MakeGuestCard, CardTypeCode::kGuest},     {MakeFloorCard, CardTypeCode::kFloor},
    {MakeCleanDistrictCard, CardTypeCode::kCleanDistrict},
    {MakeBuildingCard, CardTypeCode::kBuilding}, {MakeLongOpenCard, CardTypeCode::kLongOpen},
    {MakeChiefCard, CardTypeCode::kChief},     {MakeInstallCard, CardTypeCode::kInstall},
    {MakeLostCard, CardTypeCode::kLost},       {MakeDataCard, CardTypeCode::kData},
    {MakeGuestLeaveCard, CardTypeCode::kGuestLeave}, {MakeSealCard, 0},
};
constexpr size_t kKindCount = sizeof(kKinds) / sizeof(kKinds[0]);

bool Decodable(int16_t code) {
    for (const Kind &k : kKinds)
        if (k.code != 0 && k.code == code) return true;
    return code == CardTypeCode::kSystemPassword || code == CardTypeCode::kCleared;
}

// The host's arrays for one issuing call, each exactly as long as documented
// so that the sanitizer sees any access past its end.
struct IssueArgs {
    std::vector<int16_t> serial = std::vector<int16_t>(8), typeCode = std::vector<int16_t>(1),
                         listA = std::vector<int16_t>(4), listB = std::vector<int16_t>(4),
                         listC = std::vector<int16_t>(4), wideList = std::vector<int16_t>(12),
                         start = std::vector<int16_t>(6), end = std::vector<int16_t>(6);
    int32_t number = 0, optionFlag = 0;
};

IssueArgs ReadIssueArgs(fuzz::Input &in) {
    IssueArgs a;
    a.number = in.Int16();
    a.optionFlag = in.Int16();
    for (auto *v : {&a.typeCode, &a.listA, &a.listB, &a.listC, &a.wideList, &a.start, &a.end})
        for (int16_t &e : *v) e = in.Int16();
    return a;
}

int16_t Issue(const Kind &kind, IssueArgs a) {  // by value: the export changes the years
    return kind.make(a.serial.data(), 0, a.number, a.listA.data(), a.listB.data(), a.wideList.data(),
                     a.optionFlag, a.typeCode.data(), a.listC.data(), a.start.data(), a.end.data());
}

struct ReadOut {
    int16_t result;
    int16_t typeCode;
};

constexpr int16_t kUntouched = 0x7A7A;

ReadOut Read() {
    std::vector<int16_t> serial(8, kUntouched), number(1, kUntouched), listA(4, kUntouched),
        listB(4, kUntouched), wideList(12, kUntouched), flag(1, kUntouched), type(1, kUntouched),
        listC(1, kUntouched), start(6, kUntouched), end(6, kUntouched);
    const int16_t r = ReadCard(serial.data(), 0, number.data(), listA.data(), listB.data(),
                               wideList.data(), flag.data(), type.data(), listC.data(), start.data(),
                               end.data());
    FUZZ_CHECK(listC[0] == kUntouched);  // not used by any card
    if (r == KS_OK) {
        FUZZ_CHECK(Decodable(type[0]));
        for (int16_t e : serial) FUZZ_CHECK(e == kUntouched || (e >= 0 && e <= 255));
        if (type[0] != CardTypeCode::kCleared) {
            FUZZ_CHECK(flag[0] == 0 || flag[0] == 1);
            FUZZ_CHECK(start[0] >= 2000 && start[0] <= 2255);
            for (int i = 1; i < 5; ++i) FUZZ_CHECK(start[i] >= 0 && start[i] <= 255);
        }
        for (int i = 8; i < 12; ++i) FUZZ_CHECK(wideList[i] >= 0 && wideList[i] <= 255);
    }
    return {r, type[0]};
}

bool FaultedClose() {
    for (const bench::Call &c : bench::CallLog())
        if (c.faulted && (c.fn.find("lose") != std::string::npos || c.fn.find("exit") != std::string::npos))
            return true;
    return false;
}

// The card bytes outside the record area, which no export may change.
std::vector<uint8_t> IcOutsideRecord(const bench::Sle4442Card &card) {
    std::vector<uint8_t> out(card.memory.begin(), card.memory.begin() + kIcRecordAddress);
    out.insert(out.end(), card.memory.begin() + kIcRecordAddress + kIcWriteLength, card.memory.end());
    return out;
}

std::vector<uint8_t> MifareOutsideRecord(const bench::MifareCard &card, int sector) {
    std::vector<uint8_t> out;
    for (int b = 0; b < card.BlockCount(); ++b) {
        if (sector < card.SectorCount() && b >= card.FirstBlock(sector) &&
            b < card.FirstBlock(sector) + kMifareDataBlocks)
            continue;
        const bench::MifareBlock block = card.Block(b);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

std::vector<uint8_t> TemicOutsideRecord(const bench::TemicCard &card) {
    std::vector<uint8_t> out;
    for (int b : {bench::kTemicIdBlock, bench::kTemicConfigBlock, bench::kTemicAccessBlock})
        out.insert(out.end(), card.blocks[b].begin(), card.blocks[b].end());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::FreshStart();

    fuzz::Input in(data, size);
    const uint8_t selector = in.Byte();
    const uint8_t faultSpec = in.Byte();
    const uint8_t kindByte = in.Byte();
    const uint8_t sector = in.Byte();
    std::array<uint8_t, 4> password{};
    for (uint8_t &b : password) b = in.Byte();
    const int tries = in.Byte() % 4;
    std::array<uint8_t, 3> psc{};
    for (uint8_t &b : psc) b = in.Byte();

    const CardMedium medium = static_cast<CardMedium>(selector & 3);
    const bool seal = selector & kSealRecords;
    const bool systemKeys = selector & kSystemKeys;
    std::copy(password.begin(), password.end(), g_encoder.SystemPassword);
    g_encoder.MifareSector = sector;

    bench::Sle4442Card ic;
    bench::MifareCard mifare;
    bench::TemicCard temic;
    switch (medium) {
        case kIc: {
            ic = bench::MakeIcCard();
            const std::vector<uint8_t> memory = in.Bytes(ic.memory.size());
            std::copy(memory.begin(), memory.end(), ic.memory.begin());
            if (selector & kValidSerialCheck)
                ic.memory[kIcSerialCheckAddress] = CardCrc8(&ic.memory[kIcSerialAddress], kIcSerialLength);
            if (seal) {
                uint8_t record[kCardRecordLength + 1] = {};
                std::memcpy(record, &ic.memory[kIcRecordAddress], kCardRecordLength);
                CardDecipher(record, kCardRecordLength);  // the deciphered bytes, taken as plain
                SealCardRecord(record, SealVariant::SerialBound, ic.memory[kIcSerialAddress]);
                std::memcpy(&ic.memory[kIcRecordAddress], record, kCardRecordLength);
            }
            if (systemKeys)
                IcDerivePsc(&ic.memory[kIcSerialAddress], ic.psc.data());
            else
                ic.psc = psc;
            ic.triesLeft = tries;
            bench::PlaceIcEncoder(kIcPort);
            bench::InsertSle4442(ic);
            g_encoder.LockType = kLockIc4442;
            g_encoder.medium = MediumFor(g_encoder.LockType);
            g_encoder.PortNumber = kIcPort;
            FUZZ_CHECK(IcOpen(g_encoder) == KS_OK);
            break;
        }
        case kMifare: {
            FUZZ_CHECK(bench::MifareCardFromDump(in.Bytes(bench::kMifare1KSize), &mifare));
            for (int s : {static_cast<int>(sector), kPasswordSector}) {
                if (s >= mifare.SectorCount()) continue;
                if (seal) {
                    std::array<uint8_t, 48> image{};
                    bench::ReadMifareRecord(mifare, s, &image);  // the deciphered bytes, taken as plain
                    bench::WriteMifareRecord(mifare, s, image);
                }
                if (systemKeys) mifare.SetKeyA(s, bench::MifareSectorKeyFor(mifare.Uid(), password));
            }
            bench::PlaceRc500Reader(kMifarePort);
            bench::PlaceMifareCard(mifare);
            g_encoder.LockType = kLockMifare;
            g_encoder.medium = MediumFor(g_encoder.LockType);
            g_encoder.PortNumber = kMifarePort;
            break;
        }
        case kTemic: {
            FUZZ_CHECK(bench::TemicCardFromDump(in.Bytes(bench::kTemicDumpSize), &temic));
            if (seal) {
                bench::TemicRecord plain{};
                bench::ReadTemicRecord(temic, &plain);
                bench::WriteTemicRecord(temic, plain);
            }
            if (systemKeys) temic.blocks[bench::kTemicAccessBlock] = bench::kTemicSystemAccessCode;
            bench::PlaceTemicEncoder(kTemicPort);
            bench::PlaceTemicCard(temic);
            g_encoder.LockType = kLockTemic;
            g_encoder.medium = MediumFor(g_encoder.LockType);
            g_encoder.PortNumber = kTemicPort;
            break;
        }
        case kNone:
            g_encoder.LockType = kOtherLockTypes[kindByte % 5];
            g_encoder.medium = MediumFor(g_encoder.LockType);
            break;
    }
    const IssueArgs args = ReadIssueArgs(in);
    const Kind &kind = kKinds[kindByte % kKindCount];
    bench::ClearCallLog();
    fuzz::ArmFaultFrom(faultSpec);
    const bool faults = faultSpec != 0;

    // ReadCard as the card came.
    const ReadOut first = Read();
    FUZZ_CHECK_RESULT(first.result, KS_OK, KS_ERR_CARD_INVALID, KS_ERR_UNAVAILABLE);
    FUZZ_CHECK((first.result == KS_ERR_UNAVAILABLE) == (medium == kNone));

    // ClearCardData: then it must read as a cleared card.
    if (!(selector & kSkipClear)) {
        std::vector<int16_t> serial(8, 0);
        const int16_t cleared = ClearCardData(serial.data());
        if (medium == kNone) {
            FUZZ_CHECK_RESULT(cleared, KS_ERR_MEDIUM_RESERVED, KS_ERR_UNAVAILABLE);
        } else {
            FUZZ_CHECK_RESULT(cleared, KS_OK, KS_ERR_IC_NOT_OPEN, KS_ERR_COMM, KS_ERR_NOT_MIFARE_1K,
                              KS_ERR_CARD_INVALID, KS_ERR_OPEN_OR_NO_DEV, kTemicFaultStatus);
        }
        if (cleared == KS_OK && !faults) {
            const ReadOut after = Read();
            FUZZ_CHECK(after.result == KS_OK && after.typeCode == CardTypeCode::kCleared);
        }
    }

    // One issuing export; an issued card reads back as its kind and takes no
    // second card until it is cleared. A start year of 2099 stores the
    // cleared-card marker in byte 0: such a card reads as cleared.
    const int16_t issued = Issue(kind, args);
    if (kind.code == 0 || medium == kNone) {
        FUZZ_CHECK(issued == KS_ERR_UNAVAILABLE);
    } else {
        FUZZ_CHECK_RESULT(issued, KS_OK, KS_ERR_UNAVAILABLE, KS_ERR_IC_NOT_OPEN, KS_ERR_OPEN_OR_NO_DEV,
                          KS_ERR_COMM, KS_ERR_NOT_MIFARE_1K, KS_ERR_CARD_INVALID, KS_ERR_NOT_CLEARED,
                          KS_ERR_OTHER_HOTEL, kTemicFaultStatus);
    }
    const bool markerYear = ((args.start[0] - kYearBase) & 0xFF) == kClearedRecordMarker;
    if (issued == KS_OK && !faults && !markerYear) {
        const ReadOut after = Read();
        FUZZ_CHECK(after.result == KS_OK && after.typeCode == kind.code);
        FUZZ_CHECK(Issue(kind, args) == KS_ERR_NOT_CLEARED);
    }

    // ReadSystemPas: the password changes only with a system password card,
    // and the configured sector always comes back.
    std::vector<int16_t> taken(5, kUntouched);
    const int16_t pas = ReadSystemPas(taken.data());
    FUZZ_CHECK_RESULT(pas, KS_OK, KS_ERR_UNAVAILABLE, KS_ERR_CARD_INVALID, KS_ERR_COMM, KS_ERR_NOT_MIFARE_1K);
    FUZZ_CHECK(g_encoder.MifareSector == sector);
    if (pas == KS_OK) {
        for (int i = 0; i < 4; ++i) FUZZ_CHECK(taken[i] == g_encoder.SystemPassword[i]);
    } else {
        FUZZ_CHECK(std::equal(password.begin(), password.end(), g_encoder.SystemPassword));
        for (int16_t e : taken) FUZZ_CHECK(e == kUntouched);
    }

    // Nothing open but the contact encoder; nothing written outside the record.
    if (!FaultedClose()) fuzz::CheckNothingOpen("MWIC_32", medium == kIc ? 1 : 0);
    switch (medium) {
        case kIc: {
            const bench::Sle4442Card now = bench::CurrentSle4442();
            if (bench::IcCardPresent()) FUZZ_CHECK(IcOutsideRecord(now) == IcOutsideRecord(ic));
            if (systemKeys && bench::IcCardPresent()) FUZZ_CHECK(now.triesLeft >= ic.triesLeft);
            IcClose(g_encoder);
            break;
        }
        case kMifare: {
            auto card = bench::CurrentMifareCard();
            if (!card) card = bench::LastRemovedMifareCard();
            if (card) FUZZ_CHECK(MifareOutsideRecord(*card, sector) == MifareOutsideRecord(mifare, sector));
            break;
        }
        case kTemic: {
            auto card = bench::CurrentTemicCard();
            if (!card) card = bench::LastRemovedTemicCard();
            if (card) FUZZ_CHECK(TemicOutsideRecord(*card) == TemicOutsideRecord(temic));
            break;
        }
        case kNone:
            FUZZ_CHECK(bench::TotalCalls() == 0);
            break;
    }
    return 0;
}
