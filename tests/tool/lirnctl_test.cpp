// lirnctl against the firmware on the simulated board: the console road (settings that survive a
// restart, a file applied and a refusal reported, the module's status, day files byte for byte)
// and a gateway that does not answer (the tunnel road).
#include "board.h"
#include "protocol.h"
#include "board_test_support.h"
#include "tunnel_loopback.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using lirnctl::FindSetting;

namespace {

const Millis kStartTimeout(20000);
// Status words follow the modem poll (about 1.6 s) and the dial-up cycle (1 s, longer while down).
const Millis kStatusTimeout(30000);

const char kDefaults[] =
    "@LIRNMODE;0\n@LIRNIP;127.0.0.1\n@LIRNPORT;8080\n@LIRNHB;10\n@UARTBR;115200\n@UARTPB;N\n"
    "@UARTDB;8\n@UARTSB;1\n@PINCODE;8406\n@APN;INTERNET\n@MODEMUSR;\n@MODEMPWD;\n";

struct Outcome {
    int status = -1;
    std::string out, err;
    long long ms = 0;
};

class Lirnctl : public testing::Test {
protected:
    // On the console road the start ends once the console has its port.
    void StartBoard(Scenario s = {})
    {
        if (s.init == "high") s.ready = "Open Utility Port Successfully\r\n";
        ASSERT_TRUE(board.Run(s)) << board.Output();
    }

    // Runs build/lirnctl on the board's PC port, ended after a minute at the latest (status 124 or
    // 137); its error output goes through a file of the sysroot.
    Outcome Tool(const std::vector<std::string>& args)
    {
        std::string cmd =
            "timeout -k 2 60 " + ShellWord(LIRN_BUILD_DIR "/lirnctl") + " -p " + ShellWord(board.Path("pc/ttyS0"));
        for (const std::string& a : args) cmd += " " + ShellWord(a);
        std::string errPath = board.Path("lirnctl.err");
        auto start = std::chrono::steady_clock::now();
        ShellResult r = RunShell(cmd + " 2>" + ShellWord(errPath) + " </dev/null");
        return {r.status, r.output, ReadWholeFile(errPath), MsSince(start)};
    }

