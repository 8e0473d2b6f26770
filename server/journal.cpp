#include "journal.h"

#include <chrono>

#include "config.h"

namespace server {

const char *StateName(JobState s) {
    switch (s) {
    case JobState::Queued: return "queued";
    case JobState::Running: return "running";
    case JobState::Ok: return "ok";
    case JobState::Failed: return "failed";
    case JobState::Unknown: return "unknown";
    case JobState::Expired: return "expired";
    }
    return "?";
}

std::optional<JobState> ParseState(const std::string &s) {
    for (JobState st : {JobState::Queued, JobState::Running, JobState::Ok, JobState::Failed, JobState::Unknown,
                        JobState::Expired})
        if (s == StateName(st)) return st;
    return std::nullopt;
}

const char *InterruptedWhy(JobState was) {
    return was == JobState::Running ? "the server stopped while the card was being written: the card may hold it"
                                    : "the server stopped before the job could start";
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string LocalTimeText(const char *format, int64_t plusSeconds) {
    time_t t = time(nullptr) + plusSeconds;
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, format, &tm);
    return buf;
}

namespace {
nlohmann::json Time(int64_t ms) {
    if (ms == 0) return nullptr;
    time_t t = ms / 1000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
    return buf;
}
}  // namespace

nlohmann::json JobToJson(const Job &j) {
    nlohmann::json out = {
        {"id", j.id},
        {"url", "/v1/jobs/" + std::to_string(j.id)},
        {"encoder", j.encoder},
        {"interface", j.interface},
        {"who", j.who},
        {"action", j.action},
        {"state", StateName(j.state)},
        {"request", j.request},
        {"created", Time(j.created_ms)},
        {"started", Time(j.started_ms)},
        {"finished", Time(j.finished_ms)},
    };
    if (!j.kind.empty()) out["kind"] = j.kind;
    if (!j.reason.empty()) out["reason"] = j.reason;
    if (j.code != 0 || !j.code_name.empty()) out["result"] = {{"code", j.code}, {"name", j.code_name}};
    else out["result"] = nullptr;
    out["serial"] = j.serial.empty() ? nlohmann::json(nullptr) : nlohmann::json(j.serial);
    if (!j.error.empty()) out["error"] = j.error;
    if (!j.card.is_null()) out["card"] = j.card;
    return out;
}

std::unique_ptr<Journal> OpenJournal(const JournalConfig &config, const std::string &stateDir) {
    if (config.kind == "postgres") return OpenPostgresJournal(config.url, config.site);
    return OpenSqliteJournal(stateDir + "/journal.sqlite", config.sync == "full");
}

}  // namespace server
