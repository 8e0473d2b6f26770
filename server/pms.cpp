#include "pms.h"

#include <ctime>

#include "cards.h"
#include "config.h"
#include "site.h"

namespace server {

using nlohmann::json;

namespace {

// Library results and what a PMS is told of them. A PMS never resends after
// a failure: the text tells the desk agent what to do.
struct ResultAnswer {
    const char *name;
    KeyStatus status;
    const char *text;
    const char *brief;
};
const ResultAnswer kResultAnswers[] = {
    {"KS_ERR_NOT_CLEARED", KeyStatus::Unprocessable, "The card on the encoder is not blank: clear it first", "Card not blank: clear it first"},
    {"KS_ERR_OTHER_HOTEL", KeyStatus::Unprocessable, "The card on the encoder belongs to another hotel", "Card of another hotel"},
    {"KS_ERR_MEDIUM_RESERVED", KeyStatus::Unprocessable, "The encoder's lock type is not served", "Lock type not served"},
    {"KS_ERR_UNAVAILABLE", KeyStatus::Unprocessable, "Not available on this encoder", "Not available on this encoder"},
    {"KS_ERR_COMM", KeyStatus::Retry, "No card on the encoder, or it was pulled: insert a card and try again", "No card on the encoder: insert one"},
    {"KS_ERR_CARD_INVALID", KeyStatus::Retry, "The card on the encoder cannot be used: insert another card", "Card unusable: insert another"},
    {"KS_ERR_NOT_MIFARE_1K", KeyStatus::Retry, "The card is not a key card of this system: insert another card", "Wrong card type: insert another"},
    {"KS_ERR_OPEN_OR_NO_DEV", KeyStatus::Retry, "The encoder does not answer: check it and try again", "Encoder not answering"},
    {"KS_ERR_IC_NOT_OPEN", KeyStatus::Retry, "The encoder does not answer: check it and try again", "Encoder not answering"},
};

const char *DoneText(const std::string &action) {
    if (action == "read") return "Key read OK";
    if (action == "checkout") return "Keys deleted";
    return "Key made";
}

KeyAnswer Answer(KeyStatus s, std::string text, std::string brief = "") {
    KeyAnswer a;
    a.status = s;
    a.brief = brief.empty() ? text.substr(0, 40) : std::move(brief);
    a.text = std::move(text);
    return a;
}

std::string Capitalised(std::string s) {
    if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
    return s;
}

// Whether the encoder can take the job now; a PMS waits for no queue.
std::optional<KeyAnswer> Unready(Site &site, const std::string &encoder) {
    if (!site.HasEncoder(encoder)) return Answer(KeyStatus::Unprocessable, "Unknown encoder " + encoder);
    if (!site.Online(encoder))
        return Answer(KeyStatus::Retry, "Encoder " + encoder + " is not available: try again", "Encoder offline: try again");
    if (!site.Idle(encoder))
        return Answer(KeyStatus::Busy, "Encoder " + encoder + " is busy with another card", "Encoder busy");
    return std::nullopt;
}

void Run(Site &site, Job job, std::vector<std::string> args, KeyDone done) {
    try {
        job = site.Submit(std::move(job), std::move(args));
    } catch (const JournalError &) {
        return done(Answer(KeyStatus::Retry, "The key journal is unavailable: no card was made",
                           "Key journal unavailable"));
    } catch (const QueueFull &) {
        return done(Answer(KeyStatus::Busy, "Encoder " + job.encoder + " is busy with another card", "Encoder busy"));
    }
    site.WhenFinished(job.id, [done](const Outcome &o) { done(AnswerFor(o.job, o.journal_failed)); });
}

const char *TypeName(KeyType t) {
    return t == KeyType::New ? "new" : t == KeyType::Duplicate ? "duplicate" : "one-shot";
}

}  // namespace

const char *StatusCode(KeyStatus s) {
    switch (s) {
    case KeyStatus::Ok: return "OK";
    case KeyStatus::Busy: return "BY";
    case KeyStatus::Retry: return "RY";
    case KeyStatus::Unprocessable: return "UR";
    }
    return "UR";
}

std::string LocalMinute(int64_t plusMinutes) { return LocalTimeText("%Y-%m-%dT%H:%M", plusMinutes * 60); }

KeyAnswer AnswerFor(const Job &job, bool journalFailed) {
    KeyAnswer a;
    a.job = job;
    auto set = [&](KeyStatus s, std::string text, std::string brief = "") {
        a.status = s;
        a.brief = brief.empty() ? text.substr(0, 40) : brief;
        a.text = std::move(text);
        return a;
    };
    if (journalFailed)
        return set(KeyStatus::Retry,
                   job.state == JobState::Failed
                       ? "The key journal is unavailable: no card was made"
                       : "The key journal is unavailable: check the card before handing it over",
                   "Key journal unavailable");
    switch (job.state) {
    case JobState::Ok: return set(KeyStatus::Ok, DoneText(job.action));
    case JobState::Expired:
        return set(KeyStatus::Busy, "Encoder " + job.encoder + " stayed busy: try again", "Encoder busy");
    case JobState::Unknown:
        return set(KeyStatus::Retry, "The card may be incomplete (the encoder stopped): make the key again",
                   "Card may be incomplete: make it again");
    default: break;
    }
    for (const ResultAnswer &r : kResultAnswers)
        if (job.code_name == r.name) return set(r.status, r.text, r.brief);
    return set(KeyStatus::Retry, "The card could not be " + std::string(job.action == "read" ? "read" : "written") +
                                     (job.code_name.empty() ? "" : " (" + job.code_name + ")") + ": try again");
}

void IssueKey(Site &site, KeyRequest r, KeyDone done) {
    const SiteConfig &c = site.config();
    json body = {{"kind", "guest"}, {"rooms", r.rooms}, {"start", r.start}, {"end", r.end}};
    bool option = r.type == KeyType::New         ? c.pms.new_option
                  : r.type == KeyType::Duplicate ? c.pms.duplicate_option
                                                 : c.pms.oneshot_option;
    if (option) body["option"] = true;
    if (!r.areas.empty()) body["areas"] = r.areas;
    if (!site.HasEncoder(r.encoder)) return done(Answer(KeyStatus::Unprocessable, "Unknown encoder " + r.encoder));
    if (r.rooms.empty()) return done(Answer(KeyStatus::Unprocessable, "No room named", "No room"));
    // IC 4442 cards have no extension block: a key would not open the areas.
    if (!r.areas.empty() && site.Medium(r.encoder) == "ic")
        return done(Answer(KeyStatus::Unprocessable, "Access areas do not fit on this encoder's IC cards",
                           "Access areas not on IC cards"));
    CardCommand cmd;
    if (auto problem = BuildIssue(body, c.rooms, c.areas, cmd)) {
        const std::string &f = problem->field;
        std::string brief = f.rfind("rooms", 0) == 0
                                ? (problem->detail.rfind("no room", 0) == 0 ? "Unknown room" : "Too many rooms for one card")
                            : f == "start" || f == "end" ? "Stay dates not valid"
                            : f.rfind("areas", 0) == 0   ? "Unknown access area"
                                                         : "Request not valid";
        if (brief == "Unknown room" && f.find('[') != std::string::npos) {
            size_t i = std::stoul(f.substr(f.find('[') + 1));
            if (i < r.rooms.size()) brief += " " + r.rooms[i].substr(0, 27);
        }
        return done(Answer(KeyStatus::Unprocessable, Capitalised(problem->detail), brief));
    }
    if (auto no = Unready(site, r.encoder)) return done(*no);
    Job job;
    job.encoder = r.encoder;
    job.interface = r.interface;
    job.who = r.who;
    job.action = "issue";
    job.kind = "guest";
    job.request = cmd.what;
    job.request["key_type"] = TypeName(r.type);
    job.request["pms"] = r.pms;
    Run(site, std::move(job), cmd.args, std::move(done));
}

void ReadKey(Site &site, const std::string &encoder, const std::string &interface, const std::string &who, json pms,
             KeyDone done) {
    if (auto no = Unready(site, encoder)) return done(*no);
    Job job;
    job.encoder = encoder;
    job.interface = interface;
    job.who = who;
    job.action = "read";
    job.request = {{"pms", std::move(pms)}};
    Run(site, std::move(job), {"--json", "read"}, std::move(done));
}

KeyAnswer RemoveKeys(Site &site, const std::string &encoder, const std::string &interface, const std::string &who,
                     json pms) {
    if (!site.HasEncoder(encoder)) return Answer(KeyStatus::Unprocessable, "Unknown encoder " + encoder);
    Job job;
    job.encoder = encoder;
    job.interface = interface;
    job.who = who;
    job.action = "checkout";
    job.state = JobState::Ok;
    job.request = {{"pms", std::move(pms)},
                   {"note", "no card is written: off-line cards expire at their end time"}};
    try {
        job = site.Record(std::move(job));
    } catch (const JournalError &) {
        return Answer(KeyStatus::Retry, "The key journal is unavailable: try again");
    }
    KeyAnswer a = AnswerFor(job, false);
    return a;
}

std::vector<std::string> RoomNames(const SiteConfig &config, const std::vector<int> &locks) {
    std::vector<std::string> names;
    std::vector<bool> used(locks.size(), false);
    for (size_t i = 0; i < locks.size(); ++i) {
        if (used[i] || locks[i] == 0) continue;
        std::string found;
        for (auto &[name, numbers] : config.rooms) {
            if (numbers.empty() || numbers[0] != locks[i]) continue;
            bool all = true;
            for (int n : numbers)
                if (std::find(locks.begin(), locks.end(), n) == locks.end()) all = false;
            if (!all) continue;
            found = name;
            for (size_t k = 0; k < locks.size(); ++k)
                if (std::find(numbers.begin(), numbers.end(), locks[k]) != numbers.end()) used[k] = true;
            break;
        }
        names.push_back(found.empty() ? std::to_string(locks[i]) : found);
        used[i] = true;
    }
    return names;
}

}  // namespace server
