// The front-desk console's side of the server: the pages (built into the
// program), the users who sign in with a password, and their sessions: a
// random cookie held in memory, ended by sign-out or idle time, and a
// per-session CSRF token that every change made with the cookie must carry.
#pragma once

#include <boost/asio.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "config.h"
#include "http.h"
#include "tokens.h"
#include "users.h"

namespace server {

// What a request's cookie says: nothing (no cookie: the token rules apply),
// a signed-in user, or an answer that refuses it (ended session, no CSRF token).
struct CookieAuth {
    std::optional<Principal> who;
    std::optional<HttpResponse> refusal;
};

class Console {
public:
    Console(net::io_context &io, const SiteConfig &config);
    ~Console();

    // A page or file of the console for GET `path`; none when it is not one.
    std::optional<HttpResponse> Page(const std::string &path) const;
    // /v1/session: POST signs in, GET tells who is signed in, DELETE signs out.
    // `answer` gets the response, later for a sign-in (the hash is checked
    // off the event loop).
    void SessionRoute(const HttpRequest &req, bool tls, std::function<void(HttpResponse)> answer);
    CookieAuth Authenticate(const HttpRequest &req);
    // Whether the session is still signed in (not touched: a stream open
    // for hours keeps no session alive).
    bool Live(const std::string &session);

private:
    using Clock = std::chrono::steady_clock;
    struct Session {
        std::string user;
        Role role = Role::Desk;
        std::string csrf;
        Clock::time_point last;
    };
    struct Failures {
        int count = 0;
        Clock::time_point until;
    };

    void ReloadUsers();
    const UserEntry *FindUser(const std::string &name) const;
    Session *Current(const HttpRequest &req, std::string *id);  // the live session of the cookie, touched
    void Sweep();
    HttpResponse SessionAnswer(http::status status, const Session &s) const;
    void SignIn(const HttpRequest &req, bool tls, std::function<void(HttpResponse)> answer);

    net::io_context &io_;
    const SiteConfig &config_;
    std::string users_file_;
    std::vector<UserEntry> users_;
    FileStamp users_stamp_;
    std::map<std::string, Session> sessions_;  // by cookie value
    std::map<std::string, Failures> failures_;  // wrong passwords by user name
    net::thread_pool hashing_{1};  // last: joined before the rest goes
};

}  // namespace server
