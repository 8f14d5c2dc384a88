// The MQTT codec on broker frames that are broken or cut short: they must be refused or waited
// for, never read past. (Whole, well-formed exchanges are covered end to end against mosquitto.)
#include "mqtt/mqtt.h"

#include <gtest/gtest.h>

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
