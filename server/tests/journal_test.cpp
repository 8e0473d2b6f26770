// The journal keeps what happened to each card, across restarts: the same
// rules hold for the embedded SQLite journal and for a chain's PostgreSQL
// database, which tests/support/with_postgres.sh provides (KESTRANE_TEST_PG).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "journal.h"

namespace {

enum class Kind { Sqlite, Postgres };
void PrintTo(Kind k, std::ostream *os) { *os << (k == Kind::Sqlite ? "SQLite" : "PostgreSQL"); }

server::Job NewJob(const std::string &encoder, const std::string &key = "") {
    server::Job j;
    j.encoder = encoder;
    j.who = "pms1";
    j.action = "issue";
    j.kind = "guest";
    j.request = {{"kind", "guest"}, {"rooms", {"101"}}};
    j.idempotency_key = key;
    j.created_ms = server::NowMs();
    return j;
}

// One store per test: a SQLite file in a folder of its own, or sites of
// their own in the shared PostgreSQL database (sites keep them apart).
class JournalRig : public ::testing::Test {
protected:
    void Prepare(Kind kind) {
        kind_ = kind;
        if (kind == Kind::Sqlite) {
            char tmpl[] = "/tmp/ks-journal-XXXXXX";
            dir_ = mkdtemp(tmpl);
            return;
        }
        const char *pg = std::getenv("KESTRANE_TEST_PG");
        if (!pg) GTEST_SKIP() << "KESTRANE_TEST_PG is not set: ctest's server.journal_postgres runs these "
                                 "through tests/support/with_postgres.sh";
        conninfo_ = pg;
        auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
        prefix_ = std::string(t->name()) + "-" + std::to_string(getpid()) + "-" + std::to_string(server::NowMs());
    }

    // The journal of `site`, as a (re)started server opens it.
    std::unique_ptr<server::Journal> Open(const std::string &site = "a") {
        if (kind_ == Kind::Sqlite) return server::OpenSqliteJournal(dir_ + "/j.sqlite", true);
        return server::OpenPostgresJournal(conninfo_, prefix_ + "/" + site);
    }

    // The same journal, no longer writable: files root cannot be kept
    // from, or a session the database holds read-only (as a read-only
    // database or a hot standby after a failover does).
    std::unique_ptr<server::Journal> OpenUnwritable() {
        if (kind_ == Kind::Sqlite) {
            chmod((dir_ + "/j.sqlite").c_str(), 0400);
            chmod((dir_ + "/j.sqlite-wal").c_str(), 0400);
            return Open();
        }
        ::setenv("PGOPTIONS", "-c default_transaction_read_only=on", 1);
        auto j = Open();
        ::unsetenv("PGOPTIONS");
        return j;
    }

