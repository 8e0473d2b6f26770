#include "cards.h"

#include <ctime>
#include <set>

#include "tokens.h"

namespace server {
namespace {

using nlohmann::json;

enum class Type { Time, Clock, Flag, Int, List, Rooms, Areas, Text };

// A request field: its option on `kestrane issue`, what it holds, how many
// entries and up to which value (the tool's own limits, checked here so that
// a bad request is refused before it becomes a job).
struct FieldRule {
    const char *field;
    const char *option;
    Type type;
    size_t maxCount;
    int maxValue;
};

const FieldRule kFields[] = {
    {"start", "--start", Type::Time, 1, 0},
    {"end", "--end", Type::Time, 1, 0},
    {"time", "--time", Type::Clock, 1, 0},
    {"option", "--option", Type::Flag, 1, 1},
    {"rooms", "--rooms", Type::Rooms, 4, 32767},
    {"areas", nullptr, Type::Areas, 4, 32767},
    {"ext_values", "--ext-values", Type::List, 4, 32767},
    {"ext_bytes", "--ext-bytes", Type::List, 4, 255},
    {"number", "--number", Type::Int, 1, 255},
    {"floors", "--floors", Type::List, 4, 255},
    {"districts", "--districts", Type::List, 4, 255},
    {"buildings", "--buildings", Type::List, 4, 255},
    {"list_c", "--list-c", Type::List, 4, 255},
    {"room", "--room", Type::Int, 1, 32767},
    {"list_a", "--list-a", Type::Int, 1, 255},
    {"list_b", "--list-b", Type::Int, 1, 255},
    {"lock", "--lock", Type::Int, 1, 32},
    {"lost_type", "--lost-type", Type::Int, 1, 255},
    {"values", "--values", Type::List, 4, 255},
    {"reason", nullptr, Type::Text, 1, 0},
};

// Which fields each kind takes besides option and reason (as `kestrane issue`).
const std::map<std::string, std::set<std::string>> kKindFields = {
    {"guest", {"start", "end", "rooms", "areas", "ext_values", "ext_bytes"}},
    {"time", {"time"}},
    {"emergency", {"start", "end"}},
    {"floor", {"start", "end", "number", "floors", "list_c", "ext_bytes"}},
    {"clean-district", {"start", "end", "districts", "list_c", "ext_bytes"}},
    {"building", {"start", "end", "buildings", "list_c", "ext_values", "ext_bytes"}},
    {"long-open", {"start", "end", "ext_bytes"}},
    {"chief", {"start", "end"}},
    {"install", {"start", "end", "number", "room", "list_a", "list_b", "lock", "ext_bytes"}},
    {"lost", {"start", "end", "lost_type", "values"}},
    {"data", {"start", "end"}},
    {"guest-leave", {"start", "end"}},
};

// Fields a kind needs (the tool refuses the card without them).
const std::map<std::string, std::string> kRequired = {
    {"guest", "rooms"}, {"floor", "floors"}, {"clean-district", "districts"}, {"building", "buildings"}};

constexpr size_t kReasonMax = 500;

const FieldRule *Rule(const std::string &field) {
    for (auto &r : kFields)
        if (field == r.field) return &r;
    return nullptr;
}

bool Digits(const std::string &s, size_t at, size_t n) {
    if (at + n > s.size()) return false;
    for (size_t i = at; i < at + n; ++i)
        if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

std::optional<std::vector<int>> IntList(const json &v, int maxValue) {
    std::vector<int> out;
    auto take = [&](const json &e) {
        if (!e.is_number_integer()) return false;
        int64_t i = e.get<int64_t>();
        if (i < 0 || i > maxValue) return false;
        out.push_back(static_cast<int>(i));
        return true;
    };
    if (v.is_array()) {
        for (auto &e : v)
            if (!take(e)) return std::nullopt;
    } else if (!take(v)) {
        return std::nullopt;
    }
    return out;
}

std::string Join(const std::vector<int> &v) {
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s;
}

}  // namespace

const std::vector<std::string> &CardKinds() {
    static const std::vector<std::string> kinds = [] {
        std::vector<std::string> k;
        for (auto &[name, _] : kKindFields) k.push_back(name);
        return k;
    }();
    return kinds;
}

std::optional<std::string> LocalTime(const std::string &text, bool seconds) {
    // YYYY-MM-DD?HH:MM[:SS][Z|+hh:mm|-hh:mm]
    const std::string &s = text;
    if (!(Digits(s, 0, 4) && s.size() >= 16 && s[4] == '-' && Digits(s, 5, 2) && s[7] == '-' && Digits(s, 8, 2) &&
          (s[10] == 'T' || s[10] == ' ') && Digits(s, 11, 2) && s[13] == ':' && Digits(s, 14, 2)))
        return std::nullopt;
    size_t at = 16;
    int sec = 0;
    bool hasSeconds = false;
    if (at < s.size() && s[at] == ':') {
        if (!Digits(s, at + 1, 2)) return std::nullopt;
        sec = std::stoi(s.substr(at + 1, 2));
        hasSeconds = true;
        at += 3;
    }
    std::tm tm{};
    tm.tm_year = std::stoi(s.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(s.substr(5, 2)) - 1;
    tm.tm_mday = std::stoi(s.substr(8, 2));
    tm.tm_hour = std::stoi(s.substr(11, 2));
    tm.tm_min = std::stoi(s.substr(14, 2));
    tm.tm_sec = sec;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        sec > 59)
        return std::nullopt;
    if (at < s.size()) {
        int offset = 0;
        if (s[at] == 'Z' && at + 1 == s.size()) {
            offset = 0;
        } else if ((s[at] == '+' || s[at] == '-') && at + 6 == s.size() && Digits(s, at + 1, 2) && s[at + 3] == ':' &&
                   Digits(s, at + 4, 2)) {
            offset = (std::stoi(s.substr(at + 1, 2)) * 60 + std::stoi(s.substr(at + 4, 2))) * 60;
            if (s[at] == '-') offset = -offset;
        } else {
            return std::nullopt;
        }
        // An instant from another zone: the card keeps the property's wall time.
        time_t t = timegm(&tm) - offset;
        if (!localtime_r(&t, &tm)) return std::nullopt;
    }
    char buf[64];
    if (seconds)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                      tm.tm_hour, tm.tm_min, tm.tm_sec);
    else {
        if (hasSeconds && sec != 0) return std::nullopt;  // cards keep minutes
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                      tm.tm_hour, tm.tm_min);
    }
    return std::string(buf);
}

