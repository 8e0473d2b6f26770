#include "http.h"

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <deque>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

namespace server {

namespace beast = boost::beast;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kHeaderLimit = 16 * 1024;
constexpr size_t kMaxConnections = 1000;
constexpr auto kWriteTimeout = std::chrono::seconds(30);
constexpr auto kStreamWriteTimeout = std::chrono::seconds(60);

size_t g_connections = 0;

bool Quiet(const std::string &target) { return target == "/healthz" || target == "/metrics"; }

template <class Stream>
constexpr bool kIsTls = !std::is_same_v<Stream, beast::tcp_stream>;

template <class Stream>
class Session : public Exchange, public std::enable_shared_from_this<Session<Stream>> {
public:
    template <class... Args>
    Session(const Limits &limits, const Handler &handler, const std::string &label, const bool &stopping,
            Args &&...args)
        : stream_(std::forward<Args>(args)...),
          idle_(stream_.get_executor()),
          limits_(limits),
          handler_(handler),
          label_(label),
          stopping_(stopping) {
        ++g_connections;
        tls_ = kIsTls<Stream>;
        boost::system::error_code ec;
        auto ep = Lowest().socket().remote_endpoint(ec);
        if (!ec) peer_ = ep.address().to_string() + ":" + std::to_string(ep.port());
    }
    ~Session() override { --g_connections; }

    void Run() {
        if constexpr (kIsTls<Stream>) {
            Lowest().expires_after(std::chrono::seconds(limits_.header_timeout));
            stream_.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
                if (ec) return self->Close();
                self->NextRequest();
            });
        } else {
            NextRequest();
        }
    }

    void Reply(HttpResponse res) override {
        if (closed_ || !answering_) return;
        answering_ = false;
        res.version(request_.version());
        res.keep_alive(request_.keep_alive() && !stopping_);
        res.prepare_payload();
        Log(res.result_int());
        auto sp = std::make_shared<HttpResponse>(std::move(res));
        Lowest().expires_after(kWriteTimeout);
        http::async_write(stream_, *sp, [self = this->shared_from_this(), sp](beast::error_code ec, size_t) {
            if (ec) return self->Close();
            if (!sp->keep_alive()) return self->Shutdown();
            self->NextRequest();
        });
    }

    void OpenStream(HttpResponse head, std::function<void()> on_close) override {
        if (closed_ || !answering_) return;
        answering_ = false;
        streaming_ = true;
        on_close_ = std::move(on_close);
        Log(head.result_int());
        std::string text = "HTTP/1.1 " + std::to_string(head.result_int()) + " " + std::string(head.reason()) + "\r\n";
        for (auto &f : head) text += std::string(f.name_string()) + ": " + std::string(f.value()) + "\r\n";
        text += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
        out_.push_back(std::move(text));
        WriteNext();
        WatchClose();
    }

    void Send(std::string data) override {
        if (closed_ || !streaming_ || data.empty()) return;
        char size[24];
        std::snprintf(size, sizeof size, "%zx\r\n", data.size());
        out_.push_back(size + data + "\r\n");
        if (!writing_) WriteNext();
    }

    bool Closed() const override { return closed_; }

