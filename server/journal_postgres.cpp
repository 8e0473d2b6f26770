// The chain's journal: one PostgreSQL database that many sites' servers
// share. Every row carries its site and every statement is bound to this
// server's site, so no server sees, answers a retry with, or ends another
// site's jobs. Values travel only as statement parameters.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "journal.h"

namespace server {
namespace {

// The query string is one implicit transaction: a server that starts beside
// another one on a new database waits on the lock, then finds the table the
// other made (CREATE ... IF NOT EXISTS alone races on the catalog).
const char kSchema[] = R"(
SET LOCAL client_min_messages = warning;
SELECT pg_advisory_xact_lock(1263748686, 0);
CREATE TABLE IF NOT EXISTS kestrane_jobs (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  site TEXT NOT NULL,
  encoder TEXT NOT NULL, interface TEXT NOT NULL, who TEXT NOT NULL,
  action TEXT NOT NULL, kind TEXT NOT NULL, request TEXT NOT NULL, reason TEXT NOT NULL,
  idempotency_key TEXT NOT NULL, request_hash TEXT NOT NULL,
  state TEXT NOT NULL, code INTEGER NOT NULL, code_name TEXT NOT NULL,
  serial TEXT NOT NULL, error TEXT NOT NULL, card TEXT NOT NULL,
  created_ms BIGINT NOT NULL, started_ms BIGINT NOT NULL, finished_ms BIGINT NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS kestrane_jobs_idempotency
  ON kestrane_jobs (site, who, idempotency_key) WHERE idempotency_key <> '';
CREATE INDEX IF NOT EXISTS kestrane_jobs_site ON kestrane_jobs (site, id);
CREATE INDEX IF NOT EXISTS kestrane_jobs_encoder ON kestrane_jobs (site, encoder, id);
CREATE INDEX IF NOT EXISTS kestrane_jobs_unfinished ON kestrane_jobs (site) WHERE state IN ('queued', 'running');
)";

// The table is named for the program: the chain's database may hold others'.
const char kColumns[] =
    "id, encoder, interface, who, action, kind, request, reason, idempotency_key, request_hash, state, code, "
    "code_name, serial, error, card, created_ms, started_ms, finished_ms";

// Advisory-lock namespace of "this site has a live server" (the second key
// is the site name's hash).
const char kSiteLock[] = "SELECT pg_try_advisory_lock(1263748686, hashtext($1))";

constexpr int kSiteLockTries = 10;
constexpr std::chrono::milliseconds kSiteLockPause{100};

const char kReadOnly[] = "25006";  // SQLSTATE read_only_sql_transaction (also a hot standby's answer)

// libpq's message on one line, for the log and the 503's detail.
std::string Trimmed(const char *s) {
    std::string out;
    for (const char *c = s ? s : ""; *c; ++c) {
        if (*c != '\n' && *c != '\t') out += *c;
        else if (!out.empty() && out.back() != ' ') out += ' ';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out.empty() ? "no answer from the database" : out;
}

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

class PostgresJournal : public Journal {
public:
    PostgresJournal(const std::string &conninfo, const std::string &site) : site_(site) {
        // Entries before dbname are defaults the connection string may
        // override: a database host that vanished (no answer, not even a
        // refusal) costs a call some 10-25 s, not the minutes of TCP's own
        // retries. client_encoding after it is forced: the journal's
        // strings are UTF-8.
        const char *keys[] = {"connect_timeout", "tcp_user_timeout", "keepalives_idle", "keepalives_interval",
                              "keepalives_count", "application_name", "dbname", "client_encoding", nullptr};
        const char *values[] = {"10", "10000", "10", "5", "3", "kestrane-server", conninfo.c_str(), "UTF8", nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (!conn_) throw JournalError("journal: out of memory");
        // What the database says outside an answer (its shutdown, say) goes
        // to the server's log as the server's own line.
        PQsetNoticeProcessor(
            conn_, [](void *, const char *m) { std::cerr << "kestrane-server: journal: " << Trimmed(m) << std::endl; },
            nullptr);
        if (PQstatus(conn_) != CONNECTION_OK) {
            // libpq's words, never the connection string: it may hold a password.
            std::string why = Trimmed(PQerrorMessage(conn_));
            PQfinish(conn_);
            throw JournalError("journal: " + why);
        }
        Result r(PQexec(conn_, kSchema), PQclear);
        if (PQresultStatus(r.get()) != PGRES_TUPLES_OK && PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            // A read-only database that already holds the table still
            // answers reads; each write is refused on its own.
            const char *state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
            bool readOnly = state && std::string(state) == kReadOnly;
            std::string why = Why(r.get());
            if (!readOnly || !TableExists()) {
                PQfinish(conn_);
                throw JournalError("journal: " + why);
            }
        }
    }
    ~PostgresJournal() override { PQfinish(conn_); }

    void Add(Job &j) override {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> p = {site_,
                                      j.encoder,
                                      j.interface,
                                      j.who,
                                      j.action,
                                      j.kind,
                                      j.request.dump(),
                                      j.reason,
                                      j.idempotency_key,
                                      j.request_hash,
                                      StateName(j.state),
                                      std::to_string(j.code),
                                      j.code_name,
                                      j.serial,
                                      j.error,
                                      j.card.is_null() ? "" : j.card.dump(),
                                      std::to_string(j.created_ms),
                                      std::to_string(j.started_ms),
                                      std::to_string(j.finished_ms)};
        Result r = Run(std::string("INSERT INTO kestrane_jobs (site, ") + (kColumns + 4) +
                           ") VALUES ($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14,$15,$16,$17,$18,$19) RETURNING id",
                       p);
        j.id = std::stoll(PQgetvalue(r.get(), 0, 0));
    }

    void Update(const Job &j) override {
        std::lock_guard<std::mutex> lock(mu_);
        Result r = Run("UPDATE kestrane_jobs SET state=$1, code=$2, code_name=$3, serial=$4, error=$5, card=$6, "
                       "started_ms=$7, finished_ms=$8 WHERE site=$9 AND id=$10",
                       {StateName(j.state), std::to_string(j.code), j.code_name, j.serial, j.error,
                        j.card.is_null() ? "" : j.card.dump(), std::to_string(j.started_ms),
                        std::to_string(j.finished_ms), site_, std::to_string(j.id)});
        if (std::string(PQcmdTuples(r.get())) != "1")
            throw JournalError("journal: job " + std::to_string(j.id) + " is not on record");
    }

    std::optional<Job> Get(int64_t id) override {
        auto jobs = Select("WHERE site=$1 AND id=$2", {site_, std::to_string(id)});
        if (jobs.empty()) return std::nullopt;
        return jobs[0];
    }

    std::optional<Job> FindByIdempotencyKey(const std::string &who, const std::string &key) override {
        auto jobs = Select("WHERE site=$1 AND who=$2 AND idempotency_key=$3", {site_, who, key});
        if (jobs.empty()) return std::nullopt;
        return jobs[0];
    }

    std::vector<Job> List(const JobQuery &q) override {
        return Select("WHERE site=$1 AND id>$2 AND ($3::text='' OR encoder=$3) ORDER BY id LIMIT $4",
                      {site_, std::to_string(q.since), q.encoder, std::to_string(q.limit)});
    }

    // The server that ends a site's interrupted jobs must be that site's
    // only live one: a second server given the same site (two hotels left
    // on the default folder name, say) would end the first one's running
    // jobs and answer its guests' retries. The lock is held as long as this
    // server's session, taken again after a reconnect.
    std::vector<Job> EndInterrupted(int64_t now) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (!siteLocked_) {
            Ready();
            // A server restarted at once after a crash may find its dead
            // predecessor's session not yet ended by the database.
            TakeSite(kSiteLockTries);
        }
        holdSite_ = true;
        // One statement: nothing started between the look and the change.
        // SET reads each row's state before the change.
        Result r = Run(std::string("UPDATE kestrane_jobs SET "
                                   "state = CASE state WHEN 'running' THEN 'unknown' ELSE 'expired' END, "
                                   "error = CASE state WHEN 'running' THEN $2 ELSE $3 END, finished_ms = $4 "
                                   "WHERE site=$1 AND state IN ('queued', 'running') RETURNING ") +
                           kColumns,
                       {site_, InterruptedWhy(JobState::Running), InterruptedWhy(JobState::Queued),
                        std::to_string(now)});
        std::vector<Job> jobs = Rows(r.get());
        std::sort(jobs.begin(), jobs.end(), [](const Job &a, const Job &b) { return a.id < b.id; });
        return jobs;
    }

private:
    static std::string Why(const PGresult *r) { return Trimmed(PQresultErrorMessage(r)); }

    bool TableExists() {
        Result r(PQexec(conn_, "SELECT to_regclass('kestrane_jobs') IS NOT NULL"), PQclear);
        return PQresultStatus(r.get()) == PGRES_TUPLES_OK && std::string(PQgetvalue(r.get(), 0, 0)) == "t";
    }

    // Reads what the database sent while the session sat idle, without
    // waiting: its goodbye when it shut down, then the end of the stream,
    // which turns the session CONNECTION_BAD before a statement is lost on it.
    void SeeIdleClose() {
        for (int i = 0; i < 4 && PQstatus(conn_) == CONNECTION_OK; ++i) {
            pollfd p{PQsocket(conn_), POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || !PQconsumeInput(conn_)) return;
        }
    }

    // Before each call: a session the database ended (a restart, a
    // failover) is seen here, and one reconnection is tried, so a database
    // that is back is used again without restarting the server.
    void Ready() {
        SeeIdleClose();
        if (PQstatus(conn_) != CONNECTION_OK) {
            siteLocked_ = false;
            PQreset(conn_);
            if (PQstatus(conn_) != CONNECTION_OK) throw JournalError("journal: " + Trimmed(PQerrorMessage(conn_)));
        }
        if (holdSite_ && !siteLocked_) TakeSite(1);
    }

    void TakeSite(int tries) {
        const char *site = site_.c_str();
        for (int i = 1;; ++i) {
            Result r(PQexecParams(conn_, kSiteLock, 1, nullptr, &site, nullptr, nullptr, 0), PQclear);
            if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) throw JournalError("journal: " + Why(r.get()));
            if (std::string(PQgetvalue(r.get(), 0, 0)) == "t") break;
            if (i >= tries)
                throw JournalError("journal: another kestrane-server is running for site '" + site_ +
                                   "' on this database: give each site its own [journal] site");
            std::this_thread::sleep_for(kSiteLockPause);
        }
        siteLocked_ = true;
    }

    Result Run(const std::string &sql, const std::vector<std::string> &params) {
        Ready();
        std::vector<const char *> values;
        for (auto &p : params) values.push_back(p.c_str());
        Result r(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                              nullptr, 0),
                 PQclear);
        ExecStatusType st = PQresultStatus(r.get());
        if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK)
            throw JournalError("journal: " + (r ? Why(r.get()) : Trimmed(PQerrorMessage(conn_))));
        return r;
    }

