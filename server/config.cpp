#include "config.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdlib>
#include <set>
#include <toml++/toml.h>

#include "fias.h"

namespace server {
namespace {

// Keys each table may hold: a key outside these is a typo that would
// otherwise be ignored in silence (say, `insecure` misspelt).
const std::set<std::string> kTopKeys = {"server", "listen", "limits", "cors", "journal", "encoder",
                                        "rooms",  "areas",  "pms",    "opera", "fias",    "console"};
const std::set<std::string> kPmsKeys = {"new_option",  "duplicate_option", "oneshot_option", "oneshot_minutes",
                                        "checkout_time", "key_options",    "default_areas"};
const std::set<std::string> kOperaKeys = {"hotel", "terminals"};
const std::set<std::string> kFiasKeys = {"host", "port", "key", "lrc", "alive_check", "encoders", "workstations"};
const std::set<std::string> kServerKeys = {"state", "timezone", "worker", "wait", "expiry", "job_timeout"};
const std::set<std::string> kListenKeys = {"address", "port", "cert", "key", "insecure"};
const std::set<std::string> kLimitKeys = {"body", "header_timeout", "read_timeout", "idle_timeout", "rate", "queue"};
const std::set<std::string> kJournalKeys = {"kind", "url", "sync", "site"};
const std::set<std::string> kConsoleKeys = {"idle_timeout", "arrival", "departure"};
const std::set<std::string> kEncoderKeys = {"id", "devices", "bench", "config", "reader"};

// Lock numbers and area values are 16-bit card fields the tool takes as 0-32767.
constexpr int64_t kMaxCardValue = 32767;
// A guest card holds four lock numbers.
constexpr size_t kCardRooms = 4;

struct Reader {
    std::vector<ConfigProblem> problems;

    void Problem(const toml::node *node, const std::string &key, const std::string &message) {
        int line = node ? static_cast<int>(node->source().begin.line) : 0;
        problems.push_back({line, key, message});
    }

    void UnknownKeys(const toml::table &t, const std::set<std::string> &allowed, const std::string &prefix) {
        for (auto &[k, v] : t) {
            std::string name(k.str());
            if (!allowed.count(name)) Problem(&v, prefix + name, "unknown key");
        }
    }

    void Text(const toml::table &t, const char *name, const std::string &prefix, std::string &out) {
        const toml::node *n = t.get(name);
        if (!n) return;
        if (auto s = n->value<std::string>()) out = *s;
        else Problem(n, prefix + name, "must be a string");
    }

    void Bool(const toml::table &t, const char *name, const std::string &prefix, bool &out) {
        const toml::node *n = t.get(name);
        if (!n) return;
        if (auto b = n->value<bool>()) out = *b;
        else Problem(n, prefix + name, "must be true or false");
    }

    template <typename T>
    void Number(const toml::table &t, const char *name, const std::string &prefix, T &out, double lo, double hi) {
        const toml::node *n = t.get(name);
        if (!n) return;
        std::optional<double> v;
        if (n->is_integer()) v = static_cast<double>(*n->value<int64_t>());
        else if (n->is_floating_point() && std::is_floating_point<T>::value) v = *n->value<double>();
        if (!v) {
            Problem(n, prefix + name, std::is_floating_point<T>::value ? "must be a number" : "must be an integer");
            return;
        }
        if (*v < lo || *v > hi) {
            Problem(n, prefix + name, "must be between " + std::to_string(static_cast<int64_t>(lo)) + " and " +
                                          std::to_string(static_cast<int64_t>(hi)));
            return;
        }
        out = static_cast<T>(*v);
    }

    const toml::table *Table(const toml::table &t, const char *name) {
        const toml::node *n = t.get(name);
        if (!n) return nullptr;
        if (!n->is_table()) {
            Problem(n, name, "must be a table ([" + std::string(name) + "])");
            return nullptr;
        }
        return n->as_table();
    }

    void TextList(const toml::table &t, const char *name, const std::string &prefix, std::vector<std::string> &out) {
        const toml::node *n = t.get(name);
        if (!n) return;
        const toml::array *a = n->as_array();
        if (!a) return Problem(n, prefix + name, "must be a list of strings");
        for (auto &e : *a) {
            if (auto v = e.value<std::string>()) out.push_back(*v);
            else Problem(&e, prefix + name, "must be a list of strings");
        }
    }

