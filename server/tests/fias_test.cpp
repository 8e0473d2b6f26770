// The FIAS record layer: framing as it arrives from TCP (split and joined
// reads, LRC bytes, refused oversized records), parsing, and the link
// authentication's cryptogram against a known answer.
#include <gtest/gtest.h>

#include "fias.h"

namespace {

using namespace server::fias;

std::vector<std::string> Feed(Framer &f, const std::string &bytes, std::vector<std::string> *refused = nullptr) {
    f.Feed(bytes.data(), bytes.size());
    std::vector<std::string> out;
    while (auto item = f.Next()) {
        if (!item->refused.empty()) {
            if (refused) refused->push_back(item->refused);
        } else {
            out.push_back(item->text);
        }
    }
    return out;
}

TEST(FiasFraming, RecordsComeWholeHoweverTheyAreRead) {
    Framer f(false);
    EXPECT_EQ(Feed(f, "\x02LA|DA260312|TI091502|\x03\x02KR|KC1|WSF"), std::vector<std::string>{"LA|DA260312|TI091502|"});
    EXPECT_EQ(Feed(f, "D1|\x03noise\x02"), std::vector<std::string>{"KR|KC1|WSFD1|"});
    // A record cut off by a new STX is dropped; the next one stands.
    std::vector<std::string> refused;
    EXPECT_EQ(Feed(f, "LS|DA26\x02LE|DA260312|TI091500|\x03", &refused), std::vector<std::string>{"LE|DA260312|TI091500|"});
    EXPECT_EQ(refused.size(), 1u);
    // Longer than any valid record: refused, and the link reads on.
    refused.clear();
    EXPECT_TRUE(Feed(f, "\x02KR|" + std::string(2100, 'A'), &refused).empty());
    EXPECT_EQ(Feed(f, std::string(50, 'B') + "|\x03\x02LA|\x03", &refused), std::vector<std::string>{"LA|"});
    EXPECT_EQ(refused.size(), 1u);
}

TEST(FiasFraming, LrcIsTheXorAfterStxThroughEtx) {
    EXPECT_EQ(Lrc("12345"), 0x32);
    EXPECT_EQ(Lrc("LA|DA260312|TI091501|"), 0x62);
    EXPECT_EQ(Lrc("KA|KC1|WSFD1|ASOK|CTKey made|$204A1B2C3D4E501|G#48213|DA260312|TI091534|"), 0x2D);
    Framer f(true);
    // The LRC byte may be any value, STX included: it is never a record start.
    Record r{"LA", {{"DA", "260312"}, {"TI", "091501"}}};
    EXPECT_EQ(Frame(r, true), std::string("\x02LA|DA260312|TI091501|\x03") + "b");
    EXPECT_EQ(Feed(f, std::string("\x02") + "12345" + "\x03" + "\x32" + Frame(r, true)),
              (std::vector<std::string>{"12345", "LA|DA260312|TI091501|"}));
}

TEST(FiasRecords, ParseKeepsFieldsAndRefusesWhatIsNoRecord) {
    std::string why;
    auto r = Parse("KR|KC1|WSFD1|KTN|RN101|SI102;103|CT|GNLindqvist, Maja|", &why);
    ASSERT_TRUE(r) << why;
    EXPECT_EQ(r->id, "KR");
    EXPECT_EQ(r->Value("SI"), "102;103");
    EXPECT_EQ(r->Value("GN"), "Lindqvist, Maja");
    ASSERT_NE(r->Get("CT"), nullptr);
    EXPECT_EQ(*r->Get("CT"), "");
    EXPECT_EQ(Format(*r), "KR|KC1|WSFD1|KTN|RN101|SI102;103|CT|GNLindqvist, Maja|");
    for (const char *bad : {"", "K", "KRKC1|", "KR|KC1", "KR|K|", "KR|KC\x01|"}) EXPECT_FALSE(Parse(bad, &why)) << bad;
}

TEST(FiasAuthentication, CryptogramMatchesTheKnownAnswer) {
    auto key = DecodeKey("FidCrypt0S|jzocXpstT2BxgpOktcbX6A==");
    ASSERT_TRUE(key);
    EXPECT_EQ(DecodeKey("jzocXpstT2BxgpOktcbX6A=="), key);
    const unsigned char iv[] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                                0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};
    EXPECT_EQ(Cryptogram(*key, "260312091500", std::string(reinterpret_cast<const char *>(iv), 16)),
              "FidCryptAB;Dx4tPEtaaXiHlqW0w9Lh8A==q9wwXtT9jYQ/bKupYfJqHg==");
    EXPECT_FALSE(DecodeKey("FidCrypt0S|c2hvcnQ="));  // not 16 bytes
    EXPECT_FALSE(DecodeKey("not base64!"));
}

}  // namespace
