// Runs the kestrane command against bench folders, as a technician would:
// every process loads the folder and saves what it changed, so a card issued
// by one run is read by the next. Arguments avoid quotes (times use the
// YYYY-MM-DDTHH:MM form) so the same command lines work through /bin/sh and
// through cmd.exe under Wine.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// ---- a small JSON reader, enough for the tool's output ----
struct Json {
    enum Type { Null, Bool, Number, Text, List, Object } type = Null;
    bool b = false;
    long long n = 0;
    std::string s;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> fields;

    bool Has(const std::string &key) const {
        for (const auto &f : fields)
            if (f.first == key) return true;
        return false;
    }
    const Json &operator[](const std::string &key) const {
        static const Json none;
        for (const auto &f : fields)
            if (f.first == key) return f.second;
        return none;
    }
    std::string Str() const {  // a comparable rendering of any value
        switch (type) {
        case Null: return "null";
        case Bool: return b ? "true" : "false";
        case Number: return std::to_string(n);
        case Text: return "\"" + s + "\"";
        case List: {
            std::string out = "[";
            for (const Json &i : items) out += i.Str() + ",";
            return out + "]";
        }
        case Object: {
            std::string out = "{";
            for (const auto &f : fields) out += f.first + ":" + f.second.Str() + ",";
            return out + "}";
        }
        }
        return "";
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string &text) : t_(text) {}
    bool Parse(Json *out) {
        const bool ok = Value(out);
        Space();
        return ok && p_ == t_.size();
    }

private:
    void Space() {
        while (p_ < t_.size() && std::isspace(static_cast<unsigned char>(t_[p_]))) ++p_;
    }
    bool Lit(const char *word) {
        const std::string w(word);
        if (t_.compare(p_, w.size(), w) != 0) return false;
        p_ += w.size();
        return true;
    }
    bool String(std::string *out) {
        if (t_[p_] != '"') return false;
        ++p_;
        while (p_ < t_.size() && t_[p_] != '"') {
            if (t_[p_] == '\\') {
                ++p_;
                const char c = t_[p_];
                if (c == 'u') {
                    *out += static_cast<char>(std::stoi(t_.substr(p_ + 1, 4), nullptr, 16));
                    p_ += 4;
                } else {
                    *out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
                }
            } else {
                *out += t_[p_];
            }
            ++p_;
        }
        if (p_ >= t_.size()) return false;
        ++p_;
        return true;
    }
    bool Value(Json *v) {
        Space();
        if (p_ >= t_.size()) return false;
        const char c = t_[p_];
        if (c == '{') {
            v->type = Json::Object;
            ++p_;
            Space();
            if (t_[p_] == '}') return ++p_, true;
            for (;;) {
                Space();
                std::string key;
                if (!String(&key)) return false;
                Space();
                if (t_[p_++] != ':') return false;
                Json item;
                if (!Value(&item)) return false;
                v->fields.emplace_back(key, item);
                Space();
                if (t_[p_] == ',') { ++p_; continue; }
                if (t_[p_] == '}') return ++p_, true;
                return false;
            }
        }
        if (c == '[') {
            v->type = Json::List;
            ++p_;
            Space();
            if (t_[p_] == ']') return ++p_, true;
            for (;;) {
                Json item;
                if (!Value(&item)) return false;
                v->items.push_back(item);
                Space();
                if (t_[p_] == ',') { ++p_; continue; }
                if (t_[p_] == ']') return ++p_, true;
                return false;
            }
        }
        if (c == '"') return v->type = Json::Text, String(&v->s);
        if (Lit("true")) return v->type = Json::Bool, v->b = true, true;
        if (Lit("false")) return v->type = Json::Bool, true;
        if (Lit("null")) return true;
        size_t used = 0;
        v->type = Json::Number;
        v->n = std::stoll(t_.substr(p_), &used);
        p_ += used;
        return used > 0;
    }
    const std::string &t_;
    size_t p_ = 0;
};

// ---- running the tool ----
struct ToolRun {
    int exit = -1;
    std::string out, err;
    Json json;
    bool parsed = false;
};

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

class ToolTest : public ::testing::Test {
protected:
    static std::string Root() {
        static const std::string root = kstest::TempDir();
        return root;
    }
    void SetUp() override {
        static int n = 0;
        bench_ = Root() + "/bench" + std::to_string(++n);
    }

