#include "site.h"

#include <deque>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "worker.h"

namespace server {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

// Job latency (queued to finished) histogram bounds, seconds.
const double kLatencyBounds[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 20, 30};

// The library's result code that says the encoder itself did not open
// (KS_ERR_COMM also means no card in it: the encoder is there).
bool DeviceAbsent(const std::string &name) { return name == "KS_ERR_OPEN_OR_NO_DEV"; }

// The medium the encoder's configuration file names (LockType digit).
std::string MediumOf(const std::string &ini) {
    std::ifstream in(ini);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        key.erase(key.find_last_not_of(" \t") + 1);
        if (key != "LockType") continue;
        std::string v = line.substr(eq + 1);
        v.erase(0, v.find_first_not_of(" \t"));
        if (!v.empty() && v[0] == '1') return "ic";
        if (!v.empty() && v[0] == '2') return "temic";
        if (!v.empty() && v[0] == '4') return "mifare";
        return "unknown";
    }
    return "ic";  // the library's default without a LockType
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

int Events::Subscribe(Sink sink) {
    sinks_[next_] = std::move(sink);
    return next_++;
}
void Events::Unsubscribe(int id) { sinks_.erase(id); }
void Events::Publish(const std::string &type, const json &data) {
    // A sink may unsubscribe itself (its client left) while being told.
    auto copy = sinks_;
    for (auto &[id, sink] : copy) sink(type, data);
}

class Encoder : public std::enable_shared_from_this<Encoder> {
public:
    Encoder(net::io_context &io, Site &site, const EncoderConfig &config, const std::string &tool)
        : io_(io), site_(site), config_(config), expiry_(io) {
        std::vector<std::string> argv{tool};
        Worker::Env env;
        std::string ini = config.config;
        if (config.devices == "pcsc") {
            argv.insert(argv.end(), {"--devices", "pcsc"});
            if (!config.reader.empty()) {
                env.push_back({"KESTRANE_PCSC_MIFARE_READER", config.reader});
                env.push_back({"KESTRANE_PCSC_SLE4442_READER", config.reader});
            }
            device_ = "pcsc" + (config.reader.empty() ? std::string() : ":" + config.reader);
        } else {
            argv.insert(argv.end(), {"--bench", config.bench});
            if (ini.empty()) ini = config.bench + "/config.ini";
            device_ = "bench";
        }
        if (!config.config.empty()) argv.insert(argv.end(), {"--config", config.config});
        argv.insert(argv.end(), {"--json", "worker"});
        medium_ = MediumOf(ini);
        worker_ = std::make_shared<Worker>(io, config.id, argv, env);
    }

    void Start() {
        worker_->on_change = [w = weak_from_this()] {
            if (auto self = w.lock()) {
                if (!self->worker_->Alive()) self->device_absent_ = false;  // a new worker tries again
                self->site_.EncoderChanged(*self);
                self->Next();
            }
        };
        worker_->Start();
    }

    void Stop() {
        stopping_ = true;
        expiry_.cancel();
        while (!queue_.empty()) {
            Expire(std::move(queue_.front()), "the server stopped before the job could start");
            queue_.pop_front();
        }
        worker_->Stop();
    }

    const std::string &Id() const { return config_.id; }
    size_t QueueLength() const { return queue_.size(); }
    bool Running() const { return running_.has_value(); }
    bool Idle() const { return worker_->Alive() && !running_ && queue_.empty(); }
    bool Online() const { return worker_->Alive() && !device_absent_; }
    const std::string &Medium() const { return medium_; }

    // `onRecord`: the journal already holds the job as running.
    void Enqueue(Job job, std::vector<std::string> args, Clock::time_point deadline, bool onRecord) {
        queue_.push_back({std::move(job), std::move(args), deadline, Clock::now(), onRecord});
        if (queue_.size() == 1) ArmExpiry();
        site_.EncoderChanged(*this);
        // Posted: the request that queued it hears of its job before it runs.
        net::post(io_, [w = weak_from_this()] {
            if (auto self = w.lock()) self->Next();
        });
    }

