// A fault walked through every vendor call of every export that reaches a
// device, on every medium: each call in turn fails once, fails from then on,
// or (where a card, key or data card is involved) has the card pulled away
// just before it runs. After every such run:
//   - the result is one the export documents for a failure (or the device
//     library's own status where that is handed on);
//   - a result of 1 means the same outcome as the run without a fault: a
//     failed write or read is never reported as success;
//   - every port, reader connection, session and bridge handle the library
//     opened was closed again (the contact IC encoder stays open from
//     EncodeInit to EncodeExit);
//   - a fault that struck at or before the first write call left the card
//     byte for byte as it was, and a read never changes a card;
//   - with the fault gone, the same operation on a fresh card gives exactly
//     the outcome of the run without a fault (so no library state was bent).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "bench.h"
#include "card_args.h"
#include "collector_bench.h"
#include "datacard_bench.h"
#include "ibutton_bench.h"
#include "kestrane.h"
#include "medium_rig.h"
#include "open_door.h"
#include "test_support.h"
#include "usb_bench.h"

namespace {

using namespace kstest;

constexpr char kReserved4Digit = '3';
constexpr int kCollectorPort = 5;
constexpr int kIcBridgePort = 6;
constexpr int kIButtonPort = 2;
// The password a system password card hands over: once read, every card the
// library issues carries it (and Mifare keys derive from it).
const Password kCardPassword = {{0x10, 0x20, 0x30, 0x40}};
constexpr uint8_t kSystemCardExtra = 0x5A;

// How many (export, medium, call, fault kind) cases were walked.
int g_casesWalked = 0;

// A clean start for a medium: nothing held by the library, an empty bench,
// the medium configured (and for the IC medium its encoder open).
void ConfigureMedium(Medium m) {
    EncodeExit();
    bench::Reset();
    if (m == Medium::Ic) PlaceEncoder(m);
    ASSERT_EQ(EncodeInitWith(MediumIni(LockDigit(m))), KS_OK) << NameOf(m);
}

// A fresh card in the encoder of the configured medium, no fault armed, an
// empty call log. The IC encoder stays open between cases (it is the
// library's, opened by EncodeInit); the other media get a fresh bench.
void FreshCard(Medium m, const Card &card) {
    bench::ClearFaults();
    if (m == Medium::Ic) {
        if (!bench::IcEncoderOpen()) ConfigureMedium(m);
        bench::RemoveIcCard();
    } else {
        bench::Reset();
        PlaceEncoder(m);
    }
    Insert(card);
    bench::ClearCallLog();
}

// Calls that change what a card holds.
bool IsCardWrite(const bench::Call &c) {
    if (c.fn == "swr_4442" || c.fn == "RC500_232_write") return true;
    constexpr int64_t kWriteBlock = 2;
    return c.fn == "Command57" && c.args.size() >= 4 && c.args[3] == kWriteBlock;
}

// A system password card of this hotel handing over kCardPassword.
Card SystemPasswordCard(Medium m) {
    Card c = FactoryCard(m);
    MakeSystemPasswordCard(c, kCardPassword, kSystemCardExtra);
    return c;
}

// ---------------------------------------------------------------------------
// What a run shows: the result and everything observable that a success
// must reproduce (host outputs, card bytes, device state the call changes).

struct Outcome {
    int16_t result = 0;
    std::vector<int64_t> seen;
};

template <typename Container>
void Append(std::vector<int64_t> *seen, const Container &values) {
    seen->insert(seen->end(), std::begin(values), std::end(values));
}

std::string Hex16(int16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(static_cast<uint16_t>(v)));
    return text;
}

// ---------------------------------------------------------------------------
// Documented results.

using Allowed = std::function<bool(int16_t, const std::vector<bench::Call> &)>;

Allowed Codes(std::set<int16_t> codes) {
    return [codes](int16_t r, const std::vector<bench::Call> &) { return codes.count(r) > 0; };
}

// Codes, or a failure status of the device library's `fn` handed on unchanged.
Allowed CodesOrStatusOf(std::set<int16_t> codes, std::string fn, int16_t success) {
    return [codes, fn, success](int16_t r, const std::vector<bench::Call> &log) {
        if (codes.count(r)) return true;
        for (const bench::Call &c : log)
            if (c.fn == fn && static_cast<int16_t>(c.result) != success && static_cast<int16_t>(c.result) == r)
                return true;
        return false;
    };
}

