// The MQTT mode end to end: build/lirn on the simulated board with a broker address set, against a
// mosquitto the test starts on free loopback ports; the broker's side watched with libmosquitto.
#include "board.h"
#include "control_client.h"
#include "led_history.h"
#include "mqtt_broker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const char kImei[] = "862631039274815";  // the simulated module's
const std::string kTree = std::string("lirn/") + kImei + "/";
const Millis kConnectTimeout(30000);

std::string Config(int port, const std::string& extra = "")
{
    return "@LIRNMODE;0\r\n@MQTTHOST;127.0.0.1\r\n@MQTTPORT;" + std::to_string(port) + "\r\n" + extra;
}

// The tunnel road with the data call up and a GPS fix; the PC end of the port opened.
void StartGateway(Board& board, const std::string& config, const std::vector<std::pair<std::string, std::string>>& files = {})
{
    Scenario s;
    s.init = "low";
    s.files = files;
    s.files.push_back({"APP/config.ini", config});
    s.settings = {"qmi call up", "at fix 3113.3433 N 12121.2341 E 061226 101500.0 30.0 0.0 0.0"};
    s.ready = "Create ThreadMqtt Successfully\r\n";
    ASSERT_TRUE(board.Run(s)) << board.Output();
    board.OpenPc();
}

bool Has(const std::vector<std::string>& payloads, const std::string& text)
{
    for (const std::string& p : payloads)
        if (p.find(text) != std::string::npos) return true;
    return false;
}

// The status LED's phases from now on settle on this pattern within 10 s.
bool StatusBlinks(Board& board, long long onMs, long long offMs)
{
    long long since = BoardNowMs(board);
    std::string why;
    return WaitUntil(
        [&] {
            std::vector<LedPhase> phases = LedPhases(LedHistory(board, "status", since));
            if (phases.size() < 4) return false;
            if (PhasesMatch(phases, onMs, offMs, &why)) return true;
            since = BoardNowMs(board);  // an earlier pattern in the window: look afresh
            return false;
        },
        Millis(10000));
}

// The board's port has carried `written` bytes in all from the PC end and none waits there unread.
bool SerialTaken(Board& board, long long written, int port)
{
    return WaitUntil(
        [&] {
            std::string carried = ControlField(board.Control("serial"), "to_board");
            int waiting = -1;
            return !carried.empty() && std::stoll(carried) >= written && ioctl(port, FIONREAD, &waiting) == 0 &&
                   waiting == 0;
        },
        Millis(5000), Millis(5));
}

std::string Joined(const std::vector<std::string>& parts)
{
    std::string all;
    for (const std::string& p : parts) all += p;
    return all;
}

}  // namespace

TEST(Mqtt, BinaryCrossesBothWaysStateFollowsTheModemAndTheWillSaysOffline)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttWatcher watch(broker.Port(), "watch", "lirn/#");
    Board board;
    StartGateway(board, Config(broker.Port()));
    ASSERT_TRUE(watch.WaitFor([](auto& m) { return Has(PayloadsOn(m, kTree + "status"), "online"); }, kConnectTimeout))
        << board.Output();

    std::string up("\0\x01up\r\n\xff\0\0tail\0", 14);
    ASSERT_TRUE(board.PcWrite(up));
    EXPECT_TRUE(watch.WaitFor([&](auto& m) { return Joined(PayloadsOn(m, kTree + "up")) == up; }, Millis(5000)))
        << Joined(PayloadsOn(watch.Messages(), kTree + "up"));

    std::string down("\0down\0\r\n\x80\0", 11);
    ASSERT_TRUE(watch.Publish(kTree + "down", down));
    EXPECT_EQ(board.PcRead(down.size(), Millis(5000)), down);
    // A message longer than the receive area: unit/mqtt_session_test.cpp, and e2e/mqtt_slow_test.cpp
    // through a 9600-baud port.

    EXPECT_TRUE(watch.WaitFor([](auto& m) { return Has(PayloadsOn(m, kTree + "state"), "\"lat\":31.2223"); }, Millis(10000)));
    std::vector<std::string> states = PayloadsOn(watch.Messages(), kTree + "state");
    EXPECT_TRUE(Has(states, "\"signal\":20,\"registration\":1")) << Joined(states);
    EXPECT_TRUE(Has(states, "\"lon\":121.3539")) << Joined(states);
    // A change of the signal is published without waiting for the minute.
    ASSERT_TRUE(ControlOk(board.Control("at csq 27")));
    EXPECT_TRUE(watch.WaitFor([](auto& m) { return Has(PayloadsOn(m, kTree + "state"), "\"signal\":27"); }, Millis(10000)));

    ASSERT_TRUE(ControlOk(board.Control("fw stop")));
    EXPECT_TRUE(watch.WaitFor([](auto& m) { return PayloadsOn(m, kTree + "status").back() == "offline"; }, Millis(10000)));
    ASSERT_TRUE(ControlOk(board.Control("fw start")));
    EXPECT_TRUE(watch.WaitFor([](auto& m) { return PayloadsOn(m, kTree + "status").back() == "online"; }, kConnectTimeout));
}

