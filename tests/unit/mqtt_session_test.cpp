// The MQTT session's state machine against a broker and a port in memory, on a clock of the test's:
// the CONNACK's verdict, the in-flight window and its acknowledgements in any order, the resend
// after a reconnect, a PUBLISH longer than the receive area, a port that holds messages back and the
// redelivery of what it took, the keep-alive and the silence that ends a link. (The same session
// against a real mosquitto, with TLS and the serial thread, is e2e/mqtt_test.cpp and
// e2e/mqtt_slow_test.cpp.)
#include "output_capture.h"

#include "mqtt/queue.h"
#include "mqtt/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The broker: what it has sent and the session has not read yet, what the session sent.
struct FakeBroker {
    std::string toSession;
    std::string fromSession;
    bool open = false;
    bool ended = false;  // reads and writes fail: the link is gone
};
FakeBroker gBroker;
uint32_t gNow;
std::string gPort;
std::size_t gPortRoom;  // bytes the port takes until the test gives it more

MqttOpen FakeOpen()
{
    gBroker.open = true;
    gBroker.ended = false;
    return kMqttOpened;
}

int FakeRead(uint8_t* out, std::size_t cap)
{
    if (gBroker.ended) return -1;
    if (cap == 0) ADD_FAILURE() << "a read with no room (a socket would call it the end)";
    std::size_t n = std::min(cap, gBroker.toSession.size());
    std::copy_n(gBroker.toSession.begin(), n, out);
    gBroker.toSession.erase(0, n);
    return static_cast<int>(n);
}

int FakeWrite(const uint8_t* data, std::size_t n)
{
    if (!gBroker.open || gBroker.ended) return -1;
    gBroker.fromSession.append(reinterpret_cast<const char*>(data), n);
    return 0;
}

std::size_t PortWrite(const uint8_t* data, std::size_t n)
{
    n = std::min(n, gPortRoom);
    gPort.append(reinterpret_cast<const char*>(data), n);
    gPortRoom -= n;
    return n;
}

int NoFd()
{
    return -1;
}

const MqttTransport kTransport = {FakeOpen, FakeRead, FakeWrite, [] { gBroker.open = false; }, NoFd};
const MqttPort kPort = {PortWrite, NoFd};
constexpr uint32_t kKeepAliveMs = 10000;

// ---- Packets ----

std::string Bytes(const uint8_t* p, int n)
{
    return n > 0 ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
}

std::string Connack(int code)
{
    return std::string("\x20\x02\x01", 3) + static_cast<char>(code);
}

std::string Puback(uint16_t id)
{
    uint8_t b[4];
    return Bytes(b, MqttEncodePuback(b, sizeof b, id));
}

const std::string kPingresp("\xd0\x00", 2);

std::string Down(const std::string& payload, uint16_t id, bool dup)
{
    std::vector<uint8_t> b(payload.size() + 64);
    MqttPublishInfo p = {"t/id/down", payload.data(), payload.size(), 1, false, dup, id};
    return Bytes(b.data(), MqttEncodePublish(b.data(), b.size(), p));
}

// One packet the session sent.
struct Sent {
    int type;
    bool dup;
    uint16_t id;  // PUBLISH and PUBACK
    std::string topic;
    std::string payload;
};

// The packets the session sent since the last call.
std::vector<Sent> TakeSent()
{
    std::vector<Sent> all;
    const std::string& b = gBroker.fromSession;
    std::size_t at = 0;
    while (at < b.size()) {
        std::size_t remaining = 0, i = 1;
        for (int shift = 0;; shift += 7, ++i) {
            remaining |= static_cast<std::size_t>(b[at + i] & 0x7F) << shift;
            if ((b[at + i] & 0x80) == 0) break;
        }
        std::size_t total = i + 1 + remaining;
        Sent s = {static_cast<uint8_t>(b[at]) >> 4, (b[at] & 0x08) != 0, 0, "", ""};
        MqttPacket p;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(b.data()) + at;
        if ((s.type == kMqttPublish || s.type == kMqttPuback) && MqttParse(bytes, total, &p) > 0) {
            s.id = p.packetId;
            if (s.type == kMqttPublish) {
                s.topic.assign(reinterpret_cast<const char*>(p.topic), p.topicLen);
                s.payload.assign(reinterpret_cast<const char*>(bytes) + p.payloadOffset, p.payloadLen);
            }
        }
        all.push_back(s);
        at += total;
    }
    gBroker.fromSession.clear();
    return all;
}