private:
    beast::tcp_stream &Lowest() { return beast::get_lowest_layer(stream_); }

    void Log(unsigned status) {
        if (Quiet(std::string(request_.target())) && status < 400) return;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began_).count();
        // One string, one write: std::cerr is unit-buffered, so every piece
        // put to it separately is a system call of its own.
        std::string line = "kestrane-server: " + label_ + ": " + peer_ + " " + std::string(request_.method_string()) +
                           " " + std::string(request_.target()) + " " + std::to_string(status) + " " +
                           std::to_string(ms) + " ms" + (who_.empty() ? "" : " " + who_) + "\n";
        std::cerr << line;
    }

    void NextRequest() {
        if (stopping_) return Shutdown();
        parser_.emplace();
        parser_->body_limit(limits_.body);
        parser_->header_limit(kHeaderLimit);
        who_.clear();
        if (first_ || buffer_.size() > 0) return ReadHeader();
        // A kept-alive connection may sit idle for a while; once its next
        // request begins, the header's own time limit applies.
        idle_.expires_after(std::chrono::seconds(limits_.idle_timeout));
        idle_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
            if (!ec) self->Close();
        });
        Lowest().socket().async_wait(tcp::socket::wait_read, [self = this->shared_from_this()](beast::error_code ec) {
            self->idle_.cancel();
            if (ec || self->closed_) return self->Close();
            self->ReadHeader();
        });
    }

    void ReadHeader() {
        first_ = false;
        began_ = Clock::now();
        // The whole header within its limit, however slowly it trickles in:
        // a client sending a byte a second holds no connection for long.
        Lowest().expires_after(std::chrono::seconds(limits_.header_timeout));
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = this->shared_from_this()](beast::error_code ec, size_t) {
                                    if (ec) return self->Failed(ec);
                                    self->ReadBody();
                                });
    }

    void ReadBody() {
        auto left = std::chrono::seconds(limits_.read_timeout) - (Clock::now() - began_);
        Lowest().expires_after(std::chrono::duration_cast<std::chrono::milliseconds>(left));
        if (parser_->is_done()) return Dispatch();
        auto read = [self = this->shared_from_this()] {
            http::async_read(self->stream_, self->buffer_, *self->parser_,
                             [self](beast::error_code ec, size_t) {
                                 if (ec) return self->Failed(ec);
                                 self->Dispatch();
                             });
        };
        const auto &req = parser_->get();
        if (beast::iequals(req[http::field::expect], "100-continue")) {
            auto cont = std::make_shared<http::response<http::empty_body>>(http::status::continue_, req.version());
            http::async_write(stream_, *cont, [self = this->shared_from_this(), cont, read](beast::error_code ec, size_t) {
                if (ec) return self->Close();
                read();
            });
            return;
        }
        read();
    }

    void Failed(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == net::error::eof || ec == net::error::operation_aborted ||
            ec == net::ssl::error::stream_truncated || ec == net::error::connection_reset)
            return Close();
        answering_ = true;
        request_ = {};
        if (parser_ && parser_->is_header_done()) request_ = parser_->get();
        request_.keep_alive(false);
        if (ec == http::error::body_limit)
            return Reply(Problem(http::status::payload_too_large, "Request body too large",
                                 "a request body may hold at most " + std::to_string(limits_.body) + " bytes"));
        if (ec == http::error::header_limit)
            return Reply(Problem(http::status::request_header_fields_too_large, "Request header too large",
                                 "a request header may hold at most " + std::to_string(kHeaderLimit) + " bytes"));
        if (ec == beast::error::timeout) {
            if (buffer_.size() == 0 && !(parser_ && parser_->got_some())) return Close();
            return Reply(Problem(http::status::request_timeout, "Request too slow",
                                 "a request's header must arrive within " + std::to_string(limits_.header_timeout) +
                                     " s and the whole request within " + std::to_string(limits_.read_timeout) + " s"));
        }
        if (ec.category() == http::make_error_code(http::error::bad_target).category())
            return Reply(Problem(http::status::bad_request, "Malformed HTTP request", ec.message()));
        Close();
    }

    void Dispatch() {
        request_ = parser_->release();
        answering_ = true;
        // The handler may take its time (a request waiting for its card).
        Lowest().expires_never();
        handler_(this->shared_from_this());
    }

    void WriteNext() {
        if (out_.empty() || closed_) {
            writing_ = false;
            return;
        }
        writing_ = true;
        Lowest().expires_after(kStreamWriteTimeout);
        net::async_write(stream_, net::buffer(out_.front()), [self = this->shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return self->Close();
            self->out_.pop_front();
            self->WriteNext();
        });
    }

    // A stream's client sends nothing more; a read ends only when it leaves.
    void WatchClose() {
        stream_.async_read_some(net::buffer(sink_), [self = this->shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return self->Close();
            self->WatchClose();
        });
    }

    void Shutdown() {
        if constexpr (kIsTls<Stream>) {
            Lowest().expires_after(std::chrono::seconds(2));
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) { self->Close(); });
        } else {
            beast::error_code ec;
            Lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
            Close();
        }
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        idle_.cancel();
        beast::error_code ec;
        Lowest().socket().close(ec);
        if (on_close_) {
            auto f = std::move(on_close_);
            on_close_ = nullptr;
            f();
        }
    }

    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    net::steady_timer idle_;
    const Limits &limits_;
    const Handler &handler_;
    const std::string &label_;
    const bool &stopping_;
    Clock::time_point began_ = Clock::now();
    bool first_ = true, answering_ = false, closed_ = false, streaming_ = false, writing_ = false;
    std::deque<std::string> out_;
    std::function<void()> on_close_;
    char sink_[512];
};

}  // namespace