// Numbered chunks flow before, during and after a 20 s broker stop. The queue holds 600 bytes:
// the outage overflows it, so the oldest chunks of the outage go and their bytes are reported.
TEST(Mqtt, BrokerStoppedMidStreamLosesOnlyWhatTheQueueCannotHoldAndSaysHowMuch)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttWatcher watch(broker.Port(), "watch", kTree + "up");
    Board board;
    StartGateway(board, Config(broker.Port(), "@LIRNBUF;600\r\n"));
    ASSERT_TRUE(board.WaitForOutput("MQTT Connected", kConnectTimeout));

    std::vector<std::string> sent;  // numbered lines, each written once the previous one was read
    long long written = 0;
    int port = open(board.Path("dev/ttyHSL3").c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(port, 0);
    auto sendFor = [&](Millis span) {
        auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            char chunk[32];
            std::snprintf(chunk, sizeof chunk, "chunk %05zu\n", sent.size());
            sent.push_back(chunk);
            ASSERT_TRUE(board.PcWrite(chunk));
            written += std::strlen(chunk);
            // The next write once the firmware has read this one (mostly a chunk of its own).
            ASSERT_TRUE(SerialTaken(board, written, port));
        }
    };
    sendFor(Millis(3000));
    broker.Stop();
    sendFor(Millis(20000));
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(board.WaitForOutput("MQTT Connected", Millis(60000), 2)) << board.Output();
    sendFor(Millis(2000));

    const std::string all = Joined(sent);
    auto lastArrived = [&](const std::vector<MqttMessage>& m) {
        const std::string& tail = sent.back();
        return !m.empty() && m.back().payload.size() >= tail.size() &&
               m.back().payload.compare(m.back().payload.size() - tail.size(), tail.size(), tail) == 0;
    };
    ASSERT_TRUE(watch.WaitFor(lastArrived, Millis(20000)));
    // A chunk may come twice (QoS 1 resends it after the reconnect): each line is numbered, so a
    // message seen before is such a resend. The rest is the written stream, in order, less one run
    // of the oldest input of the outage (up to the reconnect, which may come after the restart).
    std::set<std::string> seen;
    std::string got;
    for (const std::string& p : PayloadsOn(watch.Messages(), kTree + "up"))
        if (seen.insert(p).second) got += p;
    std::size_t same = 0;
    while (same < got.size() && got[same] == all[same]) ++same;
    ASSERT_LT(got.size(), all.size()) << "the outage lost nothing: the queue did not overflow";
    std::size_t lost = all.size() - got.size();
    EXPECT_EQ(got.substr(same), all.substr(same + lost));
    EXPECT_TRUE(board.WaitForOutput("Outage Ring Dropped " + std::to_string(lost) + " Bytes", Millis(1000)))
        << board.Output();
    close(port);
}

// The CA file missing, then a wrong one, then the right one: each refusal says why, the tries are
// paced, and the gateway connects once the CA verifies the broker.
TEST(Mqtt, TlsVerifiesTheBrokerAgainstTheCaFile)
{
    MqttBroker broker(true);
    ASSERT_TRUE(broker.Start());
    ASSERT_FALSE(broker.CaPem().empty()) << "openssl could not make the test CA";
    MqttWatcher watch(broker.Port(), "watch", kTree + "status");
    Board board;
    StartGateway(board, Config(broker.TlsPort(), "@MQTTTLS;1\r\n"), {{"APP/ca.pem", broker.OtherCaPem()}});
    const std::string refused = "MQTT TLS Broker Not Verified";
    ASSERT_TRUE(board.WaitForOutput(refused, kConnectTimeout)) << board.Output();
    auto first = std::chrono::steady_clock::now();
    // The next three wait 0, 1 and 2 s before their tries (the pacing of failed builds).
    ASSERT_TRUE(board.WaitForOutput(refused, Millis(30000), 4)) << board.Output();
    EXPECT_GE(MsSince(first), 2000);
    EXPECT_EQ(board.CountOutput("MQTT Connected"), 0);
    EXPECT_EQ(board.CountOutput("MQTT Broker Connect Failed"), 0);  // the broker answered: no hang-up
    // The call is up, the broker link is not: the status LED blinks 200/200 instead of 500/500.
    EXPECT_TRUE(StatusBlinks(board, 200, 200));

    std::remove(board.Path("APP/ca.pem").c_str());
    ASSERT_TRUE(board.WaitForOutput("MQTT TLS CA File Missing: /APP/ca.pem\r\n", Millis(30000))) << board.Output();
    board.WriteFile("APP/ca.pem", broker.CaPem());
    EXPECT_TRUE(watch.WaitFor([](auto& m) { return Has(PayloadsOn(m, kTree + "status"), "online"); }, Millis(60000)))
        << board.Output();
    EXPECT_TRUE(StatusBlinks(board, 500, 500));
}