    // name -> encoder id tables; the ids are checked against the encoders.
    void EncoderMap(const toml::table &t, const char *name, const std::string &prefix,
                    std::map<std::string, std::string> &out, const std::set<std::string> &ids) {
        const toml::node *n = t.get(name);
        if (!n) return;
        const toml::table *m = n->as_table();
        if (!m) return Problem(n, prefix + name, "must be a table of names to encoder ids");
        for (auto &[k, v] : *m) {
            auto id = v.value<std::string>();
            std::string key = prefix + name + "." + std::string(k.str());
            if (!id) Problem(&v, key, "must be an encoder id");
            else if (!ids.count(*id)) Problem(&v, key, "no encoder '" + *id + "'");
            else out[std::string(k.str())] = *id;
        }
    }

    // name -> [values] tables (rooms, areas).
    void ValueTable(const toml::table &t, const char *name, size_t maxCount,
                    std::map<std::string, std::vector<int>> &out) {
        const toml::table *tab = Table(t, name);
        if (!tab) return;
        for (auto &[k, v] : *tab) {
            std::string key = std::string(name) + "." + std::string(k.str());
            std::vector<int> values;
            auto collect = [&](const toml::node &e) {
                auto i = e.value<int64_t>();
                if (!e.is_integer() || *i < 0 || *i > kMaxCardValue) {
                    Problem(&e, key, "values must be integers 0-32767");
                    return false;
                }
                values.push_back(static_cast<int>(*i));
                return true;
            };
            if (v.is_integer()) {
                collect(v);
            } else if (const toml::array *a = v.as_array()) {
                for (auto &e : *a)
                    if (!collect(e)) break;
                if (a->empty()) Problem(&v, key, "needs at least one value");
            } else {
                Problem(&v, key, "must be an integer or a list of integers");
                continue;
            }
            if (values.size() > maxCount)
                Problem(&v, key, "at most " + std::to_string(maxCount) + " values fit on a card");
            out[std::string(k.str())] = values;
        }
    }
};

bool FileExists(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

bool ValidClock(const std::string &s) {
    return s.size() == 5 && isdigit(static_cast<unsigned char>(s[0])) && isdigit(static_cast<unsigned char>(s[1])) &&
           s[2] == ':' && isdigit(static_cast<unsigned char>(s[3])) && isdigit(static_cast<unsigned char>(s[4])) &&
           std::stoi(s.substr(0, 2)) < 24 && std::stoi(s.substr(3)) < 60;
}

bool ValidId(const std::string &id) {
    if (id.empty() || id.size() > 32) return false;
    for (char c : id)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
    return true;
}

// The last component of a folder's real path: "/etc/kestrane/grand-hotel" for
// a site file read as "./site.toml" from there gives "grand-hotel".
std::string FolderName(const std::string &dir) {
    std::string path = dir;
    if (char *real = ::realpath(dir.c_str(), nullptr)) {
        path = real;
        ::free(real);
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name == "." || name == ".." ? "" : name;
}

}  // namespace

std::string ConfigProblem::Text(const std::string &file) const {
    std::string s = file;
    if (line > 0) s += ":" + std::to_string(line);
    s += ": ";
    if (!key.empty()) s += key + ": ";
    return s + message;
}

std::string SiteConfig::Resolve(const std::string &p) const {
    if (p.empty() || p[0] == '/') return p;
    return dir + "/" + p;
}

std::string SiteConfig::StateDir() const { return Resolve(state); }

const EncoderConfig *SiteConfig::Encoder(const std::string &id) const {
    for (auto &e : encoders)
        if (e.id == id) return &e;
    return nullptr;
}

bool IsLoopback(const std::string &address) {
    if (address == "localhost") return true;
    in_addr a4;
    if (inet_pton(AF_INET, address.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6;
    if (inet_pton(AF_INET6, address.c_str(), &a6) == 1) return IN6_IS_ADDR_LOOPBACK(&a6);
    return false;
}

std::vector<ConfigProblem> LoadSiteConfig(const std::string &path, SiteConfig &out) {
    Reader r;
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error &e) {
        r.problems.push_back({static_cast<int>(e.source().begin.line), "", std::string(e.description())});
        return r.problems;
    }
    SiteConfig c;
    c.path = path;
    auto slash = path.rfind('/');
    c.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);

    r.UnknownKeys(root, kTopKeys, "");
    if (const toml::table *s = r.Table(root, "server")) {
        r.UnknownKeys(*s, kServerKeys, "server.");
        r.Text(*s, "state", "server.", c.state);
        r.Text(*s, "timezone", "server.", c.timezone);
        r.Text(*s, "worker", "server.", c.worker);
        r.Number(*s, "wait", "server.", c.wait, 0, 300);
        r.Number(*s, "expiry", "server.", c.expiry, 1, 3600);
        r.Number(*s, "job_timeout", "server.", c.job_timeout, 1, 600);
        if (c.timezone.find("..") != std::string::npos ||
            !FileExists("/usr/share/zoneinfo/" + c.timezone))
            r.Problem(s->get("timezone"), "server.timezone", "unknown time zone '" + c.timezone + "'");
    }
    if (const toml::table *l = r.Table(root, "limits")) {
        r.UnknownKeys(*l, kLimitKeys, "limits.");
        r.Number(*l, "body", "limits.", c.limits.body, 256, 16 * 1024 * 1024);
        r.Number(*l, "header_timeout", "limits.", c.limits.header_timeout, 1, 300);
        r.Number(*l, "read_timeout", "limits.", c.limits.read_timeout, 1, 600);
        r.Number(*l, "idle_timeout", "limits.", c.limits.idle_timeout, 1, 3600);
        r.Number(*l, "rate", "limits.", c.limits.rate, 1, 1000000);
        r.Number(*l, "queue", "limits.", c.limits.queue, 1, 10000);
    }
    if (const toml::table *j = r.Table(root, "journal")) {
        r.UnknownKeys(*j, kJournalKeys, "journal.");
        r.Text(*j, "kind", "journal.", c.journal.kind);
        r.Text(*j, "url", "journal.", c.journal.url);
        r.Text(*j, "sync", "journal.", c.journal.sync);
        r.Text(*j, "site", "journal.", c.journal.site);
        if (j->get("site") && c.journal.site.empty())
            r.Problem(j->get("site"), "journal.site", "must not be empty: it tells this site's jobs from others'");
        if (c.journal.kind != "sqlite" && c.journal.kind != "postgres")
            r.Problem(j->get("kind"), "journal.kind", "must be \"sqlite\" or \"postgres\"");
        if (c.journal.kind == "postgres" && c.journal.url.empty())
            r.Problem(j, "journal.url", "a PostgreSQL journal needs its connection string");
        if (c.journal.sync != "full" && c.journal.sync != "normal")
            r.Problem(j->get("sync"), "journal.sync", "must be \"full\" or \"normal\"");
    }
    if (const toml::table *cs = r.Table(root, "console")) {
        r.UnknownKeys(*cs, kConsoleKeys, "console.");
        r.Number(*cs, "idle_timeout", "console.", c.console.idle_timeout, 1, 7 * 24 * 3600);
        r.Text(*cs, "arrival", "console.", c.console.arrival);
        r.Text(*cs, "departure", "console.", c.console.departure);
        for (auto [key, value] : {std::pair{"arrival", &c.console.arrival}, {"departure", &c.console.departure}})
            if (!ValidClock(*value)) r.Problem(cs->get(key), std::string("console.") + key, "must be HH:MM");
    }
    if (const toml::table *co = r.Table(root, "cors")) {
        r.UnknownKeys(*co, {"origins"}, "cors.");
        if (const toml::node *o = co->get("origins")) {
            const toml::array *a = o->as_array();
            if (!a) r.Problem(o, "cors.origins", "must be a list of origins");
            else
                for (auto &e : *a) {
                    auto s = e.value<std::string>();
                    if (!s || (s->rfind("http://", 0) != 0 && s->rfind("https://", 0) != 0))
                        r.Problem(&e, "cors.origins", "each origin is \"https://host[:port]\"");
                    else c.cors_origins.push_back(*s);
                }
        }
    }

    auto arrayOfTables = [&](const char *name) -> const toml::array * {
        const toml::node *n = root.get(name);
        if (!n) return nullptr;
        const toml::array *a = n->as_array();
        if (!a || !a->is_array_of_tables()) {
            r.Problem(n, name, "must be an array of tables ([[" + std::string(name) + "]])");
            return nullptr;
        }
        return a;
    };

    if (const toml::array *ls = arrayOfTables("listen")) {
        for (size_t i = 0; i < ls->size(); ++i) {
            const toml::table &t = *(*ls)[i].as_table();
            std::string p = "listen[" + std::to_string(i + 1) + "].";
            Listener l;
            r.UnknownKeys(t, kListenKeys, p);
            r.Text(t, "address", p, l.address);
            r.Number(t, "port", p, l.port, 1, 65535);
            r.Text(t, "cert", p, l.cert);
            r.Text(t, "key", p, l.key);
            r.Bool(t, "insecure", p, l.insecure);
            in6_addr a6;
            in_addr a4;
            if (inet_pton(AF_INET, l.address.c_str(), &a4) != 1 && inet_pton(AF_INET6, l.address.c_str(), &a6) != 1)
                r.Problem(t.get("address"), p + "address", "must be an IPv4 or IPv6 address");
            if (l.cert.empty() != l.key.empty())
                r.Problem(&t, p + (l.cert.empty() ? "cert" : "key"), "TLS needs both cert and key");
            if (!l.cert.empty() && !FileExists(c.Resolve(l.cert)))
                r.Problem(t.get("cert"), p + "cert", "no file at " + c.Resolve(l.cert));
            if (!l.key.empty() && !FileExists(c.Resolve(l.key)))
                r.Problem(t.get("key"), p + "key", "no file at " + c.Resolve(l.key));
            // Tokens and guests' stays cross this listener: in clear only on
            // the machine itself, unless the site owns the risk in writing.
            if (!l.Tls() && !IsLoopback(l.address) && !l.insecure)
                r.Problem(&t, p + "cert",
                          "a listener on " + l.address + " (not loopback) needs TLS (cert and key), or insecure = true");
            l.cert = c.Resolve(l.cert);
            l.key = c.Resolve(l.key);
            c.listeners.push_back(l);
        }
    }
    if (c.listeners.empty()) r.Problem(nullptr, "listen", "at least one [[listen]] is needed");

    if (const toml::array *es = arrayOfTables("encoder")) {
        std::set<std::string> seen;
        for (size_t i = 0; i < es->size(); ++i) {
            const toml::table &t = *(*es)[i].as_table();
            std::string p = "encoder[" + std::to_string(i + 1) + "].";
            EncoderConfig e;
            r.UnknownKeys(t, kEncoderKeys, p);
            r.Text(t, "id", p, e.id);
            r.Text(t, "devices", p, e.devices);
            r.Text(t, "bench", p, e.bench);
            r.Text(t, "config", p, e.config);
            r.Text(t, "reader", p, e.reader);
            if (!ValidId(e.id)) r.Problem(t.get("id") ? t.get("id") : &t, p + "id", "1-32 letters, digits, - or _");
            else if (!seen.insert(e.id).second) r.Problem(t.get("id"), p + "id", "'" + e.id + "' is used twice");
            if (e.devices == "bench") {
                if (e.bench.empty()) r.Problem(&t, p + "bench", "a bench encoder needs its bench folder");
                else if (!FileExists(c.Resolve(e.bench) + "/bench.ini"))
                    r.Problem(t.get("bench"), p + "bench", "no bench folder at " + c.Resolve(e.bench));
            } else if (e.devices == "pcsc") {
                if (e.config.empty()) r.Problem(&t, p + "config", "a PC/SC encoder needs its INI file");
            } else {
                r.Problem(t.get("devices"), p + "devices", "must be \"bench\" or \"pcsc\"");
            }
            if (!e.config.empty() && !FileExists(c.Resolve(e.config)))
                r.Problem(t.get("config"), p + "config", "no file at " + c.Resolve(e.config));
            e.bench = c.Resolve(e.bench);
            e.config = c.Resolve(e.config);
            c.encoders.push_back(e);
        }
    }
    if (c.encoders.empty()) r.Problem(nullptr, "encoder", "at least one [[encoder]] is needed");

    r.ValueTable(root, "rooms", kCardRooms, c.rooms);
    r.ValueTable(root, "areas", kCardRooms, c.areas);

    std::set<std::string> ids;
    for (auto &e : c.encoders) ids.insert(e.id);
    if (const toml::table *p = r.Table(root, "pms")) {
        r.UnknownKeys(*p, kPmsKeys, "pms.");
        r.Bool(*p, "new_option", "pms.", c.pms.new_option);
        r.Bool(*p, "duplicate_option", "pms.", c.pms.duplicate_option);
        r.Bool(*p, "oneshot_option", "pms.", c.pms.oneshot_option);
        r.Number(*p, "oneshot_minutes", "pms.", c.pms.oneshot_minutes, 1, 7 * 24 * 60);
        r.Text(*p, "checkout_time", "pms.", c.pms.checkout_time);
        const std::string &t = c.pms.checkout_time;
        if (t.size() != 5 || t[2] != ':' || !isdigit(t[0]) || !isdigit(t[1]) || !isdigit(t[3]) || !isdigit(t[4]) ||
            std::stoi(t.substr(0, 2)) > 23 || std::stoi(t.substr(3)) > 59)
            r.Problem(p->get("checkout_time"), "pms.checkout_time", "must be HH:MM");
        r.TextList(*p, "key_options", "pms.", c.pms.key_options);
        r.TextList(*p, "default_areas", "pms.", c.pms.default_areas);
        for (const char *k : {"key_options", "default_areas"})
            for (auto &a : k[0] == 'k' ? c.pms.key_options : c.pms.default_areas)
                if (!a.empty() && !c.areas.count(a))
                    r.Problem(p->get(k), std::string("pms.") + k, "no access area '" + a + "' in [areas]");
    }
    if (const toml::table *o = r.Table(root, "opera")) {
        r.UnknownKeys(*o, kOperaKeys, "opera.");
        r.Text(*o, "hotel", "opera.", c.opera.hotel);
        if (c.opera.hotel.empty() || c.opera.hotel.size() > 2000)
            r.Problem(o->get("hotel"), "opera.hotel", "must be 1-2000 characters");
        r.EncoderMap(*o, "terminals", "opera.", c.opera.terminals, ids);
    }
    if (const toml::array *fs = arrayOfTables("fias")) {
        for (size_t i = 0; i < fs->size(); ++i) {
            const toml::table &t = *(*fs)[i].as_table();
            std::string p = "fias[" + std::to_string(i + 1) + "].";
            FiasConfig f;
            f.name = "fias" + std::to_string(i + 1);
            r.UnknownKeys(t, kFiasKeys, p);
            r.Text(t, "host", p, f.host);
            r.Number(t, "port", p, f.port, 1, 65535);
            r.Text(t, "key", p, f.key);
            r.Bool(t, "lrc", p, f.lrc);
            r.Number(t, "alive_check", p, f.alive_check, 1, 3600);
            r.EncoderMap(t, "encoders", p, f.encoders, ids);
            r.EncoderMap(t, "workstations", p, f.workstations, ids);
            if (!f.key.empty() && !fias::DecodeKey(f.key))
                r.Problem(t.get("key"), p + "key", "must be the vendor key: FidCrypt0S|BASE64 of 16 bytes");
            if (f.host.empty()) r.Problem(&t, p + "host", "the PMS interface's host is needed");
            if (f.port == 0) r.Problem(&t, p + "port", "the PMS interface's port is needed");
            c.fias.push_back(f);
        }
    }
    if (c.journal.site.empty()) {
        c.journal.site = FolderName(c.dir);
        if (c.journal.site.empty() && c.journal.kind == "postgres")
            r.Problem(root.get("journal"), "journal.site", "the site file's folder gives no name: set one");
    }

    if (r.problems.empty()) out = c;
    return r.problems;
}

}  // namespace server