std::vector<Sent> Of(const std::vector<Sent>& sent, int type, const std::string& topic = "")
{
    std::vector<Sent> some;
    for (const Sent& s : sent)
        if (s.type == type && (topic.empty() || s.topic == topic)) some.push_back(s);
    return some;
}

template <typename T>
std::vector<T> Each(const std::vector<Sent>& sent, T Sent::*field)
{
    std::vector<T> values;
    for (const Sent& s : sent) values.push_back(s.*field);
    return values;
}

std::string Pattern(std::size_t n)
{
    std::string p(n, '\0');
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<char>(i * 7 + i / 251);
    return p;
}

// What the port got against what it should have, told by sizes and the first difference.
::testing::AssertionResult PortGot(const std::string& want)
{
    if (gPort == want) return ::testing::AssertionSuccess();
    std::size_t same = 0;
    while (same < gPort.size() && same < want.size() && gPort[same] == want[same]) ++same;
    return ::testing::AssertionFailure() << "the port got " << gPort.size() << " bytes, " << want.size()
                                         << " wanted, the same up to byte " << same;
}

class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        gBroker = FakeBroker{};
        gPort.clear();
        gPortRoom = SIZE_MAX;
        gNow = 1000000;
        ChunkQueueInit(8192);
        char drain[kLirnChunkMax];
        while (ChunkQueueTake(drain) > 0) {
        }
        ChunkQueueTakeDropped();
        MqttSessionInit(&s_, {&kTransport, &kPort, [] { return gNow; }, kKeepAliveMs, "", ""});
        MqttSessionName(&s_, "id", "t");
    }

    // The link ends, noticed by a read or, while the port holds the session back, by the next ping;
    // what the broker sent and the session had not read is gone.
    void LoseLink()
    {
        gBroker.ended = true;
        gNow += kKeepAliveMs;
        ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Down);
        gBroker.toSession.clear();
        TakeSent();
    }

    // A build the broker accepts; the packets the session opened with, CONNECT first.
    std::vector<Sent> Connect()
    {
        gBroker.toSession += Connack(0);
        EXPECT_EQ(MqttSessionBuild(&s_), MqttStep::Up);
        EXPECT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
        return TakeSent();
    }

    // The session holds on until span ms from now have passed and gives up right then, saying why.
    void EndsAfter(uint32_t span, MqttStep how, const std::string& said)
    {
        OutputCapture out;
        gNow += span - 1;
        EXPECT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
        EXPECT_EQ(MqttSessionWaits(&s_).dueMs, 1u);
        gNow += 1;
        EXPECT_EQ(MqttSessionStep(&s_), how);
        EXPECT_EQ(Occurrences(out.Text(), said), 1) << out.Text();
        EXPECT_FALSE(gBroker.open);
    }

    // Queues the chunks and lets the session publish; the up topic's publishes it sent.
    std::vector<Sent> PublishChunks(const std::vector<std::string>& chunks)
    {
        for (const std::string& c : chunks) ChunkQueuePut(c.data(), c.size());
        EXPECT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
        return Of(TakeSent(), kMqttPublish, "t/id/up");
    }

    MqttSession s_;
};

}  // namespace

TEST_F(Session, ARefusedConnackOrNoneWithinFiveSecondsFailsTheBuild)
{
    {
        OutputCapture out;
        gBroker.toSession = Connack(5);
        EXPECT_EQ(MqttSessionBuild(&s_), MqttStep::Failed);
        EXPECT_EQ(Occurrences(out.Text(), "MQTT Connect Refused: 5\r\n"), 1) << out.Text();
    }
    std::vector<Sent> sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, kMqttConnect);
    EXPECT_FALSE(gBroker.open);

    EXPECT_EQ(MqttSessionBuild(&s_), MqttStep::Steady);  // CONNECT sent, nothing back yet
    EndsAfter(5000, MqttStep::Failed, "MQTT No Connect Acknowledgement\r\n");
}

