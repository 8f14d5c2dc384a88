// lirnhub's framing on bytes: the RTU reply found across up chunks however the gateway cut them,
// frames of another unit and with a bad CRC discarded, malformed Modbus TCP refused; and the map.
// The Modbus road through a real gateway is in e2e/lirnhub_test.
#include "gateway_map.h"
#include "modbus_frames.h"

#include <gtest/gtest.h>

using namespace lirnhub;

namespace {

// The reply of unit `unit` to "read 2 holding registers": 0x1234, 0x0000.
std::string ReadReply(uint8_t unit)
{
    return RtuFrame(unit, std::string("\x03\x04\x12\x34\x00\x00", 6));
}

}  // namespace

TEST(LirnhubFrames, TheReplyIsFoundWhereverTheChunksCutIt)
{
    const std::string reply = ReadReply(1);
    ASSERT_EQ(RtuFrame(1, std::string("\x03\x00\x00\x00\x0A", 5)), std::string("\x01\x03\x00\x00\x00\x0A\xC5\xCD", 8));
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
        ReplyFramer f;
        f.Expect(1, 0x03);
        EXPECT_FALSE(f.Add(reply.substr(0, cut))) << cut;
        ASSERT_TRUE(f.Add(reply.substr(cut))) << cut;
        EXPECT_EQ(f.Pdu(), std::string("\x03\x04\x12\x34\x00\x00", 6));
    }
    // An exception answer is a reply too.
    ReplyFramer f;
    f.Expect(1, 0x03);
    ASSERT_TRUE(f.Add(RtuFrame(1, "\x83\x02")));
    EXPECT_EQ(f.Pdu(), "\x83\x02");
}

TEST(LirnhubFrames, AnotherUnitsFrameAndABadCrcAreDiscarded)
{
    ReplyFramer f;
    f.Expect(1, 0x03);
    std::string bad = ReadReply(1);
    bad[4] ^= 0x01;  // a bit flipped on the line
    EXPECT_FALSE(f.Add(bad));
    EXPECT_FALSE(f.Add(ReadReply(2)));
    EXPECT_EQ(f.Discarded(), 2u);
    // Noise before the reply, then the reply in the same chunk as another unit's frame.
    ASSERT_TRUE(f.Add(std::string("\xff\x00", 2) + ReadReply(2) + ReadReply(1)));
    EXPECT_EQ(f.Pdu(), std::string("\x03\x04\x12\x34\x00\x00", 6));
    EXPECT_EQ(f.Discarded(), 3u);

    // A function without a length rule ends where a chunk ends on a valid CRC.
    f.Expect(7, 0x41);
    std::string custom = RtuFrame(7, "\x41hello");
    EXPECT_FALSE(f.Add(custom.substr(0, 4)));
    ASSERT_TRUE(f.Add(custom.substr(4)));
    EXPECT_EQ(f.Pdu(), "\x41hello");
}

TEST(LirnhubFrames, ModbusTcpRequestsAreCutAndMalformedStreamsRefused)
{
    const std::string request("\x00\x07\x00\x00\x00\x06\x01\x03\x00\x00\x00\x0A", 12);
    MbapRequest r;
    EXPECT_EQ(TakeMbapRequest(request.substr(0, 11), &r), 0);
    ASSERT_EQ(TakeMbapRequest(request + "next", &r), 12);
    EXPECT_EQ(r.transaction, 7);
    EXPECT_EQ(r.unit, 1);
    EXPECT_EQ(r.pdu, std::string("\x03\x00\x00\x00\x0A", 5));
    EXPECT_EQ(TakeMbapRequest(std::string("\x00\x07\x00\x01\x00\x06", 6), &r), -1);  // protocol 1
    EXPECT_EQ(TakeMbapRequest(std::string("\x00\x07\x00\x00\x01\x00", 6), &r), -1);  // 256: no PDU is that long
    EXPECT_EQ(MbapFrame(0x0102, 9, ExceptionPdu(0x03, kTargetNoResponse)),
              std::string("\x01\x02\x00\x00\x00\x03\x09\x83\x0B", 9));
}

TEST(LirnhubMap, EntriesAreReadAndBadOnesSayWhy)
{
    GatewayMap m;
    std::string error;
    ASSERT_TRUE(ParseGatewayMap("862631039274815=0.0.0.0:5020,modbus,timeout=300,unit=7,queue=4", &m, &error));
    EXPECT_EQ(m.address, "0.0.0.0");
    EXPECT_EQ(m.port, 5020);
    EXPECT_EQ(m.face, Face::Modbus);
    EXPECT_EQ(m.timeoutMs, 300);
    EXPECT_EQ(m.unit, 7);
    EXPECT_EQ(m.queue, 4);
    ASSERT_TRUE(ParseGatewayMap("abc=7000", &m, &error));
    EXPECT_EQ(m.address, "127.0.0.1");
    EXPECT_EQ(m.face, Face::Raw);

    for (const char* bad : {"abc", "a/b=1", "a+=1", "abc=0", "abc=70000", "abc=host:1", "abc=1,raw,timeout=5",
                            "abc=1,modbus,unit=0", "abc=1,modbus,timeout=5", "abc=1,serial"})
        EXPECT_FALSE(ParseGatewayMap(bad, &m, &error)) << bad;
    EXPECT_EQ(error, "unknown setting \"serial\"");

    std::vector<GatewayMap> maps;
    ASSERT_TRUE(ParseMapFile("# fleet\n\n a=1 \nb=2,modbus\r\n", &maps, &error));
    ASSERT_EQ(maps.size(), 2u);
    EXPECT_TRUE(CheckMaps(maps, &error));
    EXPECT_FALSE(ParseMapFile("a=1\nb\n", &maps, &error));
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    maps.push_back(maps[0]);
    EXPECT_FALSE(CheckMaps(maps, &error));
}
