// Every export before any EncodeInit, on an empty bench: the answers the
// medium dispatch gives with LockType 0, and nothing left open afterwards.
// This program never calls EncodeInit, so the library keeps its initial state.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "bench.h"
#include "card_args.h"
#include "kestrane.h"

namespace {

// Argument arrays large enough for every export.
struct Arrays {
    std::array<int16_t, 8> serial{};
    std::array<int16_t, 4> listA{}, listB{}, listC{};
    std::array<int16_t, 12> wide{};
    std::array<int16_t, 1> number{}, flag{}, type{};
    std::array<int16_t, 6> start{{2026, 1, 2, 3, 4, 5}};
    std::array<int16_t, 5> end{{2026, 2, 3, 4, 5}};
    std::array<int16_t, 16> data{};
    std::array<int16_t, 10> room{};
    std::array<int16_t, 6> time{{2026, 5, 6, 7, 8, 9}};
};

int16_t CallMake(kstest::MakeFn fn, Arrays &a) {
    return fn(a.serial.data(), 0, 1, a.listA.data(), a.listB.data(), a.wide.data(), 0,
              a.type.data(), a.listC.data(), a.start.data(), a.end.data());
}

struct Row {
    const char *name;
    std::function<int16_t(Arrays &)> call;
    int16_t expected;
};

class DispatchBeforeInit : public ::testing::Test {
protected:
    void SetUp() override { bench::Reset(); }
};

TEST_F(DispatchBeforeInit, EveryExportAnswersAsTheDispatchRuleGives) {
    std::vector<Row> rows;
    for (const kstest::CardKindRow &k : kstest::kCardKinds)
        rows.push_back({k.name, [&k](Arrays &a) { return CallMake(k.make, a); }, KS_ERR_UNAVAILABLE});
    rows.push_back({"MakeSealCard", [](Arrays &a) { return CallMake(MakeSealCard, a); }, KS_ERR_UNAVAILABLE});
    rows.insert(rows.end(), {
        {"ReadCard",
         [](Arrays &a) {
             return ReadCard(a.serial.data(), 0, a.number.data(), a.listA.data(), a.listB.data(),
                             a.wide.data(), a.flag.data(), a.type.data(), a.listC.data(),
                             a.start.data(), a.end.data());
         },
         KS_ERR_UNAVAILABLE},
        {"ReadSystemPas", [](Arrays &a) { return ReadSystemPas(a.data.data()); }, KS_ERR_UNAVAILABLE},
        {"ClearCardData", [](Arrays &a) { return ClearCardData(a.serial.data()); }, KS_ERR_UNAVAILABLE},
        {"EncodeExit", [](Arrays &) { return EncodeExit(); }, KS_ERR_UNAVAILABLE},
        // No collector answers, then LockType 0 has no data-card reader.
        {"ReadDataCard", [](Arrays &) { return ReadDataCard(0); }, KS_ERR_UNAVAILABLE},
        {"ReadOneOpenDoorRecord",
         [](Arrays &) {
             std::array<int16_t, 6> header{}, headerList{}, kind{}, time{}, bytes{}, u2{}, u3{}, u4{};
             return ReadOneOpenDoorRecord(header.data(), u2.data(), u3.data(), u4.data(),
                                          headerList.data(), kind.data(), time.data(), bytes.data());
         },
         KS_ERR_NO_RECORD},
        // No CP2101 bridge: port discovery finds no collector.
        {"PDA_SetTime", [](Arrays &a) { return PDA_SetTime(a.time.data()); }, KS_ERR_OPEN_OR_NO_DEV},
        {"PDA_SetRoomNumber", [](Arrays &a) { return PDA_SetRoomNumber(a.room.data()); },
         KS_ERR_OPEN_OR_NO_DEV},
        // Port numbers taken from the argument; no reader sits there.
        {"M1_ReadSn", [](Arrays &a) { a.serial[0] = 1; return M1_ReadSn(a.serial.data()); }, KS_ERR_COMM},
        {"TM_ReadSn", [](Arrays &a) { a.serial[0] = 1; return TM_ReadSn(a.serial.data()); }, KS_ERR_COMM},
        {"Des2", [](Arrays &a) { return Des2(a.data.data(), 16, 0); }, KS_OK},
    });
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        bench::Reset();
        Arrays a;
        EXPECT_EQ(row.call(a), row.expected);
        EXPECT_EQ(bench::TotalOpen(), 0) << "a port, reader or session was left open";
    }
}

TEST_F(DispatchBeforeInit, SealCardTouchesNoArgument) {
    Arrays a;
    const Arrays before = a;
    EXPECT_EQ(CallMake(MakeSealCard, a), KS_ERR_UNAVAILABLE);
    EXPECT_EQ(a.start, before.start);
    EXPECT_EQ(a.end, before.end);
    EXPECT_EQ(a.serial, before.serial);
    EXPECT_EQ(bench::TotalCalls(), 0u);
}

}  // namespace
