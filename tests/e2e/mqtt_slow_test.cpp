// The MQTT mode against a slow serial port, end to end: build/lirn on the simulated board with the
// null-modem cable paced at the port's 9600 baud, against a mosquitto the test starts. Minutes
// long, so labelled slow: the plain suite runs it, the sanitizer suites do not.
#include "board.h"
#include "control_client.h"
#include "mqtt_broker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

const std::string kTree = "lirn/862631039274815/";  // the simulated module's IMEI

}  // namespace

// 300,000 bytes take 312 s at 9600 baud, thirty keep-alives: the session keeps the broker link
// (pings while the port holds it back), the port gets the message exactly once, and only then
// does its PUBACK go. The PC end first reads nothing for 25 s.
TEST(MqttSlowPort, ALongDownMessageReachesANineThousandSixHundredBaudPortOnceOverOneLink)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttWatcher watch(broker.Port(), "watch", kTree + "status");
    Board board;
    Scenario s;
    s.init = "low";
    s.files = {{"APP/config.ini", "@LIRNMODE;0\r\n@UARTBR;9600\r\n@MQTTHOST;127.0.0.1\r\n@MQTTPORT;" +
                                      std::to_string(broker.Port()) + "\r\n"}};
    s.settings = {"qmi call up", "serial pace on"};
    s.ready = "Create ThreadMqtt Successfully\r\n";
    ASSERT_TRUE(board.Run(s)) << board.Output();
    board.OpenPc();
    ASSERT_TRUE(board.WaitForOutput("MQTT Connected", Millis(30000))) << board.Output();

    std::string payload(300000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(watch.Publish(kTree + "down", payload));
    EXPECT_FALSE(board.WaitForOutput("MQTT Link Down", Millis(25000))) << board.Output();
    long long heldBack = std::stoll(ControlField(board.Control("serial"), "to_pc"));

    std::string got = board.PcRead(payload.size(), Millis(400000));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string extra = board.PcRead(1, Millis(3000));
    std::printf("300000-byte down message: %zu bytes at the port in %.1f s (%.0f bytes/s), %lld carried while the "
                "PC read nothing, %zu more after it\n",
                got.size(), seconds, static_cast<double>(got.size()) / seconds, heldBack, extra.size());
    EXPECT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload) << "the bytes differ";
    EXPECT_TRUE(extra.empty()) << "the port got more than the message";
    EXPECT_EQ(board.CountOutput("MQTT Link Down"), 0) << board.Output();
    EXPECT_EQ(board.CountOutput("MQTT Connected"), 1) << board.Output();
    EXPECT_EQ(PayloadsOn(watch.Messages(), kTree + "status"), std::vector<std::string>{"online"});
    EXPECT_GT(seconds, 300.0) << "the cable was not paced at 9600 baud";
}
