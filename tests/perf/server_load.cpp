// server_load: kestrane-server under load, and what the server adds to a job
// beyond the library call.
//
//   server_load [--jobs 10000] [--clients 64] [--encoders 8] [--sync full|normal]
//               [--timed-workers] [--direct] [--keep]
//   server_load --url http://HOST:PORT --token TOKEN [--pid SERVER_PID] ...
//
// Without --url it makes a fresh bench site (`kestrane-server init`), starts
// the server on a free loopback port and stops it at the end. N clients, each
// on its own kept-alive connection and each bound to one encoder (client i to
// encoder i mod E), send their next job as soon as the last is answered. An
// encoder's jobs follow one cycle, issue - read - clear, taken in turn by
// whichever of its clients asks next, so cards really are written and
// cleared; a job that lands out of turn (an issue on a card not yet cleared)
// fails as the library says and still counts as a job.
//
// --timed-workers: the server is told to start this program as its worker
// tool. In that role (KESTRANE_LOAD_RELAY set) it starts the real `kestrane`
// worker and relays its lines, noting when each command line arrived and when
// its answer came back. An encoder runs its jobs in the order of their ids,
// so the k-th job by id of an encoder is the k-th command its relay saw; each
// job then has, on one clock (CLOCK_MONOTONIC), its request's send and answer
// at the client and its library call's start and end at the worker.
//
// --direct: no server; the same command lines (built by the server's own
// code from the same requests) straight through E `kestrane worker` pipes,
// one command at a time each: what the library and its pipe cost alone.
//
// Not a test: scripts/bench-server.sh builds and runs it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cards.h"
#include "config.h"

extern char **environ;

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using nlohmann::json;

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void Die(const std::string &why) {
    std::cerr << "server_load: " << why << std::endl;
    std::exit(1);
}

// ---- Processes and pipes ---------------------------------------------------

pid_t Spawn(const std::vector<std::string> &argv, int in, int out, int err) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in >= 0) posix_spawn_file_actions_adddup2(&fa, in, 0);
    if (out >= 0) posix_spawn_file_actions_adddup2(&fa, out, 1);
    if (err >= 0) posix_spawn_file_actions_adddup2(&fa, err, 2);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    std::vector<char *> a;
    for (auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
    a.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0].c_str(), &fa, nullptr, a.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) Die("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

// Runs a program to its end; returns its standard output.
std::string Capture(const std::vector<std::string> &argv) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) Die("pipe");
    pid_t pid = Spawn(argv, -1, p[1], -1);
    close(p[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) Die(argv[0] + " " + argv[1] + " failed");
    return out;
}

// Lines from a file descriptor, through a buffer of our own.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    bool Next(std::string &line) {
        for (;;) {
            auto nl = buf_.find('\n', pos_);
            if (nl != std::string::npos) {
                line.assign(buf_, pos_, nl + 1 - pos_);
                pos_ = nl + 1;
                return true;
            }
            buf_.erase(0, pos_);
            pos_ = 0;
            char chunk[65536];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buf_.append(chunk, size_t(n));
        }
    }

private:
    int fd_;
    std::string buf_;
    size_t pos_ = 0;
};

bool WriteAll(int fd, const std::string &s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// A `kestrane ... worker` process and its two pipes.
struct WorkerPipe {
    pid_t pid = -1;
    int to = -1, from = -1;
    std::unique_ptr<LineReader> reader;

    void Start(const std::vector<std::string> &argv) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Die("pipe");
        pid = Spawn(argv, in[0], out[1], -1);
        close(in[0]);
        close(out[1]);
        to = in[1];
        from = out[0];
        reader = std::make_unique<LineReader>(from);
    }
    // One command line in, its answer line out (false: the worker is gone).
    bool Call(const std::string &line, std::string &answer) { return WriteAll(to, line) && reader->Next(answer); }
    int Finish() {
        close(to);
        int st = 0;
        waitpid(pid, &st, 0);
        close(from);
        return st;
    }
};

// ---- The relay (the server's worker under --timed-workers) ------------------

