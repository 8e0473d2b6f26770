// A wrong site file must stop the server naming the line and the key.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "config.h"

namespace {

std::string Dir() {
    static std::string d = [] {
        char tmpl[] = "/tmp/ks-config-XXXXXX";
        std::string p = mkdtemp(tmpl);
        ::mkdir((p + "/desk1").c_str(), 0700);
        std::ofstream(p + "/desk1/bench.ini") << "[bench]\n";
        return p;
    }();
    return d;
}

const char kGood[] = "[[listen]]\naddress = \"127.0.0.1\"\nport = 8443\n"
                     "[[encoder]]\nid = \"desk1\"\nbench = \"desk1\"\n"
                     "[rooms]\n\"101\" = [101]\n";

std::vector<server::ConfigProblem> Load(const std::string &text, server::SiteConfig &c) {
    std::string path = Dir() + "/site.toml";
    std::ofstream(path) << text;
    return server::LoadSiteConfig(path, c);
}

TEST(SiteFile, GoodFileLoadsWithPathsFromItsFolder) {
    server::SiteConfig c;
    ASSERT_TRUE(Load(kGood, c).empty());
    EXPECT_EQ(c.encoders.at(0).bench, Dir() + "/desk1");
    EXPECT_EQ(c.rooms.at("101"), std::vector<int>{101});
    EXPECT_EQ(c.StateDir(), Dir() + "/state");
    EXPECT_EQ(c.journal.site, Dir().substr(Dir().rfind('/') + 1));  // a shared journal's site: the folder's name
}

struct BadCase {
    const char *name, *append;
    int line;  // of the first problem
    const char *key;
};

TEST(SiteFile, EachProblemNamesLineAndKey) {
    const BadCase cases[] = {
        {"typo key", "[server]\nwiat = 3\n", 10, "server.wiat"},
        {"wrong type", "[limits]\nbody = \"big\"\n", 10, "limits.body"},
        {"out of range", "[limits]\nrate = 0\n", 10, "limits.rate"},
        {"bad zone", "[server]\ntimezone = \"Mars/Olympus\"\n", 10, "server.timezone"},
        {"duplicate encoder", "[[encoder]]\nid = \"desk1\"\nbench = \"desk1\"\n", 10, "encoder[2].id"},
        {"missing bench", "[[encoder]]\nid = \"desk2\"\nbench = \"nowhere\"\n", 11, "encoder[2].bench"},
        {"open listener without TLS", "[[listen]]\naddress = \"0.0.0.0\"\n", 9, "listen[2].cert"},
        {"five lock numbers", "\"S1\" = [1,2,3,4,5]\n", 9, "rooms.S1"},
        {"room number too big", "\"S2\" = [40000]\n", 9, "rooms.S2"},
        {"bad journal kind", "[journal]\nkind = \"mysql\"\n", 10, "journal.kind"},
        {"empty journal site", "[journal]\nsite = \"\"\n", 10, "journal.site"},
        {"bad arrival time", "[console]\narrival = \"25:00\"\n", 10, "console.arrival"},
    };
    for (const BadCase &t : cases) {
        server::SiteConfig c;
        std::string text = std::string(kGood) + t.append;
        auto problems = Load(text, c);
        ASSERT_FALSE(problems.empty()) << t.name;
        EXPECT_EQ(problems[0].key, t.key) << t.name;
        EXPECT_EQ(problems[0].line, t.line) << t.name << ": " << problems[0].Text("site.toml");
        EXPECT_TRUE(c.encoders.empty()) << t.name << ": nothing half-loaded";
    }
}

TEST(SiteFile, OpenListenerStartsWhenInsecureIsSaidOrTlsGiven) {
    server::SiteConfig c;
    EXPECT_TRUE(Load(std::string(kGood) + "[[listen]]\naddress = \"0.0.0.0\"\ninsecure = true\n", c).empty());
    std::ofstream(Dir() + "/c.pem") << "x";
    std::ofstream(Dir() + "/k.pem") << "x";
    EXPECT_TRUE(
        Load(std::string(kGood) + "[[listen]]\naddress = \"::\"\ncert = \"c.pem\"\nkey = \"k.pem\"\n", c).empty());
}

TEST(SiteFile, SyntaxErrorNamesItsLine) {
    server::SiteConfig c;
    auto problems = Load("[[listen]]\naddress = \"127.0.0.1\n", c);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 2);
}

}  // namespace
