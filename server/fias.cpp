#include "fias.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <cctype>
#include <ctime>
#include <deque>
#include <iostream>

#include "pms.h"
#include "site.h"

namespace server {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;

namespace fias {

namespace {

bool IdChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '$' || c == '#' || c == '+'; }

// Data bytes are 0x20-0x7E and 0x80-0xFF; '|' separates and cannot be data.
std::string Clean(const std::string &s, size_t max) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) continue;
        out += c == '|' ? '/' : static_cast<char>(c);
    }
    return out.substr(0, max);
}

std::string Base64(const unsigned char *data, size_t n) {
    std::string out(4 * ((n + 2) / 3), '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), data, static_cast<int>(n));
    out.resize(static_cast<size_t>(len));
    return out;
}

}  // namespace

const std::string *Record::Get(const std::string &field) const {
    for (auto &[k, v] : fields)
        if (k == field) return &v;
    return nullptr;
}

std::string Record::Value(const std::string &field) const {
    const std::string *v = Get(field);
    return v ? *v : std::string();
}

Record &Record::Add(const std::string &field, const std::string &value) {
    fields.push_back({field, value});
    return *this;
}

std::optional<Record> Parse(const std::string &text, std::string *why) {
    auto fail = [&](const std::string &w) -> std::optional<Record> {
        if (why) *why = w;
        return std::nullopt;
    };
    if (text.size() < 3 || !IdChar(text[0]) || !IdChar(text[1]) || text[2] != '|')
        return fail("no record id and '|' at its start");
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return fail("a control byte inside the record");
    Record r;
    r.id = text.substr(0, 2);
    size_t i = 3;
    while (i < text.size()) {
        size_t bar = text.find('|', i);
        if (bar == std::string::npos) return fail("the last field has no closing '|'");
        std::string field = text.substr(i, bar - i);
        if (field.size() < 2 || !IdChar(field[0]) || !IdChar(field[1]))
            return fail("a field without a two-character id: '" + field.substr(0, 20) + "'");
        r.fields.push_back({field.substr(0, 2), field.substr(2)});
        i = bar + 1;
    }
    return r;
}

std::string Format(const Record &r) {
    std::string s = r.id + "|";
    for (auto &[k, v] : r.fields) s += k + v + "|";
    return s;
}

uint8_t Lrc(const std::string &text) {
    uint8_t x = 0;
    for (unsigned char c : text) x ^= c;
    return x ^ static_cast<uint8_t>(kEtx);
}

std::string Frame(const Record &r, bool lrc) {
    std::string text = Format(r);
    std::string out = std::string(1, kStx) + text + std::string(1, kEtx);
    if (lrc) out += static_cast<char>(Lrc(text));
    return out;
}

void Framer::Feed(const char *data, size_t n) { buf_.append(data, n); }

std::optional<Framer::Item> Framer::Next() {
    for (;;) {
        size_t stx = buf_.find(kStx);
        if (stx == std::string::npos) {
            buf_.clear();
            return std::nullopt;
        }
        if (stx > 0) buf_.erase(0, stx);
        size_t etx = buf_.find(kEtx, 1);
        // A second STX before the ETX: the first record was cut off; drop it.
        size_t again = buf_.find(kStx, 1);
        if (again != std::string::npos && (etx == std::string::npos || again < etx)) {
            std::string cut = buf_.substr(1, std::min<size_t>(again - 1, 40));
            buf_.erase(0, again);
            return Item{"", "a record without its end (ETX), starting '" + cut + "'"};
        }
        if (etx == std::string::npos) {
            if (buf_.size() > kMaxRecord + 1) {
                std::string start = buf_.substr(1, 40);
                buf_.clear();  // its tail, before the next STX, is dropped as it comes
                return Item{"", "a record longer than " + std::to_string(kMaxRecord) + " bytes, starting '" + start +
                                    "'"};
            }
            return std::nullopt;
        }
        if (lrc_ && etx + 1 >= buf_.size()) return std::nullopt;  // its LRC byte is still to come
        std::string text = buf_.substr(1, etx - 1);
        buf_.erase(0, etx + 1 + (lrc_ ? 1 : 0));
        if (text.size() > kMaxRecord)
            return Item{"", "a record longer than " + std::to_string(kMaxRecord) + " bytes, starting '" +
                                text.substr(0, 40) + "'"};
        return Item{text, ""};
    }
}