    json ToJson() const {
        return {{"id", config_.id},
                {"medium", medium_},
                {"device", device_},
                {"online", Online()},
                {"busy", running_.has_value()},
                {"queue", queue_.size()},
                {"worker", {{"pid", worker_->Alive() ? json(worker_->Pid()) : json(nullptr)},
                            {"restarts", worker_->Restarts()}}}};
    }
    int Restarts() const { return worker_->Restarts(); }

private:
    struct Pending {
        Job job;
        std::vector<std::string> args;
        Clock::time_point deadline, queued;
        bool onRecord = false;
    };

    void ArmExpiry() {
        if (queue_.empty()) return;
        expiry_.expires_at(queue_.front().deadline);
        expiry_.async_wait([w = weak_from_this()](boost::system::error_code ec) {
            auto self = w.lock();
            if (ec || !self) return;
            bool changed = false;
            while (!self->queue_.empty() && self->queue_.front().deadline <= Clock::now()) {
                self->Expire(std::move(self->queue_.front()), "");
                self->queue_.pop_front();
                changed = true;
            }
            if (changed) self->site_.EncoderChanged(*self);
            self->ArmExpiry();
        });
    }

    // A job that could not start in time is never run late: the guest who
    // waited for it has gone, and the card now on the encoder is another's.
    void Expire(Pending p, const std::string &why) {
        p.job.state = JobState::Expired;
        p.job.finished_ms = NowMs();
        p.job.error = why.empty() ? "the encoder did not become free within " +
                                        std::to_string(static_cast<int>(site_.config().expiry)) + " s"
                                  : why;
        Conclude(p);
    }

    void Conclude(Pending &p, bool journalFailed = false) {
        if (!journalFailed) {
            try {
                site_.journal().Update(p.job);
            } catch (const JournalError &e) {
                std::cerr << "kestrane-server: job " << p.job.id << ": the journal did not take its end: " << e.what()
                          << std::endl;
                journalFailed = true;
            }
        }
        site_.JobFinished({p.job, journalFailed}, Clock::now() - p.queued);
    }

    void Next() {
        while (!running_ && !stopping_ && worker_->Alive() && !queue_.empty()) {
            Pending p = std::move(queue_.front());
            queue_.pop_front();
            if (queue_.size() > 0) ArmExpiry();
            else expiry_.cancel();
            if (p.deadline <= Clock::now()) {
                Expire(std::move(p), "");
                continue;
            }
            // Running is on record before the card is touched: a server that
            // dies now leaves a job that restarts as unknown, never as queued.
            try {
                if (!p.onRecord) {
                    p.job.state = JobState::Running;
                    p.job.started_ms = NowMs();
                    site_.journal().Update(p.job);
                }
            } catch (const JournalError &e) {
                p.job.state = JobState::Failed;
                p.job.finished_ms = NowMs();
                p.job.error = std::string("the journal could not be written; no card was touched: ") + e.what();
                Conclude(p, true);
                continue;
            }
            running_ = std::move(p);
            site_.JobChanged(running_->job);
            site_.EncoderChanged(*this);
            auto timeout = std::chrono::milliseconds(static_cast<int64_t>(site_.config().job_timeout * 1000));
            worker_->Run(running_->args, timeout, [w = weak_from_this()](WorkerReply reply) {
                if (auto self = w.lock()) self->Completed(std::move(reply));
            });
        }
    }

    void Completed(WorkerReply reply) {
        if (!running_) return;
        Pending p = std::move(*running_);
        running_.reset();
        Job &j = p.job;
        j.finished_ms = NowMs();
        if (!reply.answered) {
            j.state = JobState::Unknown;
            j.error = "the encoder's worker ended during the job (" + reply.failure + "); the card may hold it";
        } else {
            Interpret(reply, j);
        }
        Conclude(p);
        site_.EncoderChanged(*this);
        Next();
    }