// Started by the server in place of `kestrane`, with the worker's arguments.
// Timestamps are written after the answer has gone back, off the job's path.
int RunRelay(int argc, char **argv, const char *tool, const char *timesDir) {
    std::vector<std::string> args{tool};
    std::string bench = "worker";
    for (int i = 1; i < argc; ++i) {
        args.push_back(argv[i]);
        if (std::string(argv[i]) == "--bench" && i + 1 < argc) bench = argv[i + 1];
    }
    std::string id = bench.substr(bench.find_last_of('/') + 1);
    WorkerPipe w;
    w.Start(args);
    int log = open((std::string(timesDir) + "/" + id + ".times").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                   0644);
    if (log < 0) Die("relay: cannot write its times");
    WriteAll(log, "pid " + std::to_string(w.pid) + "\n");
    LineReader in(0);
    std::string line, answer;
    while (in.Next(line)) {
        int64_t start = NowNs();
        if (!w.Call(line, answer)) break;
        int64_t end = NowNs();
        if (!WriteAll(1, answer)) break;
        WriteAll(log, std::to_string(start) + " " + std::to_string(end) + "\n");
    }
    int st = w.Finish();
    return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}

// ---- Figures ---------------------------------------------------------------

double Pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t rank = size_t(std::ceil(p / 100.0 * double(v.size())));
    return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

std::string Ms(double ns) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f ms", ns / 1e6);
    return b;
}

void Spread(const std::string &what, const std::vector<double> &ns) {
    std::cout << "  " << what << ": p50 " << Ms(Pct(ns, 50)) << ", p99 " << Ms(Pct(ns, 99)) << ", max "
              << Ms(Pct(ns, 100)) << "  (" << ns.size() << " jobs)\n";
}

// VmRSS and VmHWM of a process, in kB.
std::pair<long, long> Memory(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    long rss = -1, hwm = -1;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
        if (line.rfind("VmHWM:", 0) == 0) hwm = std::stol(line.substr(6));
    }
    return {rss, hwm};
}

// CPU time a process has used (user + system), in nanoseconds.
int64_t CpuNs(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream rest(text.substr(paren + 2));
    std::string field;
    int64_t utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoll(field);
        if (i == 15) stime = std::stoll(field);
    }
    return (utime + stime) * (1000000000 / sysconf(_SC_CLK_TCK));
}

int64_t SelfCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string Us(double ns) {
    char b[32];
    std::snprintf(b, sizeof b, "%.0f us", ns / 1e3);
    return b;
}

std::string Mb(long kb) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f MB", double(kb) / 1024.0);
    return b;
}

// ---- The jobs --------------------------------------------------------------

enum class Op { Issue, Read, Clear };
const char *kOpNames[] = {"issue", "read", "clear"};
const Op kCycle[] = {Op::Issue, Op::Read, Op::Clear};

json IssueBody(int n) {
    return {{"kind", "guest"},
            {"rooms", {std::to_string(101 + n % 20)}},
            {"start", "2026-03-01T14:00"},
            {"end", "2026-03-03T12:00"}};
}

struct Record {
    int encoder = 0;
    Op op = Op::Read;
    int64_t sent = 0, answered = 0;  // client side
    int status = 0;
    int64_t id = 0;
    std::string state, result;
    int64_t call_start = 0, call_end = 0;  // worker side (--timed-workers)
};

struct Options {
    int jobs = 10000, clients = 64, encoders = 8;
    std::string url, token, sync = "full", site;
    pid_t server_pid = -1;
    bool timed = false, direct = false, keep = false;
    std::string self, server_bin, tool_bin;
};

// ---- A fresh bench site ----------------------------------------------------