std::optional<FieldProblem> BuildIssue(const json &body, const std::map<std::string, std::vector<int>> &rooms,
                                       const std::map<std::string, std::vector<int>> &areas, CardCommand &out) {
    if (!body.is_object()) return FieldProblem{"", "the body must be a JSON object"};
    auto kindIt = body.find("kind");
    if (kindIt == body.end() || !kindIt->is_string()) return FieldProblem{"kind", "the card kind is required"};
    const std::string kind = kindIt->get<std::string>();
    auto fieldsIt = kKindFields.find(kind);
    if (fieldsIt == kKindFields.end()) return FieldProblem{"kind", "unknown card kind '" + kind + "'"};
    const std::set<std::string> &allowed = fieldsIt->second;

    out = CardCommand{};
    out.args = {"--json", "issue", kind};
    out.what = json::object({{"kind", kind}});
    std::vector<int> lockNumbers, extValues;
    bool haveExtValues = false;
    std::string start, end;

    for (auto &[field, value] : body.items()) {
        if (field == "kind") continue;
        const FieldRule *rule = Rule(field);
        if (!rule || (!allowed.count(field) && field != "option" && field != "reason"))
            return FieldProblem{field, "a " + kind + " card does not take '" + field + "'"};
        switch (rule->type) {
        case Type::Time:
        case Type::Clock: {
            auto t = value.is_string() ? LocalTime(value.get<std::string>(), rule->type == Type::Clock) : std::nullopt;
            if (!t)
                return FieldProblem{field, rule->type == Type::Clock ? "expected YYYY-MM-DDTHH:MM:SS"
                                                                     : "expected YYYY-MM-DDTHH:MM (a real date and time)"};
            out.args.insert(out.args.end(), {rule->option, *t});
            out.what[field] = *t;
            if (field == "start") start = *t;
            if (field == "end") end = *t;
            break;
        }
        case Type::Flag:
            if (!value.is_boolean()) return FieldProblem{field, "must be true or false"};
            if (value.get<bool>()) out.args.push_back(rule->option);
            out.what[field] = value;
            break;
        case Type::Int: {
            auto v = value.is_number_integer() ? IntList(value, rule->maxValue) : std::nullopt;
            if (!v) return FieldProblem{field, "must be an integer 0-" + std::to_string(rule->maxValue)};
            if (field == "lock" && (*v)[0] < 1) return FieldProblem{field, "must be a lock number 1-32"};
            out.args.insert(out.args.end(), {rule->option, std::to_string((*v)[0])});
            out.what[field] = (*v)[0];
            break;
        }
        case Type::List: {
            auto v = IntList(value, rule->maxValue);
            if (!v || v->empty())
                return FieldProblem{field, "must be a list of integers 0-" + std::to_string(rule->maxValue)};
            if (v->size() > rule->maxCount)
                return FieldProblem{field, "at most " + std::to_string(rule->maxCount) + " values fit on a card"};
            if (field == "ext_values") {
                extValues.insert(extValues.end(), v->begin(), v->end());
                haveExtValues = true;
            } else {
                out.args.insert(out.args.end(), {rule->option, Join(*v)});
            }
            out.what[field] = *v;
            break;
        }
        case Type::Rooms: {
            if (!value.is_array() || value.empty()) return FieldProblem{field, "must be a list of room names"};
            for (size_t i = 0; i < value.size(); ++i) {
                const json &r = value[i];
                std::string name = r.is_string() ? r.get<std::string>() : r.is_number_integer() ? r.dump() : "";
                auto it = rooms.find(name);
                std::string at = field + "[" + std::to_string(i) + "]";
                if (it == rooms.end()) return FieldProblem{at, "no room '" + name + "' in the rooms table"};
                lockNumbers.insert(lockNumbers.end(), it->second.begin(), it->second.end());
                if (lockNumbers.size() > rule->maxCount)
                    return FieldProblem{at, "a guest card holds at most 4 lock numbers; room '" + name +
                                                "' brings them to " + std::to_string(lockNumbers.size())};
            }
            out.what[field] = value;
            break;
        }
        case Type::Areas: {
            if (!value.is_array()) return FieldProblem{field, "must be a list of access area names"};
            for (size_t i = 0; i < value.size(); ++i) {
                std::string name = value[i].is_string() ? value[i].get<std::string>() : "";
                auto it = areas.find(name);
                std::string at = field + "[" + std::to_string(i) + "]";
                if (it == areas.end()) return FieldProblem{at, "no access area '" + name + "'"};
                extValues.insert(extValues.end(), it->second.begin(), it->second.end());
                haveExtValues = true;
            }
            out.what[field] = value;
            break;
        }
        case Type::Text:
            if (!value.is_string()) return FieldProblem{field, "must be text"};
            out.reason = value.get<std::string>();
            if (out.reason.size() > kReasonMax) return FieldProblem{field, "at most 500 characters"};
            break;
        }
    }
    auto req = kRequired.find(kind);
    if (req != kRequired.end() && !body.contains(req->second))
        return FieldProblem{req->second, "a " + kind + " card needs '" + req->second + "'"};
    if (!lockNumbers.empty()) out.args.insert(out.args.end(), {"--rooms", Join(lockNumbers)});
    if (haveExtValues) {
        if (extValues.size() > 4)
            return FieldProblem{body.contains("areas") ? "areas" : "ext_values",
                                "areas and ext_values together give more than 4 card values"};
        out.args.insert(out.args.end(), {"--ext-values", Join(extValues)});
    }
    if (!start.empty() && !end.empty() && end < start) return FieldProblem{"end", "the end is before the start"};
    if (IsStaffKind(kind) && out.reason.find_first_not_of(" \t\r\n") == std::string::npos)
        return FieldProblem{"reason", "a " + kind + " card needs a reason, kept in the journal"};
    return std::nullopt;
}

}  // namespace server
