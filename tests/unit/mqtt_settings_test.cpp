// The MQTT settings through the console and the file: written only when they differ from their
// defaults (a file of defaults keeps its twelve lines), read back whole, ranges refused unstored,
// a broker host that is no address or name and a topic prefix a broker refuses likewise.
#include "config/config.h"
#include "console_sink.h"
#include "output_capture.h"
#include "temp_sysroot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(MqttSettings, ConsoleSetsSaveWritesOnlyChangedLinesAndTheReaderTakesThemBack)
{
    TempSysroot root;
    root.MakeDirs("/APP");
    InitLirnConfig();
    ReplySink sink;
    Printed([] { SaveLirnConfig(); });
    const std::string defaults = root.ReadFile("/APP/config.ini");
    EXPECT_EQ(defaults.find("MQTT"), std::string::npos);

    EXPECT_EQ(sink.Ask("@MQTTHOST;10.1.2.3"), "!QRV-715M;MQTTHOST;OK\r\n");
    EXPECT_EQ(sink.Ask("@MQTTTLS;2"), "!QRV-715M;MQTTTLS;ER\r\n");
    EXPECT_EQ(sink.Ask("@MQTTTLS;1"), "!QRV-715M;MQTTTLS;OK\r\n");
    EXPECT_EQ(sink.Ask("@MQTTPORT;65536"), "!QRV-715M;MQTTPORT;ER\r\n");
    EXPECT_EQ(sink.Ask("@MQTTPORT"), "!QRV-715M;MQTTPORT;OK;1883\r\n");
    EXPECT_EQ(sink.Ask("@MQTTTOPIC;plant 7"), "!QRV-715M;MQTTTOPIC;OK\r\n");
    Printed([&] { EXPECT_EQ(sink.Ask("@SAVE"), "!QRV-715M;SAVE;OK\r\n"); });
    EXPECT_EQ(root.ReadFile("/APP/config.ini"),
              defaults + "@MQTTTLS;1\r\n@MQTTHOST;10.1.2.3\r\n@MQTTTOPIC;plant 7\r\n");

    InitLirnConfig();
    root.WriteFile("/APP/config.ini", "@MQTTHOST;10.9.9.9\n@MQTTPWD;s3cret;x\r\n@MQTTTOPIC;a/b\r\n");
    Printed([] { ReadLirnConfig(); });
    EXPECT_STREQ(lirnSet.mqttHost, "10.9.9.9");  // a bare line feed is no part of the address
    EXPECT_STREQ(lirnSet.mqttPassword, "s3cret;x");
    EXPECT_STREQ(lirnSet.mqttTopic, "a/b");
}

namespace {

// 253 characters: four labels of 63, 63, 63 and 61.
const std::string kLongestName = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                 std::string(61, 'd');

}  // namespace

TEST(MqttSettings, HostsThatAreNoAddressOrNameAndUnusableTopicsAreRefusedUnstored)
{
    TempSysroot root;
    root.MakeDirs("/APP");
    InitLirnConfig();
    ReplySink sink;
    const std::vector<std::string> goodHosts = {"", "10.0.0.5", "broker.example.com", "localhost", "a-1.b2", kLongestName};
    const std::vector<std::string> badHosts = {"not a host!", "10.0.0.300", "1.2.3", "-a.com", "a-.com", "a..com",
                                               ".a", "a.", "a_b.com", "b\x01.com", kLongestName + "e",
                                               std::string(64, 'x') + ".com"};
    const std::vector<std::string> goodTopics = {"lirn", "plant 7/line-2", "caf\xc3\xa9", std::string(63, 't')};
    const std::vector<std::string> badTopics = {"", "$SYS", "a+b", "a/#", "a\x01b", "a\x7f", "\xc2\x85", "\xc3\x28",
                                                "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", std::string(64, 't')};
    auto check = [&](const std::string& key, const std::vector<std::string>& values, bool ok) {
        for (const std::string& v : values) {
            std::string before = sink.Ask("@" + key);
            EXPECT_EQ(sink.Ask("@" + key + ";" + v), "!QRV-715M;" + key + (ok ? ";OK\r\n" : ";ER\r\n")) << v;
            EXPECT_EQ(sink.Ask("@" + key), ok ? "!QRV-715M;" + key + ";OK;" + v + "\r\n" : before) << v;
        }
    };
    check("MQTTHOST", goodHosts, true);
    check("MQTTHOST", badHosts, false);
    check("MQTTTOPIC", goodTopics, true);
    check("MQTTTOPIC", badTopics, false);

    // In the file: the longest name read whole (past the 127-character pieces), refused values
    // keep what the field held, with their message.
    InitLirnConfig();
    root.WriteFile("/APP/config.ini", "@MQTTHOST;" + kLongestName + "\r\n@MQTTTOPIC;$SYS\r\n@MQTTHOST;" + kLongestName +
                                          "e\r\n@MQTTTOPIC;\r\n@MQTTHOST;not a host!\r\n@LIRNPORT;9\r\n");
    std::string echo = Printed([] { ReadLirnConfig(); });
    EXPECT_EQ(lirnSet.mqttHost, kLongestName);
    EXPECT_STREQ(lirnSet.mqttTopic, "lirn");
    EXPECT_EQ(lirnSet.port, 9);
    const std::string kept = "@MQTTHOST Out Of Range, Kept " + kLongestName + "\r\n";
    EXPECT_EQ(echo, "Content Of Config File:\r\n@MQTTHOST;" + kLongestName + "\r\n@MQTTTOPIC Out Of Range, Kept lirn\r\n" +
                        kept + "@MQTTTOPIC Out Of Range, Kept lirn\r\n" + kept + "@LIRNPORT;9\r\n");
}
