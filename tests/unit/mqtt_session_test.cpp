// The MQTT session's state machine against a broker and a port in memory, on a clock of the test's:
// the CONNACK's verdict, the in-flight window and its acknowledgements in any order, the resend
// after a reconnect, a PUBLISH longer than the receive area, a port that holds messages back and the
// redelivery of what it took, the keep-alive and the silence that ends a link. (The same session
// against a real mosquitto, with TLS and the serial thread, is e2e/mqtt_test.cpp and
// e2e/mqtt_slow_test.cpp.)
#include "output_capture.h"
#include "temp_sysroot.h"
#include "wait_until.h"

#include "mqtt/queue.h"
#include "mqtt/session.h"
#include "cellular/datacall.h"
#include "console/console.h"
#include "tunnel/tunnel.h"
#include "update/trial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
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
int gReached;           // times the session said the broker was reached

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

std::string PublishOn(const std::string& topic, const std::string& payload, uint16_t id, bool dup)
{
    std::vector<uint8_t> b(payload.size() + topic.size() + 16);
    MqttPublishInfo p = {topic.c_str(), payload.data(), payload.size(), 1, false, dup, id};
    return Bytes(b.data(), MqttEncodePublish(b.data(), b.size(), p));
}

std::string Down(const std::string& payload, uint16_t id, bool dup)
{
    return PublishOn("t/id/down", payload, id, dup);
}

// A console request on the command topic.
std::string Cmd(const std::string& rid, const std::string& line, uint16_t id, bool dup = false)
{
    return PublishOn("t/id/cmd/" + rid, line, id, dup);
}

std::string Suback(uint16_t id, int granted)
{
    return std::string("\x90\x03", 2) + static_cast<char>(id >> 8) + static_cast<char>(id & 0xFF) + static_cast<char>(granted);
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
        if (s.type == kMqttSubscribe) {  // packet id, then the first filter
            s.id = static_cast<uint16_t>(bytes[i + 1] << 8 | bytes[i + 2]);
            s.topic.assign(reinterpret_cast<const char*>(bytes) + i + 5, static_cast<std::size_t>(bytes[i + 3] << 8 | bytes[i + 4]));
        }
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
        Init(false);
    }

    void Init(bool commands)
    {
        gReached = 0;
        RemoteInit();
        MqttSessionInit(&s_, {&kTransport, &kPort, [] { return gNow; }, kKeepAliveMs, "", "", commands, [] { gReached++; }});
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

// ---- Console requests over the broker (the runner's side played by the test) ----

namespace {

class Commands : public Session {
protected:
    void SetUp() override
    {
        Session::SetUp();
        Init(true);
        std::vector<Sent> opening = Connect();
        for (const Sent& sub : Of(opening, kMqttSubscribe)) gBroker.toSession += Suback(sub.id, 1);
        EXPECT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
        TakeSent();
    }

    // Runs the next request the way the runner does: its reply is exactly `reply`.
    std::string RunNext(const std::string& reply)
    {
        RemoteRequest r;
        if (!RemoteTake(&r, 0)) return "<none>";
        RemoteReplyWrite(reply.data(), reply.size());
        RemoteReplyEnd();
        return std::string(r.line, r.len);
    }
};

}  // namespace

// (Reached once the subscription is granted: the confirmation in e2e/mqtt_commands_test.cpp.)
TEST_F(Session, WithCommandsARefusedRequestsSubscriptionIsNoBrokerReached)
{
    Init(true);
    std::vector<Sent> opening = Connect();
    std::vector<Sent> subs = Of(opening, kMqttSubscribe);
    ASSERT_EQ(Each(subs, &Sent::topic),
              (std::vector<std::string>{"t/id/down", "t/id/cmd/+", "t/id/update/begin", "t/id/update/data/+"}));
    EXPECT_EQ(gReached, 0);
    OutputCapture out;
    gBroker.toSession = Suback(subs[0].id, 1) + Suback(subs[1].id, 0x80) + Suback(subs[3].id, 0x80);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_EQ(gReached, 0);
    EXPECT_EQ(Occurrences(out.Text(), "MQTT Subscribe Refused: t/id/cmd/+\r\n"), 1) << out.Text();
    EXPECT_EQ(Occurrences(out.Text(), "MQTT Subscribe Refused: t/id/update/data/+\r\n"), 1) << out.Text();
}

// Commands off: reached at the CONNACK; a request the broker still delivers (a subscription of an
// earlier run) is acknowledged and goes nowhere.
TEST_F(Session, WithCommandsOffARequestIsAcknowledgedAndDropped)
{
    Connect();
    EXPECT_EQ(gReached, 1);
    gBroker.toSession = Cmd("r1", "@SAVE", 7);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_EQ(Each(Of(TakeSent(), kMqttPuback), &Sent::id), std::vector<uint16_t>{7});
    RemoteRequest r;
    EXPECT_FALSE(RemoteTake(&r, 0));
}

// The reply of a long request goes out in numbered parts and an end message, never more parts
// held than the channel has, however long the reply: the runner waits for the acknowledgements.
TEST_F(Commands, ALongReplyGoesInNumberedPartsWithinItsBoundedMemory)
{
    gBroker.toSession = Cmd("day-1", "@LOGDATA;2026;12;07\r\n", 3);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_EQ(Each(Of(TakeSent(), kMqttPuback), &Sent::id), std::vector<uint16_t>{3});  // once it is in
    const std::string reply = Pattern(5 * kRemotePartMax + 100);
    std::thread runner([&] { RunNext(reply); });
    std::vector<Sent> outstanding, all;
    std::size_t most = 0;
    bool ended = WaitUntil(
        [&] {
            EXPECT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
            for (const Sent& p : Of(TakeSent(), kMqttPublish)) outstanding.push_back(p);
            most = std::max(most, outstanding.size());
            if (outstanding.empty()) return false;
            gBroker.toSession += Puback(outstanding.front().id);  // the broker acknowledges one at a time
            all.push_back(outstanding.front());
            outstanding.erase(outstanding.begin());
            return all.back().topic == "t/id/reply/day-1/end";
        },
        Millis(10000), Millis(1));
    runner.join();
    ASSERT_TRUE(ended);
    EXPECT_LE(most, static_cast<std::size_t>(kRemoteParts));
    std::vector<std::string> topics = Each(all, &Sent::topic);
    ASSERT_EQ(topics.size(), 7u);
    std::string joined;
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(topics[i], "t/id/reply/day-1/" + std::to_string(i + 1));
        EXPECT_LE(all[i].payload.size(), kRemotePartMax);
        joined += all[i].payload;
    }
    EXPECT_EQ(all[6].payload, "6");
    EXPECT_TRUE(joined == reply);
}

