// OPERA Cloud's room-key call: POST /fof/v1/hotels/{hotelId}/roomKeysOutbound,
// which OPERA Cloud posts to the lock system. A key that could not be made
// is no HTTP error: OPERA expects 201 with its responseCode and a text.
#pragma once

#include <memory>
#include <string>

#include "http.h"

namespace server {

class Site;

// The call's path prefix; Api hands every request under it here.
constexpr const char *kOperaPrefix = "/fof/v1/";

// `who`: the authenticated token's name (the role checked by the caller).
void OperaRoomKeys(const std::shared_ptr<Exchange> &ex, Site &site, const std::string &hotelId, const std::string &who);

// An error answer of OPERA's contract (exceptionDetailType), for 400 and 404.
HttpResponse OperaError(http::status status, const std::string &title, const std::string &detail,
                        const std::string &path = "");
// An error OPERA's contract gives no body (401, 403, 405, 413, 415, 429, 503).
HttpResponse OperaBare(http::status status);

}  // namespace server