std::optional<std::string> DecodeKey(const std::string &key) {
    std::string b64 = key;
    for (const char *prefix : {"FidCrypt0S|", "FidCrypt0S;"})
        if (b64.rfind(prefix, 0) == 0) b64 = b64.substr(11);
    if (b64.empty() || b64.size() % 4 != 0) return std::nullopt;
    std::string raw(b64.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(raw.data()),
                            reinterpret_cast<const unsigned char *>(b64.data()), static_cast<int>(b64.size()));
    if (n < 0) return std::nullopt;
    size_t pad = b64.size() >= 2 && b64[b64.size() - 2] == '=' ? 2 : b64.back() == '=' ? 1 : 0;
    raw.resize(static_cast<size_t>(n) - pad);
    if (raw.size() != 16) return std::nullopt;
    return raw;
}

std::string Cryptogram(const std::string &rawKey, const std::string &daTi, const std::string &iv) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    std::string out(daTi.size() + 32, '\0');
    int n1 = 0, n2 = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const unsigned char *>(rawKey.data()),
                       reinterpret_cast<const unsigned char *>(iv.data()));
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &n1,
                      reinterpret_cast<const unsigned char *>(daTi.data()), static_cast<int>(daTi.size()));
    EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char *>(out.data()) + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n1 + n2));
    return "FidCryptAB;" + Base64(reinterpret_cast<const unsigned char *>(iv.data()), iv.size()) +
           Base64(reinterpret_cast<const unsigned char *>(out.data()), out.size());
}

std::vector<Record> LinkRecords() {
    // Every field we read or send, per record type (directions merged).
    const std::pair<const char *, const char *> kinds[] = {
        {"KR", "KCKTRNWSGAGDDTG#IDSIKODATI"},
        {"KD", "KCRNWSG#IDDATI"},
        {"KA", "ASCTKCWS$2G#DATI"},
        {"KZ", "ASCTKCRNWSG#GDDTSIDATI"},
        {"KM", "G#KCRNWSDATI"},
    };
    std::vector<Record> out;
    for (auto &[id, fields] : kinds) out.push_back(Record{"LR", {{"RI", id}, {"FL", fields}}});
    return out;
}

}  // namespace fias

namespace {

using fias::Record;
constexpr auto kListenFirst = std::chrono::seconds(3);
constexpr auto kAliveAnswer = std::chrono::seconds(30);
constexpr auto kLinkEndWait = std::chrono::seconds(2);
constexpr int kBackoffMaxS = 30;
const char *kVersion = "KS1.0";

Record Stamped(const std::string &id) {
    return Record{id, {{"DA", LocalTimeText("%y%m%d")}, {"TI", LocalTimeText("%H%M%S")}}};
}

// "YYMMDD" -> "YYYY-MM-DD", or "" when it is not a date.
std::string Day(const std::string &d) {
    if (d.size() != 6 || d.find_first_not_of("0123456789") != std::string::npos) return "";
    return "20" + d.substr(0, 2) + "-" + d.substr(2, 2) + "-" + d.substr(4, 2);
}

// "HH:MM" (also HHMM, or with seconds) -> "HH:MM", or "".
std::string Clock(std::string t) {
    t.erase(std::remove(t.begin(), t.end(), ':'), t.end());
    if (t.size() < 4 || t.find_first_not_of("0123456789") != std::string::npos) return "";
    return t.substr(0, 2) + ":" + t.substr(2, 2);
}

std::vector<std::string> SplitRooms(const std::string &s) {
    std::vector<std::string> out;
    std::string cur;
    auto push = [&] {
        size_t a = cur.find_first_not_of(' '), b = cur.find_last_not_of(' ');
        if (a != std::string::npos) out.push_back(cur.substr(a, b - a + 1));
        cur.clear();
    };
    for (char c : s) {
        if (c == ';' || c == ',') push();
        else cur += c;
    }
    push();
    return out;
}

class Link : public std::enable_shared_from_this<Link> {
public:
    Link(net::io_context &io, Site &site, const FiasConfig &cfg)
        : io_(io), site_(site), cfg_(cfg), socket_(io), resolver_(io), retry_(io), first_(io), alive_(io),
          answer_(io), framer_(cfg.lrc) {
        if (!cfg.key.empty()) key_ = fias::DecodeKey(cfg.key).value_or("");
    }

    void Start() { Connect(); }

    void Stop() {
        stopping_ = true;
        retry_.cancel();
        alive_.cancel();
        if (!connected_) return Close();
        Send(Stamped("LE"));
        answer_.expires_after(kLinkEndWait);
        answer_.async_wait([self = shared_from_this()](boost::system::error_code) { self->Close(); });
    }

private:
    void Log(const std::string &what) {
        std::cerr << "kestrane-server: " << cfg_.name << " " << cfg_.host << ":" << cfg_.port << ": " << what
                  << std::endl;
    }

