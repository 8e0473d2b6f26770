// The journal keeps what happened to each card, across restarts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "journal.h"

namespace {

std::string TempDir() {
    char tmpl[] = "/tmp/ks-journal-XXXXXX";
    return mkdtemp(tmpl);
}

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

TEST(Journal, RestartEndsRunningJobsUnknownAndQueuedExpired) {
    std::string dir = TempDir();
    int64_t running, queued, done;
    {
        auto j = server::OpenSqliteJournal(dir + "/j.sqlite", true);
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
    auto j = server::OpenSqliteJournal(dir + "/j.sqlite", true);
    auto ended = j->EndInterrupted(server::NowMs());
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_EQ(j->Get(running)->state, server::JobState::Unknown);
    EXPECT_EQ(j->Get(queued)->state, server::JobState::Expired);
    auto ok = j->Get(done);
    EXPECT_EQ(ok->state, server::JobState::Ok);
    EXPECT_EQ(ok->serial, "0A0B0C0D");
    EXPECT_EQ(ok->request["rooms"][0], "101");
    EXPECT_TRUE(j->EndInterrupted(server::NowMs()).empty());
}

TEST(Journal, IdempotencyKeyIsPerCallerAndUnique) {
    auto j = server::OpenSqliteJournal(TempDir() + "/j.sqlite", false);
    server::Job a = NewJob("desk1", "k1");
    j->Add(a);
    EXPECT_EQ(j->FindByIdempotencyKey("pms1", "k1")->id, a.id);
    EXPECT_FALSE(j->FindByIdempotencyKey("pms2", "k1"));
    server::Job again = NewJob("desk1", "k1");
    EXPECT_THROW(j->Add(again), server::JournalError);  // never two jobs for one retried request
}

TEST(Journal, PagesByIdAndEncoder) {
    auto j = server::OpenSqliteJournal(TempDir() + "/j.sqlite", false);
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

TEST(Journal, UnwritableJournalRefusesTheJob) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes through file modes";
    std::string dir = TempDir();
    auto j = server::OpenSqliteJournal(dir + "/j.sqlite", true);
    server::Job a = NewJob("desk1");
    j->Add(a);
    chmod((dir + "/j.sqlite").c_str(), 0400);
    chmod((dir + "/j.sqlite-wal").c_str(), 0400);
    auto j2 = server::OpenSqliteJournal(dir + "/j.sqlite", true);
    server::Job b = NewJob("desk1");
    EXPECT_THROW(j2->Add(b), server::JournalError);
}

}  // namespace