constexpr int16_t kOk = KS_OK;
constexpr int16_t kNoDev = KS_ERR_OPEN_OR_NO_DEV;  // 0xFFFE
constexpr int16_t kInvalid = KS_ERR_CARD_INVALID;  // 0xFFFD
constexpr int16_t kNot1K = KS_ERR_NOT_MIFARE_1K;   // 0xFFFC
constexpr int16_t kComm = KS_ERR_COMM;             // 0xFFFB
constexpr int16_t kIcNotOpen = KS_ERR_IC_NOT_OPEN; // 0xFFFA
constexpr int16_t kReserved = KS_ERR_MEDIUM_RESERVED;
constexpr int16_t kUnavailable = KS_ERR_UNAVAILABLE;
constexpr int16_t kCollector = KS_ERR_COLLECTOR;
constexpr int16_t kNotCleared = KS_ERR_NOT_CLEARED;
constexpr int16_t kOtherHotel = KS_ERR_OTHER_HOTEL;

Allowed IssueCodes(Medium m) {
    if (m == Medium::Ic) return Codes({kOk, kIcNotOpen, kNoDev, kComm, kInvalid, kNotCleared});
    if (m == Medium::Temic) return CodesOrStatusOf({kOk, kComm, kInvalid, kNotCleared, kOtherHotel}, "InitCommDev", 0);
    return Codes({kOk, kComm, kNot1K, kNotCleared});
}

Allowed ClearCodes(Medium m) {
    if (m == Medium::Ic) return Codes({kOk, kIcNotOpen, kComm, kInvalid, kNoDev});
    if (m == Medium::Temic) return CodesOrStatusOf({kOk, kComm, kInvalid}, "InitCommDev", 0);
    return Codes({kOk, kComm, kNot1K});
}

Allowed SystemPasswordCodes(Medium m) {
    if (m == Medium::Mifare) return Codes({kOk, kComm, kNot1K});
    return Codes({kOk, kInvalid});
}

// ---------------------------------------------------------------------------
// Open resources. The library must close, on every path, what it opened:
// judged from the call log (a close call counts even when the device failed
// it) and, when no close call was made to fail, from the bench's own count.

struct Resource {
    const char *open;
    const char *close;
    bool exclusive;  // a second open of the same device re-uses the first
    bool (*opened)(const bench::Call &);
};

const Resource kResources[] = {
    {"RC500_232_init", "RC500_232_exit", true,
     [](const bench::Call &c) { return !c.faulted && (c.result & 0xFF) == 0; }},
    {"InitCommDev", "CloseCommDev", true, [](const bench::Call &c) { return !c.faulted && c.result == 0; }},
    {"ic_init", "ic_exit", true, [](const bench::Call &c) { return !c.faulted && c.result != 0; }},
    {"AT88RF256_12_OpenCommPort", "AT88RF256_12_CloseCommPort", true,
     [](const bench::Call &c) { return !c.faulted && c.result == 1; }},
    {"M1_OpenCommPort", "M1_CloseCommPort", true, [](const bench::Call &c) { return !c.faulted && c.result == 1; }},
    {"OpenPort", "ClosePort", true, [](const bench::Call &c) { return !c.faulted && c.result == 1; }},
    {"TMExtendedStartSession", "TMEndSession", false, [](const bench::Call &c) { return !c.faulted && c.result > 0; }},
    {"CP2101_Open", "CP2101_Close", false, [](const bench::Call &c) { return !c.faulted && c.result == 0; }},
};

bool CloseCallFaulted(const std::vector<bench::Call> &log) {
    for (const bench::Call &c : log)
        for (const Resource &r : kResources)
            if (c.faulted && c.fn == r.close) return true;
    return false;
}

// Resources the log shows opened and never closed, as "name xN" text.
std::string LeftOpenByLog(const std::vector<bench::Call> &log, int *total) {
    std::string text;
    *total = 0;
    for (const Resource &r : kResources) {
        int held = 0;
        for (const bench::Call &c : log) {
            if (c.fn == r.open && r.opened(c)) held = r.exclusive ? 1 : held + 1;
            else if (c.fn == r.close && held > 0) --held;
        }
        if (held > 0) text += std::string(r.open) + " x" + std::to_string(held) + " ";
        *total += held;
    }
    return text;
}

// ---------------------------------------------------------------------------
// The walk.