    Kind kind_ = Kind::Sqlite;
    std::string dir_, conninfo_, prefix_;
};

class JournalTest : public JournalRig, public ::testing::WithParamInterface<Kind> {
protected:
    void SetUp() override { Prepare(GetParam()); }
};

TEST_P(JournalTest, RestartEndsRunningJobsUnknownAndQueuedExpired) {
    int64_t running, queued, done;
    {
        auto j = Open();
        server::Job a = NewJob("desk1"), b = NewJob("desk1"), c = NewJob("desk2");
        j->Add(a);
        j->Add(b);
        j->Add(c);
        a.state = server::JobState::Running;
        j->Update(a);
        c.state = server::JobState::Ok;
        c.code = 1;
        c.code_name = "KS_OK";
        c.serial = "0A0B0C0D";
        j->Update(c);
        running = a.id, queued = b.id, done = c.id;
    }
    auto j = Open();
    auto ended = j->EndInterrupted(server::NowMs());
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_EQ(ended[0].id, running);
    EXPECT_EQ(ended[0].state, server::JobState::Unknown);
    EXPECT_EQ(j->Get(running)->state, server::JobState::Unknown);
    EXPECT_EQ(j->Get(queued)->state, server::JobState::Expired);
    EXPECT_NE(j->Get(queued)->finished_ms, 0);
    auto ok = j->Get(done);
    EXPECT_EQ(ok->state, server::JobState::Ok);
    EXPECT_EQ(ok->serial, "0A0B0C0D");
    EXPECT_EQ(ok->request["rooms"][0], "101");
    EXPECT_TRUE(j->EndInterrupted(server::NowMs()).empty());
}

TEST_P(JournalTest, IdempotencyKeyIsPerCallerAndUnique) {
    auto j = Open();
    server::Job a = NewJob("desk1", "k1");
    j->Add(a);
    EXPECT_EQ(j->FindByIdempotencyKey("pms1", "k1")->id, a.id);
    EXPECT_FALSE(j->FindByIdempotencyKey("pms2", "k1"));
    server::Job again = NewJob("desk1", "k1");
    EXPECT_THROW(j->Add(again), server::JournalError);  // never two jobs for one retried request
    server::Job unkeyed1 = NewJob("desk1"), unkeyed2 = NewJob("desk1");
    j->Add(unkeyed1);
    j->Add(unkeyed2);  // no key: no retry to tell apart
}

TEST_P(JournalTest, PagesByIdAndEncoder) {
    auto j = Open();
    for (int i = 0; i < 5; ++i) {
        server::Job a = NewJob(i % 2 ? "desk2" : "desk1");
        j->Add(a);
    }
    server::JobQuery q;
    q.limit = 2;
    auto page1 = j->List(q);
    ASSERT_EQ(page1.size(), 2u);
    q.since = page1.back().id;
    auto page2 = j->List(q);
    ASSERT_EQ(page2.size(), 2u);
    EXPECT_GT(page2[0].id, page1[1].id);
    q = {};
    q.encoder = "desk2";
    EXPECT_EQ(j->List(q).size(), 2u);
}

TEST_P(JournalTest, UnwritableJournalRefusesTheJob) {
    if (GetParam() == Kind::Sqlite && geteuid() == 0) GTEST_SKIP() << "root writes through file modes";
    server::Job a = NewJob("desk1");
    Open()->Add(a);
    auto j = OpenUnwritable();
    server::Job b = NewJob("desk1");
    EXPECT_THROW(j->Add(b), server::JournalError);
    a.state = server::JobState::Ok;
    EXPECT_THROW(j->Update(a), server::JournalError);
    EXPECT_EQ(j->Get(a.id)->state, server::JobState::Queued);  // what it holds is still read
}

INSTANTIATE_TEST_SUITE_P(Journal, JournalTest, ::testing::Values(Kind::Sqlite, Kind::Postgres),
                         [](const auto &p) { return p.param == Kind::Sqlite ? "Sqlite" : "Postgres"; });

// What a database shared by many sites' servers adds.
class PostgresJournal : public JournalRig {
protected:
    void SetUp() override { Prepare(Kind::Postgres); }
};

TEST_F(PostgresJournal, SitesInOneDatabaseNeitherSeeNorEndEachOthersJobs) {
    auto a = Open("a"), b = Open("b");
    server::Job ja = NewJob("desk1", "k1");
    a->Add(ja);
    ja.state = server::JobState::Running;
    a->Update(ja);
    server::Job jb = NewJob("desk1", "k1");  // the same caller and key at another site: a job of its own
    b->Add(jb);

    EXPECT_FALSE(b->Get(ja.id));
    EXPECT_EQ(b->FindByIdempotencyKey("pms1", "k1")->id, jb.id);
    auto listed = b->List({});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].id, jb.id);
    server::Job foreign = ja;
    foreign.state = server::JobState::Failed;
    EXPECT_THROW(b->Update(foreign), server::JournalError);

    auto ended = b->EndInterrupted(server::NowMs());
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].id, jb.id);
    EXPECT_EQ(a->Get(ja.id)->state, server::JobState::Running);
}

TEST_F(PostgresJournal, OneLiveServerPerSite) {
    auto first = Open("a");
    first->EndInterrupted(server::NowMs());
    // A second server given the same site would end the first one's running jobs.
    EXPECT_THROW(Open("a")->EndInterrupted(server::NowMs()), server::JournalError);
    first.reset();
    EXPECT_NO_THROW(Open("a")->EndInterrupted(server::NowMs()));
}

TEST_F(PostgresJournal, StoppedDatabaseRaisesAndIsUsedAgainWhenBack) {
    const char *ctl = std::getenv("KESTRANE_TEST_PG_CTL");
    if (!ctl) GTEST_SKIP() << "KESTRANE_TEST_PG_CTL is not set (tests/support/with_postgres.sh sets it)";
    auto j = Open();
    j->EndInterrupted(server::NowMs());
    server::Job a = NewJob("desk1");
    j->Add(a);

    ASSERT_EQ(std::system((std::string(ctl) + " stop -m fast").c_str()), 0);
    // Started again whatever the checks below find: the tests after this one need it.
    std::unique_ptr<const char, void (*)(const char *)> restart(
        ctl, [](const char *c) { std::system((std::string(c) + " start").c_str()); });
    server::Job b = NewJob("desk1");
    try {
        j->Add(b);
        ADD_FAILURE() << "a job was taken with the database down";
    } catch (const server::JournalError &e) {
        EXPECT_GT(std::string(e.what()).size(), std::string("journal: ").size()) << "libpq's words are given";
    }
    EXPECT_THROW(j->Get(a.id), server::JournalError);  // the one reconnection per call fails as well
    restart.reset();

    ASSERT_TRUE(j->Get(a.id));
    j->Add(b);
    EXPECT_GT(b.id, a.id);
    // The reconnected session holds the site again.
    EXPECT_THROW(Open()->EndInterrupted(server::NowMs()), server::JournalError);

    // A restart between two calls (overnight, say) costs no call at all: the
    // closed session is seen before the next statement is sent.
    ASSERT_EQ(std::system((std::string(ctl) + " stop -m fast").c_str()), 0);
    ASSERT_EQ(std::system((std::string(ctl) + " start").c_str()), 0);
    EXPECT_NO_THROW(j->Get(a.id));
}

}  // namespace