    void Interpret(const WorkerReply &reply, Job &j) {
        json out;
        try {
            out = json::parse(reply.out);
        } catch (const std::exception &) {
        }
        if (reply.exit == 0 && out.is_object() && out.value("ok", false)) {
            j.state = JobState::Ok;
            j.code = 1;
            j.code_name = "KS_OK";
            if (out.contains("serial") && out["serial"].is_string()) j.serial = out["serial"];
            out.erase("ok");
            out.erase("command");
            j.card = out;
            device_absent_ = false;
            return;
        }
        j.state = JobState::Failed;
        if (out.is_object() && out.contains("code") && out["code"].is_number_integer()) {
            j.code = out["code"];
            j.code_name = out.value("name", "");
            j.error = out.value("meaning", "");
            device_absent_ = DeviceAbsent(j.code_name);
        } else {
            std::string err = Trim(reply.err);
            j.error = err.empty() ? "the tool exited with " + std::to_string(reply.exit) : err;
        }
    }

    net::io_context &io_;
    Site &site_;
    const EncoderConfig &config_;
    std::shared_ptr<Worker> worker_;
    std::string medium_, device_;
    std::deque<Pending> queue_;
    std::optional<Pending> running_;
    net::steady_timer expiry_;
    bool device_absent_ = false, stopping_ = false;
};

Site::Site(net::io_context &io, const SiteConfig &config, Journal &journal, std::string tool)
    : io_(io), config_(config), journal_(journal), tool_(std::move(tool)),
      latency_buckets_(std::size(kLatencyBounds), 0) {
    for (const EncoderConfig &e : config.encoders) encoders_.push_back(std::make_shared<Encoder>(io, *this, e, tool_));
}

Site::~Site() = default;

void Site::Start() {
    for (auto &e : encoders_) e->Start();
}

void Site::Stop() {
    for (auto &e : encoders_) e->Stop();
}

bool Site::Running() const {
    for (auto &e : encoders_)
        if (e->Running()) return true;
    return false;
}

bool Site::Idle(const std::string &id) const {
    const Encoder *e = EncoderNamed(id);
    return e && e->Idle();
}

bool Site::Online(const std::string &id) const {
    const Encoder *e = EncoderNamed(id);
    return e && e->Online();
}

std::string Site::Medium(const std::string &id) const {
    const Encoder *e = EncoderNamed(id);
    return e ? e->Medium() : "";
}

Encoder *Site::EncoderNamed(const std::string &id) const {
    for (auto &e : encoders_)
        if (e->Id() == id) return e.get();
    return nullptr;
}

Job Site::Record(Job job) {
    job.created_ms = job.started_ms = job.finished_ms = NowMs();
    journal_.Add(job);
    ++jobs_[{StateName(job.state), job.code_name}];
    events_.Publish("job", JobToJson(job));
    return job;
}

bool Site::HasEncoder(const std::string &id) const { return config_.Encoder(id) != nullptr; }

Job Site::Submit(Job job, std::vector<std::string> args) {
    Encoder *enc = EncoderNamed(job.encoder);
    if (!enc) throw std::logic_error("no encoder " + job.encoder);
    if (enc->QueueLength() >= config_.limits.queue)
        throw QueueFull("encoder " + job.encoder + " has " + std::to_string(enc->QueueLength()) + " jobs waiting");
    job.state = JobState::Queued;
    job.created_ms = NowMs();
    // A job for an idle encoder starts at once: it goes on record as running
    // in one write, where a queued job takes two (each a sync to disk).
    const bool startsNow = enc->Idle();
    Job onRecord = job;
    if (startsNow) {
        onRecord.state = JobState::Running;
        onRecord.started_ms = job.created_ms;
    }
    journal_.Add(onRecord);  // throws JournalError: nothing is queued
    job.id = onRecord.id;
    live_[job.id] = onRecord;
    if (events_.Listened()) events_.Publish("job", JobToJson(job));
    auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(config_.expiry * 1000));
    enc->Enqueue(onRecord, std::move(args), deadline, startsNow);
    return onRecord;
}