// Calls whose failure the library may let pass: their results are ignored by
// contract (openings whose failure shows in the next call, the closing
// sequence, beeps, the bridge count).
const std::set<std::string> kResultIgnored = {
    "RC500_232_init", "RC500_232_config", "RC500_232_reset", "RC500_232_close", "RC500_232_exit",
    "ic_exit", "dv_beep", "AT88RF256_12_Beep", "CloseCommDev", "AT88RF256_12_OpenCommPort",
    "AT88RF256_12_CloseCommPort", "M1_OpenCommPort", "M1_CloseCommPort", "OpenPort", "ClosePort",
    "TMEndSession", "CP2101_Close", "CP2101_GetNumDevices",
};

struct Scenario {
    std::string name;
    bool card = false;  // a card, key or data card is involved: RemoveCard applies
    // The export tries again by itself (iButton attempts, collector resends):
    // a failed call may be followed by a successful attempt.
    bool retries = false;
    // Further calls whose failure may still end in 1 (port discovery, where
    // a bridge that cannot be read is just not a candidate).
    std::set<std::string> tolerated;
    // A second outcome a success may show, when only calls of
    // `alternativeCauses` failed (a log fetched from the data card once the
    // collector failed to deliver).
    std::vector<int64_t> alternative;
    std::set<std::string> alternativeCauses;
    // An operation whose outcome shows the library's state (configured
    // medium, port, sector, password). Run after each faulted call, it must
    // show the state of a successful call when the result was 1 and the
    // untouched state otherwise; run after the faultless repeat, the state of
    // a successful call.
    std::function<Outcome()> probe;
    std::function<void()> prepare;  // fresh devices and card, no fault, empty log
    std::function<Outcome()> run;
    Allowed allowed;
    // Resources legitimately open after the call (the contact IC encoder).
    std::function<int(int16_t)> heldAfter = [](int16_t) { return 0; };
    // The card's bytes, where the operation could write to one.
    std::function<std::vector<uint8_t>()> cardBytes;
};

const char *NameOf(bench::FaultKind k) {
    return k == bench::FaultKind::FailOnce ? "fails once" : k == bench::FaultKind::FailFromThenOn ? "fails from then on"
                                                                                                 : "card taken away";
}

void CheckResources(const Scenario &s, int16_t result, const std::vector<bench::Call> &log, int openBefore,
                    const std::string &where) {
    int byLog = 0;
    const std::string left = LeftOpenByLog(log, &byLog);
    const int expectedByLog = std::max(0, s.heldAfter(result) - openBefore);
    EXPECT_EQ(byLog, expectedByLog) << where << ": opened and never closed: " << left;
    if (!CloseCallFaulted(log)) {
        EXPECT_EQ(bench::TotalOpen(), s.heldAfter(result)) << where << ": the bench holds something open";
    }
}

int CurrentFailures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

