// The host's side of the card family: the eleven arguments of the issuing
// exports and of ReadCard, the card kinds, and a value no export writes.
// Header only: the exports called are those of the program's own library.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "kestrane.h"

namespace kstest {

using MakeFn = int16_t(KS_STDCALL *)(KS_CARD_FAMILY_ARGS);

// An element still holding this was left alone.
constexpr int16_t kUntouched = -7777;

// What of the ExtensionBlock (card bytes 32-47, Mifare only) a kind fills.
enum class Extension { None, Bytes, BytesAndWide };
struct CardKindRow {
    const char *name;
    MakeFn make;
    int code;  // card byte 24
    Extension extension;
};
// Every issuing export but MakeSealCard, which issues nothing.
inline const CardKindRow kCardKinds[] = {
    {"MakeTimeCard", MakeTimeCard, 2, Extension::None},
    {"MakeEmergentCard", MakeEmergentCard, 3, Extension::None},
    {"MakeGuestCard", MakeGuestCard, 4, Extension::BytesAndWide},
    {"MakeFloorCard", MakeFloorCard, 5, Extension::Bytes},
    {"MakeCleanDistrictCard", MakeCleanDistrictCard, 6, Extension::Bytes},
    {"MakeBuildingCard", MakeBuildingCard, 8, Extension::BytesAndWide},
    {"MakeLongOpenCard", MakeLongOpenCard, 9, Extension::Bytes},
    {"MakeChiefCard", MakeChiefCard, 10, Extension::None},
    {"MakeInstallCard", MakeInstallCard, 11, Extension::Bytes},
    {"MakeLostCard", MakeLostCard, 12, Extension::None},
    {"MakeDataCard", MakeDataCard, 14, Extension::None},
    {"MakeGuestLeaveCard", MakeGuestLeaveCard, 15, Extension::None},
};

// The host's arrays for one issuing call (the time arrays with room for six),
// by default distinctive values of a card valid 2031-2032 and a CardSerial
// that shows which elements the export wrote.
struct IssueArgs {
    int16_t serial[8] = {kUntouched, kUntouched, kUntouched, kUntouched,
                         kUntouched, kUntouched, kUntouched, kUntouched};
    int16_t listA[4] = {0x41, 0x42, 0x43, 0x44};
    int16_t listB[4] = {0x51, 0x52, 0x53, 0x54};
    int16_t wide[12] = {0x1234, 0x0102, 0x7F00, 0x00FF, 0x0A0B, 0, 0x00FF, 0x1001, 0x61, 0x62, 0x63, 0x64};
    int16_t typeCode[1] = {16};  // the lost card then copies WideList too
    int16_t listC[4] = {1, 12, 99, 45};
    int16_t start[6] = {2031, 2, 3, 4, 5, 37};
    int16_t end[6] = {2032, 6, 7, 8, 9, 0};
    int32_t number = 0xA5;
    int32_t flag = 1;

    int16_t Issue(MakeFn make) {
        return make(serial, 0, number, listA, listB, wide, flag, typeCode, listC, start, end);
    }
};

// ReadCard's outputs (the time arrays with room for six), every element
// kUntouched until written.
struct ReadOutputs {
    int16_t serial[8], number[1], listA[4], listB[4], wide[12], flag[1], type[1], listC[4], start[6], end[6];

    ReadOutputs() {
        EachField(*this, [](const char *, auto &a) { std::fill(std::begin(a), std::end(a), kUntouched); });
    }
    int16_t Read() { return ReadCard(serial, 0, number, listA, listB, wide, flag, type, listC, start, end); }
    // Every element as "name[i]" and its value, in argument order.
    std::vector<std::pair<std::string, int16_t>> Slots() const {
        std::vector<std::pair<std::string, int16_t>> out;
        EachField(*this, [&out](const char *name, const auto &a) {
            for (size_t i = 0; i < std::size(a); ++i) out.emplace_back(name + ("[" + std::to_string(i) + "]"), a[i]);
        });
        return out;
    }

private:
    template <class Self, class F>
    static void EachField(Self &o, F &&f) {
        f("serial", o.serial), f("number", o.number), f("listA", o.listA), f("listB", o.listB), f("wide", o.wide);
        f("flag", o.flag), f("type", o.type), f("listC", o.listC), f("start", o.start), f("end", o.end);
    }
};

// Each element of `got` equals that of `want`; `what` leads the messages.
inline void ExpectSameOutputs(const ReadOutputs &got, const ReadOutputs &want, const std::string &what = "") {
    const auto g = got.Slots(), w = want.Slots();
    for (size_t i = 0; i < w.size(); ++i) EXPECT_EQ(g[i].second, w[i].second) << what << " " << w[i].first;
}

}  // namespace kstest