    // kestrane --bench <this test's folder> [--json] ARGS
    ToolRun Tool(const std::string &args, bool json = true) {
        // A fresh file per run: under Wine a finished run's file can still be
        // held open for a moment, and cmd.exe then cannot redirect into it.
        static int runs = 0;
        const std::string errFile = Root() + "/stderr" + std::to_string(++runs) + ".txt";
        const std::string command = std::string(KS_TOOL_COMMAND) + " --bench " + bench_ + (json ? " --json " : " ") +
                                    args + " 2>" + errFile;
        ToolRun run;
        FILE *pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return run;
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
        const int status = pclose(pipe);
        // /bin/sh reports the exit code in bits 8-15; cmd.exe hands it over as is.
        run.exit = status > 255 ? (status >> 8) & 0xFF : status;
        run.err = ReadAll(errFile);
        if (json) run.parsed = JsonReader(run.out).Parse(&run.json);
        return run;
    }
    // A run that must succeed with a JSON report.
    Json Ok(const std::string &args) {
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.exit, 0) << args << "\n" << run.out << run.err;
        EXPECT_TRUE(run.parsed) << args << ": not JSON: " << run.out;
        EXPECT_TRUE(run.json["ok"].b) << args << "\n" << run.out;
        return run.json;
    }
    void Init(const std::string &options) { Ok("bench init " + options); }

    std::string bench_;
};

TEST_F(ToolTest, InitCreatesTheFolderWithCardsConfigAndInsertedCard) {
    const Json init = Ok("bench init --medium mifare --collector --cards 2");
    EXPECT_EQ(init["medium"].s, "mifare");
    EXPECT_EQ(init["inserted"].s, "card-1");
    EXPECT_EQ(init["collector_port"].n, 5);
    ASSERT_EQ(init["cards"].items.size(), 2u);
    EXPECT_EQ(init["cards"].items[1]["file"].s, "cards/card-2.mfd");
    EXPECT_EQ(ReadAll(bench_ + "/cards/card-2.mfd").size(), 1024u);
    const std::string config = ReadAll(bench_ + "/config.ini");
    EXPECT_NE(config.find("LockType=4"), std::string::npos) << config;
    EXPECT_NE(config.find("CommProt=2"), std::string::npos) << config;
    // A second init must not wipe a bench by accident.
    const ToolRun again = Tool("bench init --medium ic");
    EXPECT_EQ(again.exit, 3);
    EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;
}

// Every kind issued, then read back in a new process: the fields the reader
// returns must be the ones issued.
struct KindCase {
    const char *kind;
    const char *options;
    std::vector<const char *> readBack;  // fields `read` must return unchanged
};

const std::vector<KindCase> kKinds = {
    {"guest", "--rooms 101,102 --ext-values 7,300 --ext-bytes 1,2,3,4 --option", {"rooms", "ext_values", "ext_bytes", "option"}},
    {"time", "--time 2026-05-06T07:08:09", {"time"}},
    {"emergency", "", {}},
    {"floor", "--number 9 --floors 1,2,3 --list-c 4,5 --ext-bytes 9", {"number", "floors", "ext_bytes"}},
    {"clean-district", "--districts 6,7 --list-c 1", {"districts"}},
    {"building", "--buildings 2,4 --list-c 12,99", {"buildings"}},
    {"long-open", "--ext-bytes 0,0,0,1", {"ext_bytes"}},
    {"chief", "--option", {"option"}},
    {"install", "--number 3 --room 301 --list-a 1 --list-b 2", {"number", "room", "list_a", "list_b"}},
    {"lost", "--lost-type 16 --values 1,2,3,4", {}},
    {"data", "", {}},
    {"guest-leave", "", {}},
};

class ToolKindTest : public ToolTest {
protected:
    void IssueAndReadBack(const KindCase &k) {
        const std::string period = std::string(k.kind) == "time" ? "" : " --start 2026-03-01T14:00 --end 2026-03-03T12:00";
        const Json issued = Ok(std::string("issue ") + k.kind + period + " " + k.options);
        const Json read = Ok("read");
        EXPECT_EQ(read["kind"].s, k.kind);
        EXPECT_EQ(read["type_code"].n, issued["type_code"].n);
        EXPECT_EQ(read["serial"].s, issued["serial"].s);
        if (std::string(k.kind) != "time") {
            EXPECT_EQ(read["start"].s, "2026-03-01 14:00") << k.kind;
            EXPECT_EQ(read["end"].s, "2026-03-03 12:00") << k.kind;
        }
        for (const char *field : k.readBack) {
            ASSERT_TRUE(read.Has(field)) << k.kind << " read lacks " << field;
            EXPECT_EQ(read[field].Str(), issued[field].Str()) << k.kind << " field " << field;
        }
        Ok("clear");
        EXPECT_EQ(Ok("read")["kind"].s, "cleared") << k.kind;
    }
};

