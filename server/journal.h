// The journal: every job, written before its card is touched, so that
// nothing is reported as done that the journal does not hold.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace server {

struct JournalConfig;

enum class JobState { Queued, Running, Ok, Failed, Unknown, Expired };
const char *StateName(JobState s);
std::optional<JobState> ParseState(const std::string &s);
inline bool Finished(JobState s) { return s != JobState::Queued && s != JobState::Running; }

struct Job {
    int64_t id = 0;
    std::string encoder;
    std::string interface = "api";  // api, fias, opera, console
    std::string who;                // token or user name
    std::string action;             // issue, read, clear, collect
    std::string kind;               // card kind (issue)
    nlohmann::json request = nlohmann::json::object();  // what was asked: no keys, passwords or tokens
    std::string reason;
    std::string idempotency_key;
    std::string request_hash;  // tells a true retry from a reused key
    JobState state = JobState::Queued;
    int code = 0;              // the library's result code (1: KS_OK); 0 when none came back
    std::string code_name;     // its name, e.g. KS_ERR_NOT_CLEARED
    std::string serial;
    std::string error;         // why, in words, when not ok
    nlohmann::json card;       // the tool's report (read: the decoded card)
    int64_t created_ms = 0, started_ms = 0, finished_ms = 0;  // Unix time, milliseconds
};

struct JobQuery {
    int64_t since = 0;  // jobs with a larger id
    std::string encoder;
    size_t limit = 100;
};

// Raised when the journal cannot take a write: the caller refuses the
// request (503) and touches no card.
struct JournalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Journal {
public:
    virtual ~Journal() = default;
    virtual void Add(Job &job) = 0;           // assigns job.id
    virtual void Update(const Job &job) = 0;  // state, result, times
    virtual std::optional<Job> Get(int64_t id) = 0;
    virtual std::optional<Job> FindByIdempotencyKey(const std::string &who, const std::string &key) = 0;
    virtual std::vector<Job> List(const JobQuery &q) = 0;
    // At start: jobs a dead server left running end unknown (their card may
    // hold them), queued ones expired (never run late). Returns them.
    virtual std::vector<Job> EndInterrupted(int64_t now_ms) = 0;
};

// Why a job the stopped server left running (or queued) ended as it did:
// the words both journals record.
const char *InterruptedWhy(JobState was);

std::unique_ptr<Journal> OpenSqliteJournal(const std::string &path, bool fullSync);
// One database may hold many sites' journals: this one sees and ends only
// the jobs of `site`.
std::unique_ptr<Journal> OpenPostgresJournal(const std::string &conninfo, const std::string &site);
std::unique_ptr<Journal> OpenJournal(const JournalConfig &config, const std::string &stateDir);

nlohmann::json JobToJson(const Job &job);  // the API's and the export's view
int64_t NowMs();
// Now (+ seconds) as the property's wall time, in strftime's `format`.
std::string LocalTimeText(const char *format, int64_t plusSeconds = 0);

}  // namespace server