    std::vector<Job> Select(const std::string &where, const std::vector<std::string> &params) {
        std::lock_guard<std::mutex> lock(mu_);
        Result r = Run(std::string("SELECT ") + kColumns + " FROM kestrane_jobs " + where, params);
        return Rows(r.get());
    }

    static std::vector<Job> Rows(const PGresult *r) {
        std::vector<Job> out;
        for (int row = 0; row < PQntuples(r); ++row) {
            auto col = [&](int i) { return std::string(PQgetvalue(r, row, i)); };
            auto num = [&](int i) { return std::stoll(PQgetvalue(r, row, i)); };
            Job j;
            j.id = num(0);
            j.encoder = col(1);
            j.interface = col(2);
            j.who = col(3);
            j.action = col(4);
            j.kind = col(5);
            j.request = nlohmann::json::parse(col(6), nullptr, false);
            j.reason = col(7);
            j.idempotency_key = col(8);
            j.request_hash = col(9);
            j.state = ParseState(col(10)).value_or(JobState::Unknown);
            j.code = static_cast<int>(num(11));
            j.code_name = col(12);
            j.serial = col(13);
            j.error = col(14);
            std::string card = col(15);
            if (!card.empty()) j.card = nlohmann::json::parse(card, nullptr, false);
            j.created_ms = num(16);
            j.started_ms = num(17);
            j.finished_ms = num(18);
            out.push_back(std::move(j));
        }
        return out;
    }

    const std::string site_;
    PGconn *conn_ = nullptr;
    bool holdSite_ = false;    // this server ended the site's interrupted jobs: it is the site's live one
    bool siteLocked_ = false;  // the session holds the site's lock
    std::mutex mu_;
};

}  // namespace

std::unique_ptr<Journal> OpenPostgresJournal(const std::string &conninfo, const std::string &site) {
    return std::make_unique<PostgresJournal>(conninfo, site);
}

}  // namespace server
