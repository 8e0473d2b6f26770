#include "opera.h"

#include <algorithm>
#include <boost/asio.hpp>
#include <ctime>
#include <regex>

#include "config.h"
#include "pms.h"
#include "site.h"

namespace server {

using nlohmann::json;

namespace {

// OPERA waits 20 s for the answer; ours comes before that, failures too.
constexpr auto kAnswerWithin = std::chrono::seconds(18);
const char *kContentType = "application/json;charset=UTF-8";

const std::vector<std::string> kKeyTypes = {"New",    "Duplicate", "Lost",       "OneShot", "RoomMove",
                                            "ReEncode", "Remove",  "ModifyStay", "Read"};
const std::vector<std::string> kRoomKeyTypes = {"HardKey", "MobileKey", "PinCode", "KeyPayload"};
const char *kRequired[] = {"keyType", "encoderTerminal", "encoderId", "roomKeyType", "keyUserType", "keyRequestTime"};

const std::regex kAppKey("^[a-f0-9]{8}-[a-f0-9]{4}-4[a-f0-9]{3}-[89aAbB][a-f0-9]{3}-[a-f0-9]{12}$");
const std::regex kDateTime(R"(^(\d{4}-\d{2}-\d{2})[T ](\d{2}:\d{2})(:\d{2}(\.\d+)?)?(Z|[+-]\d{2}:?\d{2})?$)");

std::string Text(const json &v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number()) return v.dump();
    return "";
}

// An OPERA date-time as our minute: "2026-03-12T14:00:00.000+01:00" ->
// "2026-03-12T14:00+01:00" (cards keep minutes). "" when it is none.
std::string Minute(const json &v) {
    std::smatch m;
    std::string s = Text(v);
    if (!std::regex_match(s, m, kDateTime)) return "";
    std::string zone = m[5].str();
    if (zone.size() == 5) zone = zone.substr(0, 3) + ":" + zone.substr(3);
    return m[1].str() + "T" + m[2].str() + zone;
}

// The property's wall time as an OPERA date-time with its offset.
std::string Instant(time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[40], zone[8];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    strftime(zone, sizeof zone, "%z", &tm);
    std::string z = zone;
    return std::string(buf) + z.substr(0, 3) + ":" + z.substr(3);
}

// "YYYY-MM-DD HH:MM" of a card, in the property's zone -> an OPERA date-time.
std::string CardTime(const std::string &s) {
    std::tm tm{};
    if (!strptime(s.c_str(), "%Y-%m-%d %H:%M", &tm)) return "";
    tm.tm_isdst = -1;
    return Instant(mktime(&tm));
}

bool Flag(const json &v) { return v.is_boolean() ? v.get<bool>() : Text(v) == "true"; }

HttpResponse Json(http::status status, const json &body) {
    HttpResponse res{status, 11};
    res.set(http::field::content_type, kContentType);
    res.set(http::field::content_language, "en");
    res.body() = body.dump() + "\n";
    return res;
}

}  // namespace

HttpResponse OperaError(http::status status, const std::string &title, const std::string &detail,
                        const std::string &path) {
    json body = {{"type", "https://www.rfc-editor.org/rfc/rfc9110#section-15.5"},
                 {"title", title},
                 {"status", static_cast<int>(status)},
                 {"detail", detail},
                 {"o:errorCode", std::to_string(static_cast<int>(status))}};
    if (!path.empty()) body["o:errorPath"] = path;
    return Json(status, body);
}

HttpResponse OperaBare(http::status status) {
    HttpResponse res{status, 11};
    return res;
}

