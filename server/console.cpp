#include "console.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>

#include "embedded.h"
#include "journal.h"

namespace server {

using nlohmann::json;

namespace {

const char kCookie[] = "kestrane_session";
constexpr size_t kSessionBytes = 32;  // 256 bits
constexpr size_t kSessionsMax = 10000;
// Wrong passwords in a row before a name is refused for a while: a desk
// password is short, and guessing must not be cheap.
constexpr int kFailuresAllowed = 5;
constexpr auto kLockout = std::chrono::seconds(60);

// Hashed when the name is no user's, so that an unknown name takes as long
// to refuse as a wrong password and names cannot be told by timing.
const std::string &DecoyHash() {
    static const std::string hash = HashPassword("no user has this password");
    return hash;
}

std::string RandomHex(size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1)
        throw std::runtime_error("the system's random source failed");
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : raw) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    OPENSSL_cleanse(raw.data(), raw.size());
    return s;
}

bool SameSecret(const std::string &a, const std::string &b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string CookieValue(const HttpRequest &req) {
    for (auto &f : req) {
        if (f.name() != http::field::cookie) continue;
        std::string header(f.value());
        size_t i = 0;
        while (i < header.size()) {
            size_t j = header.find(';', i);
            if (j == std::string::npos) j = header.size();
            std::string pair = header.substr(i, j - i);
            pair.erase(0, pair.find_first_not_of(' '));
            auto eq = pair.find('=');
            if (eq != std::string::npos && pair.substr(0, eq) == kCookie) return pair.substr(eq + 1);
            i = j + 1;
        }
    }
    return "";
}

std::string CookieHeader(const std::string &value, bool tls, bool end) {
    std::string c = std::string(kCookie) + "=" + value + "; Path=/; HttpOnly; SameSite=Strict";
    if (tls) c += "; Secure";
    if (end) c += "; Max-Age=0";
    return c;
}

const char *ContentType(const std::string &name) {
    auto ends = [&](const char *ext) {
        std::string e(ext);
        return name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}


}  // namespace

Console::Console(net::io_context &io, const SiteConfig &config)
    : io_(io), config_(config), users_file_(config.StateDir() + "/users") {
    ReloadUsers();
    DecoyHash();  // made now, so that the first unknown name takes no longer than the next
}

Console::~Console() { hashing_.join(); }

// The users file is read again whenever it changed: `user add` and
// `user remove` take effect at once, and a removed user's sessions end.
void Console::ReloadUsers() {
    bool gone = false;
    if (!users_stamp_.Changed(users_file_, &gone)) return;
    if (gone) return users_.clear();
    try {
        users_ = LoadUsers(users_file_);
    } catch (const std::exception &e) {
        std::cerr << "kestrane-server: " << users_file_ << ": " << e.what() << " (keeping the users read before)"
                  << std::endl;
    }
}

const UserEntry *Console::FindUser(const std::string &name) const {
    for (auto &u : users_)
        if (u.name == name) return &u;
    return nullptr;
}

std::optional<HttpResponse> Console::Page(const std::string &path) const {
    std::string name = path == "/" ? "console/index.html" : "console" + path;
    if (path.find("..") != std::string::npos) return std::nullopt;
    auto it = EmbeddedFiles().find(name);
    if (it == EmbeddedFiles().end()) return std::nullopt;
    HttpResponse res{http::status::ok, 11};
    res.set(http::field::content_type, ContentType(name));
    res.set(http::field::cache_control, "no-cache");
    res.set("X-Content-Type-Options", "nosniff");
    res.set("Referrer-Policy", "no-referrer");
    // Only the console's own files run or load: an injected script or a
    // framing page has nothing to work with.
    res.set("Content-Security-Policy",
            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
            "form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
    res.body() = it->second;
    return res;
}

void Console::Sweep() {
    auto now = Clock::now();
    auto idle = std::chrono::seconds(config_.console.idle_timeout);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (now - it->second.last > idle) it = sessions_.erase(it);
        else ++it;
    }
}

Console::Session *Console::Current(const HttpRequest &req, std::string *id) {
    std::string value = CookieValue(req);
    if (value.empty()) return nullptr;
    Sweep();
    auto it = sessions_.find(value);
    if (it == sessions_.end()) return nullptr;
    ReloadUsers();
    const UserEntry *u = FindUser(it->second.user);
    // A user removed or given another role signs in again.
    if (!u || u->role != it->second.role) {
        sessions_.erase(it);
        return nullptr;
    }
    it->second.last = Clock::now();
    if (id) *id = value;
    return &it->second;
}

CookieAuth Console::Authenticate(const HttpRequest &req) {
    CookieAuth out;
    if (CookieValue(req).empty()) return out;
    Session *s = Current(req, nullptr);
    if (!s) {
        out.refusal = Problem(http::status::unauthorized, "Session ended",
                              "the session ended (signed out or idle too long); sign in again");
        return out;
    }
    // A page of another site can make the browser send the cookie, but it
    // cannot read the token this session's pages hold.
    const bool safe = req.method() == http::verb::get || req.method() == http::verb::head;
    if (!safe && !SameSecret(std::string(req["X-CSRF-Token"]), s->csrf)) {
        out.refusal = Problem(http::status::forbidden, "CSRF token required",
                              "a change made with a session cookie needs the session's X-CSRF-Token header",
                              "X-CSRF-Token");
        return out;
    }
    out.who = Principal{s->user, s->role, "console", CookieValue(req)};
    return out;
}

bool Console::Live(const std::string &session) {
    Sweep();
    auto it = sessions_.find(session);
    if (it == sessions_.end()) return false;
    ReloadUsers();
    const UserEntry *u = FindUser(it->second.user);
    return u && u->role == it->second.role;
}

HttpResponse Console::SessionAnswer(http::status status, const Session &s) const {
    json rooms = json::array(), areas = json::array();
    for (auto &[name, _] : config_.rooms) rooms.push_back(name);
    for (auto &[name, _] : config_.areas) areas.push_back(name);
    json body = {{"name", s.user},
                 {"role", RoleName(s.role)},
                 {"csrf", s.csrf},
                 {"idle_timeout", config_.console.idle_timeout},
                 {"site",
                  {{"timezone", config_.timezone},
                   {"now", LocalTimeText("%Y-%m-%dT%H:%M")},
                   {"arrival", config_.console.arrival},
                   {"departure", config_.console.departure},
                   {"rooms", rooms},
                   {"areas", areas}}}};
    HttpResponse res{status, 11};
    res.set(http::field::content_type, "application/json");
    res.set(http::field::cache_control, "no-store");
    res.body() = body.dump() + "\n";
    return res;
}

void Console::SessionRoute(const HttpRequest &req, bool tls, std::function<void(HttpResponse)> answer) {
    if (req.method() == http::verb::post) return SignIn(req, tls, std::move(answer));
    if (req.method() == http::verb::get) {
        Session *s = Current(req, nullptr);
        if (!s) return answer(Problem(http::status::unauthorized, "Not signed in", "sign in with name and password"));
        return answer(SessionAnswer(http::status::ok, *s));
    }
    if (req.method() == http::verb::delete_) {
        std::string id;
        if (Session *s = Current(req, &id)) {
            if (!SameSecret(std::string(req["X-CSRF-Token"]), s->csrf))
                return answer(Problem(http::status::forbidden, "CSRF token required",
                                      "signing out needs the session's X-CSRF-Token header", "X-CSRF-Token"));
            sessions_.erase(id);
        }
        HttpResponse res{http::status::no_content, 11};
        res.set(http::field::set_cookie, CookieHeader("", tls, true));
        return answer(std::move(res));
    }
    HttpResponse res = Problem(http::status::method_not_allowed, "Method not allowed",
                               std::string(req.method_string()) + " is not served here; use GET, POST or DELETE");
    res.set(http::field::allow, "GET, POST, DELETE");
    answer(std::move(res));
}

void Console::SignIn(const HttpRequest &req, bool tls, std::function<void(HttpResponse)> answer) {
    auto type = std::string(req[http::field::content_type]);
    if (!boost::beast::iequals(type.substr(0, type.find(';')), "application/json"))
        return answer(Problem(http::status::unsupported_media_type, "JSON required",
                              "send the request as Content-Type: application/json"));
    json body = json::parse(req.body(), nullptr, false);
    for (const char *field : {"name", "password"})
        if (!body.is_object() || !body.contains(field) || !body[field].is_string() ||
            body[field].get_ref<const std::string &>().empty())
            return answer(Problem(http::status::bad_request, "Invalid request",
                                  std::string("the ") + field + " is required", field));
    const std::string name = body["name"];
    std::string password = body["password"];
    if (password.size() > kPasswordMax)
        return answer(Problem(http::status::bad_request, "Invalid request", "the password is too long", "password"));

    auto now = Clock::now();
    auto &f = failures_[name];
    if (f.count >= kFailuresAllowed && now < f.until) {
        HttpResponse res = Problem(http::status::too_many_requests, "Too many wrong passwords",
                                   "this name is refused for a minute after " + std::to_string(kFailuresAllowed) +
                                       " wrong passwords");
        res.set(http::field::retry_after,
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(f.until - now).count() + 1));
        return answer(std::move(res));
    }

    ReloadUsers();
    const UserEntry *u = FindUser(name);
    std::string hash = u ? u->hash : DecoyHash();
    // Argon2 takes its time on purpose; the event loop goes on meanwhile.
    net::post(hashing_, [this, hash, password, name, tls, answer = std::move(answer)]() mutable {
        bool ok = VerifyPassword(hash, password);
        OPENSSL_cleanse(password.data(), password.size());
        net::post(io_, [this, ok, name, tls, answer = std::move(answer)] {
            ReloadUsers();
            const UserEntry *user = FindUser(name);
            if (!ok || !user) {
                auto &fail = failures_[name];
                if (++fail.count >= kFailuresAllowed) fail.until = Clock::now() + kLockout;
                if (!user && failures_.size() > kSessionsMax) failures_.erase(name);  // no growth from made-up names
                return answer(Problem(http::status::unauthorized, "Wrong name or password",
                                      "the name or the password is not right", "password"));
            }
            failures_.erase(name);
            Sweep();
            if (sessions_.size() >= kSessionsMax) {
                // The session idle longest makes room.
                auto oldest = sessions_.begin();
                for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
                    if (it->second.last < oldest->second.last) oldest = it;
                sessions_.erase(oldest);
            }
            std::string id = RandomHex(kSessionBytes);
            Session &s = sessions_[id] = Session{user->name, user->role, RandomHex(kSessionBytes), Clock::now()};
            HttpResponse res = SessionAnswer(http::status::created, s);
            res.set(http::field::set_cookie, CookieHeader(id, tls, false));
            answer(std::move(res));
        });
    });
}

}  // namespace server
