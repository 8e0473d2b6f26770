#include "serve.h"

#include <signal.h>
#include <stdlib.h>
#include <systemd/sd-daemon.h>
#include <time.h>

#include <boost/asio.hpp>
#include <iostream>

#include "api.h"
#include "fias.h"
#include "http.h"
#include "journal.h"
#include "site.h"

namespace server {

namespace {

constexpr auto kStopPoll = std::chrono::milliseconds(100);

void SayInterrupted(const std::vector<Job> &jobs) {
    for (const Job &j : jobs)
        std::cerr << "kestrane-server: job " << j.id << " (" << j.action << (j.kind.empty() ? "" : " " + j.kind)
                  << " on " << j.encoder << ") was " << (j.state == JobState::Unknown ? "running" : "queued")
                  << " when the server stopped: it ends " << StateName(j.state)
                  << (j.state == JobState::Unknown ? " (the card may hold it)" : " (it never ran)") << std::endl;
}

}  // namespace

int RunServer(const SiteConfig &config, const std::string &tool) {
    // Times in requests, the journal's local views and the workers' "now"
    // are the property's, wherever the server runs.
    ::setenv("TZ", config.timezone.c_str(), 1);
    ::tzset();
    ::signal(SIGPIPE, SIG_IGN);
    // A file that may not grow (a size limit, a full quota) fails the write:
    // the journal then refuses jobs with 503 instead of the server dying.
    ::signal(SIGXFSZ, SIG_IGN);

    auto journal = OpenJournal(config.journal, config.StateDir());
    SayInterrupted(journal->EndInterrupted(NowMs()));

    net::io_context io;
    Site site(io, config, *journal, tool);
    Api api(io, site, config);
    HttpFront front(io, config, [&api](std::shared_ptr<Exchange> ex) { api.Handle(ex); });
    front.Start();  // throws when a listener cannot open: nothing has started yet
    site.Start();
    FiasLinks fias(io, site, config);
    fias.Start();

    net::signal_set signals(io, SIGTERM, SIGINT);
    net::steady_timer stopping(io);
    auto deadline = std::chrono::steady_clock::now();
    std::function<void()> waitForJobs = [&] {
        // The card in hand is finished: a worker stopped mid-write leaves a
        // half-written card.
        if (!site.Running() || std::chrono::steady_clock::now() >= deadline) return io.stop();
        stopping.expires_after(kStopPoll);
        stopping.async_wait([&](boost::system::error_code) { waitForJobs(); });
    };
    signals.async_wait([&](boost::system::error_code ec, int sig) {
        if (ec) return;
        std::cerr << "kestrane-server: signal " << sig << ": stopping" << std::endl;
        sd_notify(0, "STOPPING=1");
        front.Stop();
        fias.Stop();
        site.Stop();
        deadline = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<int64_t>(config.job_timeout * 1000));
        waitForJobs();
    });

    std::cerr << "kestrane-server: serving " << config.encoders.size() << " encoders, journal "
              << (config.journal.kind == "postgres" ? "PostgreSQL (site " + config.journal.site + ")"
                                                  : config.StateDir() + "/journal.sqlite")
              << ", time zone " << config.timezone << std::endl;
    sd_notify(0, "READY=1");
    io.run();
    std::cerr << "kestrane-server: stopped" << std::endl;
    return 0;
}

}  // namespace server
