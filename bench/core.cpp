// Bench core: the call log, fault injection and open-resource bookkeeping
// shared by every device model and facade.
#include "bench.h"

#include <deque>
#include <map>

namespace bench {
namespace {

struct ArmedFault {
    int remaining;  // calls still to pass before the fault fires
    FaultKind kind;
    std::string fn;
    bool fired = false;
};

struct CoreState {
    std::deque<Call> log;  // the most recent kCallLogLimit calls
    size_t total = 0;      // calls since the last ClearCallLog
    std::vector<ArmedFault> faults;
    std::map<std::string, int> open;
    std::vector<RemoveCardHook> removeHooks;
    std::vector<ResetHook> resetHooks;
    std::vector<CallHook> beforeCallHooks;
    std::vector<CallHook> afterCallHooks;
    bool inCall = false;
};

CoreState &Core() {
    static CoreState state;
    return state;
}

}  // namespace

// A host's test suite may issue hundreds of thousands of cards in one
// process; the log keeps only the recent calls so it cannot grow without end.
constexpr size_t kCallLogLimit = 1 << 16;

std::vector<Call> CallLog() { return std::vector<Call>(Core().log.begin(), Core().log.end()); }
void ClearCallLog() {
    Core().log.clear();
    Core().total = 0;
}
size_t TotalCalls() { return Core().total; }

size_t CallCount(const std::string &fn) {
    size_t n = 0;
    for (const Call &c : Core().log) n += c.fn == fn;
    return n;
}

void ArmFault(int nth, FaultKind kind, const std::string &fn) {
    Core().faults.push_back(ArmedFault{nth, kind, fn});
}

void ClearFaults() { Core().faults.clear(); }

int OpenCount(const std::string &what) {
    auto it = Core().open.find(what);
    return it == Core().open.end() ? 0 : it->second;
}

int TotalOpen() {
    int n = 0;
    for (const auto &entry : Core().open) n += entry.second;
    return n;
}

void NoteOpen(const std::string &what) { ++Core().open[what]; }

void NoteClose(const std::string &what) {
    auto it = Core().open.find(what);
    if (it != Core().open.end() && it->second > 0) --it->second;
}

void RegisterRemoveCardHook(RemoveCardHook hook) { Core().removeHooks.push_back(hook); }
void RegisterResetHook(ResetHook hook) { Core().resetHooks.push_back(hook); }
void RegisterBeforeCallHook(CallHook hook) { Core().beforeCallHooks.push_back(hook); }
void RegisterAfterCallHook(CallHook hook) { Core().afterCallHooks.push_back(hook); }

bool InVendorCall() { return Core().inCall; }

bool BeginCall(const char *fn, std::initializer_list<int64_t> args) {
    CoreState &core = Core();
    core.inCall = true;  // hook work, like the device work, is the bench's
    for (CallHook hook : core.beforeCallHooks) hook();
    Call call;
    call.fn = fn;
    call.args.assign(args.begin(), args.end());
    bool fail = false;
    for (ArmedFault &f : core.faults) {
        if (!f.fn.empty() && f.fn != call.fn) continue;
        if (f.fired) {
            fail = fail || f.kind == FaultKind::FailFromThenOn;
            continue;
        }
        if (--f.remaining > 0) continue;
        f.fired = true;
        if (f.kind == FaultKind::RemoveCard) {
            for (RemoveCardHook hook : core.removeHooks) hook();
        } else {
            fail = true;
        }
    }
    call.faulted = fail;
    core.log.push_back(std::move(call));
    ++core.total;
    if (core.log.size() > kCallLogLimit) core.log.pop_front();
    return fail;
}

int64_t EndCall(int64_t result, const uint8_t *data, size_t size) {
    CoreState &core = Core();
    if (core.inCall && !core.log.empty()) {
        core.log.back().result = result;
        if (data != nullptr && size > 0) core.log.back().data.assign(data, data + size);
    }
    for (CallHook hook : core.afterCallHooks) hook();
    core.inCall = false;
    return result;
}

void Reset() {
    CoreState &core = Core();
    core.log.clear();
    core.total = 0;
    core.faults.clear();
    core.open.clear();
    for (ResetHook hook : core.resetHooks) hook();
}

}  // namespace bench
