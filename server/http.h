// The HTTP front: listeners (plain on loopback, TLS elsewhere), one
// connection's requests read within the site's limits, and the answer given
// when the handler has it, which may be later (a request waiting for its
// card) or a stream (server-sent events).
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/http.hpp>
#include <functional>
#include <memory>
#include <string>

#include "config.h"

namespace server {

namespace net = boost::asio;
namespace http = boost::beast::http;
using HttpRequest = http::request<http::string_body>;
using HttpResponse = http::response<http::string_body>;

// One request waiting for its answer. Exactly one of Reply or OpenStream.
class Exchange {
public:
    virtual ~Exchange() = default;
    const HttpRequest &Request() const { return request_; }
    const std::string &Peer() const { return peer_; }
    bool Tls() const { return tls_; }
    virtual void Reply(HttpResponse res) = 0;
    // Starts an endless chunked answer (text/event-stream); Send adds to it.
    // `on_close` runs once when the client goes away.
    virtual void OpenStream(HttpResponse head, std::function<void()> on_close) = 0;
    virtual void Send(std::string data) = 0;
    virtual bool Closed() const = 0;
    void SetWho(std::string who) { who_ = std::move(who); }  // for the request's log line

protected:
    std::string who_;
    HttpRequest request_;
    std::string peer_;
    bool tls_ = false;
};

using Handler = std::function<void(std::shared_ptr<Exchange>)>;

// An error answer as application/problem+json (RFC 9457); `field` names the
// part of the request at fault, when one is.
HttpResponse Problem(http::status status, const std::string &title, const std::string &detail,
                     const std::string &field = "");

// A listener's log prefix: what it serves, and, for a plain listener on an
// address other than loopback, that it is insecure, on every line.
std::string ListenerLabel(const Listener &l);

// Opens every listener; throws with a message naming the listener when one
// cannot be opened (nothing half-starts). `log` gets one line per request.
class HttpFront {
public:
    HttpFront(net::io_context &io, const SiteConfig &config, Handler handler);
    ~HttpFront();
    void Start();
    void Stop();  // closes the listeners; connections end after their answer

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace server
