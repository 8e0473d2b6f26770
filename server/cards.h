// A card request from any interface, checked and turned into the tool's
// command line (the worker runs exactly what `kestrane` would run).
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace server {

// The request part at fault and what is wrong with it.
struct FieldProblem {
    std::string field;
    std::string detail;
};

struct CardCommand {
    std::vector<std::string> args;  // after `kestrane`, --json first
    nlohmann::json what;            // the request as the journal keeps it
    std::string reason;
};

const std::vector<std::string> &CardKinds();

// `body` is the request's JSON object (kind included). Rooms are names of
// the rooms table, areas names of the access areas; times are in the
// property's zone unless they carry an offset, then they are converted to it.
std::optional<FieldProblem> BuildIssue(const nlohmann::json &body, const std::map<std::string, std::vector<int>> &rooms,
                                       const std::map<std::string, std::vector<int>> &areas, CardCommand &out);

// "2026-03-01T14:00" (or a space for the T, seconds allowed where `seconds`,
// a trailing Z or +hh:mm converted to local time) -> "2026-03-01 14:00[:ss]".
std::optional<std::string> LocalTime(const std::string &text, bool seconds);

}  // namespace server
