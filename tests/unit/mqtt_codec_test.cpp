// The MQTT codec on broker frames that are broken or cut short: they must be refused or waited
// for, never read past. (Whole, well-formed exchanges are covered end to end against mosquitto.)
// The state document with every field at its longest.
#include "mqtt/mqtt.h"

#include "board/module.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

int Parse(const std::string& bytes, MqttPacket* p)
{
    return MqttParse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), p);
}

}  // namespace

TEST(MqttCodec, RemainingLengthOfFiveBytesIsMalformed)
{
    MqttPacket p;
    EXPECT_EQ(Parse(std::string("\x30\xff\xff\xff\xff\x01", 6), &p), kMqttMalformed);
    // Four bytes are the most, and legal: the packet is then only incomplete.
    EXPECT_EQ(Parse(std::string("\x30\xff\xff\xff\x7f", 5), &p), kMqttIncomplete);
}

TEST(MqttCodec, EveryCutOfAPacketIsIncompleteAndTheWholeParses)
{
    const std::string publish("\x32\x0c\x00\x06lirn/d\x12\x34\x00\xff", 14);
    MqttPacket p;
    for (std::size_t n = 0; n < publish.size(); ++n) EXPECT_EQ(Parse(publish.substr(0, n), &p), kMqttIncomplete) << n;
    const std::string withNext = publish + "\xd0";  // the packet ends where it says, not at the end of the bytes
    ASSERT_EQ(Parse(withNext, &p), 14);
    EXPECT_EQ(p.packetId, 0x1234);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.topic), p.topicLen), "lirn/d");
    EXPECT_EQ(publish.substr(p.payloadOffset, p.payloadLen), std::string("\x00\xff", 2));
}

TEST(MqttCodec, LengthsThatRunPastThePacketAreMalformed)
{
    MqttPacket p;
    EXPECT_EQ(Parse(std::string("\x30\x04\x00\x09lirn", 6), &p), kMqttMalformed);  // topic past the end
    EXPECT_EQ(Parse(std::string("\x32\x05\x00\x02" "ab\x00", 7), &p), kMqttMalformed);  // packet id cut
    EXPECT_EQ(Parse(std::string("\x32\x06\x00\x02" "ab\x00\x00", 8), &p), kMqttMalformed);  // packet id 0
    EXPECT_EQ(Parse(std::string("\x34\x06\x00\x02" "ab\x00\x01", 8), &p), kMqttMalformed);  // QoS 2
    EXPECT_EQ(Parse(std::string("\x40\x03\x00\x01\x00", 5), &p), kMqttMalformed);  // PUBACK of 3 bytes
    EXPECT_EQ(Parse(std::string("\x10\x00", 2), &p), kMqttMalformed);  // a CONNECT from the broker
}

// Every number at its widest, a GPS fix far out of range, the configuration's word and an update
// result from the record at its longest, made of characters a JSON string cannot carry bare: the
// document still fits its bound, the result's text kept to its length as one JSON string.
TEST(MqttState, EveryFieldAtItsLongestFitsTheBound)
{
    MqttState s = {INT_MIN, INT_MIN, INT_MIN, true, -3.4e38f, -3.4e38f, ULLONG_MAX, ULLONG_MAX, ULLONG_MAX, ULLONG_MAX,
                   true, "confirmed", true, UINT_MAX, "receiving", UINT_MAX, ""};
    std::string result(sizeof s.updateResult - 1, '"');
    result[0] = '\\';
    result[1] = '\n';
    std::snprintf(s.updateResult, sizeof s.updateResult, "%s", result.c_str());
    char out[kMqttStateMax];
    int n = MqttFormatState(out, sizeof out, s, kFirmwareVersion);
    ASSERT_GT(n, 0);
    const std::string doc(out, static_cast<std::size_t>(n));
    EXPECT_NE(doc.find(",\"build\":4294967295,"), std::string::npos) << doc;
    EXPECT_NE(doc.find("\"result\":\"" + std::string(sizeof s.updateResult - 1, '?') + "\"},\"uptime\""), std::string::npos)
        << doc;
    EXPECT_EQ(doc.back(), '}');
}