// More requests than the inbox holds: the one beyond waits unacknowledged in the receive area
// until the runner takes one; then it is taken and acknowledged, in order.
TEST_F(Commands, AFullInboxHoldsTheNextRequestUnacknowledged)
{
    for (int i = 0; i <= kRemoteInbox; ++i) gBroker.toSession += Cmd("r" + std::to_string(i), "@CSQ " + std::to_string(i), static_cast<uint16_t>(10 + i));
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    std::vector<uint16_t> acked = Each(Of(TakeSent(), kMqttPuback), &Sent::id);
    EXPECT_EQ(acked, (std::vector<uint16_t>{10, 11, 12, 13}));
    EXPECT_EQ(RunNext("!QRV-715M;CSQ;OK;50\r\n"), "@CSQ 0");
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    std::vector<Sent> sent = TakeSent();
    EXPECT_EQ(Each(Of(sent, kMqttPuback), &Sent::id), std::vector<uint16_t>{14});
    std::vector<Sent> replies = Of(sent, kMqttPublish);
    EXPECT_EQ(Each(replies, &Sent::topic), std::vector<std::string>{"t/id/reply/r0"});
    for (int i = 1; i <= kRemoteInbox; ++i) {
        for (const Sent& r : replies) gBroker.toSession += Puback(r.id);
        EXPECT_EQ(RunNext(""), "@CSQ " + std::to_string(i));
        ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
        replies = Of(TakeSent(), kMqttPublish);
    }
}

// A repeat while the request waits gets nothing (its own reply comes); one after its reply gets
// the kept reply again, and the request is not run again. The reply of a lost link goes again.
TEST_F(Commands, ARepeatedIdIsNotRunTwiceAndAnUnacknowledgedReplyGoesAgainAfterALostLink)
{
    gBroker.toSession = Cmd("del", "@LOGDEL;2026;12;07", 20) + Cmd("del", "@LOGDEL;2026;12;07", 20, true);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_EQ(RunNext("!QRV-715M;LOGDEL;OK\r\n"), "@LOGDEL;2026;12;07");
    EXPECT_EQ(RunNext(""), "<none>");
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    std::vector<Sent> first = Of(TakeSent(), kMqttPublish, "t/id/reply/del");
    ASSERT_EQ(first.size(), 1u);

    LoseLink();
    std::vector<Sent> again = Of(Connect(), kMqttPublish, "t/id/reply/del");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_TRUE(again[0].dup);
    EXPECT_EQ(again[0].id, first[0].id);
    gBroker.toSession = Puback(again[0].id) + Cmd("del", "@LOGDEL;2026;12;07", 21);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_EQ(RunNext("not run"), "<none>");  // answered from memory
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    std::vector<Sent> repeat = Of(TakeSent(), kMqttPublish, "t/id/reply/del");
    ASSERT_EQ(repeat.size(), 1u);
    EXPECT_EQ(repeat[0].payload, "!QRV-715M;LOGDEL;OK\r\n");
}

// A program on trial runs no request before it has promoted itself: a setting saved meanwhile
// would go with the program if it were rolled back. The request waits in the inbox and runs once
// the promotion is done.
TEST_F(Commands, AProgramOnTrialRunsNoRequestBeforeItHasPromotedItself)
{
    TempSysroot root;
    root.WriteFile("/APP/fw", "old program");
    root.WriteFile("/APP/fw.trial", "new program");
    setenv("LIRN_UPDATE_TRIAL", "600", 1);
    OutputCapture out;
    UpdateRunPendingTrial(0, nullptr);
    unsetenv("LIRN_UPDATE_TRIAL");
    gBroker.toSession = Cmd("t1", "@FWVER", 5);
    ASSERT_EQ(MqttSessionStep(&s_), MqttStep::Steady);
    EXPECT_FALSE(RemoteConsolePass(0));
    EXPECT_EQ(Occurrences(out.Text(), "Remote Command t1"), 0) << out.Text();

    DialupRaise();
    LinkRaise();
    UpdateTrialPass();
    EXPECT_FALSE(UpdateOnTrial());
    EXPECT_EQ(root.ReadFile("/APP/fw"), "new program");
    EXPECT_TRUE(RemoteConsolePass(0));
    EXPECT_EQ(Occurrences(out.Text(), "Remote Command t1: \"@FWVER\""), 1) << out.Text();
    LinkDrop();
    DialupLower();
}
