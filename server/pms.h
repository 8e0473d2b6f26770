// The key service behind both PMS interfaces: a PMS's key request (rooms by
// name, a stay, access areas, new / duplicate / one-shot) made into a guest
// card job, and every outcome told as one of the four answers a PMS knows.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "journal.h"

namespace server {

class Site;
struct SiteConfig;

// What a PMS is told: done, encoder busy, retry (no card, card pulled, write
// failed), or cannot be processed (no retry helps).
enum class KeyStatus { Ok, Busy, Retry, Unprocessable };
const char *StatusCode(KeyStatus s);  // OK, BY, RY, UR

enum class KeyType { New, Duplicate, OneShot };

struct KeyRequest {
    std::string interface;  // fias, opera
    std::string who;        // the PMS user, else the interface's name
    std::string encoder;
    KeyType type = KeyType::New;
    std::vector<std::string> rooms;  // room names of the rooms table, the main room first
    std::string start, end;          // "YYYY-MM-DDTHH:MM" in the property's zone (or with an offset)
    std::vector<std::string> areas;  // access areas
    nlohmann::json pms = nlohmann::json::object();  // what the PMS said of it: reservation, user, workstation...
};

struct KeyAnswer {
    KeyStatus status = KeyStatus::Ok;
    std::string text;   // for the desk agent, in a line
    std::string brief;  // the same in at most 40 characters (FIAS's CT)
    Job job;           // when one was made
};

using KeyDone = std::function<void(const KeyAnswer &)>;

// A guest card for the request. Answers Busy at once when the encoder has
// work (a PMS waits for no queue), Unprocessable for what no retry mends.
void IssueKey(Site &site, KeyRequest request, KeyDone done);
// Reads the card on the encoder; the job's `card` holds it.
void ReadKey(Site &site, const std::string &encoder, const std::string &interface, const std::string &who,
             nlohmann::json pms, KeyDone done);
// Check-out: off-line cards expire at their end, so no card is touched; the
// request is journaled as such.
KeyAnswer RemoveKeys(Site &site, const std::string &encoder, const std::string &interface, const std::string &who,
                     nlohmann::json pms);

// The answer a finished job gives a PMS (the table in docs/pms.md).
KeyAnswer AnswerFor(const Job &job, bool journalFailed);

// Room names for the lock numbers on a card (first match in the rooms table).
std::vector<std::string> RoomNames(const SiteConfig &config, const std::vector<int> &locks);

// Local "YYYY-MM-DDTHH:MM" for now (+ minutes).
std::string LocalMinute(int64_t plusMinutes = 0);

}  // namespace server
