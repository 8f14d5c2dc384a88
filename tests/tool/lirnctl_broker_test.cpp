// lirnctl over the broker against the firmware on the simulated board, a mosquitto of the test in
// between: the same commands answer as over the serial port (secrets masked) while the gateway's
// serial bytes keep crossing both ways, and the fleet of five gateways, one of them killed.
#include "board.h"
#include "board_test_support.h"
#include "mqtt_broker.h"

#include "../../bench/fleet_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <sstream>
#include <thread>

namespace {

const char kImei[] = "862631039274815";  // the simulated module's
const std::string kTree = std::string("lirn/") + kImei + "/";

struct Outcome {
    int status = -1;
    std::string out, err;
};

// build/lirnctl with these arguments, ended after a minute at the latest; its error output
// through a file in dir.
Outcome Tool(const std::string& dir, const std::vector<std::string>& args)
{
    std::string cmd = "timeout -k 2 60 " + ShellWord(LIRN_BUILD_DIR "/lirnctl");
    for (const std::string& a : args) cmd += " " + ShellWord(a);
    std::string errPath = dir + "/lirnctl.err";
    ShellResult r = RunShell(cmd + " 2>" + ShellWord(errPath) + " </dev/null");
    return {r.status, r.output, ReadWholeFile(errPath)};
}

// Numbered lines up the serial port and down from the broker, one after the other, until stopped:
// every line must arrive unchanged and in order.
class Traffic {
public:
    Traffic(Board& board, MqttWatcher& watch) : board_(board), watch_(watch), thread_([this] { Run(); }) {}
    ~Traffic() { Stop(); }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int lines = 0;
    std::string up, down, gotDown;

private:
    void Run()
    {
        while (!stop_ && lines < 10000) {
            std::string u = "up " + std::to_string(lines) + "\n", d = "down " + std::to_string(lines) + "\n";
            ++lines;
            up += u;
            down += d;
            if (!board_.PcWrite(u) || !watch_.Publish(kTree + "down", d)) break;
            gotDown += board_.PcRead(d.size(), Millis(5000));
        }
    }
    Board& board_;
    MqttWatcher& watch_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string Joined(const std::vector<std::string>& parts)
{
    std::string all;
    for (const std::string& p : parts) all += p;
    return all;
}

// Lines whose value is the secret (a bare value, or after the key's ";") with the secret masked.
std::string Masked(const std::string& text, const std::string& secret)
{
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::size_t at = line.size() >= secret.size() ? line.size() - secret.size() : std::string::npos;
        if (at != std::string::npos && line.compare(at, secret.size(), secret) == 0 && (at == 0 || line[at - 1] == ';'))
            line.replace(at, secret.size(), secret.size(), '*');
        out += line + "\n";
    }
    return out;
}

}  // namespace

// The back office and the gateway as README's worked example has them: a user each, the
// gateway limited to its own tree, the back office to requests, replies and the fleet's state.
const char kAcl[] =
    "pattern write lirn/%u/up\npattern write lirn/%u/status\npattern write lirn/%u/state\n"
    "pattern read lirn/%u/down\npattern read lirn/%u/cmd/#\npattern write lirn/%u/reply/#\n"
    "user backoffice\ntopic write lirn/+/cmd/#\ntopic read lirn/+/reply/#\ntopic read lirn/+/status\n"
    "topic read lirn/+/state\ntopic readwrite lirn/+/up\ntopic readwrite lirn/+/down\n";