TEST_F(ToolKindTest, EveryKindRoundTripsOnMifare) {
    Init("--medium mifare");
    for (const KindCase &k : kKinds) {
        SCOPED_TRACE(k.kind);
        IssueAndReadBack(k);
    }
    Ok("issue time --time 2026-05-06T07:08:09");
    EXPECT_EQ(Ok("read")["time"].s, "2026-05-06 07:08:09");
}

TEST_F(ToolKindTest, GuestAndInstallCardsRoundTripOnIcAndTemic) {
    for (const char *medium : {"ic", "temic"}) {
        SCOPED_TRACE(medium);
        bench_ += medium;
        Init(std::string("--medium ") + medium);
        // Without an extension block these media return only what fits the record.
        IssueAndReadBack({"guest", "--rooms 101,32767", {"rooms", "option"}});
        IssueAndReadBack({"install", "--number 3 --room 301 --list-a 1 --list-b 2", {"number", "room", "list_a", "list_b"}});
    }
}

TEST_F(ToolTest, AnIssuedCardIsRefusedUntilClearedWithCodeNameAndMeaning) {
    Init("--medium ic");
    Ok("issue guest --rooms 5");
    const ToolRun refused = Tool("issue chief");
    EXPECT_EQ(refused.exit, 1);
    ASSERT_TRUE(refused.parsed) << refused.out;
    EXPECT_FALSE(refused.json["ok"].b);
    EXPECT_EQ(refused.json["function"].s, "MakeChiefCard");
    EXPECT_EQ(refused.json["code"].n, -13);
    EXPECT_EQ(refused.json["hex"].s, "0xFFF3");
    EXPECT_EQ(refused.json["name"].s, "KS_ERR_NOT_CLEARED");
    EXPECT_NE(refused.err.find("0xFFF3 (-13) KS_ERR_NOT_CLEARED: the card on the encoder is not a cleared card"),
              std::string::npos)
        << refused.err;
    // The text form says the same on stderr and nothing on stdout.
    const ToolRun text = Tool("issue chief", false);
    EXPECT_EQ(text.exit, 1);
    EXPECT_TRUE(text.out.empty()) << text.out;
    EXPECT_NE(text.err.find("MakeChiefCard failed with 0xFFF3 (-13)"), std::string::npos) << text.err;
    Ok("clear");
    Ok("issue chief");
}

TEST_F(ToolTest, NoCardInTheEncoderFailsAndSaysSo) {
    Init("--medium mifare");
    Ok("bench card remove");
    const ToolRun run = Tool("read");
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.json["function"].s, "ReadCard");
    EXPECT_EQ(run.json["code"].n, -3);
    EXPECT_NE(run.err.find("reading the card on the Mifare encoder on COM3"), std::string::npos) << run.err;
}

TEST_F(ToolTest, BadOptionsAreRefusedBeforeTheLibraryIsCalled) {
    Init("--medium ic");
    const struct {
        const char *args;
        const char *named;
    } cases[] = {
        {"issue guest --rooms 101,40000", "--rooms: 40000 is out of range"},
        {"issue guest --rooms 1,2,3,4,5", "--rooms: at most 4"},
        {"issue guest", "--rooms"},
        {"issue guest --rooms 1 --start 2026-02-30T10:00", "--start: 2026-02-30 is not a date"},
        {"issue guest --rooms 1 --start 1999-12-31T10:00", "--start: year 1999"},
        {"issue guest --rooms 1 --start 2026-03-02T10:00 --end 2026-03-01T10:00", "--end"},
        {"issue time --time 2026-01-01T10:00", "--time"},
        {"issue building --buildings 1 --list-c 100", "--list-c: 100 is out of range (0 to 99)"},
        {"issue lost --values 1,2", "--values"},
        {"issue guest --floors 1", "--floors"},
        {"des encrypt 0G", "HEX"},
        {"serial mifare --port 0", "--port"},
        {"pda time 2100-01-01T00:00:00", "TIME: the collector keeps years 2000 to 2099"},
        {"pda time --now 2026-01-01T00:00:00", "--now"},
    };
    for (const auto &c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit, 2) << c.args;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << c.args << ": " << run.err;
        EXPECT_EQ(run.json["error"].s, "usage") << c.args;
    }
    // Nothing was written: the inserted card is still the factory's cleared card.
    EXPECT_EQ(Ok("read")["kind"].s, "cleared");
}