void Site::WhenFinished(int64_t id, std::function<void(const Outcome &)> done) {
    auto it = live_.find(id);
    if (it == live_.end()) {
        auto job = journal_.Get(id);
        if (job) net::post(io_, [done = std::move(done), j = *job] { done({j, false}); });
        return;
    }
    waiters_.emplace(id, std::move(done));
}

std::optional<Job> Site::Find(int64_t id) {
    auto it = live_.find(id);
    if (it != live_.end()) return it->second;
    return journal_.Get(id);
}

void Site::JobChanged(const Job &job) {
    live_[job.id] = job;
    if (events_.Listened()) events_.Publish("job", JobToJson(job));
}

void Site::JobFinished(const Outcome &o, Clock::duration latency) {
    live_.erase(o.job.id);
    ++jobs_[{StateName(o.job.state), o.job.code_name}];
    double s = std::chrono::duration<double>(latency).count();
    for (size_t i = 0; i < std::size(kLatencyBounds); ++i)
        if (s <= kLatencyBounds[i]) ++latency_buckets_[i];
    latency_sum_ += s;
    ++latency_count_;
    if (events_.Listened()) events_.Publish("job", JobToJson(o.job));
    auto range = waiters_.equal_range(o.job.id);
    std::vector<std::function<void(const Outcome &)>> told;
    for (auto it = range.first; it != range.second; ++it) told.push_back(std::move(it->second));
    waiters_.erase(range.first, range.second);
    for (auto &f : told) f(o);
}

void Site::EncoderChanged(const Encoder &e) {
    if (events_.Listened()) events_.Publish("encoder", e.ToJson());
}

json Site::EncoderJson(const std::string &id) const {
    const Encoder *e = EncoderNamed(id);
    return e ? e->ToJson() : json(nullptr);
}

json Site::EncodersJson() const {
    json list = json::array();
    for (auto &e : encoders_) list.push_back(e->ToJson());
    return list;
}

std::string Site::MetricsText() const {
    std::ostringstream m;
    m << "# HELP kestrane_jobs_total Jobs finished, by state and library result.\n"
      << "# TYPE kestrane_jobs_total counter\n";
    for (auto &[k, n] : jobs_)
        m << "kestrane_jobs_total{state=\"" << k.first << "\",result=\"" << k.second << "\"} " << n << "\n";
    m << "# HELP kestrane_job_seconds Time from a job's request to its end.\n"
      << "# TYPE kestrane_job_seconds histogram\n";
    for (size_t i = 0; i < std::size(kLatencyBounds); ++i)
        m << "kestrane_job_seconds_bucket{le=\"" << kLatencyBounds[i] << "\"} " << latency_buckets_[i] << "\n";
    m << "kestrane_job_seconds_bucket{le=\"+Inf\"} " << latency_count_ << "\n"
      << "kestrane_job_seconds_sum " << latency_sum_ << "\n"
      << "kestrane_job_seconds_count " << latency_count_ << "\n";
    m << "# HELP kestrane_queue_depth Jobs waiting for their encoder.\n# TYPE kestrane_queue_depth gauge\n";
    for (auto &e : encoders_) m << "kestrane_queue_depth{encoder=\"" << e->Id() << "\"} " << e->QueueLength() << "\n";
    m << "# HELP kestrane_worker_restarts_total Times an encoder's worker was started again.\n"
      << "# TYPE kestrane_worker_restarts_total counter\n";
    for (auto &e : encoders_)
        m << "kestrane_worker_restarts_total{encoder=\"" << e->Id() << "\"} " << e->Restarts() << "\n";
    m << "# HELP kestrane_encoder_online Whether the encoder's worker runs and its device answers.\n"
      << "# TYPE kestrane_encoder_online gauge\n";
    for (auto &e : encoders_)
        m << "kestrane_encoder_online{encoder=\"" << e->Id() << "\"} " << (e->Online() ? 1 : 0)
          << "\n";
    return m.str();
}

}  // namespace server
