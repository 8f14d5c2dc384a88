// lirnctl's rules on plain text: replies that are malformed, cut short, foreign or answer another
// request; the checks a value passes before it is sent; listings, configuration files, signal.
// Good replies (neighbour keywords, the card space's own line feed) are read from the firmware in
// lirnctl_test (show, get, status).
#include "link.h"
#include "protocol.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace lirnctl;

namespace {

const Setting& Key(const char* name)
{
    const Setting* s = FindSetting(name);
    EXPECT_NE(s, nullptr) << name;
    return *s;
}

Reply Parse(const Expect& e, const std::string& text)
{
    return ParseReply(e, text);
}

}  // namespace

TEST(LirnctlReply, BadRepliesAreNamed)
{
    const Expect port = ExpectQuery(Key("LIRNPORT"));
    struct Case {
        std::string text, problem;
    } cases[] = {
        {"", "no reply"},
        {"!QRV-715M;LIRNPORT;OK;90", "cut short: no line end"},
        {"!QRV-715M;LIRNPORT;OK;9000\n", "cut short: no line end"},
        {"!QRV-900X;LIRNPORT;OK;9000\r\n", "a reply of another device model"},
        {"OK\r\n", "not a console reply"},
        {"\x01\xff!QRV-715M;LIRNPORT;OK;9000\r\n", "not a console reply"},
        {"!QRV-715M;LIRNPORT\r\n", "no OK or ER after the keyword"},
        {"!QRV-715M;LIRNHB;OK;10\r\n", "answers LIRNHB, not LIRNPORT (a reply to another request?)"},
        {"!QRV-715M;LIRNPORT;OK\r\n", "no value after OK"},
        {"!QRV-715M;LIRNPORT;NO;9000\r\n", "neither OK nor ER"},
        {"!QRV-715M;LIRNPORT;OK;9x00\r\n", "the value is not a number"},
        {"!QRV-715M;LIRNPORT;OK; 9000\r\n", "the value is not a number"},
        {"!QRV-715M;LIRNPORT;OK;99999999999\r\n", "the value is not a number"},
    };
    for (const Case& c : cases) {
        Reply r = Parse(port, c.text);
        EXPECT_EQ(r.outcome, Outcome::Bad) << Printable(c.text);
        EXPECT_EQ(r.problem, c.problem) << Printable(c.text);
    }
    EXPECT_EQ(Parse(ExpectSet(Key("LIRNPORT")), "!QRV-715M;LIRNPORT;OK;9000\r\n").problem, "neither OK nor ER");
    EXPECT_EQ(Parse(ExpectValue("LOGSD", false), "!QRV-715M;LOGSD;OK;1G;2G;5%\r\n").problem,
              "the value lacks its line feed");
}

TEST(LirnctlValues, CheckedBeforeSending)
{
    EXPECT_EQ(CheckValue(Key("lirnport"), "09000", Check::InRange).value, "9000");
    EXPECT_EQ(CheckValue(Key("uartpb"), "e", Check::InRange).value, "E");
    EXPECT_EQ(CheckValue(Key("apn"), "a b;c", Check::InRange).value, "a b;c");
    for (auto [key, value] : {std::pair{"LIRNPORT", "65536"},
                              {"LIRNPORT", "90 00"},
                              {"LIRNHB", "9"},
                              {"UARTBR", "1200"},
                              {"UARTPB", "x"},
                              {"LIRNMODE", ""},
                              {"APN", "a\r\nb"},
                              {"PINCODE", "12345"},
                              {"PINCODE", ""},
                              {"LIRNIP", "1234567890123456"}})
        EXPECT_FALSE(CheckValue(Key(key), value, Check::InRange).ok) << key << "=" << value;
    // A file's values go to the gateway's judgement, but only what the console reads whole.
    EXPECT_TRUE(CheckValue(Key("LIRNHB"), "5", Check::Carriable).ok);
    EXPECT_TRUE(CheckValue(Key("UARTPB"), "e", Check::Carriable).ok);
    EXPECT_FALSE(CheckValue(Key("LIRNHB"), "36000", Check::Carriable).ok);
    EXPECT_EQ(CheckValue(Key("MODEMUSR"), std::string(32, 'u'), Check::Carriable).reason,
              "longer than the gateway's 31 characters (it would be cut)");
    EXPECT_TRUE(SameValue(Key("LIRNPORT"), "09000", "9000"));
    EXPECT_FALSE(SameValue(Key("APN"), "a ", "a"));
}

TEST(LirnctlValues, BrokerAddressAndTopicPrefix)
{
    std::string label63(63, 'a'), name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    for (const std::string& host : std::vector<std::string>{"", "10.0.0.5", "broker.example.net", "a-1.b2", "localhost", name253})
        EXPECT_TRUE(CheckValue(Key("MQTTHOST"), host, Check::InRange).ok) << host;
    for (const std::string& host : std::vector<std::string>{"10.0.0.256", "10.0.0", "1.2.3.4.", "-a.example", "a-.example", "a..b",
                                    "a_b.example", "broker example", "a.123", label63 + "a.example", name253 + "b"})
        EXPECT_FALSE(CheckValue(Key("MQTTHOST"), host, Check::InRange).ok) << host;
    for (const char* topic : {"lirn", "fleet/s\xc3\xbc" "d", "a/b/"})
        EXPECT_TRUE(CheckValue(Key("MQTTTOPIC"), topic, Check::InRange).ok) << topic;
    for (const char* topic : {"", "$SYS", "a/+", "a/#", "a\tb", "a\x7f", "a\xc2\x85", "a\xc3", "a\xc0\xaf", "a\xed\xa0\x80"})
        EXPECT_FALSE(CheckValue(Key("MQTTTOPIC"), topic, Check::InRange).ok) << Printable(topic);
    // The longest value of every setting fits the longest request a link carries.
    for (const Setting& s : Settings())
        EXPECT_LE(std::string("@").size() + std::strlen(s.key) + 1 + s.width, kRequestMaxBytes) << s.key;
}