TEST_F(ToolTest, DesMatchesTheKnownAnswersAndRoundTrips) {
    const Json known = Ok("des encrypt 0123456789ABCDEF");
    EXPECT_EQ(known["output"].s, "0FA27F578FB6BB2E");
    const std::string data = "00112233445566778899AABBCCDDEEFF";
    const Json there = Ok("des encrypt " + data);
    EXPECT_NE(there["output"].s, data);
    EXPECT_EQ(Ok("des decrypt " + there["output"].s)["output"].s, data);
    // A length that is not a multiple of 8 is enciphered but warned about.
    const ToolRun cut = Tool("des encrypt 3132333435");
    EXPECT_EQ(cut.json["output"].s, "4C24A5E314");
    EXPECT_NE(cut.err.find("not a multiple of 8"), std::string::npos) << cut.err;
}

TEST_F(ToolTest, CollectListsTheCollectorsRecordsAndPdaReachesIt) {
    Init("--medium ic --collector");
    Ok("bench collector add --kind 3 --time 2026-03-01T10:15 --card 0A0B0C0D");
    Ok("bench collector add --kind 10 --time 2026-12-31T23:59 --card 01020304");
    const Json log = Ok("collect");
    ASSERT_EQ(log["count"].n, 2);
    EXPECT_EQ(log["records"].items[0]["kind"].n, 3);
    EXPECT_EQ(log["records"].items[0]["time"].s, "2026-03-01 10:15");
    EXPECT_EQ(log["records"].items[0]["card"].s, "0A0B0C0D");
    EXPECT_EQ(log["records"].items[1]["kind"].n, 10);
    EXPECT_EQ(log["records"].items[1]["time"].s, "2026-12-31 23:59");

    Ok("pda time 2026-03-04T05:06:07");
    Ok("pda room 1 2 3");
    const Json told = Ok("bench collector show");
    EXPECT_EQ(told["clock"].s, "2026-03-04 05:06:07");
    EXPECT_EQ(told["room"].s, "01 02 03 00 00 00 00 00 00 00");

    const Json ports = Ok("ports");
    EXPECT_EQ(ports["discovered_kind"].n, 0);
    EXPECT_EQ(ports["discovered_port"].n, 5);
}

TEST_F(ToolTest, WithoutACollectorCollectReadsTheDataCardOfEachMedium) {
    // Slots the library must skip: kind 11, month 13.
    const std::string log = kstest::WriteFile(Root(), "datacard.log",
                                              "header 01 02 03\n"
                                              "record 4 2026-05-01 08:30 DEADBEEF\n"
                                              "record 11 2026-05-01 08:31 00000000\n"
                                              "record 5 2026-13-01 08:31 00000000\n"
                                              "record 6 2026-05-02 09:00 CAFEF00D\n");
    for (const char *medium : {"ic", "temic", "mifare"}) {
        SCOPED_TRACE(medium);
        bench_ += medium;
        Init(std::string("--medium ") + medium);
        Ok("bench card new --data --insert --log " + log);
        const Json got = Ok("collect");
        ASSERT_EQ(got["count"].n, 2);
        EXPECT_EQ(got["header"].n, 1);
        EXPECT_EQ(got["header_list"].Str(), "[2,3,]");
        EXPECT_EQ(got["records"].items[0]["card"].s, "DEADBEEF");
        EXPECT_EQ(got["records"].items[1]["kind"].n, 6);
        EXPECT_EQ(got["records"].items[1]["time"].s, "2026-05-02 09:00");
    }
}

TEST_F(ToolTest, PortsAndTheCollectorAreFoundThroughEitherRegistryLayout) {
    for (const char *family : {"", " --windows9x"}) {
        SCOPED_TRACE(family);
        bench_ += "x";
        Init(std::string("--medium temic --collector --port 7") + family);
        const Json ports = Ok("ports");
        // Natively the bench can stand for either family; on Windows the
        // system's own family decides.
        if (*family && ports["registry"].s.find("9x") == std::string::npos) {
            EXPECT_NE(ports["registry"].s.find("NT"), std::string::npos);
        }
        ASSERT_EQ(ports["devices"].items.size(), 2u);
        EXPECT_EQ(ports["devices"].items[1]["product"].s, "TEMIC Card Lock Device");
        EXPECT_EQ(ports["devices"].items[1]["com_port"].n, 7);
        EXPECT_EQ(ports["discovered_port"].n, 5);
        Ok("pda room 4 2");
        EXPECT_EQ(Ok("bench collector show")["room"].s, "04 02 00 00 00 00 00 00 00 00");
        EXPECT_EQ(Ok("issue guest --rooms 9")["encoder_port"].n, 7);
    }
}