TEST(LirnctlBroker, TheSameCommandsAnswerAsOnTheSerialPortWhileSerialBytesCross)
{
    MqttBroker broker(MqttBrokerSetup{.tls = true, .users = {"backoffice:bo-pass", std::string(kImei) + ":gw-pass"}, .acl = kAcl});
    ASSERT_TRUE(broker.Start());
    Board board;
    std::string day;
    for (int i = 0; day.size() < 20000; ++i) day += "line " + std::to_string(i) + " of the day\r\n";
    board.WriteFile("media/card/USR_LOG/2026/12/07.txt", day);
    board.WriteFile("media/card/USR_LOG/2026/12/08.txt", "");
    board.WriteFile("office/ca.pem", broker.CaPem());
    Scenario s;
    s.init = "low";
    s.files = {{"APP/config.ini", "@LIRNMODE;0\r\n@MODEMPWD;m0dem\r\n@MQTTHOST;127.0.0.1\r\n@MQTTPORT;" +
                                      std::to_string(broker.TlsPort()) + "\r\n@MQTTTLS;1\r\n@MQTTCMD;1\r\n@MQTTUSR;" +
                                      kImei + "\r\n@MQTTPWD;gw-pass\r\n"},
               {"APP/ca.pem", broker.CaPem()}};
    s.settings = {"qmi call up"};
    s.ready = "Create ThreadMqtt Successfully\r\n";
    ASSERT_TRUE(board.Run(s)) << board.Output();
    board.OpenPc();
    ASSERT_TRUE(board.WaitForOutput("MQTT Connected", Millis(30000))) << board.Output();
    MqttWatcher watch(broker.Port(), "office", kTree + "up");
    ASSERT_TRUE(WaitUntil([&] { return watch.Publish(kTree + "down", "hello\n"); }, Millis(5000)));
    ASSERT_EQ(board.PcRead(6, Millis(10000)), "hello\n");

    const std::string dir = board.Root() + "/office";
    const std::vector<std::string> remote = {"--broker", "127.0.0.1:" + std::to_string(broker.TlsPort()), "--tls",
                                             "--cafile", dir + "/ca.pem", "--user", "backoffice", "--id", kImei};
    setenv("LIRNCTL_MQTT_PASSWORD", "bo-pass", 1);
    auto overBroker = [&](std::vector<std::string> args) {
        args.insert(args.begin(), remote.begin(), remote.end());
        return Tool(dir, args);
    };
    Traffic traffic(board, watch);
    Outcome set = overBroker({"set", "lirnhb=20", "apn=m2m.example", "modempwd=n3w", "--save"});
    EXPECT_EQ(set.status, 0) << set.err;
    std::vector<std::vector<std::string>> commands = {
        {"show"}, {"get", "lirnhb", "apn", "modempwd", "pincode"}, {"status"}, {"logs", "list"}};
    std::vector<Outcome> byBroker;
    for (const auto& c : commands) byBroker.push_back(overBroker(c));
    Outcome fetched = overBroker({"logs", "get", "2026-12-07", "-o", dir + "/broker.txt"});
    EXPECT_EQ(fetched.status, 0) << fetched.err;
    EXPECT_EQ(overBroker({"logs", "get", "2026-12-08", "-o", dir + "/empty.txt"}).status, 0);
    traffic.Stop();
    ASSERT_GT(traffic.lines, 10);
    EXPECT_TRUE(watch.WaitFor([&](auto& m) { return Joined(PayloadsOn(m, kTree + "up")) == traffic.up; }, Millis(10000)));
    EXPECT_EQ(traffic.gotDown, traffic.down);

    // The same over the serial port, on the console road.
    ASSERT_TRUE(ControlOk(board.Control("init high")));
    ASSERT_TRUE(ControlOk(board.Control("fw restart")));
    ASSERT_TRUE(board.WaitForOutput("Open Utility Port Successfully\r\n", Millis(20000))) << board.Output();
    board.ClosePc();
    const std::vector<std::string> serial = {"-p", board.Path("pc/ttyS0")};
    for (std::size_t i = 0; i < commands.size(); ++i) {
        std::vector<std::string> args = serial;
        args.insert(args.end(), commands[i].begin(), commands[i].end());
        EXPECT_EQ(byBroker[i].status, 0) << byBroker[i].err;
        // The card's figures may move between the two runs; the status words settle after the
        // restart's first modem poll and dial-up cycle.
        auto shown = [&](std::string text) { return commands[i][0] == "status" ? text.substr(0, text.find("sd card")) : text; };
        std::string want;
        WaitUntil([&] { return shown(byBroker[i].out) == (want = shown(Masked(Masked(Masked(Tool(dir, args).out, "n3w"), "8406"), "gw-pass"))); },
                  Millis(30000), Millis(500));
        EXPECT_EQ(shown(byBroker[i].out), want) << commands[i][0];
    }
    EXPECT_TRUE(ReadWholeFile(dir + "/broker.txt") == day);
    EXPECT_TRUE(PathExists(dir + "/empty.txt"));
}

TEST(LirnctlBroker, TheFleetShowsEveryGatewayAndOneKilledGoesOffline)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    std::vector<std::unique_ptr<Board>> boards;
    for (int n = 0; n < 5; ++n) {
        boards.push_back(std::make_unique<Board>());
        ASSERT_TRUE(StartMqttGateway(*boards.back(), n, broker.Port(), 20, "fleet")) << boards.back()->Output();
    }
    const std::string dir = boards[0]->Root();
    auto fleet = [&] {
        Outcome r = Tool(dir, {"--broker", "127.0.0.1:" + std::to_string(broker.Port()), "--prefix", "fleet", "--json", "fleet"});
        return nlohmann::json::parse(r.out, nullptr, false);
    };
    auto online = [](const nlohmann::json& doc) {
        std::vector<std::string> ids;
        for (const auto& g : doc["gateways"])
            if (g["online"] == true && g["state"].is_object()) ids.push_back(g["id"]);
        return ids;
    };
    nlohmann::json doc;
    ASSERT_TRUE(WaitUntil([&] { return online(doc = fleet()).size() == 5; }, Millis(30000))) << doc.dump();
    EXPECT_EQ(doc["gateways"][2]["id"], FleetImei(2));
    EXPECT_EQ(doc["gateways"][2]["state"]["firmware"], "LIRN_V1.00_2020-12-18");

    ASSERT_TRUE(ControlOk(boards[2]->Control("fw stop")));
    // The broker publishes the will once the link is gone: at the latest 1.5 keep-alives (15 s).
    ASSERT_TRUE(WaitUntil([&] { return online(doc = fleet()).size() == 4; }, Millis(20000))) << doc.dump();
    EXPECT_EQ(doc["gateways"].size(), 5u);
    EXPECT_EQ(doc["gateways"][2]["status"], "offline");
    Outcome text = Tool(dir, {"--broker", "127.0.0.1:" + std::to_string(broker.Port()), "--prefix", "fleet", "fleet"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find(FleetImei(2) + "  offline"), std::string::npos) << text.out;
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 6) << text.out;
}
