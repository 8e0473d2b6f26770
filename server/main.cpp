// kestrane-server: a site's encoders on the network, every card in a journal.
#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <ctime>
#include <iostream>

#include "config.h"
#include "journal.h"
#include "serve.h"
#include "site_init.h"
#include "tokens.h"
#include "users.h"

namespace {

using namespace server;

constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2;

std::string SelfPath(const char *argv0) {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) return std::string(buf, static_cast<size_t>(n));
    return argv0;
}

// Loads the site file or says, line and key, everything that is wrong with it.
bool Load(const std::string &path, SiteConfig &config) {
    auto problems = LoadSiteConfig(path, config);
    for (auto &p : problems) std::cerr << "kestrane-server: " << p.Text(path) << std::endl;
    return problems.empty();
}

std::string TokenFile(const SiteConfig &c) { return c.StateDir() + "/tokens"; }

std::string UtcNow() {
    time_t t = time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string AddToken(const SiteConfig &c, const std::string &name, Role role) {
    if (!ValidTokenName(name)) throw std::runtime_error("token name: letters, digits, - _ . @ (at most 64)");
    ::mkdir(c.StateDir().c_str(), 0700);
    auto tokens = LoadTokens(TokenFile(c));
    for (auto &t : tokens)
        if (t.name == name) throw std::runtime_error("a token named '" + name + "' exists (revoke it first)");
    std::string token = NewToken();
    tokens.push_back({name, role, Sha256Hex(token), UtcNow()});
    SaveTokens(TokenFile(c), tokens);
    return token;
}

std::string UserFile(const SiteConfig &c) { return c.StateDir() + "/users"; }

// A line typed on the terminal without echo.
std::string AskHidden(const std::string &prompt) {
    std::cerr << prompt << std::flush;
    termios old{};
    bool tty = tcgetattr(STDIN_FILENO, &old) == 0;
    if (tty) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::cerr << std::endl;
    return line;
}

// The password from the terminal (asked twice) or, when stdin is no terminal
// or --password-stdin says so, its first line.
std::string ReadPassword(bool fromStdin) {
    std::string password;
    if (fromStdin || !isatty(STDIN_FILENO)) {
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r') password.pop_back();
    } else {
        password = AskHidden("password: ");
        if (AskHidden("password again: ") != password) throw std::runtime_error("the two passwords differ");
    }
    if (password.size() < kPasswordMin || password.size() > kPasswordMax)
        throw std::runtime_error("a password has " + std::to_string(kPasswordMin) + " to " +
                                 std::to_string(kPasswordMax) + " characters");
    return password;
}

// Drops the credential of that name; false when there was none.
bool RemoveNamed(std::vector<Credential> &list, const std::string &name, const char *what) {
    size_t before = list.size();
    list.erase(std::remove_if(list.begin(), list.end(), [&](auto &c) { return c.name == name; }), list.end());
    if (list.size() != before) return true;
    std::cerr << "kestrane-server: no " << what << " named '" << name << "'" << std::endl;
    return false;
}

void PrintCredentials(const std::vector<Credential> &list) {
    for (auto &c : list) std::cout << c.name << "\t" << RoleName(c.role) << "\t" << c.created << "\n";
}

std::string CsvField(const std::string &s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string out = "\"";
    for (char ch : s) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

void Export(Journal &journal, const std::string &format, std::ostream &out) {
    static const char *columns[] = {"id", "created", "started", "finished", "encoder", "interface", "who", "action",
                                    "kind", "state", "result", "serial", "reason", "request", "error"};
    if (format == "csv") {
        for (size_t i = 0; i < std::size(columns); ++i) out << (i ? "," : "") << columns[i];
        out << "\n";
    }
    JobQuery q;
    q.limit = 1000;
    for (;;) {
        auto jobs = journal.List(q);
        for (auto &j : jobs) {
            nlohmann::json v = JobToJson(j);
            if (format == "jsonl") {
                out << v.dump() << "\n";
                continue;
            }
            auto text = [&](const char *k) {
                const auto &f = v.contains(k) ? v[k] : nlohmann::json(nullptr);
                return f.is_null() ? std::string() : f.is_string() ? f.get<std::string>() : f.dump();
            };
            std::string result = j.code_name.empty() ? "" : j.code_name;
            out << j.id << ',' << text("created") << ',' << text("started") << ',' << text("finished") << ','
                << CsvField(j.encoder) << ',' << j.interface << ',' << CsvField(j.who) << ',' << j.action << ','
                << j.kind << ',' << StateName(j.state) << ',' << result << ',' << j.serial << ','
                << CsvField(j.reason) << ',' << CsvField(j.request.dump()) << ',' << CsvField(j.error) << "\n";
        }
        if (jobs.size() < q.limit) break;
        q.since = jobs.back().id;
    }
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"kestrane-server: a site's encoders on the network"};
    app.require_subcommand(1);
    std::string configPath = "site.toml";
    auto addConfig = [&](CLI::App *sub) { sub->add_option("--config", configPath, "the site file (default site.toml)"); };

    CLI::App *check = app.add_subcommand("check", "validate the site file");
    addConfig(check);
    CLI::App *run = app.add_subcommand("run", "serve the site");
    addConfig(run);

    std::string dir;
    int encoders = 1, cards = 3;
    CLI::App *init = app.add_subcommand("init", "make a site folder with bench encoders");
    init->add_option("DIR", dir)->required();
    init->add_option("--encoders", encoders, "bench encoders desk1..deskN")->required()->check(CLI::Range(1, 64));
    init->add_option("--cards", cards, "blank cards per encoder (default 3)")->check(CLI::Range(1, 100));
    std::string fias, hotel = "HOTEL1";
    init->add_option("--fias", fias, "HOST:PORT of a PMS's FIAS interface to link to");
    init->add_option("--hotel", hotel, "the hotel id OPERA Cloud's calls name (default HOTEL1)");

    CLI::App *token = app.add_subcommand("token", "machine credentials");
    token->require_subcommand(1);
    std::string name, role;
    CLI::App *tokenAdd = token->add_subcommand("add", "add a token (printed once)");
    tokenAdd->add_option("NAME", name)->required();
    tokenAdd->add_option("--role", role, "pms, desk or manager")->required()->check(CLI::IsMember({"pms", "desk", "manager"}));
    CLI::App *tokenList = token->add_subcommand("list", "list the tokens (names and roles)");
    CLI::App *tokenRevoke = token->add_subcommand("revoke", "revoke a token");
    tokenRevoke->add_option("NAME", name)->required();
    for (CLI::App *s : {tokenAdd, tokenList, tokenRevoke}) addConfig(s);

    bool passwordStdin = false;
    CLI::App *user = app.add_subcommand("user", "people who sign in to the console");
    user->require_subcommand(1);
    CLI::App *userAdd = user->add_subcommand("add", "add a user (password asked, or read from stdin)");
    userAdd->add_option("NAME", name)->required();
    userAdd->add_option("--role", role, "desk or manager")->required()->check(CLI::IsMember({"desk", "manager"}));
    userAdd->add_flag("--password-stdin", passwordStdin, "read the password from stdin's first line");
    CLI::App *userList = user->add_subcommand("list", "list the users (names and roles)");
    CLI::App *userRemove = user->add_subcommand("remove", "remove a user (their sessions end)");
    userRemove->add_option("NAME", name)->required();
    for (CLI::App *s : {userAdd, userList, userRemove}) addConfig(s);

    std::string format = "csv";
    CLI::App *journal = app.add_subcommand("journal", "the journal of jobs");
    journal->require_subcommand(1);
    CLI::App *exportCmd = journal->add_subcommand("export", "print every job (CSV or JSON lines)");
    exportCmd->add_option("--format", format, "csv or jsonl")->check(CLI::IsMember({"csv", "jsonl"}));
    addConfig(exportCmd);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }

    try {
        SiteConfig config;
        if (*init) {
            InitSite(dir, encoders, cards, FindTool("", SelfPath(argv[0])), fias, hotel);
            if (!Load(dir + "/site.toml", config)) return kExitFailure;
            std::string pms = AddToken(config, "pms", Role::Pms);
            std::string t = AddToken(config, "manager", Role::Manager);
            std::cout << "site: " << dir << "/site.toml (" << encoders << " bench encoders, desk1"
                      << (encoders > 1 ? " to desk" + std::to_string(encoders) : "") << ")\n"
                      << "run: kestrane-server run --config " << dir << "/site.toml\n"
                      << "pms token: " << pms << "\n"
                      << "token: " << t << std::endl;
            return kExitOk;
        }
        if (!Load(configPath, config)) return kExitUsage;
        if (*check) {
            std::cout << configPath << ": ok (" << config.encoders.size() << " encoders, " << config.listeners.size()
                      << " listeners, " << config.rooms.size() << " rooms)" << std::endl;
            return kExitOk;
        }
        if (*tokenAdd) {
            std::cout << "token: " << AddToken(config, name, *ParseRole(role)) << std::endl;
            std::cerr << "note: the token is shown this once; only its hash is kept" << std::endl;
            return kExitOk;
        }
        if (*tokenList) {
            PrintCredentials(LoadTokens(TokenFile(config)));
            return kExitOk;
        }
        if (*tokenRevoke) {
            auto tokens = LoadTokens(TokenFile(config));
            if (!RemoveNamed(tokens, name, "token")) return kExitFailure;
            SaveTokens(TokenFile(config), tokens);
            std::cout << "revoked: " << name << std::endl;
            return kExitOk;
        }
        if (*userAdd) {
            if (!ValidTokenName(name)) throw std::runtime_error("user name: letters, digits, - _ . @ (at most 64)");
            ::mkdir(config.StateDir().c_str(), 0700);
            auto users = LoadUsers(UserFile(config));
            for (auto &u : users)
                if (u.name == name) throw std::runtime_error("a user named '" + name + "' exists (remove it first)");
            std::string password = ReadPassword(passwordStdin);
            users.push_back({name, *ParseRole(role), HashPassword(password), UtcNow()});
            SaveUsers(UserFile(config), users);
            std::cout << "user: " << name << " (" << role << ")" << std::endl;
            return kExitOk;
        }
        if (*userList) {
            PrintCredentials(LoadUsers(UserFile(config)));
            return kExitOk;
        }
        if (*userRemove) {
            auto users = LoadUsers(UserFile(config));
            if (!RemoveNamed(users, name, "user")) return kExitFailure;
            SaveUsers(UserFile(config), users);
            std::cout << "removed: " << name << std::endl;
            return kExitOk;
        }
        if (*exportCmd) {
            auto j = OpenJournal(config.journal, config.StateDir());
            Export(*j, format, std::cout);
            return kExitOk;
        }
        if (*run) return RunServer(config, FindTool(config.worker, SelfPath(argv[0])));
    } catch (const std::exception &e) {
        std::cerr << "kestrane-server: " << e.what() << std::endl;
        return kExitFailure;
    }
    return kExitOk;
}