    void Connect() {
        if (stopping_) return;
        resolver_.async_resolve(cfg_.host, std::to_string(cfg_.port),
                                [self = shared_from_this()](boost::system::error_code ec, tcp::resolver::results_type r) {
                                    if (ec) return self->Dropped("cannot resolve: " + ec.message());
                                    net::async_connect(self->socket_, r,
                                                       [self](boost::system::error_code ec, const tcp::endpoint &) {
                                                           if (ec) return self->Dropped("cannot connect: " + ec.message());
                                                           self->Connected();
                                                       });
                                });
    }

    void Connected() {
        connected_ = true;
        backoff_ = 0;
        heard_ = false;
        linkAlive_ = false;
        expectLa_ = false;
        framer_ = fias::Framer(cfg_.lrc);
        Log("connected");
        Read();
        // The PMS side starts the link with LS; only if it stays silent do
        // we describe ourselves first.
        first_.expires_after(kListenFirst);
        first_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            if (!ec && self->connected_ && !self->heard_) self->Describe();
        });
    }

    void Dropped(const std::string &why) {
        bool was = connected_;
        Close();
        if (stopping_) return;
        if (was || backoff_ == 0) Log(why + "; connecting again");
        backoff_ = backoff_ == 0 ? 1 : std::min(backoff_ * 2, kBackoffMaxS);
        retry_.expires_after(std::chrono::seconds(backoff_));
        retry_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            if (!ec) self->Connect();
        });
    }

    void Close() {
        connected_ = false;
        linkAlive_ = false;
        first_.cancel();
        alive_.cancel();
        answer_.cancel();
        boost::system::error_code ec;
        socket_.close(ec);
        out_.clear();
        writing_ = false;
    }

    void Read() {
        socket_.async_read_some(net::buffer(buf_), [self = shared_from_this()](boost::system::error_code ec, size_t n) {
            if (ec) return self->Dropped(ec == net::error::eof ? "the PMS interface closed the link" : ec.message());
            self->heard_ = true;
            self->framer_.Feed(self->buf_, n);
            while (auto item = self->framer_.Next()) {
                if (!item->refused.empty()) self->Log("refused " + item->refused);
                else self->Handle(item->text);
                if (!self->connected_) return;
            }
            self->Read();
        });
    }

    void Send(const Record &r) {
        if (!connected_) return;
        out_.push_back(fias::Frame(r, cfg_.lrc));
        if (!writing_) WriteNext();
    }

    void WriteNext() {
        if (out_.empty()) {
            writing_ = false;
            return;
        }
        writing_ = true;
        net::async_write(socket_, net::buffer(out_.front()), [self = shared_from_this()](boost::system::error_code ec, size_t) {
            if (ec) return self->Dropped("cannot send: " + ec.message());
            self->out_.pop_front();
            self->WriteNext();
        });
    }

    // LD, one LR per record we serve, LA: who we are and what we speak.
    void Describe() {
        Record ld = Stamped("LD");
        ld.Add("V#", kVersion).Add("IF", "DL");
        if (!key_.empty()) {
            std::string iv(16, '\0');
            RAND_bytes(reinterpret_cast<unsigned char *>(iv.data()), 16);
            ld.Add("RT", "1").Add("CG", fias::Cryptogram(key_, lastLs_, iv));
        }
        Send(ld);
        for (const Record &lr : fias::LinkRecords()) Send(lr);
        Send(Stamped("LA"));
        expectLa_ = true;
    }

    void AliveCheck() {
        alive_.expires_after(std::chrono::seconds(cfg_.alive_check));
        alive_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            if (ec || !self->linkAlive_) return;
            self->Send(Stamped("LS"));
            self->expectLa_ = true;
            self->answer_.expires_after(kAliveAnswer);
            self->answer_.async_wait([self](boost::system::error_code ec) {
                if (!ec && self->expectLa_) self->Dropped("no answer to our alive check");
            });
        });
    }

    void Handle(const std::string &text) {
        std::string why;
        auto rec = fias::Parse(text, &why);
        if (!rec) {
            Log("malformed record (" + why + "): " + fias::Clean(text, 80));
            // A request we can tell is still answered: a PMS waits for it.
            std::string id = text.substr(0, 2);
            if (id == "KR" || id == "KD" || id == "KM" || id == "KZ") {
                Record lenient{id, {}};
                size_t i = text.find('|');
                while (i != std::string::npos && i + 3 <= text.size()) {
                    size_t bar = text.find('|', i + 1);
                    std::string f = text.substr(i + 1, bar == std::string::npos ? std::string::npos : bar - i - 1);
                    if (f.size() >= 2) lenient.Add(f.substr(0, 2), fias::Clean(f.substr(2), 40));
                    i = bar;
                }
                Answer(lenient, KeyStatus::Unprocessable, "Malformed record", {});
            }
            return;
        }
        const Record &r = *rec;
        if (r.id == "LS") {
            lastLs_ = r.Value("DA") + r.Value("TI");
            linkAlive_ = false;
            return Describe();
        }
        if (r.id == "LA") {
            if (expectLa_) {
                expectLa_ = false;
                answer_.cancel();
                if (!linkAlive_) {
                    linkAlive_ = true;
                    Log("link alive");
                }
                return AliveCheck();
            }
            return Send(Stamped("LA"));  // the PMS side's own alive check
        }
        if (r.id == "LE") {
            Log("the PMS interface ended the link");
            Send(Stamped("LE"));
            auto self = shared_from_this();
            net::post(io_, [self] { self->Dropped("link ended"); });
            return;
        }
        if (r.id == "LC" || r.id == "LD" || r.id == "LR") return;
        if (r.id == "KR") return KeyRequest(r);
        if (r.id == "KD") return KeyDelete(r);
        if (r.id == "KZ") return KeyRead(r);
        if (r.id == "KM")
            return Answer(r, KeyStatus::Unprocessable, "On-line locks only: cards here are off-line", {});
        Log("ignored record " + r.id);
    }

    // KC names our encoder; else the site maps the workstation to one.
    std::string EncoderFor(const Record &r) {
        std::string kc = r.Value("KC"), ws = r.Value("WS");
        if (!kc.empty()) {
            auto it = cfg_.encoders.find(kc);
            if (it != cfg_.encoders.end()) return it->second;
            if (site_.HasEncoder(kc)) return kc;
            return "";
        }
        auto it = cfg_.workstations.find(ws);
        return it != cfg_.workstations.end() ? it->second : "";
    }

    json Pms(const Record &r) {
        json p = json::object();
        for (auto [field, name] : {std::pair{"G#", "reservation"}, {"ID", "pms_user"}, {"WS", "workstation"},
                                   {"KC", "encoder_code"}, {"KT", "key_type"}})
            if (!r.Value(field).empty()) p[name] = r.Value(field);
        p["link"] = cfg_.name;
        return p;
    }

    std::string Who(const Record &r) { return r.Value("ID").empty() ? cfg_.name : r.Value("ID"); }

    // One answer per request, always with a text that says why.
    void Answer(const Record &req, KeyStatus status, const std::string &text, const std::string &serial,
                const Record *read = nullptr) {
        const bool kz = req.id == "KZ";
        Record a{kz ? "KZ" : "KA", {}};
        a.Add("AS", StatusCode(status)).Add("CT", fias::Clean(text, 40));
        a.Add("KC", fias::Clean(req.Value("KC"), 16)).Add("WS", fias::Clean(req.Value("WS"), 16));
        if (kz) {
            if (read) a.fields.insert(a.fields.end(), read->fields.begin(), read->fields.end());
            else a.Add("RN", "");
        }
        if (!serial.empty() && !kz) a.Add("$2", fias::Clean(serial, 19));  // KZ's LR lists no $2
        if (!req.Value("G#").empty()) a.Add("G#", fias::Clean(req.Value("G#"), 10));
        Record stamp = Stamped("");
        a.fields.insert(a.fields.end(), stamp.fields.begin(), stamp.fields.end());
        Send(a);
    }

    void KeyRequest(const Record &r) {
        std::string encoder = EncoderFor(r);
        if (encoder.empty())
            return Answer(r, KeyStatus::Unprocessable, "Unknown encoder " + (r.Value("KC").empty() ? r.Value("WS") : r.Value("KC")), {});
        const PmsConfig &pc = site_.config().pms;
        server::KeyRequest k;
        k.interface = "fias";
        k.who = Who(r);
        k.encoder = encoder;
        std::string kt = r.Value("KT");
        char t = kt.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(kt[0])));
        if (t != 'N' && t != 'D' && t != 'O')
            return Answer(r, KeyStatus::Unprocessable, "Unknown key type " + fias::Clean(kt, 4), {});
        k.type = t == 'N' ? KeyType::New : t == 'D' ? KeyType::Duplicate : KeyType::OneShot;
        if (!r.Value("RN").empty()) k.rooms.push_back(r.Value("RN"));
        for (auto &room : SplitRooms(r.Value("SI"))) k.rooms.push_back(room);
        // Validity: from now (or the arrival day, for a key cut ahead), to
        // the departure day at its time.
        std::string now = LocalMinute(), arrival = Day(r.Value("GA")), departure = Day(r.Value("GD"));
        std::string at = Clock(r.Value("DT"));
        if (at.empty()) at = pc.checkout_time;
        k.start = !arrival.empty() && arrival + "T00:00" > now ? arrival + "T00:00" : now;
        if (!departure.empty()) k.end = departure + "T" + at;
        if (k.type == KeyType::OneShot && (departure.empty() || k.end <= k.start))
            k.end = LocalMinute(pc.oneshot_minutes);
        if (k.end.empty()) return Answer(r, KeyStatus::Unprocessable, "No departure date", {});
        // KO: position n is access area n; 1 on, 0 off, blank the default.
        std::vector<std::string> areas = pc.default_areas;
        std::string ko = r.Value("KO");
        for (size_t i = 0; i < ko.size() && i < pc.key_options.size(); ++i) {
            const std::string &area = pc.key_options[i];
            if (area.empty() || ko[i] == ' ') continue;
            areas.erase(std::remove(areas.begin(), areas.end(), area), areas.end());
            if (ko[i] != '0') areas.push_back(area);
        }
        k.areas = areas;
        k.pms = Pms(r);
        IssueKey(site_, std::move(k), [self = shared_from_this(), r](const KeyAnswer &a) {
            self->Answer(r, a.status, a.brief, a.status == KeyStatus::Ok ? a.job.serial : "");
        });
    }

    void KeyDelete(const Record &r) {
        std::string encoder = EncoderFor(r);
        if (encoder.empty()) return Answer(r, KeyStatus::Unprocessable, "Unknown encoder " + r.Value("KC"), {});
        KeyAnswer a = RemoveKeys(site_, encoder, "fias", Who(r), Pms(r));
        Answer(r, a.status, a.brief, {});
    }

    void KeyRead(const Record &r) {
        std::string encoder = EncoderFor(r);
        if (encoder.empty()) return Answer(r, KeyStatus::Unprocessable, "Unknown encoder " + r.Value("KC"), {});
        ReadKey(site_, encoder, "fias", Who(r), Pms(r), [self = shared_from_this(), r](const KeyAnswer &a) {
            if (a.status != KeyStatus::Ok) return self->Answer(r, a.status, a.brief, {});
            const json &card = a.job.card;
            if (card.value("kind", "") != "guest")
                return self->Answer(r, KeyStatus::Unprocessable,
                                    "Not a guest key: " + card.value("kind_label", card.value("kind", "?")), {});
            std::vector<int> locks;
            for (auto &n : card.value("rooms", json::array()))
                if (n.is_number_integer()) locks.push_back(n.get<int>());
            auto names = RoomNames(self->site_.config(), locks);
            Record read{"", {}};
            read.Add("RN", names.empty() ? "" : fias::Clean(names[0], 8));
            std::string si;
            for (size_t i = 1; i < names.size(); ++i) si += (si.empty() ? "" : ";") + names[i];
            if (!si.empty()) read.Add("SI", fias::Clean(si, 30));
            std::string end = card.value("end", "");  // "YYYY-MM-DD HH:MM"
            if (end.size() >= 16) read.Add("GD", end.substr(2, 2) + end.substr(5, 2) + end.substr(8, 2)).Add("DT", end.substr(11, 5));
            self->Answer(r, KeyStatus::Ok, a.brief, a.job.serial, &read);
        });
    }

    net::io_context &io_;
    Site &site_;
    const FiasConfig &cfg_;
    tcp::socket socket_;
    tcp::resolver resolver_;
    net::steady_timer retry_, first_, alive_, answer_;
    fias::Framer framer_;
    char buf_[4096];
    std::deque<std::string> out_;
    std::string key_, lastLs_;
    bool connected_ = false, writing_ = false, heard_ = false, linkAlive_ = false, expectLa_ = false, stopping_ = false;
    int backoff_ = 0;
};

}  // namespace

struct FiasLinks::Impl {
    std::vector<std::shared_ptr<Link>> links;
};

FiasLinks::FiasLinks(net::io_context &io, Site &site, const SiteConfig &config) : impl_(std::make_unique<Impl>()) {
    for (const FiasConfig &f : config.fias) impl_->links.push_back(std::make_shared<Link>(io, site, f));
}
FiasLinks::~FiasLinks() = default;
void FiasLinks::Start() {
    for (auto &l : impl_->links) l->Start();
}
void FiasLinks::Stop() {
    for (auto &l : impl_->links) l->Stop();
}

}  // namespace server