// Acknowledgements in any order: the window frees its slots only from the oldest chunk on.
TEST_F(Session, PubacksOutOfOrderFreeTheWindowOnlyFromItsOldestChunk)
{
    Connect();
    std::vector<std::string> chunks;
    for (int i = 0; i < 10; ++i) chunks.push_back("chunk " + std::to_string(i));
    std::vector<Sent> sent = PublishChunks(chunks);
    ASSERT_EQ(Each(sent, &Sent::payload), std::vector<std::string>(chunks.begin(), chunks.begin() + kMqttWindow));

    for (int i = kMqttWindow - 1; i >= 1; --i) gBroker.toSession += Puback(sent[i].id);
    EXPECT_EQ(MqttSessionStep(&s_), MqttStep::Steady);  // reads the acknowledgements
    EXPECT_EQ(MqttSessionStep(&s_), MqttStep::Steady);  // would fill freed slots
    EXPECT_TRUE(Of(TakeSent(), kMqttPublish).empty()) << "a slot freed before the oldest chunk was acknowledged";

    gBroker.toSession += Puback(sent[0].id);
    EXPECT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_EQ(Each(Of(TakeSent(), kMqttPublish, "t/id/up"), &Sent::payload),
              std::vector<std::string>(chunks.begin() + kMqttWindow, chunks.end()));
}

TEST_F(Session, AReconnectResendsTheUnacknowledgedChunksWithDupAheadOfNewOnes)
{
    Connect();
    std::vector<Sent> first = PublishChunks({"c0", "c1", "c2", "c3"});
    ASSERT_EQ(first.size(), 4u);
    gBroker.toSession = Puback(first[1].id) + Puback(first[3].id);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    LoseLink();
    ChunkQueuePut("c4", 2);

    std::vector<Sent> up = Of(Connect(), kMqttPublish, "t/id/up");
    ASSERT_EQ(up.size(), 3u);
    EXPECT_EQ(up[0].payload, "c0");
    EXPECT_EQ(up[0].id, first[0].id);
    EXPECT_TRUE(up[0].dup);
    EXPECT_EQ(up[1].payload, "c2");
    EXPECT_EQ(up[1].id, first[2].id);
    EXPECT_TRUE(up[1].dup);
    EXPECT_EQ(up[2].payload, "c4");
    EXPECT_FALSE(up[2].dup);
    EXPECT_NE(up[2].id, first[0].id);
    EXPECT_NE(up[2].id, first[2].id);
}

TEST_F(Session, APublishLongerThanTheReceiveAreaIsStreamedAndAcknowledgedAfterItsLastByte)
{
    Connect();
    std::string payload = Pattern(20000);
    std::string packet = Down(payload, 77, false) + Down("next", 78, false);
    std::vector<uint16_t> acked;
    for (std::size_t at = 0; at < packet.size(); at += 3000) {
        gBroker.toSession += packet.substr(at, 3000);
        ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
        std::vector<Sent> acks = Of(TakeSent(), kMqttPuback);
        if (gPort.size() < payload.size()) {
            EXPECT_TRUE(acks.empty()) << "acknowledged at " << gPort.size() << " bytes";
        }
        for (const Sent& a : acks) acked.push_back(a.id);
    }
    EXPECT_TRUE(PortGot(payload + "next"));
    EXPECT_EQ(acked, (std::vector<uint16_t>{77, 78}));
}

TEST_F(Session, APingGoesOutAKeepAliveAfterTheLastSendAndOneUnansweredForOneAndAHalfEndsTheLink)
{
    Connect();
    gNow += kKeepAliveMs - 1;
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_EQ(MqttSessionWaits(&s_).dueMs, 1u);
    gNow += 1;
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    std::vector<Sent> sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, kMqttPingreq);

    gBroker.toSession = kPingresp;
    gNow += 100;
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    gNow += kKeepAliveMs - 100;
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    ASSERT_EQ(Of(TakeSent(), kMqttPingreq).size(), 1u);

    EndsAfter(kKeepAliveMs * 3 / 2, MqttStep::Down, "MQTT Link Down: Broker Silent\r\n");
}

