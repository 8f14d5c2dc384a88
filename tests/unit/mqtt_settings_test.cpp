// The MQTT settings through the console and the file: written only when they differ from their
// defaults (a file of defaults keeps its twelve lines), read back whole, ranges refused unstored.
#include "config/config.h"
#include "console_sink.h"
#include "output_capture.h"
#include "temp_sysroot.h"

#include <gtest/gtest.h>

#include <string>

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