void Walk(const Scenario &s) {
    Outcome probeUntouched;
    if (s.probe) {
        s.prepare();
        probeUntouched = s.probe();
    }
    s.prepare();
    std::vector<uint8_t> before = s.cardBytes ? s.cardBytes() : std::vector<uint8_t>{};
    int openBefore = bench::TotalOpen();
    const Outcome base = s.run();
    const std::vector<bench::Call> baseLog = bench::CallLog();
    ASSERT_EQ(base.result, KS_OK) << s.name << ": fails without any fault";
    CheckResources(s, base.result, baseLog, openBefore, s.name + " without a fault");

    const size_t calls = baseLog.size();
    size_t firstWrite = 0;  // 1-based index of the first call that writes a card; 0: none
    for (size_t i = 0; i < calls && firstWrite == 0; ++i)
        if (IsCardWrite(baseLog[i])) firstWrite = i + 1;
    if (s.cardBytes && firstWrite == 0) {
        EXPECT_EQ(s.cardBytes(), before) << s.name << ": a read changed the card";
    }

    const Outcome probeAfterSuccess = s.probe ? s.probe() : Outcome{};

    int cases = 0;
    int failedCases = 0;
    for (bench::FaultKind kind :
         {bench::FaultKind::FailOnce, bench::FaultKind::FailFromThenOn, bench::FaultKind::RemoveCard}) {
        if (kind == bench::FaultKind::RemoveCard && !s.card) continue;
        for (size_t n = 1; n <= calls; ++n) {
            const int failuresBefore = CurrentFailures();
            ++cases;
            const std::string where = s.name + ", call " + std::to_string(n) + " (" + baseLog[n - 1].fn + ") " +
                                      NameOf(kind);

            s.prepare();
            before = s.cardBytes ? s.cardBytes() : std::vector<uint8_t>{};
            openBefore = bench::TotalOpen();
            bench::ArmFault(static_cast<int>(n), kind);
            const Outcome got = s.run();
            const std::vector<bench::Call> log = bench::CallLog();
            bench::ClearFaults();

            EXPECT_TRUE(s.allowed(got.result, log)) << where << ": undocumented result " << Hex16(got.result);
            if (got.result == KS_OK) {
                const bool alternative = !s.alternative.empty() && got.seen == s.alternative;
                if (!alternative) {
                    EXPECT_EQ(got.seen, base.seen) << where << ": reported success, but the outcome differs";
                }
                if (!s.retries) {
                    for (const bench::Call &c : log) {
                        EXPECT_TRUE(!c.faulted || kResultIgnored.count(c.fn) || s.tolerated.count(c.fn) ||
                                    (alternative && s.alternativeCauses.count(c.fn)))
                            << where << ": " << c.fn << " failed, yet the export reported success";
                    }
                }
            }
            CheckResources(s, got.result, log, openBefore, where);
            if (s.cardBytes && (firstWrite == 0 || (got.result != KS_OK && n <= firstWrite))) {
                EXPECT_EQ(s.cardBytes(), before) << where << ": the card changed before every check had passed";
            }
            if (s.probe) {
                const Outcome probe = s.probe();
                const Outcome &expected = got.result == KS_OK ? probeAfterSuccess : probeUntouched;
                EXPECT_EQ(probe.result, expected.result) << where << ": the library's state is not what the result says";
                EXPECT_EQ(probe.seen, expected.seen) << where << ": the library's state is not what the result says";
            }

            // The fault gone, a fresh card: the outcome of the faultless run.
            s.prepare();
            openBefore = bench::TotalOpen();
            const Outcome again = s.run();
            EXPECT_EQ(again.result, KS_OK) << where << ", then again without the fault";
            EXPECT_EQ(again.seen, base.seen) << where << ", then again without the fault: another outcome";
            CheckResources(s, again.result, bench::CallLog(), openBefore, where + ", then again");
            if (s.probe) {
                const Outcome probe = s.probe();
                EXPECT_EQ(probe.result, probeAfterSuccess.result) << where << ", then again: another state";
                EXPECT_EQ(probe.seen, probeAfterSuccess.seen) << where << ", then again: another state";
            }

            if (CurrentFailures() != failuresBefore && ++failedCases >= 6) {
                ADD_FAILURE() << s.name << ": stopped after " << failedCases << " failing cases";
                g_casesWalked += cases;
                return;
            }
        }
    }
    g_casesWalked += cases;
    std::printf("[ walk     ] %-36s %3zu calls, %4d cases\n", s.name.c_str(), calls, cases);
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// The exports, run with fixed arguments.

// The outcome with the bytes of the medium's card after it.
Outcome WithCardBytes(Outcome o, Medium m) {
    Append(&o.seen, CardBytes(m));
    return o;
}

Outcome RunMake(MakeFn fn, Medium m) {
    IssueArgs in;
    Outcome o;
    o.result = in.Issue(fn);
    Append(&o.seen, in.serial);
    Append(&o.seen, in.start);
    Append(&o.seen, in.end);
    return WithCardBytes(o, m);
}

Outcome RunReadCard(Medium m) {
    ReadOutputs out;
    Outcome o;
    o.result = out.Read();
    for (const auto &slot : out.Slots()) o.seen.push_back(slot.second);
    return WithCardBytes(o, m);
}

// An export of one array of `elements`: element 0 `first`, the others kUntouched.
Outcome RunOneArray(int16_t(KS_STDCALL *fn)(int16_t *), size_t elements, int16_t first = kUntouched) {
    std::vector<int16_t> values(elements, kUntouched);
    values[0] = first;
    Outcome o;
    o.result = fn(values.data());
    Append(&o.seen, values);
    return o;
}
Outcome RunReadSystemPas(Medium m) { return WithCardBytes(RunOneArray(ReadSystemPas, 5), m); }
Outcome RunClear(Medium m) { return WithCardBytes(RunOneArray(ClearCardData, 8), m); }

// Every record ReadOneOpenDoorRecord hands out after a fetch.
std::vector<int64_t> DrainRecords() {
    std::vector<int64_t> seen;
    for (const OpenDoorRecord &r : DrainOpenDoorRecords()) {
        seen.push_back(r.header);
        seen.push_back(r.kind);
        Append(&seen, r.list);
        Append(&seen, r.time);
        Append(&seen, r.card);
    }
    return seen;
}

Outcome RunReadDataCard(const std::string &name) {
    Outcome o;
    o.result = ReadDataCard(0);
    o.seen = DrainRecords();
    if (o.result != KS_OK) {
        EXPECT_TRUE(o.seen.empty()) << name << ": a failed fetch left records readable";
    }
    return o;
}

// A log of `records` valid records; `tag` tells logs apart.
std::vector<uint8_t> DataLog(int records = 4, uint8_t tag = 0x20) {
    std::vector<bench::OpenDoorSlot> slots;
    for (int k = 0; k < records; ++k)
        slots.push_back(bench::MakeOpenDoorSlot({{static_cast<uint8_t>(k), tag, 0x30, 0x40}}, 24, 2 + k, 1 + k, 10 + k,
                                                9, 15 + k));
    return bench::OpenDoorLogImage({{0x11, tag, 0x33}}, slots);
}

std::function<int(int16_t)> HeldByMedium(Medium m) {
    return [m](int16_t) { return m == Medium::Ic ? 1 : 0; };
}

// ---------------------------------------------------------------------------

class FaultWalk : public ::testing::Test {
protected:
    void SetUp() override { bench::Reset(); }
    void TearDown() override {
        bench::ClearFaults();
        EncodeExit();
        bench::Reset();
    }
};

TEST_F(FaultWalk, IssuingEveryCardKindOnEveryMedium) {
    for (Medium m : kMedia) {
        ConfigureMedium(m);
        const Card blank = FactoryCard(m);
        for (const CardKindRow &e : kCardKinds) {
            Scenario s;
            s.name = std::string(e.name) + "/" + NameOf(m);
            s.card = true;
            s.prepare = [m, blank] { FreshCard(m, blank); };
            s.run = [m, e] { return RunMake(e.make, m); };
            s.allowed = IssueCodes(m);
            s.heldAfter = HeldByMedium(m);
            s.cardBytes = [m] { return CardBytes(m); };
            Walk(s);
        }
    }
}

// A guest card issued on a fresh factory card: its bytes depend on every
// configured field (medium, port, sector, password).
Outcome IssueOnFactoryCard(Medium m) {
    FreshCard(m, FactoryCard(m));
    return RunMake(MakeGuestCard, m);
}

// A guest card issued by the library on a factory card: what ReadCard and
// ClearCardData work on.
Card IssuedGuestCard(Medium m) {
    FreshCard(m, FactoryCard(m));
    EXPECT_EQ(RunMake(MakeGuestCard, m).result, KS_OK) << NameOf(m);
    return Current(m);
}

TEST_F(FaultWalk, ReadingClearingAndTheSystemPasswordOnEveryMedium) {
    for (Medium m : kMedia) {
        ConfigureMedium(m);
        const Card guest = IssuedGuestCard(m);
        const Card system = SystemPasswordCard(m);
        struct Op {
            const char *name;
            Card card;
            std::function<Outcome(Medium)> run;
            Allowed allowed;
            bool changesState;  // a success replaces the library's SystemPassword
        };
        const Op ops[] = {
            {"ReadCard", guest, RunReadCard, Codes({kOk, kInvalid}), false},
            {"ReadSystemPas", system, RunReadSystemPas, SystemPasswordCodes(m), true},
            {"ClearCardData", guest, RunClear, ClearCodes(m), false},
        };
        for (const Op &op : ops) {
            ConfigureMedium(m);
            Scenario s;
            s.name = std::string(op.name) + "/" + NameOf(m);
            s.card = true;
            const Card card = op.card;
            const bool changesState = op.changesState;
            s.prepare = [m, card, changesState] {
                bench::ClearFaults();
                if (changesState) ConfigureMedium(m);  // the password of the configuration again
                FreshCard(m, card);
            };
            const auto run = op.run;
            s.run = [m, run] { return run(m); };
            s.allowed = op.allowed;
            s.heldAfter = HeldByMedium(m);
            s.cardBytes = [m] { return CardBytes(m); };
            s.probe = [m] { return IssueOnFactoryCard(m); };
            Walk(s);
        }
    }
}

// ---------------------------------------------------------------------------
// A clerk swaps cards in the middle of an operation: the card is taken out
// just before call N and another card of this hotel, a valid key someone
// holds, is put in its place. That card has passed none of the operation's checks: it
// must never be written over, and what the host is told must be what was
// done. (The TEMIC medium has no card selection to bind an operation to one
// card, so it is not walked here.)

struct PendingSwap {
    bool armed = false;
    Card card;
};
PendingSwap g_swap;

// Runs after the device models' own removal hooks (the bench registers them
// first): the other card goes in where the first one was taken out.
void SwapInHook() {
    if (!g_swap.armed) return;
    g_swap.armed = false;
    Insert(g_swap.card);
}
const bool g_swapHookRegistered = (bench::RegisterRemoveCardHook(SwapInHook), true);

Card LastRemoved(Medium m) {
    Card c;
    c.medium = m;
    if (m == Medium::Ic) c.ic = *bench::LastRemovedSle4442();
    if (m == Medium::Mifare) c.mifare = *bench::LastRemovedMifareCard();
    return c;
}

// The CardSerial elements the host is given for this card.
std::vector<int64_t> HostSerialOf(Medium m, const Card &c) {
    if (m == Medium::Ic) return {c.ic.memory[60], c.ic.memory[61], c.ic.memory[62], c.ic.memory[63],
                                 kUntouched, kUntouched, kUntouched, kUntouched};
    return {c.mifare.memory[0], c.mifare.memory[1], c.mifare.memory[2], c.mifare.memory[3], 0, 0, 0, 0};
}

bool HoldsClearedRecord(Medium m, const Card &c) {
    if (m == Medium::Ic) {
        std::array<uint8_t, 28> plain{};
        return bench::OpenIcRecord(c.ic, &plain) && plain[0] == 0x63;
    }
    std::array<uint8_t, 48> image{};
    return bench::ReadMifareRecord(c.mifare, kSector, &image) && image[0] == 0x63;
}

// A floor card of this hotel on a card of its own serial: every guest card
// written over it would show.
Card FloorCardOfItsOwn(Medium m) {
    FreshCard(m, FactoryCard(m, 1));
    EXPECT_EQ(RunMake(MakeFloorCard, m).result, KS_OK);
    return Current(m);
}

TEST_F(FaultWalk, ACardSwappedInMidOperationIsNeverWrittenUnchecked) {
    for (Medium m : {Medium::Ic, Medium::Mifare}) {
        ConfigureMedium(m);
        const Card otherCard = FloorCardOfItsOwn(m);  // the card swapped in
        const Card blank = FactoryCard(m);
        const Card issued = IssuedGuestCard(m);
        struct Op {
            const char *name;
            Card first;  // the card the operation starts on
            bool clears;
        };
        for (const Op &op : {Op{"MakeGuestCard", blank, false}, Op{"ClearCardData", issued, true}}) {
            const std::string name = std::string(op.name) + "/" + NameOf(m);
            auto run = [&] {
                if (op.clears) return RunOneArray(ClearCardData, 8);
                Outcome o = RunMake(MakeGuestCard, m);
                o.seen.resize(8);  // the serial only
                return o;
            };
            FreshCard(m, op.first);
            const Outcome base = run();
            ASSERT_EQ(base.result, KS_OK) << name;
            const Card baseCard = Current(m);
            const size_t calls = bench::TotalCalls();
            for (size_t n = 1; n <= calls; ++n) {
                const std::string where = name + ", other card before call " + std::to_string(n);
                FreshCard(m, op.first);
                g_swap.armed = true;
                g_swap.card = otherCard;
                bench::ArmFault(static_cast<int>(n), bench::FaultKind::RemoveCard);
                const Outcome got = run();
                bench::ClearFaults();
                ASSERT_FALSE(g_swap.armed) << where;
                ++g_casesWalked;

                const Card now = Current(m);
                const bool touched = MemoryOf(now) != MemoryOf(otherCard);
                if (op.clears && touched) {
                    // Clearing the card in the encoder is fine, if it is the
                    // card the host is told about and it really is cleared.
                    EXPECT_EQ(got.result, KS_OK) << where << ": the other card changed, yet the clear failed";
                    EXPECT_TRUE(HoldsClearedRecord(m, now)) << where << ": the other card is half cleared";
                    EXPECT_EQ(got.seen, HostSerialOf(m, otherCard)) << where << ": the host was told of another card";
                } else {
                    EXPECT_FALSE(touched) << where << ": a valid card was written over";
                }
                if (got.result == KS_OK && !touched) {
                    // The first card was done with before the swap.
                    EXPECT_EQ(got.seen, base.seen) << where;
                    EXPECT_EQ(MemoryOf(LastRemoved(m)), MemoryOf(baseCard)) << where;
                }
                EXPECT_EQ(bench::TotalOpen(), m == Medium::Ic ? 1 : 0) << where;
            }
            std::printf("[ walk     ] %-36s %3zu calls, %4zu cases\n", (name + ", swapped").c_str(), calls, calls);
        }
    }
}

TEST_F(FaultWalk, ContactEncoderStartAndStop) {
    // Port discovery runs first and finds an IC lock encoder's bridge, which
    // does not decide the port: CommProt does.
    auto freshBench = [] {
        bench::ClearFaults();
        EncodeExit();
        bench::Reset();
        bench::PlaceIcEncoder(kEncoderPort);
        bench::Bridge bridge;
        bridge.product = "IC Card Lock Device";
        bridge.comPort = kIcBridgePort;
        bench::AttachBridge(bridge);
    };
    Scenario init;
    init.name = "EncodeInit/Ic4442";
    init.prepare = [freshBench] {
        freshBench();
        bench::ClearCallLog();
    };
    init.run = [] {
        int port = 0;
        Outcome o;
        o.result = EncodeInitWith(MediumIni(LockDigit(Medium::Ic)), &port);
        o.seen = {port, bench::IcEncoderOpen() ? 1 : 0};
        return o;
    };
    init.allowed = Codes({kOk, kNoDev, kReserved});
    init.tolerated = {"CP2101_Open", "CP2101_GetDeviceProductString", "CP2101_GetDeviceSerialNumber",
                      "CP2101_GetDeviceVid", "CP2101_GetDevicePid"};
    init.heldAfter = [](int16_t r) { return r == KS_OK ? 1 : 0; };
    Walk(init);

    Scenario exit;
    exit.name = "EncodeExit/Ic4442";
    exit.prepare = [freshBench] {
        freshBench();
        ASSERT_EQ(EncodeInitWith(MediumIni(LockDigit(Medium::Ic))), KS_OK);
        bench::ClearCallLog();
    };
    exit.run = [] {
        Outcome o;
        o.result = EncodeExit();  // a failed ic_exit is not reported: its result is ignored
        return o;
    };
    exit.allowed = Codes({kOk, kIcNotOpen, kReserved, kUnavailable});
    Walk(exit);
}

TEST_F(FaultWalk, SerialNumbersOfMifareCardsAndIButtons) {
    const Card card = FactoryCard(Medium::Mifare);
    Scenario m1;
    m1.name = "M1_ReadSn";
    m1.card = true;
    m1.prepare = [card] {
        bench::Reset();
        bench::PlaceRc500Reader(kEncoderPort);
        bench::PlaceMifareCard(card.mifare);
    };
    m1.run = [] { return WithCardBytes(RunOneArray(M1_ReadSn, 8, kEncoderPort), Medium::Mifare); };
    m1.allowed = Codes({kOk, kComm});
    m1.cardBytes = [] { return CardBytes(Medium::Mifare); };
    Walk(m1);

    Scenario tm;
    tm.name = "TM_ReadSn";
    tm.card = true;
    tm.prepare = [] {
        bench::Reset();
        bench::AttachIButtonReader(kIButtonPort);
        bench::PlaceIButton(bench::MakeIButtonRom(0x01, 0x0000A1B2C3D4E5F6ull));
    };
    tm.run = [] { return RunOneArray(TM_ReadSn, 8, kIButtonPort); };
    tm.allowed = Codes({kOk, kComm});
    tm.retries = true;
    Walk(tm);
}

TEST_F(FaultWalk, OpenDoorLogFromTheCollectorAndEveryDataCard) {
    const std::vector<uint8_t> log = DataLog();

    // The collector delivers; behind it LockType 4 has no data card.
    EncodeExit();
    bench::Reset();
    ASSERT_EQ(EncodeInitWith(MediumIni(kReserved4Digit)), kReserved);
    Scenario collector;
    collector.name = "ReadDataCard/collector";
    collector.prepare = [log] {
        bench::Reset();
        bench::AttachCollector(kCollectorPort);
        bench::CollectorSetLog(log);
        bench::ClearCallLog();
    };
    collector.run = [] { return RunReadDataCard("ReadDataCard/collector"); };
    collector.allowed = Codes({kOk, kReserved});
    Walk(collector);

    // The collector holds a long log, the Mifare data card behind it a short
    // one: a collector that fails halfway must leave nothing of its log
    // among the data card's records.
    ConfigureMedium(Medium::Mifare);
    const std::vector<uint8_t> longLog = DataLog(6, 0xA0), shortLog = DataLog(2, 0xB0);
    auto dataCardBehind = [shortLog] {
        bench::Reset();
        bench::PlaceDataReader(bench::DataReader::Mifare, kEncoderPort);
        bench::InsertDataCard(bench::DataReader::Mifare, shortLog);
        bench::PlaceRc500Reader(kEncoderPort);
    };
    Scenario both;
    both.name = "ReadDataCard/collector, data card";
    both.card = true;
    both.prepare = [dataCardBehind, longLog] {
        dataCardBehind();
        bench::AttachCollector(kCollectorPort);
        bench::CollectorSetLog(longLog);
        bench::ClearCallLog();
    };
    both.run = [] { return RunReadDataCard("ReadDataCard/collector, data card"); };
    both.allowed = CodesOrStatusOf({kOk}, "M1_ReadDataCard", 1);
    dataCardBehind();
    both.alternative = RunReadDataCard("the data card alone").seen;
    ASSERT_EQ(both.alternative.size(), 2u * 17) << "two records of the data card";
    both.alternativeCauses = {"CP2101_GetNumDevices", "CP2101_Open", "CP2101_GetDeviceProductString",
                              "CP2101_GetDeviceSerialNumber", "CP2101_GetDeviceVid", "CP2101_GetDevicePid",
                              "SendData", "PDA_RcvOpenDoorData"};
    Walk(both);

    for (Medium m : kMedia) {
        ConfigureMedium(m);
        Scenario s;
        s.name = std::string("ReadDataCard/") + NameOf(m);
        s.card = true;
        s.prepare = [m, log] {
            bench::ClearFaults();
            if (m == Medium::Ic) {
                if (!bench::IcEncoderOpen()) ConfigureMedium(m);
                bench::Insert24c64(bench::Make24c64DataCard(log));
            } else {
                bench::Reset();
                const bench::DataReader reader = m == Medium::Temic ? bench::DataReader::Temic : bench::DataReader::Mifare;
                bench::PlaceDataReader(reader, kEncoderPort);
                bench::InsertDataCard(reader, log);
                if (m == Medium::Mifare) bench::PlaceRc500Reader(kEncoderPort);  // reset after the read
            }
            bench::ClearCallLog();
        };
        const std::string name = s.name;
        s.run = [name] { return RunReadDataCard(name); };
        if (m == Medium::Ic) s.allowed = Codes({kOk, kIcNotOpen, kInvalid});
        if (m == Medium::Temic) s.allowed = CodesOrStatusOf({kOk}, "AT88RF256_12_ReadDataCard", 1);
        if (m == Medium::Mifare) s.allowed = CodesOrStatusOf({kOk}, "M1_ReadDataCard", 1);
        s.heldAfter = HeldByMedium(m);
        s.probe = [m] { return IssueOnFactoryCard(m); };
        Walk(s);
    }
}

TEST_F(FaultWalk, SettingTheCollectorsClockAndRoomNumber) {
    auto freshCollector = [] {
        bench::Reset();
        bench::AttachCollector(kCollectorPort);
        bench::ClearCallLog();
    };
    const Allowed codes = CodesOrStatusOf({kOk, kNoDev, kCollector}, "SendData", 1);

    Scenario time;
    time.name = "PDA_SetTime";
    time.prepare = freshCollector;
    time.run = [] {
        std::array<int16_t, 6> t{{2024, 12, 31, 23, 59, 58}};
        Outcome o;
        o.result = PDA_SetTime(t.data());
        Append(&o.seen, t);
        const bench::CollectorClock c = bench::CollectorTime();
        o.seen.insert(o.seen.end(), {bench::CollectorClockSet() ? 1 : 0, c.year, c.month, c.day, c.hour, c.minute,
                                     c.second});
        return o;
    };
    time.allowed = codes;
    time.retries = true;
    Walk(time);

    Scenario room;
    room.name = "PDA_SetRoomNumber";
    room.prepare = freshCollector;
    room.run = [] {
        std::array<int16_t, 10> r{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
        Outcome o;
        o.result = PDA_SetRoomNumber(r.data());
        o.seen.push_back(bench::CollectorRoomSet() ? 1 : 0);
        Append(&o.seen, bench::CollectorRoomNumber());
        return o;
    };
    room.allowed = codes;
    room.retries = true;
    Walk(room);
}

class CaseCount : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf("[ walk     ] %d cases walked (export, medium, call, fault kind)\n", g_casesWalked);
    }
};
const ::testing::Environment *const g_caseCount = ::testing::AddGlobalTestEnvironment(new CaseCount);

}  // namespace