uint16_t FreePort() {
    net::io_context io;
    tcp::acceptor a(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    return a.local_endpoint().port();
}

void Replace(std::string &text, const std::string &from, const std::string &to) {
    auto at = text.find(from);
    if (at == std::string::npos) Die("site.toml has no '" + from + "'");
    text.replace(at, from.size(), to);
}

// Makes the site; returns the manager token.
std::string MakeSite(const Options &o, const std::string &dir, uint16_t port, const std::string &timesDir) {
    std::string out = Capture({o.server_bin, "init", dir, "--encoders", std::to_string(o.encoders)});
    auto at = out.rfind("token: ");
    if (at == std::string::npos) Die("kestrane-server init printed no token");
    std::string token = out.substr(at + 7);
    token.erase(token.find_last_not_of("\r\n ") + 1);

    std::ifstream in(dir + "/site.toml");
    std::stringstream ss;
    ss << in.rdbuf();
    std::string site = ss.str();
    Replace(site, "port = 8443", "port = " + std::to_string(port));
    Replace(site, "[journal]\nkind = \"sqlite\"\n", "[journal]\nkind = \"sqlite\"\nsync = \"" + o.sync + "\"\n");
    std::string server = "[server]\nworker = \"" + (timesDir.empty() ? o.tool_bin : o.self) + "\"\n";
    Replace(site, "[server]\n", server);
    // One token drives every client: its rate limit must not be what is measured.
    site += "\n[limits]\nrate = 1000000\nqueue = " + std::to_string(std::max(32, o.clients)) + "\n";
    std::ofstream(dir + "/site.toml") << site;
    return token;
}

// ---- Clients ---------------------------------------------------------------

struct Load {
    net::io_context io;
    tcp::endpoint server;
    std::string host, token;
    int jobs = 0, sent = 0, done = 0, encoders = 0;
    std::vector<int> turn;  // each encoder's place in its cycle
    std::vector<Record> records;
    std::string failure;

    struct Client : std::enable_shared_from_this<Client> {
        Load &load;
        int encoder;
        beast::tcp_stream stream;
        beast::flat_buffer buffer;
        http::request<http::string_body> req;
        http::response<http::string_body> res;
        Record rec;
        Client(Load &l, int e) : load(l), encoder(e), stream(l.io) {}

        void Start() {
            stream.async_connect(load.server, [self = shared_from_this()](beast::error_code ec) {
                if (ec) return self->load.Fail("connect: " + ec.message());
                self->stream.socket().set_option(tcp::no_delay(true));
                self->Next();
            });
        }
        void Next() {
            if (load.sent >= load.jobs) return;
            ++load.sent;
            int n = load.turn[encoder]++;
            rec = Record{};
            rec.encoder = encoder;
            rec.op = kCycle[n % 3];
            req = {http::verb::post, "/v1/encoders/desk" + std::to_string(encoder + 1) + "/" +
                                         (rec.op == Op::Issue ? "cards" : kOpNames[int(rec.op)]), 11};
            req.set(http::field::host, load.host);
            req.set(http::field::authorization, "Bearer " + load.token);
            if (rec.op == Op::Issue) {
                req.set(http::field::content_type, "application/json");
                req.body() = IssueBody(n / 3).dump();
            }
            req.keep_alive(true);
            req.prepare_payload();
            res = {};
            rec.sent = NowNs();
            http::async_write(stream, req, [self = shared_from_this()](beast::error_code ec, size_t) {
                if (ec) return self->load.Fail("write: " + ec.message());
                http::async_read(self->stream, self->buffer, self->res,
                                 [self](beast::error_code ec, size_t) { self->Answered(ec); });
            });
        }
        void Answered(beast::error_code ec) {
            rec.answered = NowNs();
            if (ec) return load.Fail("read: " + ec.message());
            rec.status = res.result_int();
            try {
                auto j = json::parse(res.body());
                rec.id = j.value("id", int64_t(0));
                rec.state = j.value("state", std::string(j.contains("title") ? "refused" : "?"));
                if (j.contains("result")) rec.result = j["result"].value("name", "");
                else if (j.contains("title")) rec.result = std::to_string(rec.status) + " " + j.value("title", "");
            } catch (const std::exception &) {
                rec.state = "unreadable";
            }
            load.records.push_back(rec);
            ++load.done;
            Next();
        }
    };

    void Fail(const std::string &why) {
        if (failure.empty()) failure = why;
        io.stop();
    }
};

// A request outside the load, on a connection of its own.
std::string Get(const tcp::endpoint &ep, const std::string &target, const std::string &token) {
    net::io_context io;
    beast::tcp_stream s(io);
    s.connect(ep);
    http::request<http::string_body> req{http::verb::get, target, 11};
    req.set(http::field::host, "127.0.0.1");
    if (!token.empty()) req.set(http::field::authorization, "Bearer " + token);
    http::write(s, req);
    beast::flat_buffer b;
    http::response<http::string_body> res;
    http::read(s, b, res);
    if (res.result_int() != 200) throw std::runtime_error(target + ": " + std::to_string(res.result_int()));
    return res.body();
}

// Waits until every encoder's worker runs; returns their process ids.
std::vector<pid_t> WaitForEncoders(const tcp::endpoint &ep, const std::string &token, int encoders) {
    for (int tries = 0; tries < 200; ++tries) {
        try {
            auto j = json::parse(Get(ep, "/v1/encoders", token));
            std::vector<pid_t> pids;
            for (auto &e : j["encoders"])
                if (e.value("online", false) && e["worker"]["pid"].is_number()) pids.push_back(e["worker"]["pid"]);
            if (int(pids.size()) == encoders) return pids;
        } catch (const std::exception &) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Die("the server's encoders did not come up");
}

// Per encoder, the worker-side times of its commands, in order, and the real
// worker's pid.
struct Relayed {
    pid_t worker = -1;
    std::vector<std::pair<int64_t, int64_t>> calls;
};
Relayed ReadTimes(const std::string &file) {
    Relayed r;
    std::ifstream f(file);
    std::string word;
    if (f >> word && word == "pid") f >> r.worker;
    int64_t a, b;
    while (f >> a >> b) r.calls.push_back({a, b});
    return r;
}

void Report(const Options &o, std::vector<Record> &recs, int64_t began, int64_t ended) {
    double secs = double(ended - began) / 1e9;
    std::cout << "jobs: " << recs.size() << " in " << secs << " s with " << o.clients << " clients on " << o.encoders
              << " encoders: " << int(double(recs.size()) / secs) << " jobs/s\n";
    std::map<std::string, int> outcomes;
    for (auto &r : recs)
        outcomes[std::string(kOpNames[int(r.op)]) + " " + std::to_string(r.status) + " " + r.state +
                 (r.result.empty() ? "" : " " + r.result)]++;
    std::cout << "outcomes (action, HTTP status, state, result):\n";
    for (auto &[k, n] : outcomes) std::cout << "  " << k << ": " << n << "\n";
    std::vector<double> lat, byOp[3];
    for (auto &r : recs) {
        lat.push_back(double(r.answered - r.sent));
        byOp[int(r.op)].push_back(double(r.answered - r.sent));
    }
    std::cout << "latency at the client (request sent to answer read):\n";
    Spread("all", lat);
    for (int i = 0; i < 3; ++i) Spread(kOpNames[i], byOp[i]);
}

// What the server adds to each job: its latency less its own library call
// and less the time its encoder was busy with the library calls of the jobs
// queued before it. What is left is the server's: reading and checking the
// request, journaling it (queued, running, its end), handing the command line
// to the worker and the answer back, and the same steps of the jobs ahead of
// it that kept its encoder idle while it waited.
void Decompose(std::vector<Record> &recs, const std::string &timesDir, int encoders) {
    std::vector<double> added, call, queue, dispatch, back;
    for (int e = 0; e < encoders; ++e) {
        Relayed r = ReadTimes(timesDir + "/desk" + std::to_string(e + 1) + ".times");
        std::vector<Record *> mine;
        for (auto &rec : recs)
            if (rec.encoder == e && rec.id > 0 && rec.state != "expired") mine.push_back(&rec);
        std::sort(mine.begin(), mine.end(), [](Record *a, Record *b) { return a->id < b->id; });
        if (mine.size() != r.calls.size()) {
            std::cout << "  desk" << e + 1 << ": " << mine.size() << " jobs but " << r.calls.size()
                      << " commands at its worker: not matched\n";
            continue;
        }
        for (size_t k = 0; k < mine.size(); ++k) {
            Record &j = *mine[k];
            j.call_start = r.calls[k].first;
            j.call_end = r.calls[k].second;
            if (j.call_start < j.sent || j.call_end > j.answered) {
                std::cout << "  desk" << e + 1 << ": job " << j.id << " ran outside its request: not matched\n";
                return;
            }
            int64_t busy = 0, freeAt = j.sent;
            for (size_t p = k; p-- > 0;) {
                int64_t s = std::max(mine[p]->call_start, j.sent), t = std::min(mine[p]->call_end, j.call_start);
                if (t > s) busy += t - s;
                if (p + 1 == k) freeAt = std::max(j.sent, mine[p]->call_end);
                if (mine[p]->call_end <= j.sent) break;
            }
            double lat = double(j.answered - j.sent);
            call.push_back(double(j.call_end - j.call_start));
            queue.push_back(double(busy));
            added.push_back(lat - double(j.call_end - j.call_start) - double(busy));
            dispatch.push_back(double(j.call_start - freeAt));
            back.push_back(double(j.answered - j.call_end));
        }
    }
    std::cout << "per job, on one clock (CLOCK_MONOTONIC) at the client and at the worker:\n";
    Spread("library call (the worker's command through its pipe)", call);
    Spread("waiting while the encoder ran earlier jobs' library calls", queue);
    Spread("ADDED by the server (latency - own call - that wait)", added);
    Spread("  of which: encoder free (or request sent) to command at the worker", dispatch);
    Spread("  of which: answer from the worker to answer read at the client", back);
}

// ---- --direct: the command lines with no server ------------------------------

int RunDirect(const Options &o) {
    std::string dir = o.site.empty() ? "/tmp/server_load_direct." + std::to_string(getpid()) : o.site;
    std::string token = MakeSite(o, dir, 8443, "");
    server::SiteConfig config;
    auto problems = server::LoadSiteConfig(dir + "/site.toml", config);
    if (!problems.empty()) Die(problems[0].Text(dir + "/site.toml"));
    ::setenv("TZ", config.timezone.c_str(), 1);
    std::vector<std::vector<double>> times(size_t(o.encoders));
    std::vector<long> rss(size_t(o.encoders)), hwm(size_t(o.encoders));
    std::vector<int64_t> cpu(size_t(o.encoders));
    std::vector<std::thread> threads;
    int per = o.jobs / o.encoders;
    int64_t began = NowNs();
    for (int e = 0; e < o.encoders; ++e)
        threads.emplace_back([&, e] {
            WorkerPipe w;
            w.Start({o.tool_bin, "--bench", config.Resolve(config.encoders[size_t(e)].bench), "--json", "worker"});
            std::string answer;
            int64_t cpu0 = CpuNs(w.pid);
            for (int n = 0; n < per; ++n) {
                std::vector<std::string> args;
                Op op = kCycle[n % 3];
                if (op == Op::Issue) {
                    server::CardCommand cmd;
                    if (server::BuildIssue(IssueBody(n / 3), config.rooms, config.areas, cmd)) Die("bad issue body");
                    args = cmd.args;
                } else {
                    args = {"--json", kOpNames[int(op)]};
                }
                std::string line = json(args).dump() + "\n";
                int64_t t0 = NowNs();
                if (!w.Call(line, answer)) Die("a worker ended");
                times[size_t(e)].push_back(double(NowNs() - t0));
            }
            cpu[size_t(e)] = CpuNs(w.pid) - cpu0;
            std::tie(rss[size_t(e)], hwm[size_t(e)]) = Memory(w.pid);
            w.Finish();
        });
    for (auto &t : threads) t.join();
    int64_t ended = NowNs();
    std::vector<double> all;
    for (auto &t : times) all.insert(all.end(), t.begin(), t.end());
    double secs = double(ended - began) / 1e9;
    std::cout << "direct (no server): " << all.size() << " command lines through " << o.encoders
              << " worker pipes in " << secs << " s: " << int(double(all.size()) / secs) << " commands/s\n";
    Spread("one command through its pipe", all);
    int64_t cpuAll = 0;
    for (auto c : cpu) cpuAll += c;
    std::cout << "  CPU time per command in the workers (user + system): " << Us(double(cpuAll) / double(all.size()))
              << "\n";
    for (int e = 0; e < o.encoders; ++e)
        std::cout << "  worker desk" << e + 1 << ": VmRSS " << Mb(rss[size_t(e)]) << ", VmHWM " << Mb(hwm[size_t(e)])
                  << "\n";
    if (!o.keep && o.site.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    (void)token;
    return 0;
}

// ---- The run against a server ------------------------------------------------

int RunLoad(const Options &o) {
    std::string dir, token = o.token, timesDir;
    pid_t serverPid = o.server_pid;
    uint16_t port = 0;
    std::string host = "127.0.0.1";
    if (o.url.empty()) {
        dir = o.site.empty() ? "/tmp/server_load." + std::to_string(getpid()) : o.site;
        if (o.timed) {
            timesDir = dir + ".times";
            std::system(("rm -rf '" + timesDir + "' && mkdir -p '" + timesDir + "'").c_str());
            ::setenv("KESTRANE_LOAD_RELAY", o.tool_bin.c_str(), 1);
            ::setenv("KESTRANE_LOAD_TIMES", timesDir.c_str(), 1);
        }
        port = FreePort();
        token = MakeSite(o, dir, port, timesDir);
        int log = open((dir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
        serverPid = Spawn({o.server_bin, "run", "--config", dir + "/site.toml"}, none, log, log);
        close(none);
        close(log);
        std::cout << "server: pid " << serverPid << " on 127.0.0.1:" << port << ", site " << dir << ", journal sync "
                  << o.sync << (o.timed ? ", workers timed through a relay" : "") << "\n";
    } else {
        auto rest = o.url.substr(o.url.find("://") + 3);
        auto colon = rest.find(':');
        host = rest.substr(0, colon);
        port = uint16_t(std::stoi(rest.substr(colon + 1)));
    }
    tcp::endpoint ep(net::ip::make_address(host), port);
    std::vector<pid_t> workers = WaitForEncoders(ep, token, o.encoders);
    if (int(workers.size()) < o.encoders) Die("fewer encoders than asked for");
    // A relay is up before its worker's pid is on file.
    for (int e = 0, tries = 0; e < o.encoders && !timesDir.empty(); ++tries) {
        if (ReadTimes(timesDir + "/desk" + std::to_string(e + 1) + ".times").worker > 0) {
            ++e;
        } else {
            if (tries > 200) Die("a relay did not say which worker it started");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    Load load;
    load.server = ep;
    load.host = host;
    load.token = token;
    load.jobs = o.jobs;
    load.encoders = o.encoders;
    load.turn.assign(size_t(o.encoders), 0);
    load.records.reserve(size_t(o.jobs));
    std::vector<std::shared_ptr<Load::Client>> clients;
    for (int i = 0; i < o.clients; ++i) clients.push_back(std::make_shared<Load::Client>(load, i % o.encoders));
    // Every process of the run and its CPU time before the load: the server,
    // its workers and, when timed, their relays.
    std::vector<std::pair<std::string, pid_t>> procs;
    if (serverPid > 0) procs.push_back({"server", serverPid});
    for (int e = 0; e < o.encoders; ++e) {
        std::string id = "desk" + std::to_string(e + 1);
        if (timesDir.empty()) {
            procs.push_back({"workers", workers[size_t(e)]});
        } else {
            procs.push_back({"relays", workers[size_t(e)]});
            procs.push_back({"workers", ReadTimes(timesDir + "/" + id + ".times").worker});
        }
    }
    std::vector<int64_t> cpuBefore;
    for (auto &p : procs) cpuBefore.push_back(CpuNs(p.second));
    int64_t selfBefore = SelfCpuNs();
    int64_t began = NowNs();
    for (auto &c : clients) c->Start();
    load.io.run();
    int64_t ended = NowNs();
    std::map<std::string, int64_t> cpu;
    for (size_t i = 0; i < procs.size(); ++i) cpu[procs[i].first] += CpuNs(procs[i].second) - cpuBefore[i];
    cpu["load generator"] = SelfCpuNs() - selfBefore;
    if (!load.failure.empty()) std::cout << "LOAD FAILED after " << load.done << " jobs: " << load.failure << "\n";

    // Memory at the end, the server still up and its workers with it.
    std::cout << "memory at the end (VmRSS / VmHWM):\n";
    if (serverPid > 0) {
        auto [rss, hwm] = Memory(serverPid);
        std::cout << "  server: " << Mb(rss) << " / " << Mb(hwm) << "\n";
    }
    for (int e = 0; e < o.encoders; ++e) {
        pid_t w = workers[size_t(e)];
        if (!timesDir.empty()) w = ReadTimes(timesDir + "/desk" + std::to_string(e + 1) + ".times").worker;
        auto [rss, hwm] = Memory(w);
        std::cout << "  worker desk" << e + 1 << " (pid " << w << "): " << Mb(rss) << " / " << Mb(hwm) << "\n";
    }
    try {
        auto metrics = Get(ep, "/metrics", "");
        std::istringstream m(metrics);
        std::string line;
        while (std::getline(m, line))
            if (line.rfind("kestrane_worker_restarts_total", 0) == 0 && line.substr(line.rfind(' ') + 1) != "0")
                std::cout << "  worker restarted: " << line << "\n";
    } catch (const std::exception &e) {
        std::cout << "  /metrics: " << e.what() << "\n";
    }

    if (o.url.empty()) {
        kill(serverPid, SIGTERM);
        int st = 0;
        waitpid(serverPid, &st, 0);
    }
    Report(o, load.records, began, ended);
    double wall = double(ended - began), n = double(std::max(load.done, 1));
    int64_t total = 0;
    std::cout << "CPU time per job (user + system, " << sysconf(_SC_NPROCESSORS_ONLN) << " cores for "
              << Ms(wall) << " = " << Ms(wall * double(sysconf(_SC_NPROCESSORS_ONLN))) << " available):\n";
    for (auto &[who, ns] : cpu) {
        std::cout << "  " << who << ": " << Us(double(ns) / n) << "  (" << Ms(double(ns)) << " in all)\n";
        total += ns;
    }
    std::cout << "  all of these: " << Us(double(total) / n) << "; the rest of the machine had the remainder\n";
    if (!timesDir.empty()) Decompose(load.records, timesDir, o.encoders);
    if (o.url.empty() && !o.keep && o.site.empty()) {
        std::system(("rm -rf '" + dir + "'").c_str());
        if (!timesDir.empty()) std::system(("rm -rf '" + timesDir + "'").c_str());
    }
    return load.failure.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    // The server's worker under --timed-workers: relay to the real tool.
    if (const char *tool = std::getenv("KESTRANE_LOAD_RELAY"))
        if (const char *times = std::getenv("KESTRANE_LOAD_TIMES"))
            if (argc > 1 && std::string(argv[argc - 1]) == "worker") return RunRelay(argc, argv, tool, times);

    Options o;
    std::string self = argv[0];
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) self.assign(exe, size_t(n));
    o.self = self;
    std::string bin = self.substr(0, self.rfind('/') + 1);
    o.server_bin = bin + "kestrane-server";
    o.tool_bin = bin + "kestrane";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Die(a + " needs a value");
            return argv[++i];
        };
        if (a == "--jobs") o.jobs = std::stoi(value());
        else if (a == "--clients") o.clients = std::stoi(value());
        else if (a == "--encoders") o.encoders = std::stoi(value());
        else if (a == "--url") o.url = value();
        else if (a == "--token") o.token = value();
        else if (a == "--pid") o.server_pid = std::stoi(value());
        else if (a == "--sync") o.sync = value();
        else if (a == "--site") o.site = value();
        else if (a == "--server") o.server_bin = value();
        else if (a == "--tool") o.tool_bin = value();
        else if (a == "--timed-workers") o.timed = true;
        else if (a == "--direct") o.direct = true;
        else if (a == "--keep") o.keep = true;
        else Die("unknown option " + a + " (see the comment at the top of tests/perf/server_load.cpp)");
    }
    if (!o.url.empty() && (o.token.empty() || o.timed)) Die("--url needs --token, and cannot time the workers");
    if (o.sync != "full" && o.sync != "normal") Die("--sync is full or normal");
    if (o.clients < 1 || o.encoders < 1 || o.jobs < 1) Die("--jobs, --clients and --encoders are at least 1");
    ::signal(SIGPIPE, SIG_IGN);
    return o.direct ? RunDirect(o) : RunLoad(o);
}
