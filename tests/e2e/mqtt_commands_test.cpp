// Console requests over the broker, end to end: build/lirn on the simulated board with @MQTTCMD;1
// over TLS against a mosquitto of the test, the back office a libmosquitto client on the broker's
// plain listener. A repeated request id, commands off or without TLS, and settings on trial
// (reverted after the window, confirmed by a link). lirnctl over the broker is tests/tool.
#include "board.h"
#include "mqtt_broker.h"
#include "mqtt/remote.h"
#include "tunnel_loopback.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

const char kImei[] = "862631039274815";  // the simulated module's
const std::string kTree = std::string("lirn/") + kImei + "/";
const Millis kConnectTimeout(30000);

std::string Config(int port, const std::string& extra = "@MQTTTLS;1\r\n@MQTTCMD;1\r\n")
{
    return "@LIRNMODE;0\r\n@MQTTHOST;127.0.0.1\r\n@MQTTPORT;" + std::to_string(port) + "\r\n" + extra;
}

class MqttCommands : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(broker.Start());
        ASSERT_FALSE(broker.CaPem().empty()) << "openssl could not make the test CA";
        watch = std::make_unique<MqttWatcher>(broker.Port(), "office", kTree + "#");
    }

    void StartGateway(const std::string& config)
    {
        Scenario s;
        s.init = "low";
        s.files = {{"APP/config.ini", config}, {"APP/ca.pem", broker.CaPem()}};
        s.settings = {"qmi call up"};
        s.ready = "Create ThreadMqtt Successfully\r\n";
        ASSERT_TRUE(board.Run(s)) << board.Output();
        board.OpenPc();
        ASSERT_TRUE(Connected(1)) << board.Output();
        // The state follows the subscriptions: from then on a request reaches the gateway.
        ASSERT_TRUE(watch->WaitFor([](auto& m) { return !PayloadsOn(m, kTree + "state").empty(); }, kConnectTimeout));
    }

    // The n-th connect of the firmware's output so far (restarts append to it).
    bool Connected(int n) { return board.WaitForOutput("MQTT Connected", kConnectTimeout, n); }

    // The replies on reply/rid so far.
    std::vector<std::string> Replies(const std::string& rid) { return PayloadsOn(watch->Messages(), kTree + "reply/" + rid); }

    // Publishes a request and returns its reply ("<none>" when none came within the timeout).
    std::string Ask(const std::string& rid, const std::string& line, Millis timeout = Millis(10000))
    {
        std::size_t before = Replies(rid).size();
        EXPECT_TRUE(watch->Publish(kTree + "cmd/" + rid, line));
        if (!WaitUntil([&] { return Replies(rid).size() > before; }, timeout)) return "<none>";
        return Replies(rid).back();
    }

    // Once bytes published on down after the requests reach the port, the gateway has read the
    // requests (the broker keeps their order); nothing may have been run or answered.
    void NothingRan(const std::vector<std::string>& rids, const std::string& marker)
    {
        ASSERT_TRUE(watch->Publish(kTree + "down", marker));
        ASSERT_EQ(board.PcRead(marker.size(), Millis(10000)), marker) << board.Output();
        for (const std::string& rid : rids) {
            EXPECT_TRUE(Replies(rid).empty()) << rid;
            EXPECT_EQ(board.CountOutput("Remote Command " + rid + ":"), 0) << rid;
        }
    }

    bool StateSays(const std::string& text)
    {
        return watch->WaitFor(
            [&](auto& m) {
                std::vector<std::string> states = PayloadsOn(m, kTree + "state");
                return !states.empty() && states.back().find(text) != std::string::npos;
            },
            kConnectTimeout);
    }

    MqttBroker broker{true};
    std::unique_ptr<MqttWatcher> watch;
    Board board;
};

}  // namespace

TEST_F(MqttCommands, RequestsAreAnsweredAsTheConsoleWouldAndARepeatedIdRunsOnce)
{
    board.WriteFile("media/card/USR_LOG/2026/12/07.txt", "a day\r\n");
    StartGateway(Config(broker.TlsPort(), "@MQTTTLS;1\r\n@MQTTCMD;1\r\n@MQTTPWD;s3cret\r\n"));
    EXPECT_TRUE(StateSays("\"commands\":true")) << board.Output();

    EXPECT_EQ(Ask("pwd", "@MQTTPWD\r\n"), "!QRV-715M;MQTTPWD;OK;******\r\n");
    EXPECT_EQ(Ask("nothing", "@NOSUCH"), "");  // the console leaves it unanswered

    // Deleted once: the repeat is answered from memory, where a second run would say ER.
    EXPECT_EQ(Ask("del", "@LOGDEL;2026;12;07"), "!QRV-715M;LOGDEL;OK\r\n");
    EXPECT_FALSE(board.FileExists("media/card/USR_LOG/2026/12/07.txt"));
    EXPECT_EQ(Ask("del", "@LOGDEL;2026;12;07"), "!QRV-715M;LOGDEL;OK\r\n");
    EXPECT_EQ(board.CountOutput("Remote Command del:"), 1) << board.Output();
    // A topic that is no request id is acknowledged and ignored.
    watch->Publish(kTree + "cmd/bad.id", "@LIRNHB;60");
    NothingRan({"bad.id"}, "after");
}

