// One encoder's worker process: `kestrane ... --json worker`, which loads the
// library with this encoder's device library. The library keeps its state per
// process, so each encoder has a process of its own, and a worker that
// crashes takes neither another encoder nor the server with it.
#pragma once

#include <sys/types.h>

#include <boost/asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace server {

namespace net = boost::asio;

// What came back for one command line.
struct WorkerReply {
    bool answered = false;  // false: the worker died or was killed before it answered
    int exit = 0;           // the tool's exit code
    std::string out, err;   // what it printed
    std::string failure;    // why there is no answer
};

class Worker : public std::enable_shared_from_this<Worker> {
public:
    using Env = std::vector<std::pair<std::string, std::string>>;
    Worker(net::io_context &io, std::string name, std::vector<std::string> argv, Env env);
    ~Worker();

    void Start();  // spawns the process; a failed start is retried with back-off
    void Stop();   // closes its input (it ends after the command in hand) and starts no other

    bool Alive() const { return pid_ > 0; }
    bool Busy() const { return static_cast<bool>(pending_); }
    pid_t Pid() const { return pid_; }
    int Restarts() const { return restarts_; }

    // Sends one command line (the arguments after `kestrane`). `done` runs
    // once: with the answer, or unanswered when the worker died or took
    // longer than `timeout` (it is then killed and started again). One
    // command at a time: the caller queues.
    void Run(const std::vector<std::string> &args, std::chrono::milliseconds timeout,
             std::function<void(WorkerReply)> done);

    // Told when the process comes up or goes down.
    std::function<void()> on_change;

private:
    void Spawn();
    void ReadAnswer();
    void Died(const std::string &why);
    void Finish(WorkerReply reply);

    net::io_context &io_;
    std::string name_;
    std::vector<std::string> argv_;
    Env env_;
    pid_t pid_ = -1;
    net::posix::stream_descriptor in_, out_;
    net::streambuf answer_;
    net::steady_timer timeout_, restart_;
    std::function<void(WorkerReply)> pending_;
    std::string killed_for_;  // set when we killed it: the reason the answer never came
    bool stopping_ = false;
    int restarts_ = 0;
    int backoff_ms_ = 0;
    std::chrono::steady_clock::time_point started_;
};

// The JSON line for one command line.
std::string CommandLine(const std::vector<std::string> &args);

}  // namespace server
