// The JSON API over HTTP: who is asking (a token), whether they may, the
// request checked and turned into a job, and the answer once the job ends or
// its deadline passes.
#pragma once

#include <boost/asio.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "console.h"
#include "http.h"
#include "site.h"
#include "tokens.h"

namespace server {

// The target split: path, and query parameters percent-decoded.
struct Target {
    std::string path;
    std::map<std::string, std::string> query;
};
Target ParseTarget(const std::string &target);

// The OpenAPI document of this API (built into the program).
const std::string &OpenApiDocument();

class Api {
public:
    Api(net::io_context &io, Site &site, const SiteConfig &config);
    void Handle(const std::shared_ptr<Exchange> &ex);

private:
    struct Bucket {
        double tokens = 0;
        std::chrono::steady_clock::time_point at;
    };

    std::optional<Principal> Authenticate(const HttpRequest &req);
    bool RateLimited(const std::string &name, int *retryAfter);
    void Route(const std::shared_ptr<Exchange> &ex, HttpResponse &cors);
    void PostJob(const std::shared_ptr<Exchange> &ex, const Principal &who, const std::string &encoder,
                 const std::string &action, const Target &t, HttpResponse &cors);
    void GetJobs(const std::shared_ptr<Exchange> &ex, const Principal &who, const Target &t, HttpResponse &cors);
    void EventStream(const std::shared_ptr<Exchange> &ex, const Principal &who, HttpResponse &cors);
    void AnswerWhenDone(const std::shared_ptr<Exchange> &ex, const Job &job, double wait, int okStatus,
                        const HttpResponse &cors);
    void ReloadTokens();
    void Opera(const std::shared_ptr<Exchange> &ex, const std::vector<std::string> &parts, HttpResponse &cors);

    net::io_context &io_;
    Site &site_;
    const SiteConfig &config_;
    std::string token_file_;
    std::vector<TokenEntry> tokens_;
    FileStamp token_stamp_;
    std::map<std::string, Bucket> buckets_;
    Console console_;
};

}  // namespace server
