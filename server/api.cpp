#include "api.h"

#include <algorithm>
#include <iostream>

#include "cards.h"
#include "opera.h"
#include "embedded.h"

namespace server {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kIdempotencyKeyMax = 255;
constexpr size_t kJobPageMax = 1000;
constexpr auto kStreamKeepAlive = std::chrono::seconds(15);

// What each action of POST /v1/encoders/{id}/ACTION does and who may.
struct ActionRule {
    const char *name;
    Action action;
    const char *command;  // the tool's command
    int okStatus;
};
const ActionRule kActions[] = {
    {"cards", Action::IssueCard, "issue", 201},
    {"read", Action::ReadCard, "read", 200},
    {"clear", Action::ClearCard, "clear", 200},
    {"collect", Action::CollectLog, "collect", 200},
};

HttpResponse JsonResponse(http::status status, const json &body) {
    HttpResponse res{status, 11};
    res.set(http::field::content_type, "application/json");
    res.set(http::field::cache_control, "no-store");
    res.body() = body.dump() + "\n";
    return res;
}

void Finish(const std::shared_ptr<Exchange> &ex, HttpResponse res, const HttpResponse &cors) {
    for (auto &f : cors) res.set(f.name_string(), f.value());
    ex->Reply(std::move(res));
}

void Fail(const std::shared_ptr<Exchange> &ex, const HttpResponse &cors, http::status status, const std::string &title,
          const std::string &detail, const std::string &field = "") {
    Finish(ex, Problem(status, title, detail, field), cors);
}

// The body is JSON by its Content-Type, parameters (charset) aside.
bool SaysJson(const HttpRequest &req) {
    auto type = std::string(req[http::field::content_type]);
    std::string media = type.substr(0, type.find(';'));
    media.erase(media.find_last_not_of(" \t") + 1);
    return boost::beast::iequals(media, "application/json");
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Decode(const std::string &s, bool plusIsSpace) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (plusIsSpace && s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && Hex(s[i + 1]) >= 0 && Hex(s[i + 2]) >= 0) {
            out += static_cast<char>(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<std::string> Split(const std::string &path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        if (j > i) parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

std::optional<int64_t> Number(const std::string &s) {
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return std::stoll(s);
}

bool ValidIdempotencyKey(const std::string &k) {
    if (k.empty() || k.size() > kIdempotencyKeyMax) return false;
    return std::all_of(k.begin(), k.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

}  // namespace

Target ParseTarget(const std::string &target) {
    Target t;
    auto q = target.find('?');
    t.path = Decode(target.substr(0, q), false);
    if (q == std::string::npos) return t;
    std::string rest = target.substr(q + 1);
    size_t i = 0;
    while (i <= rest.size()) {
        size_t j = rest.find('&', i);
        if (j == std::string::npos) j = rest.size();
        std::string pair = rest.substr(i, j - i);
        if (!pair.empty()) {
            auto eq = pair.find('=');
            t.query[Decode(pair.substr(0, eq), true)] = eq == std::string::npos ? "" : Decode(pair.substr(eq + 1), true);
        }
        i = j + 1;
    }
    return t;
}

const std::string &OpenApiDocument() { return EmbeddedFiles().at("openapi.json"); }

Api::Api(net::io_context &io, Site &site, const SiteConfig &config)
    : io_(io), site_(site), config_(config), token_file_(config.StateDir() + "/tokens"), console_(io, config) {
    ReloadTokens();
}

// The token file is read again whenever it changed, so `token add` and
// `token revoke` take effect without a restart.
void Api::ReloadTokens() {
    bool gone = false;
    if (!token_stamp_.Changed(token_file_, &gone)) return;
    if (gone) return tokens_.clear();
    try {
        tokens_ = LoadTokens(token_file_);
    } catch (const std::exception &e) {
        std::cerr << "kestrane-server: " << token_file_ << ": " << e.what() << " (keeping the tokens read before)"
                  << std::endl;
    }
}

std::optional<Principal> Api::Authenticate(const HttpRequest &req) {
    auto auth = req[http::field::authorization];
    const std::string scheme = "Bearer ";
    if (auth.size() <= scheme.size() || !boost::beast::iequals(auth.substr(0, scheme.size()), scheme))
        return std::nullopt;
    ReloadTokens();
    auto entry = server::Authenticate(tokens_, std::string(auth.substr(scheme.size())));
    if (!entry) return std::nullopt;
    return Principal{entry->name, entry->role, "api", ""};
}

bool Api::RateLimited(const std::string &name, int *retryAfter) {
    const double capacity = config_.limits.rate, perSecond = capacity / 60.0;
    auto now = Clock::now();
    auto [it, fresh] = buckets_.try_emplace(name, Bucket{capacity, now});
    Bucket &b = it->second;
    if (!fresh) {
        b.tokens = std::min(capacity, b.tokens + std::chrono::duration<double>(now - b.at).count() * perSecond);
        b.at = now;
    }
    if (b.tokens >= 1) {
        b.tokens -= 1;
        return false;
    }
    *retryAfter = static_cast<int>((1 - b.tokens) / perSecond) + 1;
    return true;
}

void Api::Handle(const std::shared_ptr<Exchange> &ex) {
    // CORS answers only the origins the site names; others get no grant.
    HttpResponse cors;
    auto origin = std::string(ex->Request()[http::field::origin]);
    bool allowed = !origin.empty() && std::find(config_.cors_origins.begin(), config_.cors_origins.end(), origin) !=
                                          config_.cors_origins.end();
    if (allowed) {
        cors.set(http::field::access_control_allow_origin, origin);
        cors.set(http::field::vary, "Origin");
        cors.set(http::field::access_control_expose_headers, "Location, Retry-After");
    }
    if (ex->Request().method() == http::verb::options) {
        if (!allowed)
            return Fail(ex, cors, http::status::forbidden, "Origin not allowed",
                        "this site does not serve browser requests from " + (origin.empty() ? "here" : origin));
        HttpResponse res{http::status::no_content, 11};
        res.set(http::field::access_control_allow_methods, "GET, POST");
        res.set(http::field::access_control_allow_headers, "Authorization, Content-Type, Idempotency-Key");
        res.set(http::field::access_control_max_age, "600");
        return Finish(ex, std::move(res), cors);
    }
    try {
        Route(ex, cors);
    } catch (const JournalError &e) {
        std::cerr << "kestrane-server: the journal: " << e.what() << std::endl;
        Fail(ex, cors, http::status::service_unavailable, "Journal unavailable",
             "the journal cannot be read or written; no card was touched");
    }
}

void Api::Route(const std::shared_ptr<Exchange> &ex, HttpResponse &cors) {
    const HttpRequest &req = ex->Request();
    Target t = ParseTarget(std::string(req.target()));
    auto parts = Split(t.path);
    const bool get = req.method() == http::verb::get, post = req.method() == http::verb::post;
    auto methodNotAllowed = [&](const char *allow) {
        HttpResponse res = Problem(http::status::method_not_allowed, "Method not allowed",
                                   std::string(req.method_string()) + " is not served here; use " + allow);
        res.set(http::field::allow, allow);
        Finish(ex, std::move(res), cors);
    };

    if (t.path == "/healthz") {
        if (!get) return methodNotAllowed("GET");
        return Finish(ex, JsonResponse(http::status::ok, {{"status", "ok"}, {"encoders", site_.EncodersJson().size()}}),
                      cors);
    }
    if (t.path == "/metrics") {
        if (!get) return methodNotAllowed("GET");
        HttpResponse res{http::status::ok, 11};
        res.set(http::field::content_type, "text/plain; version=0.0.4");
        res.body() = site_.MetricsText();
        return Finish(ex, std::move(res), cors);
    }
    if (t.path == "/v1/openapi.json") {
        if (!get) return methodNotAllowed("GET");
        HttpResponse res{http::status::ok, 11};
        res.set(http::field::content_type, "application/json");
        res.body() = OpenApiDocument();
        return Finish(ex, std::move(res), cors);
    }
    if (t.path.rfind(kOperaPrefix, 0) == 0) return Opera(ex, parts, cors);
    if (parts.empty() || parts[0] != "v1")
    if (parts.empty() || parts[0] != "v1") {
        if (auto page = console_.Page(t.path)) {
            if (!get) return methodNotAllowed("GET");
            return Finish(ex, std::move(*page), cors);
        }
        return Fail(ex, cors, http::status::not_found, "Not found", "nothing is served at " + t.path);
    }
    if (t.path == "/v1/session")
        return console_.SessionRoute(req, ex->Tls(), [ex, cors](HttpResponse res) { Finish(ex, std::move(res), cors); });

    auto who = Authenticate(req);
    if (!who && req[http::field::authorization].empty()) {
        // No token: a console session's cookie, if any.
        CookieAuth c = console_.Authenticate(req);
        if (c.refusal) return Finish(ex, std::move(*c.refusal), cors);
        who = c.who;
    }
    if (!who) {
        HttpResponse res = Problem(http::status::unauthorized, "Token required",
                                   "send a valid token as 'Authorization: Bearer TOKEN'");
        res.set(http::field::www_authenticate, "Bearer realm=\"kestrane\"");
        return Finish(ex, std::move(res), cors);
    }
    ex->SetWho(who->name);
    int retryAfter = 0;
    if (RateLimited(who->interface + ":" + who->name, &retryAfter)) {
        HttpResponse res = Problem(http::status::too_many_requests, "Too many requests",
                                   "at most " + std::to_string(config_.limits.rate) + " requests a minute per token");
        res.set(http::field::retry_after, std::to_string(retryAfter));
        return Finish(ex, std::move(res), cors);
    }

    if (parts.size() == 2 && parts[1] == "encoders") {
        if (!get) return methodNotAllowed("GET");
        return Finish(ex, JsonResponse(http::status::ok, {{"encoders", site_.EncodersJson()}}), cors);
    }
    if (parts.size() >= 3 && parts[1] == "encoders") {
        if (!site_.HasEncoder(parts[2]))
            return Fail(ex, cors, http::status::not_found, "No such encoder", "no encoder '" + parts[2] + "' here");
        if (parts.size() == 3) {
            if (!get) return methodNotAllowed("GET");
            return Finish(ex, JsonResponse(http::status::ok, site_.EncoderJson(parts[2])), cors);
        }
        if (parts.size() == 4) {
            for (const ActionRule &a : kActions)
                if (parts[3] == a.name) {
                    if (!post) return methodNotAllowed("POST");
                    return PostJob(ex, *who, parts[2], a.name, t, cors);
                }
        }
    }
    if (parts.size() == 2 && parts[1] == "jobs") {
        if (!get) return methodNotAllowed("GET");
        return GetJobs(ex, *who, t, cors);
    }
    if (parts.size() == 3 && parts[1] == "jobs") {
        if (!get) return methodNotAllowed("GET");
        auto id = Number(parts[2]);
        auto job = id ? site_.Find(*id) : std::nullopt;
        // Another's job is as absent as a job that never was: its existence
        // is the journal's, which only managers read.
        if (!job || (who->role != Role::Manager && job->who != who->name))
            return Fail(ex, cors, http::status::not_found, "No such job", "no job " + parts[2] + " of yours");
        return Finish(ex, JsonResponse(http::status::ok, JobToJson(*job)), cors);
    }
    if (parts.size() == 2 && parts[1] == "events") {
        if (!get) return methodNotAllowed("GET");
        return EventStream(ex, *who, cors);
    }
    Fail(ex, cors, http::status::not_found, "Not found", "nothing is served at " + t.path);
}

// OPERA Cloud's contract answers its errors in its own forms: no body for
// 401, 403, 405, 415 and 429.
void Api::Opera(const std::shared_ptr<Exchange> &ex, const std::vector<std::string> &parts, HttpResponse &cors) {
    const HttpRequest &req = ex->Request();
    if (parts.size() != 5 || parts[2] != "hotels" || parts[4] != "roomKeysOutbound")
        return Finish(ex, OperaError(http::status::not_found, "Not found", "nothing is served here"), cors);
    if (req.method() != http::verb::post) {
        HttpResponse res = OperaBare(http::status::method_not_allowed);
        res.set(http::field::allow, "POST");
        return Finish(ex, std::move(res), cors);
    }
    auto who = Authenticate(req);
    if (!who) {
        HttpResponse res = OperaBare(http::status::unauthorized);
        res.set(http::field::www_authenticate, "Bearer realm=\"kestrane\"");
        return Finish(ex, std::move(res), cors);
    }
    ex->SetWho(who->name);
    if (who->role != Role::Pms) return Finish(ex, OperaBare(http::status::forbidden), cors);
    int retryAfter = 0;
    if (RateLimited(who->name, &retryAfter)) {
        HttpResponse res = OperaBare(http::status::too_many_requests);
        res.set(http::field::retry_after, std::to_string(retryAfter));
        return Finish(ex, std::move(res), cors);
    }
    if (!SaysJson(req))
        return Finish(ex, OperaBare(http::status::unsupported_media_type), cors);
    OperaRoomKeys(ex, site_, parts[3], who->name);
}

void Api::PostJob(const std::shared_ptr<Exchange> &ex, const Principal &who, const std::string &encoder,
                  const std::string &actionName, const Target &t, HttpResponse &cors) {
    const HttpRequest &req = ex->Request();
    const ActionRule *rule = nullptr;
    for (const ActionRule &a : kActions)
        if (actionName == a.name) rule = &a;

    json body = json::object();
    const std::string &text = req.body();
    bool blank = text.find_first_not_of(" \t\r\n") == std::string::npos;
    if (!blank || rule->action == Action::IssueCard) {
        if (!SaysJson(req))
            return Fail(ex, cors, http::status::unsupported_media_type, "JSON required",
                        "send the request as Content-Type: application/json");
        try {
            body = json::parse(text);
        } catch (const json::parse_error &e) {
            return Fail(ex, cors, http::status::bad_request, "Malformed JSON",
                        "the body is not JSON: " + std::string(e.what()));
        }
        if (!body.is_object())
            return Fail(ex, cors, http::status::bad_request, "Invalid request", "the body must be a JSON object");
    }

    Job job;
    job.encoder = encoder;
    job.who = who.name;
    job.interface = who.interface;
    job.action = rule->command;
    std::vector<std::string> args;
    if (rule->action == Action::IssueCard) {
        std::string kind = body.contains("kind") && body["kind"].is_string() ? body["kind"].get<std::string>() : "";
        // The role before the fields: a desk learns nothing of a chief card's
        // rules by trying one.
        if (!kind.empty() && std::find(CardKinds().begin(), CardKinds().end(), kind) != CardKinds().end() &&
            !Allows(who.role, Action::IssueCard, kind))
            return Fail(ex, cors, http::status::forbidden, "Not allowed",
                        "a " + std::string(RoleName(who.role)) + " token may not issue " + kind + " cards", "kind");
        if (body.contains("areas") && body["areas"].is_array() && !body["areas"].empty() &&
            site_.Medium(encoder) == "ic")
            return Fail(ex, cors, http::status::bad_request, "Invalid card request",
                        "encoder " + encoder + " writes IC 4442 cards, which have no room for access areas", "areas");
        CardCommand cmd;
        if (auto problem = BuildIssue(body, config_.rooms, config_.areas, cmd))
            return Fail(ex, cors, http::status::bad_request, "Invalid card request", problem->detail, problem->field);
        args = cmd.args;
        job.kind = kind;
        job.request = cmd.what;
        job.reason = cmd.reason;
    } else {
        if (!Allows(who.role, rule->action))
            return Fail(ex, cors, http::status::forbidden, "Not allowed",
                        "a " + std::string(RoleName(who.role)) + " token may not " + rule->command + " cards");
        if (!body.empty())
            return Fail(ex, cors, http::status::bad_request, "Invalid request",
                        std::string("a ") + rule->command + " request takes no fields", body.begin().key());
        args = {"--json", rule->command};
    }

    double wait = config_.wait;
    if (t.query.count("wait")) {
        try {
            size_t used = 0;
            wait = std::stod(t.query.at("wait"), &used);
            if (used != t.query.at("wait").size() || wait < 0) throw std::invalid_argument("wait");
        } catch (const std::exception &) {
            return Fail(ex, cors, http::status::bad_request, "Invalid request", "wait is a number of seconds",
                        "wait");
        }
        wait = std::min(wait, config_.wait);
    }

    // A retried request with the same key is answered with the first job:
    // a retry never writes a second card.
    auto key = std::string(req["Idempotency-Key"]);
    job.request_hash = Sha256Hex(actionName + "\n" + encoder + "\n" + body.dump());
    if (!key.empty()) {
        if (!ValidIdempotencyKey(key))
            return Fail(ex, cors, http::status::bad_request, "Invalid Idempotency-Key",
                        "at most 255 visible ASCII characters", "Idempotency-Key");
        if (auto first = site_.journal().FindByIdempotencyKey(who.name, key)) {
            if (first->request_hash != job.request_hash)
                return Fail(ex, cors, http::status::unprocessable_entity, "Idempotency-Key reused",
                            "this key was used for another request (job " + std::to_string(first->id) + ")",
                            "Idempotency-Key");
            auto live = site_.Find(first->id);
            return AnswerWhenDone(ex, live ? *live : *first, wait, rule->okStatus, cors);
        }
        job.idempotency_key = key;
    }

    try {
        job = site_.Submit(std::move(job), std::move(args));
    } catch (const QueueFull &e) {
        return Fail(ex, cors, http::status::conflict, "Encoder busy",
                    std::string(e.what()) + "; try again when it is free or use another encoder");
    }
    AnswerWhenDone(ex, job, wait, rule->okStatus, cors);
}

void Api::AnswerWhenDone(const std::shared_ptr<Exchange> &ex, const Job &job, double wait, int okStatus,
                         const HttpResponse &cors) {
    auto answered = std::make_shared<bool>(false);
    auto timer = std::make_shared<net::steady_timer>(io_);
    auto pending = [ex, cors, job](const Job &current) {
        HttpResponse res = JsonResponse(http::status::accepted, JobToJson(current));
        res.set(http::field::location, "/v1/jobs/" + std::to_string(job.id));
        Finish(ex, std::move(res), cors);
    };
    if (Finished(job.state)) {
        HttpResponse res = JsonResponse(job.state == JobState::Ok ? http::status(okStatus) : http::status::ok,
                                        JobToJson(job));
        res.set(http::field::location, "/v1/jobs/" + std::to_string(job.id));
        return Finish(ex, std::move(res), cors);
    }
    if (wait <= 0) return pending(job);
    timer->expires_after(std::chrono::milliseconds(static_cast<int64_t>(wait * 1000)));
    timer->async_wait([this, answered, pending, id = job.id](boost::system::error_code ec) {
        if (ec || *answered) return;
        *answered = true;
        auto current = site_.Find(id);
        if (current) pending(*current);
    });
    site_.WhenFinished(job.id, [ex, cors, answered, timer, okStatus](const Outcome &o) {
        if (*answered) return;
        *answered = true;
        timer->cancel();
        if (o.journal_failed)
            return Fail(ex, cors, http::status::service_unavailable, "Journal unavailable",
                        "the journal could not record job " + std::to_string(o.job.id) +
                            (o.job.state == JobState::Failed ? "; no card was touched"
                                                             : "; the card may hold it, but it is not on record"));
        HttpResponse res = JsonResponse(o.job.state == JobState::Ok ? http::status(okStatus) : http::status::ok,
                                        JobToJson(o.job));
        res.set(http::field::location, "/v1/jobs/" + std::to_string(o.job.id));
        Finish(ex, std::move(res), cors);
    });
}

void Api::GetJobs(const std::shared_ptr<Exchange> &ex, const Principal &who, const Target &t, HttpResponse &cors) {
    if (!Allows(who.role, Action::ReadJournal))
        return Fail(ex, cors, http::status::forbidden, "Not allowed", "only a manager reads the journal");
    JobQuery q;
    if (t.query.count("since")) {
        auto v = Number(t.query.at("since"));
        if (!v) return Fail(ex, cors, http::status::bad_request, "Invalid request", "since is a job id", "since");
        q.since = *v;
    }
    if (t.query.count("limit")) {
        auto v = Number(t.query.at("limit"));
        if (!v || *v < 1 || *v > static_cast<int64_t>(kJobPageMax))
            return Fail(ex, cors, http::status::bad_request, "Invalid request",
                        "limit is 1-" + std::to_string(kJobPageMax), "limit");
        q.limit = static_cast<size_t>(*v);
    }
    if (t.query.count("encoder")) q.encoder = t.query.at("encoder");
    auto jobs = site_.journal().List(q);
    json list = json::array();
    for (auto &j : jobs) {
        auto live = site_.Find(j.id);  // a running job's journal row lags nothing, but its live copy is newer
        list.push_back(JobToJson(live ? *live : j));
    }
    json body = {{"jobs", list}};
    if (jobs.size() == q.limit) {
        std::string next = "/v1/jobs?since=" + std::to_string(jobs.back().id) + "&limit=" + std::to_string(q.limit);
        if (!q.encoder.empty()) next += "&encoder=" + q.encoder;
        body["next"] = next;
    }
    Finish(ex, JsonResponse(http::status::ok, body), cors);
}

void Api::EventStream(const std::shared_ptr<Exchange> &ex, const Principal &who, HttpResponse &cors) {
    HttpResponse head{http::status::ok, 11};
    for (auto &f : cors) head.set(f.name_string(), f.value());
    head.set(http::field::content_type, "text/event-stream");
    head.set(http::field::cache_control, "no-store");
    auto id = std::make_shared<int>(0);
    auto keepAlive = std::make_shared<net::steady_timer>(io_);
    std::weak_ptr<Exchange> weak = ex;
    ex->OpenStream(std::move(head), [this, id, keepAlive] {
        site_.events().Unsubscribe(*id);
        keepAlive->cancel();
    });
    if (ex->Closed()) return;
    auto send = [weak](const std::string &type, const json &data) {
        if (auto e = weak.lock()) e->Send("event: " + type + "\ndata: " + data.dump() + "\n\n");
    };
    for (auto &e : site_.EncodersJson()) send("encoder", e);
    const bool manager = who.role == Role::Manager;
    const std::string name = who.name, session = who.session;
    *id = site_.events().Subscribe([this, send, manager, name, session](const std::string &type, const json &data) {
        // A console stream tells nothing once its session has ended.
        if (!session.empty() && !console_.Live(session)) return;
        // Jobs are the journal's: a manager sees all, others their own.
        if (type == "job" && !manager && data.value("who", "") != name) return;
        send(type, data);
    });
    auto beat = std::make_shared<std::function<void()>>();
    *beat = [weak, keepAlive, beat] {
        keepAlive->expires_after(kStreamKeepAlive);
        keepAlive->async_wait([weak, beat](boost::system::error_code ec) {
            auto e = weak.lock();
            if (ec || !e || e->Closed()) {
                *beat = nullptr;  // ends the cycle the closure holds
                return;
            }
            e->Send(": keep-alive\n\n");
            (*beat)();
        });
    };
    (*beat)();
}

}  // namespace server