TEST(LirnctlListing, DaysStrayNamesAndCutLines)
{
    Listing l = ParseListing("2026;12;06\r\n2026;12;notes\r\n");
    ASSERT_EQ(l.days.size(), 2u);
    EXPECT_TRUE(l.days[0].isDay);
    EXPECT_EQ(l.days[0].text, "2026-12-06");
    EXPECT_FALSE(l.days[1].isDay);
    EXPECT_EQ(l.days[1].text, "2026;12;notes");
    EXPECT_EQ(ParseListing("2026;12;06\r\n2026;1").problem, "listing cut short: \"2026;1\"");
    EXPECT_EQ(ParseListing("!QRV-715M;LOGST;OK;1\r\n").problem, "not a listing line: \"!QRV-715M;LOGST;OK;1\"");
    Day d;
    EXPECT_FALSE(ParseDay("2026-13-01", &d));
    EXPECT_FALSE(ParseDay("2026-1-01", &d));
    ASSERT_TRUE(ParseDay("2026-02-09", &d));
    EXPECT_EQ(DayRequest("LOGDEL", d), "@LOGDEL;2026;02;09");
}

TEST(LirnctlConfigFile, LinesCheckedInOrder)
{
    ConfigFile f =
        ParseConfigFile("# site 4\r\n@LIRNPORT;9000\r\n\n@apn;a b\n@LIRNHB;36000\r\nLIRNHB;20\n@LIRNPORT;1\n");
    ASSERT_EQ(f.entries.size(), 2u);
    EXPECT_EQ(f.entries[1].value, "a b");
    EXPECT_EQ(f.entries[1].line, 4);
    ASSERT_EQ(f.problems.size(), 3u);
    EXPECT_EQ(f.problems[0], "line 5: LIRNHB: the console reads only 4 character(s) of this setting");
    EXPECT_EQ(f.problems[1], "line 6: not a known @KEY;value line: \"LIRNHB;20\"");
    EXPECT_EQ(f.problems[2], "line 7: LIRNPORT is given twice");
}

TEST(LirnctlSignal, PercentBackToCsqAndDbm)
{
    Signal s = SignalFromPercent(62);
    EXPECT_TRUE(s.measured);
    EXPECT_EQ(s.csq, 20);
    EXPECT_EQ(s.dbm, -73);
    EXPECT_EQ(SignalFromPercent(96).csq, 31);
    EXPECT_EQ(SignalBar(SignalFromPercent(96)), "[##########]");
    EXPECT_FALSE(SignalFromPercent(309).measured);
    EXPECT_TRUE(SignalFromPercent(309).valid);
    EXPECT_FALSE(SignalFromPercent(61).valid);  // no CSQ gives 61
}

// A reply over the broker in parts: early parts wait for the ones before them, duplicates land on
// their own number, the end may come first; another request's messages are not this reply's.
TEST(LirnctlBrokerReply, PartsInOrderWhateverOrderTheyCome)
{
    ReplyParts r("rid-7");
    EXPECT_FALSE(r.Take("rid-70/1", "other"));
    EXPECT_FALSE(r.Started());
    EXPECT_TRUE(r.Take("rid-7/end", "3"));
    EXPECT_TRUE(r.Take("rid-7/2", "bb"));
    EXPECT_EQ(r.TakeReady(), "");
    EXPECT_TRUE(r.Take("rid-7/1", "a"));
    EXPECT_TRUE(r.Take("rid-7/1", "a"));  // a QoS 1 duplicate
    EXPECT_EQ(r.TakeReady(), "abb");
    EXPECT_FALSE(r.Complete());
    EXPECT_EQ(r.Progress(), "part 2 of 3");
    r.Take("rid-7/3", "c");
    EXPECT_TRUE(r.Complete());
    EXPECT_EQ(r.TakeReady(), "c");
    EXPECT_EQ(r.Problem(), "");

    ReplyParts whole("x");
    whole.Take("x", "!QRV-715M;CSQ;OK;50\r\n");
    whole.Take("x", "!QRV-715M;CSQ;OK;50\r\n");
    EXPECT_TRUE(whole.Complete());
    EXPECT_EQ(whole.TakeReady(), "!QRV-715M;CSQ;OK;50\r\n");

    ReplyParts bad("x");
    bad.Take("x/two", "b");
    EXPECT_NE(bad.Problem(), "");
    ReplyParts beyond("x");
    beyond.Take("x/end", "1");
    beyond.Take("x/5", "e");
    EXPECT_NE(beyond.Problem(), "");
}