// Publishes every two seconds into a silent broker do not put the end off: the link goes one and a
// half keep-alives after the oldest unanswered one. Bytes of a message still coming are no silence.
TEST_F(Session, TheLinkGoesOneAndAHalfKeepAlivesAfterTheOldestUnansweredPublish)
{
    Connect();
    gBroker.toSession = Puback(1) + Puback(3);  // the opening's status and state
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    const uint32_t first = gNow;
    std::string longDown = Down(Pattern(20000), 5, false);
    for (int i = 0; gNow - first < kKeepAliveMs * 3 / 2 - 2000; ++i) {
        if (i == 2) gBroker.toSession = longDown.substr(0, 3000);  // heard at +4 s
        ASSERT_EQ(PublishChunks({"chunk " + std::to_string(i)}).size(), i < kMqttWindow ? 1u : 0u) << i;
        gNow += 2000;
    }
    EndsAfter(first + 4000 + kKeepAliveMs * 3 / 2 - gNow, MqttStep::Down, "MQTT Link Down: Broker Silent\r\n");
}

// The port takes nothing for five keep-alives: the session stops reading the broker, whose answers
// wait behind the message, yet pings on time, keeps publishing and keeps the link; the message
// reaches the port whole and once, then its PUBACK goes.
TEST_F(Session, AStoppedPortHoldsTheMessageBackWhileTheSessionPingsAndPublishes)
{
    Connect();
    const std::string payload = Pattern(30000);
    gPortRoom = 0;
    gBroker.toSession = Down(payload, 41, false);
    int pings = 0;
    for (uint32_t t = 0; t < 5 * kKeepAliveMs; t += 1000) {
        gNow += 1000;
        ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady) << t;
        std::vector<Sent> sent = TakeSent();
        pings += static_cast<int>(Of(sent, kMqttPingreq).size());
        for (std::size_t i = 0; i < Of(sent, kMqttPingreq).size(); ++i) gBroker.toSession += kPingresp;
        ASSERT_TRUE(Of(sent, kMqttPuback).empty());
    }
    EXPECT_EQ(pings, 5);
    EXPECT_TRUE(gPort.empty());
    EXPECT_EQ(Each(PublishChunks({"up meanwhile"}), &Sent::payload), std::vector<std::string>{"up meanwhile"});

    std::vector<Sent> sent;
    for (int i = 0; i < 100 && gPort.size() < payload.size(); ++i) {
        gPortRoom = 1000;
        ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
        std::vector<Sent> more = TakeSent();
        sent.insert(sent.end(), more.begin(), more.end());
    }
    EXPECT_TRUE(PortGot(payload));
    EXPECT_EQ(Each(Of(sent, kMqttPuback), &Sent::id), std::vector<uint16_t>{41});
}

TEST_F(Session, ARedeliveryOfAMessageWrittenWholeIsAcknowledgedAndNotWrittenAgain)
{
    Connect();
    gBroker.toSession = Down("reading 1", 9, false);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    LoseLink();  // the PUBACK went, but with the link
    Connect();
    // An answer on the new link says nothing of what the old one carried.
    std::vector<Sent> up = PublishChunks({"answer"});
    ASSERT_EQ(up.size(), 1u);
    gBroker.toSession = Puback(up[0].id) + Down("reading 1", 9, true) + Down("reading 2", 10, false);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_TRUE(PortGot("reading 1reading 2"));
    EXPECT_EQ(Each(Of(TakeSent(), kMqttPuback), &Sent::id), (std::vector<uint16_t>{9, 10}));
}

TEST_F(Session, AMessageCutByALostLinkIsWrittenOnFromWhereItStopped)
{
    Connect();
    const std::string payload = Pattern(10000);
    gPortRoom = 3000;
    gBroker.toSession = Down(payload, 12, false);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    ASSERT_EQ(gPort.size(), 3000u);
    LoseLink();
    gPortRoom = SIZE_MAX;
    Connect();
    gBroker.toSession = Down(payload, 12, true);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_TRUE(PortGot(payload));
    EXPECT_EQ(Each(Of(TakeSent(), kMqttPuback), &Sent::id), std::vector<uint16_t>{12});
}

// Once the broker has answered a packet sent after a message's PUBACK, it has that PUBACK: a DUP
// with the same id is then another message (a broker that reuses the lowest free id), written.
TEST_F(Session, AnIdWhoseAcknowledgementTheBrokerConfirmedIsANewMessageEvenWithDup)
{
    Connect();
    gBroker.toSession = Down("poll", 1, false);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    std::vector<Sent> up = PublishChunks({"answer"});
    ASSERT_EQ(up.size(), 1u);
    gBroker.toSession = Puback(up[0].id);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    LoseLink();
    Connect();
    gBroker.toSession = Down("poll", 1, true);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_TRUE(PortGot("pollpoll"));
}
