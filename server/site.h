// A site at work: its encoders, each with a worker process and a queue of
// jobs run one at a time in order, every job journaled before its card is
// touched, and the events and counters the interfaces show.
#pragma once

#include <boost/asio.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config.h"
#include "journal.h"

namespace server {

namespace net = boost::asio;

// Job and encoder changes, to whoever listens (the event stream).
class Events {
public:
    using Sink = std::function<void(const std::string &type, const nlohmann::json &data)>;
    int Subscribe(Sink sink);
    void Unsubscribe(int id);
    void Publish(const std::string &type, const nlohmann::json &data);
    // Whether anyone listens: with no stream open, a change's JSON is not built.
    bool Listened() const { return !sinks_.empty(); }

private:
    std::map<int, Sink> sinks_;
    int next_ = 1;
};

// Refused before anything was journaled: the encoder's queue is full.
struct QueueFull : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Encoder;

// What a finished job's waiters are told; `journal_failed` when the journal
// could not record its outcome (the request then answers 503).
struct Outcome {
    Job job;
    bool journal_failed = false;
};

class Site {
public:
    Site(net::io_context &io, const SiteConfig &config, Journal &journal, std::string tool);
    ~Site();

    void Start();  // starts every encoder's worker
    void Stop();   // ends the queued jobs as expired and the workers after what they run

    bool HasEncoder(const std::string &id) const;
    bool Running() const;  // some encoder is running a job
    // The encoder takes a job at once: its worker runs, and it has no other.
    bool Idle(const std::string &id) const;
    bool Online(const std::string &id) const;
    std::string Medium(const std::string &id) const;  // ic, temic, mifare
    // A job that touches no card (a check-out), journaled as finished.
    // Throws JournalError.
    Job Record(Job job);
    // Journals the job (queued) and queues it. Throws JournalError when the
    // journal cannot take it and QueueFull; then nothing is queued.
    Job Submit(Job job, std::vector<std::string> args);
    // Runs `done` when the job finishes; at once (posted) when it already has.
    void WhenFinished(int64_t id, std::function<void(const Outcome &)> done);
    // A job of this run not yet finished, else the journal's.
    std::optional<Job> Find(int64_t id);

    nlohmann::json EncoderJson(const std::string &id) const;
    nlohmann::json EncodersJson() const;
    std::string MetricsText() const;
    Events &events() { return events_; }
    const SiteConfig &config() const { return config_; }
    Journal &journal() { return journal_; }
    net::io_context &io() { return io_; }

    // For the encoders.
    void JobChanged(const Job &job);
    void JobFinished(const Outcome &outcome, std::chrono::steady_clock::duration latency);
    void EncoderChanged(const Encoder &encoder);

private:
    Encoder *EncoderNamed(const std::string &id) const;

    net::io_context &io_;
    const SiteConfig &config_;
    Journal &journal_;
    std::string tool_;
    std::vector<std::shared_ptr<Encoder>> encoders_;
    std::map<int64_t, Job> live_;
    std::multimap<int64_t, std::function<void(const Outcome &)>> waiters_;
    Events events_;
    // Counters for /metrics.
    std::map<std::pair<std::string, std::string>, int64_t> jobs_;  // (state, result name) -> count
    std::vector<int64_t> latency_buckets_;
    double latency_sum_ = 0;
    int64_t latency_count_ = 0;
};

}  // namespace server