TEST_F(ToolTest, PdaWithoutACollectorFailsWithTheNoDeviceCode) {
    Init("--medium ic");
    const ToolRun run = Tool("pda time --now");
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.json["code"].n, -2);
    EXPECT_EQ(run.json["name"].s, "KS_ERR_OPEN_OR_NO_DEV");
}

TEST_F(ToolTest, PasswordCardGivesTheInstallationsPass) {
    for (const char *medium : {"ic", "mifare"}) {
        SCOPED_TRACE(medium);
        bench_ += medium;
        Init(std::string("--medium ") + medium);
        Ok("bench card new --system-password --insert --name pw");
        EXPECT_EQ(Ok("password")["pass"].s, "4B7E19D2");
        // A guest card is no system password card.
        Ok("bench card insert card-2");
        EXPECT_EQ(Tool("password").exit, 1);
    }
}

TEST_F(ToolTest, CardShowDecodesTheRecordBesideTheMemory) {
    Init("--medium ic --cards 2");
    Ok("issue guest --rooms 258 --start 2026-03-01T14:00 --end 2026-03-03T12:00");
    const Json shown = Ok("bench card show");
    EXPECT_EQ(shown["name"].s, "card-1");
    EXPECT_EQ(shown["memory"].s.size(), 512u);
    EXPECT_EQ(shown["decoded"]["check_bytes"].s, "valid");
    EXPECT_EQ(shown["decoded"]["kind"].s, "guest card");
    EXPECT_EQ(shown["decoded"]["start"].s, "2026-03-01 14:00");
    EXPECT_EQ(shown["decoded"]["password"].s, "4B7E19D2");
    // Room 258 = 0x0102 in record bytes 10-11.
    EXPECT_EQ(shown["decoded"]["type_data"].s.substr(0, 5), "01 02");
    // The other card was never in the encoder: still cleared.
    EXPECT_EQ(Ok("bench card show card-2")["decoded"]["kind"].s, "cleared card");
    // Swapping cards: the second card reads as cleared, the first keeps its record.
    Ok("bench card insert card-2");
    EXPECT_EQ(Ok("read")["kind"].s, "cleared");
    Ok("bench card insert card-1");
    EXPECT_EQ(Ok("read")["rooms"].items[0].n, 258);
}

TEST_F(ToolTest, SerialsOfTheBenchsIButtonAndMifareCard) {
    Init("--medium mifare");
    const Json rom = Ok("serial ibutton --port 1");
    EXPECT_EQ(rom["rom_id"].s.size(), 16u);
    EXPECT_EQ(rom["family"].n, 1);
    const Json card = Ok("read");
    EXPECT_EQ(Ok("serial mifare --port 3")["serial"].s, card["serial"].s);
    EXPECT_EQ(Tool("serial mifare --port 4").exit, 1);  // nothing on COM4
}

TEST_F(ToolTest, CodesListsEveryResultCodeOnce) {
    const Json codes = Ok("codes");
    ASSERT_EQ(codes["codes"].items.size(), 13u);
    std::map<long long, std::string> names;
    for (const Json &c : codes["codes"].items) {
        EXPECT_TRUE(names.emplace(c["code"].n, c["name"].s).second) << c["code"].n;
        EXPECT_FALSE(c["meaning"].s.empty());
        // The hex form is the signed code's 16-bit pattern.
        EXPECT_EQ(std::stoll(c["hex"].s, nullptr, 16), c["code"].n & 0xFFFF) << c["hex"].s;
    }
    EXPECT_EQ(names[1], "KS_OK");
    EXPECT_EQ(names[-14], "KS_ERR_OTHER_HOTEL");
    EXPECT_EQ(names[-15], "KS_ERR_HOST");
}

TEST_F(ToolTest, MissingBenchFolderIsNamed) {
    const ToolRun run = Tool("read");
    EXPECT_EQ(run.exit, 3);
    EXPECT_NE(run.err.find("no bench folder at " + bench_), std::string::npos) << run.err;
}

}  // namespace