HttpResponse Problem(http::status status, const std::string &title, const std::string &detail,
                     const std::string &field) {
    nlohmann::json body = {{"type", "about:blank"}, {"title", title}, {"status", static_cast<int>(status)},
                           {"detail", detail}};
    if (!field.empty()) body["field"] = field;
    HttpResponse res{status, 11};
    res.set(http::field::content_type, "application/problem+json");
    res.body() = body.dump() + "\n";
    return res;
}

std::string ListenerLabel(const Listener &l) {
    std::string where = (l.address.find(':') != std::string::npos ? "[" + l.address + "]" : l.address) + ":" +
                        std::to_string(l.port);
    if (l.Tls()) return "https " + where;
    if (!IsLoopback(l.address)) return "http " + where + " (INSECURE: no TLS on a network address)";
    return "http " + where;
}

struct HttpFront::Impl {
    struct Listening {
        Listener config;
        std::string label;
        tcp::acceptor acceptor;
        std::optional<ssl::context> tls;
    };
    net::io_context &io;
    const SiteConfig &config;
    Handler handler;
    std::vector<std::unique_ptr<Listening>> listeners;
    bool stopping = false;

    Impl(net::io_context &i, const SiteConfig &c, Handler h) : io(i), config(c), handler(std::move(h)) {}

    void Accept(Listening &l) {
        l.acceptor.async_accept([this, &l](beast::error_code ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted || stopping) return;
            if (!ec) {
                beast::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                if (g_connections >= kMaxConnections) {
                    socket.close(ignored);
                } else if (l.tls) {
                    std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
                        config.limits, handler, l.label, stopping, std::move(socket), *l.tls)
                        ->Run();
                } else {
                    std::make_shared<Session<beast::tcp_stream>>(config.limits, handler, l.label, stopping,
                                                                 std::move(socket))
                        ->Run();
                }
            }
            Accept(l);
        });
    }
};

HttpFront::HttpFront(net::io_context &io, const SiteConfig &config, Handler handler)
    : impl_(std::make_unique<Impl>(io, config, std::move(handler))) {}
HttpFront::~HttpFront() = default;

void HttpFront::Start() {
    for (const Listener &l : impl_->config.listeners) {
        auto label = ListenerLabel(l);
        try {
            auto address = net::ip::make_address(l.address);
            tcp::endpoint ep(address, l.port);
            auto lis = std::make_unique<Impl::Listening>(Impl::Listening{l, label, tcp::acceptor(impl_->io), {}});
            if (l.Tls()) {
                lis->tls.emplace(ssl::context::tls_server);
                lis->tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                                      ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
                lis->tls->use_certificate_chain_file(l.cert);
                lis->tls->use_private_key_file(l.key, ssl::context::pem);
            }
            lis->acceptor.open(ep.protocol());
            lis->acceptor.set_option(tcp::acceptor::reuse_address(true));
            lis->acceptor.bind(ep);
            lis->acceptor.listen(net::socket_base::max_listen_connections);
            impl_->listeners.push_back(std::move(lis));
        } catch (const std::exception &e) {
            throw std::runtime_error("listener " + label + ": " + e.what());
        }
        std::cerr << "kestrane-server: " << label << ": listening" << std::endl;
    }
    for (auto &l : impl_->listeners) impl_->Accept(*l);
}

void HttpFront::Stop() {
    impl_->stopping = true;
    for (auto &l : impl_->listeners) {
        beast::error_code ec;
        l->acceptor.close(ec);
    }
}

}  // namespace server