// The broker keeps the requests' subscription in the gateway's persistent session: a gateway
// whose commands are off (or lack TLS) still gets requests, and must run none.
TEST_F(MqttCommands, WithCommandsOffOrWithoutTlsARequestGetsNoReplyAndChangesNothing)
{
    StartGateway(Config(broker.TlsPort()));
    EXPECT_EQ(Ask("on", "@LIRNHB"), "!QRV-715M;LIRNHB;OK;10\r\n");

    const std::string off = Config(broker.TlsPort(), "@MQTTTLS;1\r\n");
    board.WriteFile("APP/config.ini", off);
    ASSERT_TRUE(ControlOk(board.Control("fw restart")));
    ASSERT_TRUE(Connected(2)) << board.Output();
    ASSERT_TRUE(StateSays("\"commands\":false"));
    // More than the inbox holds: ignored, they hold nothing up either.
    std::vector<std::string> rids;
    for (int i = 0; i < 2 * kRemoteInbox; ++i) {
        rids.push_back("off-" + std::to_string(i));
        watch->Publish(kTree + "cmd/" + rids.back(), i % 2 ? "@SAVE" : "@LIRNHB;60");
    }
    NothingRan(rids, "marker 1");
    EXPECT_EQ(board.ReadFile("APP/config.ini"), off);

    const std::string plain = Config(broker.Port(), "@MQTTCMD;1\r\n");
    board.WriteFile("APP/config.ini", plain);
    ASSERT_TRUE(ControlOk(board.Control("fw restart")));
    ASSERT_TRUE(Connected(3)) << board.Output();
    EXPECT_EQ(board.CountOutput("MQTT Commands Need TLS\r\n"), 1);
    watch->Publish(kTree + "cmd/plain-set", "@LIRNHB;60");
    watch->Publish(kTree + "cmd/plain-save", "@SAVE");
    NothingRan({"plain-set", "plain-save"}, "marker 2");
    EXPECT_EQ(board.ReadFile("APP/config.ini"), plain);
}

// A broker port where nothing listens, saved and rebooted over the broker: the start finds no
// broker within the window, puts the earlier file back, restarts and says so. A good change then
// stays: its start reaches the broker and ends the trial.
TEST_F(MqttCommands, APushedUnreachableBrokerIsRevertedAfterTheWindowAndAGoodChangeStays)
{
    setenv("LIRN_TRIAL_WINDOW_S", "6", 1);  // inherited by the board and the firmware
    const std::string good = Config(broker.TlsPort());
    StartGateway(good);
    int nowhere = tunneltest::FreePortRun(1);
    EXPECT_EQ(Ask("port", "@MQTTPORT;" + std::to_string(nowhere)), "!QRV-715M;MQTTPORT;OK\r\n");
    EXPECT_EQ(Ask("save", "@SAVE"), "!QRV-715M;SAVE;OK\r\n");
    EXPECT_EQ(board.ReadFile("APP/config.ini.prev"), good);
    EXPECT_EQ(board.ReadFile("APP/config.trial"), "pending\n");
    EXPECT_EQ(Ask("boot", "@REBOOT"), "!QRV-715M;REBOOT;OK\r\n");

    ASSERT_TRUE(board.WaitForOutput("Config On Trial: Broker To Be Reached Within 6 s", kConnectTimeout));
    ASSERT_TRUE(board.WaitForOutput("Config Reverted: Broker Not Reached Within 6 s", Millis(20000))) << board.Output();
    ASSERT_TRUE(Connected(2)) << board.Output();
    EXPECT_TRUE(StateSays("\"config\":\"reverted\"")) << board.Output();
    EXPECT_EQ(board.ReadFile("APP/config.ini"), good);
    EXPECT_EQ(board.ReadFile("APP/config.trial"), "reverted\n");
    EXPECT_FALSE(board.FileExists("APP/config.ini.prev"));

    EXPECT_EQ(Ask("hb", "@LIRNHB;20"), "!QRV-715M;LIRNHB;OK\r\n");
    EXPECT_EQ(Ask("save-2", "@SAVE"), "!QRV-715M;SAVE;OK\r\n");
    EXPECT_EQ(Ask("boot-2", "@REBOOT"), "!QRV-715M;REBOOT;OK\r\n");
    ASSERT_TRUE(Connected(3)) << board.Output();
    EXPECT_TRUE(board.WaitForOutput("Config Confirmed", Millis(10000))) << board.Output();
    EXPECT_TRUE(StateSays("\"config\":\"confirmed\""));
    EXPECT_NE(board.ReadFile("APP/config.ini").find("@LIRNHB;20\r\n"), std::string::npos);
    EXPECT_FALSE(board.FileExists("APP/config.trial"));
    EXPECT_FALSE(board.FileExists("APP/config.ini.prev"));
    // Each reboot's request was acknowledged before the restart: none came again.
    EXPECT_EQ(board.CountOutput("Remote Command boot:"), 1);
    EXPECT_EQ(board.CountOutput("Remote Command boot-2:"), 1);
}
