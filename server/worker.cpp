#include "worker.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

extern char **environ;

namespace server {
namespace {

constexpr int kBackoffFirstMs = 250, kBackoffMaxMs = 10000;
// A worker that stayed up this long counts as healthy again: its next death
// restarts it at once rather than after the last back-off.
constexpr auto kHealthyAfter = std::chrono::seconds(30);

}  // namespace

std::string CommandLine(const std::vector<std::string> &args) { return nlohmann::json(args).dump() + "\n"; }

Worker::Worker(net::io_context &io, std::string name, std::vector<std::string> argv, Env env)
    : io_(io), name_(std::move(name)), argv_(std::move(argv)), env_(std::move(env)), in_(io), out_(io), timeout_(io),
      restart_(io) {}

Worker::~Worker() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void Worker::Start() {
    stopping_ = false;
    Spawn();
}

void Worker::Stop() {
    stopping_ = true;
    restart_.cancel();
    boost::system::error_code ec;
    in_.close(ec);  // end of input: the worker finishes what it runs, then exits
}

void Worker::Spawn() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        Died(std::string("pipe: ") + std::strerror(errno));
        return;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        Died(std::string("pipe: ") + std::strerror(errno));
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // Nothing else of the server's (its listening sockets, other workers'
    // pipes) may live on in a worker: a restarted server could not listen.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    std::vector<std::string> envText;
    for (char **e = environ; *e; ++e) {
        std::string s = *e;
        bool overridden = false;
        for (auto &[k, v] : env_)
            if (s.compare(0, k.size() + 1, k + "=") == 0) overridden = true;
        if (!overridden) envText.push_back(s);
    }
    for (auto &[k, v] : env_) envText.push_back(k + "=" + v);
    std::vector<char *> envp, argv;
    for (auto &s : envText) envp.push_back(s.data());
    envp.push_back(nullptr);
    for (auto &s : argv_) argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv_[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        Died("cannot start " + argv_[0] + ": " + std::strerror(rc));
        return;
    }
    pid_ = pid;
    started_ = std::chrono::steady_clock::now();
    in_.assign(in[1]);
    out_.assign(out[0]);
    answer_.consume(answer_.size());
    std::cerr << "kestrane-server: encoder " << name_ << ": worker " << pid_ << " started" << std::endl;
    if (on_change) on_change();
    ReadAnswer();
}

void Worker::ReadAnswer() {
    auto self = shared_from_this();
    net::async_read_until(out_, answer_, '\n', [this, self](boost::system::error_code ec, size_t n) {
        if (ec) {
            Died(killed_for_.empty() ? "the worker ended" : killed_for_);
            return;
        }
        std::string line(net::buffers_begin(answer_.data()), net::buffers_begin(answer_.data()) + n);
        answer_.consume(n);
        WorkerReply reply;
        try {
            auto j = nlohmann::json::parse(line);
            reply.answered = true;
            reply.exit = j.at("exit").get<int>();
            reply.out = j.at("stdout").get<std::string>();
            reply.err = j.at("stderr").get<std::string>();
        } catch (const std::exception &e) {
            reply.answered = false;
            reply.failure = std::string("the worker's answer is not understood: ") + e.what();
        }
        Finish(std::move(reply));
        ReadAnswer();
    });
}

void Worker::Run(const std::vector<std::string> &args, std::chrono::milliseconds timeout,
                 std::function<void(WorkerReply)> done) {
    if (pid_ <= 0 || pending_) {
        WorkerReply r;
        r.failure = pid_ <= 0 ? "the encoder's worker is not running" : "the encoder's worker is busy";
        net::post(io_, [done = std::move(done), r] { done(r); });
        return;
    }
    pending_ = std::move(done);
    auto self = shared_from_this();
    timeout_.expires_after(timeout);
    timeout_.async_wait([this, self, timeout](boost::system::error_code ec) {
        if (ec || !pending_ || pid_ <= 0) return;
        killed_for_ = "the worker did not answer within " + std::to_string(timeout.count() / 1000) +
                      " s and was replaced";
        ::kill(pid_, SIGKILL);
    });
    auto line = std::make_shared<std::string>(CommandLine(args));
    net::async_write(in_, net::buffer(*line), [this, self, line](boost::system::error_code ec, size_t) {
        if (ec && pid_ > 0 && killed_for_.empty()) {
            killed_for_ = "the worker stopped taking commands: " + ec.message();
            ::kill(pid_, SIGKILL);
        }
    });
}

void Worker::Finish(WorkerReply reply) {
    timeout_.cancel();
    if (!pending_) return;
    auto done = std::move(pending_);
    pending_ = nullptr;
    done(std::move(reply));
}

void Worker::Died(const std::string &why) {
    boost::system::error_code ec;
    in_.close(ec);
    out_.close(ec);
    std::string status;
    if (pid_ > 0) {
        int st = 0;
        // Its output ended: it has exited or is about to; make sure, then reap it.
        if (::waitpid(pid_, &st, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &st, 0);
        }
        status = WIFSIGNALED(st) ? " (signal " + std::to_string(WTERMSIG(st)) + ")"
                                 : " (exit " + std::to_string(WEXITSTATUS(st)) + ")";
        std::cerr << "kestrane-server: encoder " << name_ << ": worker " << pid_ << " ended" << status << ": " << why
                  << std::endl;
    } else {
        std::cerr << "kestrane-server: encoder " << name_ << ": " << why << std::endl;
    }
    bool wasHealthy = pid_ > 0 && std::chrono::steady_clock::now() - started_ >= kHealthyAfter;
    pid_ = -1;
    killed_for_.clear();
    WorkerReply reply;
    reply.failure = why + status;
    Finish(std::move(reply));
    if (on_change) on_change();
    if (stopping_) return;
    backoff_ms_ = wasHealthy || backoff_ms_ == 0 ? kBackoffFirstMs : std::min(backoff_ms_ * 2, kBackoffMaxMs);
    ++restarts_;
    auto self = shared_from_this();
    restart_.expires_after(std::chrono::milliseconds(backoff_ms_));
    restart_.async_wait([this, self](boost::system::error_code ec) {
        if (!ec && !stopping_) Spawn();
    });
}

}  // namespace server