void OperaRoomKeys(const std::shared_ptr<Exchange> &ex, Site &site, const std::string &hotelId, const std::string &who) {
    const HttpRequest &req = ex->Request();
    const SiteConfig &c = site.config();
    auto appKey = std::string(req["x-app-key"]);
    if (!std::regex_match(appKey, kAppKey))
        return ex->Reply(OperaError(http::status::bad_request, "Bad x-app-key",
                                    "the x-app-key header must be a UUID version 4", "x-app-key"));
    if (hotelId != c.opera.hotel)
        return ex->Reply(OperaError(http::status::not_found, "Unknown hotel",
                                    "this lock system serves hotel " + c.opera.hotel + ", not " + hotelId, "hotelId"));
    json body;
    try {
        body = json::parse(req.body());
    } catch (const json::parse_error &e) {
        return ex->Reply(OperaError(http::status::bad_request, "Malformed JSON", e.what()));
    }
    if (!body.is_object())
        return ex->Reply(OperaError(http::status::bad_request, "Invalid request", "the body must be a JSON object"));
    for (const char *f : kRequired)
        if (!body.contains(f) || !(body[f].is_string()))
            return ex->Reply(OperaError(http::status::bad_request, "Invalid request",
                                        std::string(f) + " is required (a string)", f));
    std::string keyType = body["keyType"], roomKeyType = body["roomKeyType"];
    if (std::find(kKeyTypes.begin(), kKeyTypes.end(), keyType) == kKeyTypes.end())
        return ex->Reply(OperaError(http::status::bad_request, "Invalid request", "unknown keyType " + keyType, "keyType"));
    if (std::find(kRoomKeyTypes.begin(), kRoomKeyTypes.end(), roomKeyType) == kRoomKeyTypes.end())
        return ex->Reply(OperaError(http::status::bad_request, "Invalid request",
                                    "unknown roomKeyType " + roomKeyType, "roomKeyType"));
    if (body["keyUserType"] != "Guest")
        return ex->Reply(OperaError(http::status::bad_request, "Invalid request", "keyUserType is Guest", "keyUserType"));

    // The answer echoes the request; its required members are there on
    // failures too.
    std::string roomId = Text(body.value("roomId", json("")));
    std::vector<std::string> additional;
    if (body.contains("additionalRooms") && body["additionalRooms"].is_array())
        for (auto &r : body["additionalRooms"])
            if (!Text(r).empty()) additional.push_back(Text(r));
    time_t now = time(nullptr);
    json answer = {{"roomId", roomId},
                   {"encoderId", body["encoderId"]},
                   {"encoderTerminal", body["encoderTerminal"]},
                   {"roomKeyType", roomKeyType},
                   {"keyUserType", "Guest"},
                   {"keyValidityStart", body.contains("keyValidityStart") ? body["keyValidityStart"] : json(Instant(now))},
                   {"keyValidityEnd", body.contains("keyValidityEnd") ? body["keyValidityEnd"] : json(Instant(now))},
                   {"keyCreationTime", Instant(now)},
                   {"noOfKeys", 1}};
    for (const char *echo : {"userId", "reservationIdList"})
        if (body.contains(echo)) answer[echo] = body[echo];
    if (body.contains("additionalRooms")) answer["additionalRooms"] = body["additionalRooms"];
    auto reply = [ex, answer](KeyStatus status, const std::string &text, const json &extra = json::object()) mutable {
        answer["responseCode"] = StatusCode(status);
        answer["responseText"] = text;
        answer.update(extra);
        ex->Reply(Json(http::status::created, answer));
    };

    if (roomKeyType != "HardKey")
        return reply(KeyStatus::Unprocessable,
                     "This lock system makes key cards only: " + roomKeyType + " keys are not available");
    if (keyType == "ModifyStay" || keyType == "RoomMove")
        return reply(KeyStatus::Unprocessable, keyType + " needs on-line locks; these cards are off-line: Remove the "
                                                         "old key and make a New one");
    std::string encoderId = body["encoderId"], terminal = body["encoderTerminal"], encoder;
    if (site.HasEncoder(encoderId)) encoder = encoderId;
    else if (c.opera.terminals.count(terminal)) encoder = c.opera.terminals.at(terminal);
    else if (site.HasEncoder(terminal)) encoder = terminal;
    if (encoder.empty())
        return reply(KeyStatus::Unprocessable, "Unknown encoder " + (encoderId.empty() ? terminal : encoderId));

    json pms = {{"key_type", keyType}, {"encoder_terminal", terminal}};
    if (body.contains("reservationIdList")) pms["reservations"] = body["reservationIdList"];
    if (!Text(body.value("userId", json(""))).empty()) pms["pms_user"] = Text(body["userId"]);
    if (!std::string(req["x-request-id"]).empty()) pms["request_id"] = std::string(req["x-request-id"]);
    if (Flag(body.value("guestShareFlag", json(false)))) pms["sharer"] = true;

    // One answer, before OPERA's 20 s are up; a job still running then
    // goes on, and the text says what to do with the card.
    auto answered = std::make_shared<bool>(false);
    auto timer = std::make_shared<boost::asio::steady_timer>(site.io());
    auto once = [answered, timer, reply](KeyStatus s, const std::string &text, const json &extra = json::object()) mutable {
        if (*answered) return;
        *answered = true;
        timer->cancel();
        reply(s, text, extra);
    };
    timer->expires_after(kAnswerWithin);
    timer->async_wait([once](boost::system::error_code ec) mutable {
        if (!ec) once(KeyStatus::Retry, "The encoder did not finish in time: read the card before handing it over");
    });

    if (keyType == "Remove") {
        KeyAnswer a = RemoveKeys(site, encoder, "opera", who, pms);
        return once(a.status, a.status == KeyStatus::Ok ? "Keys deleted: off-line cards expire at their end time" : a.text);
    }
    if (keyType == "Read") {
        return ReadKey(site, encoder, "opera", who, pms, [once, &site](const KeyAnswer &a) mutable {
            if (a.status != KeyStatus::Ok) return once(a.status, a.text);
            const json &card = a.job.card;
            if (card.value("kind", "") != "guest")
                return once(KeyStatus::Unprocessable,
                            "Not a guest key: " + card.value("kind_label", card.value("kind", "?")));
            std::vector<int> locks, values;
            for (auto &n : card.value("rooms", json::array()))
                if (n.is_number_integer()) locks.push_back(n.get<int>());
            for (auto &n : card.value("ext_values", json::array()))
                if (n.is_number_integer() && n.get<int>() != 0) values.push_back(n.get<int>());
            auto names = RoomNames(site.config(), locks);
            json options = json::array();
            const auto &defaults = site.config().pms.default_areas;
            for (auto &[area, v] : site.config().areas) {
                bool on = !v.empty() && std::all_of(v.begin(), v.end(), [&](int x) {
                    return std::find(values.begin(), values.end(), x) != values.end();
                });
                options.push_back({{"keyOptionsCode", area.substr(0, 40)},
                                   {"keyOptionDescription", area.substr(0, 40)},
                                   {"isEnabled", on},
                                   {"default", std::find(defaults.begin(), defaults.end(), area) != defaults.end()}});
            }
            json extra = {{"roomId", names.empty() ? "" : names[0]},
                          {"additionalRooms", json(std::vector<std::string>(names.size() > 1 ? names.begin() + 1 : names.end(), names.end()))},
                          {"keyValidityStart", CardTime(card.value("start", ""))},
                          {"keyValidityEnd", CardTime(card.value("end", ""))},
                          {"keyOptions", options}};
            if (!a.job.serial.empty()) extra["keyTrack"] = json::array({{{"keyTrack2", a.job.serial}}});
            once(KeyStatus::Ok, "Key read: room " + (names.empty() ? std::string("?") : names[0]), extra);
        });
    }

    KeyRequest k;
    k.interface = "opera";
    k.who = who;
    k.encoder = encoder;
    k.type = keyType == "OneShot" ? KeyType::OneShot
             : keyType == "Duplicate" || keyType == "ReEncode" ? KeyType::Duplicate
                                                                : KeyType::New;
    if (!roomId.empty()) k.rooms.push_back(roomId);
    k.rooms.insert(k.rooms.end(), additional.begin(), additional.end());
    k.start = body.contains("keyValidityStart") ? Minute(body["keyValidityStart"]) : LocalMinute();
    k.end = body.contains("keyValidityEnd") ? Minute(body["keyValidityEnd"]) : "";
    if (k.start.empty()) return once(KeyStatus::Unprocessable, "keyValidityStart is not a date-time");
    if (k.end.empty() && k.type == KeyType::OneShot) k.end = LocalMinute(c.pms.oneshot_minutes);
    if (k.end.empty()) return once(KeyStatus::Unprocessable, "keyValidityEnd is missing or not a date-time");
    std::vector<std::string> areas = c.pms.default_areas;
    if (body.contains("keyOptions") && body["keyOptions"].is_array())
        for (auto &o : body["keyOptions"]) {
            std::string code = Text(o.value("keyOptionsCode", json("")));
            if (code.empty()) continue;
            if (!c.areas.count(code)) return once(KeyStatus::Unprocessable, "Unknown access area " + code);
            if (std::find(areas.begin(), areas.end(), code) == areas.end()) areas.push_back(code);
        }
    k.areas = areas;
    k.pms = pms;
    IssueKey(site, std::move(k), [once](const KeyAnswer &a) mutable {
        json extra = json::object();
        if (a.status == KeyStatus::Ok && !a.job.serial.empty())
            extra["keyTrack"] = json::array({{{"keyTrack2", a.job.serial}}});
        once(a.status, a.text, extra);
    });
}

}  // namespace server