    Board board;
};

TEST_F(Lirnctl, ShowSetSaveAndRestart)
{
    StartBoard();
    Outcome show = Tool({"show"});
    EXPECT_EQ(show.status, 0) << show.err;
    // The twelve, then the extension settings of this firmware, the MQTT ones among them.
    std::string twelve = show.out.substr(0, sizeof kDefaults - 1), extensions = show.out.substr(twelve.size());
    EXPECT_EQ(twelve, kDefaults);
    std::istringstream lines(extensions);
    for (std::string line; std::getline(lines, line);)
        EXPECT_NE(FindSetting(line.substr(0, line.find(';'))), nullptr) << line;
    EXPECT_NE(extensions.find("@MQTTHOST;\n@MQTTPORT;1883\n"), std::string::npos) << extensions;
    EXPECT_EQ(show.err, "");

    // Refused before a byte is sent.
    std::string carried = board.Control("serial");
    for (const char* wrong : {"lirnhb=5", "mqtttopic=a/+/b", "mqtthost=-broker.example.net"}) {
        Outcome bad = Tool({"set", "lirnport=9000", wrong});
        EXPECT_EQ(bad.status, 64) << wrong;
    }
    EXPECT_EQ(board.Control("serial"), carried);

    Outcome set = Tool({"set", "LirnPort=9000", "apn=my apn;x", "uartpb=e", "mqtthost=broker.example.net",
                        "mqtttopic=fleet/süd", "--save"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out,
              "@LIRNPORT;9000\n@APN;my apn;x\n@UARTPB;E\n@MQTTHOST;broker.example.net\n@MQTTTOPIC;fleet/süd\n"
              "saved\n");

    ASSERT_TRUE(ControlOk(board.Control("fw restart")));
    ASSERT_TRUE(board.WaitForOutput("Open Utility Port Successfully\r\n", kStartTimeout, 2)) << board.Output();
    Outcome get = Tool({"--json", "get", "lirnport", "APN", "uartpb", "lirnhb", "mqtthost", "mqtttopic"});
    EXPECT_EQ(get.status, 0) << get.out;
    nlohmann::json doc = nlohmann::json::parse(get.out);
    EXPECT_EQ(doc["settings"], nlohmann::json({{"LIRNPORT", 9000},
                                               {"APN", "my apn;x"},
                                               {"UARTPB", "E"},
                                               {"LIRNHB", 10},
                                               {"MQTTHOST", "broker.example.net"},
                                               {"MQTTTOPIC", "fleet/süd"}}));
}

TEST_F(Lirnctl, ApplyRoundTripsAndReportsARefusal)
{
    StartBoard();
    board.WriteFile("site.ini", "# site\r\n@LIRNMODE;1\r\n@LIRNIP;10.1.2.3\r\n@LIRNHB;60\r\n@MODEMPWD;p w\r\n@MQTTTOPIC;site/7\r\n");
    Outcome good = Tool({"apply", board.Path("site.ini")});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.out, "saved\nall 5 settings applied\n");
    std::string saved = board.ReadFile("APP/config.ini");
    for (const char* line : {"@LIRNMODE;1\r\n", "@LIRNIP;10.1.2.3\r\n", "@LIRNHB;60\r\n", "@MODEMPWD;p w\r\n", "@MQTTTOPIC;site/7\r\n"})
        EXPECT_NE(saved.find(line), std::string::npos) << line << " in " << saved;

    // The gateway refuses the heartbeat: its earlier value comes back and nothing is saved.
    board.WriteFile("bad.ini", "@LIRNMODE;2\n@LIRNHB;5\n");
    Outcome bad = Tool({"apply", board.Path("bad.ini")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out,
              "LIRNHB: file \"5\", gateway \"60\" (refused by the gateway)\n"
              "nothing was saved: the gateway did not take every value (the earlier ones were put back)\n");
    EXPECT_EQ(board.ReadFile("APP/config.ini"), saved);
}

TEST_F(Lirnctl, StatusShowsTheSimulatedModule)
{
    StartBoard({.settings = {"at csq 25"}});
    nlohmann::json doc;
    // The status words settle after the first modem poll and dial-up cycle.
    bool settled = WaitUntil(
        [&] {
            Outcome r = Tool({"--json", "status"});
            doc = nlohmann::json::parse(r.out, nullptr, false);
            return r.status == 0 && doc["registration"]["code"] == 1 && doc["network"]["up"] == true &&
                   doc["signal"].contains("csq");
        },
        kStatusTimeout, Millis(200));
    ASSERT_TRUE(settled) << doc.dump();
    EXPECT_EQ(doc["firmware"], "LIRN_V1.00_2020-12-18");
    EXPECT_EQ(doc["signal"], nlohmann::json({{"percent", 78}, {"csq", 25}, {"dbm", -63}}));
    std::string card = board.Control("card");  // ok mounted SIZE USED AVAIL USE%
    EXPECT_EQ(doc["card"]["present"], true);
    EXPECT_NE(card.find(doc["card"]["use"].get<std::string>()), std::string::npos) << card << doc.dump();
    Outcome text = Tool({"status"});
    EXPECT_NE(text.out.find("signal         [########--] 78% (CSQ 25, -63 dBm)\n"), std::string::npos) << text.out;
}

TEST_F(Lirnctl, DayFilesByteForByte)
{
    std::string big;
    for (unsigned i = 0; big.size() < 400000; ++i)
        big += std::to_string(i * 7919u) + std::string(i % 300, static_cast<char>('a' + i % 26)) + ";\r\n";
    board.WriteFile("media/card/USR_LOG/2026/12/06.txt", big);
    board.WriteFile("media/card/USR_LOG/2026/12/05.txt", "one line\n");
    board.WriteFile("media/card/AT_CMD_LOG/2026/12/05.txt", "AT\r\n");
    StartBoard();
    Outcome list = Tool({"logs", "list"});
    EXPECT_EQ(list.out, "2026-12-05\n2026-12-06\n") << list.err;
    for (const char* day : {"2026-12-05", "2026-12-06"}) {
        Outcome get = Tool({"logs", "get", day, "-o", board.Path(std::string("got-") + day)});
        EXPECT_EQ(get.status, 0) << get.err;
    }
    EXPECT_EQ(board.ReadFile("got-2026-12-05"), "one line\n");
    EXPECT_TRUE(board.ReadFile("got-2026-12-06") == big) << board.ReadFile("got-2026-12-06").size();

    EXPECT_EQ(Tool({"logs", "rm", "2026-12-05"}).status, 0);
    EXPECT_FALSE(board.FileExists("media/card/USR_LOG/2026/12/05.txt"));
    EXPECT_FALSE(board.FileExists("media/card/AT_CMD_LOG/2026/12/05.txt"));
    Outcome missing = Tool({"logs", "get", "2026-12-05", "-o", board.Path("none")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no day file 2026-12-05 on the card"), std::string::npos) << missing.err;
    EXPECT_FALSE(board.FileExists("none"));
    EXPECT_EQ(Tool({"logs", "rm", "2026-12-05"}).status, 1);
}

TEST_F(Lirnctl, TunnelRoadGivesNoAnswerAndNoSecret)
{
    int port = tunneltest::FreePortRun();
    int listener = tunneltest::ListenOn(port);
    ASSERT_GE(listener, 0);
    board.WriteFile("APP/config.ini", "@LIRNMODE;0\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;" + std::to_string(port) + "\r\n");
    StartBoard({.init = "low"});
    int peer = tunneltest::AcceptWithin(listener, static_cast<int>(kStatusTimeout.count()));
    ASSERT_GE(peer, 0) << board.Output();
    ASSERT_GE(board.OpenPc(), 0);
    ASSERT_EQ(board.PcSendUntilPeerReads(peer, "up", 2), "up");
    board.ClosePc();

    Outcome r = Tool({"--json", "status"});
    EXPECT_EQ(r.status, 2);
    nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_EQ(doc["error"]["request"], "@FWVER") << r.out;
    EXPECT_NE(doc["error"]["hint"].get<std::string>().find("INIT pin"), std::string::npos);
    EXPECT_LT(r.ms, 10000);

    // The port carries every byte to the peer: a password goes out only once a console answered.
    Outcome text = Tool({"set", "modempwd=secret"});
    EXPECT_EQ(text.status, 2);
    EXPECT_NE(text.err.find("no reply within 1000 ms\n  request: @MODEMPWD\n  hint:"), std::string::npos) << text.err;
    std::string carried = tunneltest::ReadFor(peer, 1000);
    EXPECT_NE(carried.find("@MODEMPWD\r\n"), std::string::npos) << carried;
    EXPECT_EQ(carried.find("secret"), std::string::npos) << carried;
    close(peer);
    close(listener);
}

}  // namespace
