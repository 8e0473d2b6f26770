// The embedded journal: SQLite in WAL mode in the state folder. Each change
// is its own transaction, committed before the caller goes on.
#include <sqlite3.h>

#include <map>
#include <mutex>
#include <string>

#include "journal.h"

namespace server {
namespace {

const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS jobs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  encoder TEXT NOT NULL, interface TEXT NOT NULL, who TEXT NOT NULL,
  action TEXT NOT NULL, kind TEXT NOT NULL, request TEXT NOT NULL, reason TEXT NOT NULL,
  idempotency_key TEXT NOT NULL, request_hash TEXT NOT NULL,
  state TEXT NOT NULL, code INTEGER NOT NULL, code_name TEXT NOT NULL,
  serial TEXT NOT NULL, error TEXT NOT NULL, card TEXT NOT NULL,
  created_ms INTEGER NOT NULL, started_ms INTEGER NOT NULL, finished_ms INTEGER NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS jobs_idempotency ON jobs(who, idempotency_key) WHERE idempotency_key <> '';
CREATE INDEX IF NOT EXISTS jobs_encoder ON jobs(encoder, id);
)";

const char kColumns[] =
    "id, encoder, interface, who, action, kind, request, reason, idempotency_key, request_hash, state, code, "
    "code_name, serial, error, card, created_ms, started_ms, finished_ms";

class Statement {
public:
    Statement(sqlite3 *db, const std::string &sql) : db_(db), owned_(true) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st_, nullptr) != SQLITE_OK)
            throw JournalError(std::string("journal: ") + sqlite3_errmsg(db));
    }
    // One of the journal's kept statements: reset for its next use, not freed.
    Statement(sqlite3 *db, sqlite3_stmt *kept) : db_(db), st_(kept), owned_(false) {}
    ~Statement() {
        if (owned_) {
            sqlite3_finalize(st_);
        } else {
            sqlite3_reset(st_);
            sqlite3_clear_bindings(st_);
        }
    }
    Statement &Text(int i, const std::string &s) {
        sqlite3_bind_text(st_, i, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &Int(int i, int64_t v) {
        sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    bool Step() {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw JournalError(std::string("journal: ") + sqlite3_errmsg(db_));
    }
    std::string Col(int i) {
        auto p = sqlite3_column_text(st_, i);
        return p ? reinterpret_cast<const char *>(p) : "";
    }
    int64_t ColInt(int i) { return sqlite3_column_int64(st_, i); }

private:
    sqlite3 *db_;
    sqlite3_stmt *st_ = nullptr;
    bool owned_;
};

class SqliteJournal : public Journal {
public:
    SqliteJournal(const std::string &path, bool fullSync) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw JournalError("journal " + path + ": " + why);
        }
        sqlite3_busy_timeout(db_, 2000);
        Exec("PRAGMA journal_mode=WAL");
        Exec(fullSync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
        Exec(kSchema);
    }
    ~SqliteJournal() override {
        for (auto &[sql, st] : kept_) sqlite3_finalize(st);
        sqlite3_close(db_);
    }

    void Add(Job &j) override {
        std::lock_guard<std::mutex> lock(mu_);
        static const std::string sql =
            std::string("INSERT INTO jobs (") + (kColumns + 4) + ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
        Statement st(db_, Kept(sql));
        Bind(st, j, 1);
        st.Step();
        j.id = sqlite3_last_insert_rowid(db_);
    }

    void Update(const Job &j) override {
        std::lock_guard<std::mutex> lock(mu_);
        static const std::string sql =
            "UPDATE jobs SET state=?, code=?, code_name=?, serial=?, error=?, card=?, started_ms=?, finished_ms=? "
            "WHERE id=?";
        Statement st(db_, Kept(sql));
        st.Text(1, StateName(j.state)).Int(2, j.code).Text(3, j.code_name).Text(4, j.serial).Text(5, j.error);
        st.Text(6, j.card.is_null() ? "" : j.card.dump()).Int(7, j.started_ms).Int(8, j.finished_ms).Int(9, j.id);
        st.Step();
        if (sqlite3_changes(db_) != 1) throw JournalError("journal: job " + std::to_string(j.id) + " is not on record");
    }

    std::optional<Job> Get(int64_t id) override {
        auto jobs = Select("WHERE id=?", [&](Statement &st) { st.Int(1, id); });
        if (jobs.empty()) return std::nullopt;
        return jobs[0];
    }

    std::optional<Job> FindByIdempotencyKey(const std::string &who, const std::string &key) override {
        auto jobs = Select("WHERE who=? AND idempotency_key=?", [&](Statement &st) { st.Text(1, who).Text(2, key); });
        if (jobs.empty()) return std::nullopt;
        return jobs[0];
    }

    std::vector<Job> List(const JobQuery &q) override {
        return Select("WHERE id>? AND (?='' OR encoder=?) ORDER BY id LIMIT ?", [&](Statement &st) {
            st.Int(1, q.since).Text(2, q.encoder).Text(3, q.encoder).Int(4, static_cast<int64_t>(q.limit));
        });
    }

    std::vector<Job> EndInterrupted(int64_t now) override {
        std::vector<Job> jobs = Select("WHERE state IN ('queued','running') ORDER BY id", [](Statement &) {});
        for (Job &j : jobs) {
            j.error = InterruptedWhy(j.state);
            j.state = j.state == JobState::Running ? JobState::Unknown : JobState::Expired;
            j.finished_ms = now;
            Update(j);
        }
        return jobs;
    }

private:
    // Every job writes the journal three times (queued, running, its end):
    // those statements are compiled once and kept, not parsed for each write.
    sqlite3_stmt *Kept(const std::string &sql) {
        auto it = kept_.find(sql);
        if (it != kept_.end()) return it->second;
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK)
            throw JournalError(std::string("journal: ") + sqlite3_errmsg(db_));
        return kept_[sql] = st;
    }

    void Exec(const char *sql) {
        char *err = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
            std::string why = err ? err : "?";
            sqlite3_free(err);
            throw JournalError("journal: " + why);
        }
    }

    static void Bind(Statement &st, const Job &j, int at) {
        st.Text(at, j.encoder).Text(at + 1, j.interface).Text(at + 2, j.who).Text(at + 3, j.action);
        st.Text(at + 4, j.kind).Text(at + 5, j.request.dump()).Text(at + 6, j.reason);
        st.Text(at + 7, j.idempotency_key).Text(at + 8, j.request_hash).Text(at + 9, StateName(j.state));
        st.Int(at + 10, j.code).Text(at + 11, j.code_name).Text(at + 12, j.serial).Text(at + 13, j.error);
        st.Text(at + 14, j.card.is_null() ? "" : j.card.dump());
        st.Int(at + 15, j.created_ms).Int(at + 16, j.started_ms).Int(at + 17, j.finished_ms);
    }

    template <typename BindFn>
    std::vector<Job> Select(const std::string &where, BindFn bind) {
        std::lock_guard<std::mutex> lock(mu_);
        Statement st(db_, std::string("SELECT ") + kColumns + " FROM jobs " + where);
        bind(st);
        std::vector<Job> out;
        while (st.Step()) {
            Job j;
            j.id = st.ColInt(0);
            j.encoder = st.Col(1);
            j.interface = st.Col(2);
            j.who = st.Col(3);
            j.action = st.Col(4);
            j.kind = st.Col(5);
            j.request = nlohmann::json::parse(st.Col(6), nullptr, false);
            j.reason = st.Col(7);
            j.idempotency_key = st.Col(8);
            j.request_hash = st.Col(9);
            j.state = ParseState(st.Col(10)).value_or(JobState::Unknown);
            j.code = static_cast<int>(st.ColInt(11));
            j.code_name = st.Col(12);
            j.serial = st.Col(13);
            j.error = st.Col(14);
            std::string card = st.Col(15);
            if (!card.empty()) j.card = nlohmann::json::parse(card, nullptr, false);
            j.created_ms = st.ColInt(16);
            j.started_ms = st.ColInt(17);
            j.finished_ms = st.ColInt(18);
            out.push_back(std::move(j));
        }
        return out;
    }

    sqlite3 *db_ = nullptr;
    std::map<std::string, sqlite3_stmt *> kept_;
    std::mutex mu_;
};

}  // namespace

std::unique_ptr<Journal> OpenSqliteJournal(const std::string &path, bool fullSync) {
    return std::make_unique<SqliteJournal>(path, fullSync);
}

}  // namespace server
