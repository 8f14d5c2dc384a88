// Link manager and heartbeat supervision against test peers on loopback: each mode's connect,
// initial packet exchange and hang-up, the pacing of rebuilds, and the heartbeat's timing faults.
// Carrying data, reconnecting after the peer closes, the refusal of nine at signs, a second client
// kept pending, heartbeats on time, the drop of a silent client and the rebuild after a broken
// heartbeat connection are shown end to end (e2e/tunnel_test.cpp, e2e/faults_test.cpp).
#include "tunnel_support.h"

#include "board/ticks.h"
#include "cellular/datacall.h"
#include "tunnel/tunnel.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// The data call is another module's; here it only counts the hang-ups it is asked for.
static std::atomic<int> gHangups{0};
int hangup_actions()
{
    ++gHangups;
    return 1;
}

using namespace tunneltest;

namespace {

constexpr int kWaitMs = 3000;  // generous bound for what should happen at once

class Link : public TunnelTest {
protected:
    void StartMode(int mode, int hbInterval = 10)
    {
        port_ = FreePortRun(2);
        TunnelSetUp(mode, port_, hbInterval);
        gHangups = 0;
        lirnDialup = 1;
    }
    int port_ = 0;
};

// --- modes 0 and 1 ------------------------------------------------------------------------------

// Five failed connects (tunnel event 2 each) hang the call up: silently in mode 0, after the
// exchange's messages in mode 1.
TEST_F(Link, UnreachablePeerHangsUpAfterFiveFailedConnects)
{
    const std::pair<int, std::string> cases[] = {{0, ""},
                                                 {1, "Start Connect To Server\r\nHB Connect Failed\r\nHangup\r\n"}};
    for (const auto& [mode, printed] : cases) {
        OutputCapture out;
        StartMode(mode);
        LirnSockPass();
        EXPECT_EQ(out.Text(), printed) << mode;
        EXPECT_EQ(lirnDialup, 0);
        EXPECT_EQ(lirnConnect, 0);
        EXPECT_EQ(gHangups, 1);
        EXPECT_EQ(TunnelEvents(), std::vector<int>(5, 2));
    }
}

TEST_F(Link, WaitsForTheDataCallBeforeAnyConnect)
{
    StartMode(1);
    lirnDialup = 0;
    int listener = Keep(ListenOn(port_ + 1));
    auto start = std::chrono::steady_clock::now();
    LirnSockPass();
    EXPECT_GE(MsSince(start), 4800);
    EXPECT_EQ(console_.Text(), "Waiting Dialup\r\n");
    EXPECT_EQ(AcceptWithin(listener, 0), -1);
}

TEST(LinkPacing, FirstRetryAtOnceThenDoublingFromOneSecondToTheCap)
{
    const uint32_t expected[] = {0, 0, 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (int failures = 0; failures < 10; failures++) EXPECT_EQ(LirnRetryDelayMs(failures), expected[failures]);
    EXPECT_EQ(LirnRetryDelayMs(INT_MAX), kRetryCapMs);
}

// True when the thread function returns within ms; one that does not is left behind.
bool EndsWithin(void* (*thread)(void*), int ms)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([thread, done] {
        thread(nullptr);
        *done = true;
    }).detach();
    return WaitUntil([&] { return done->load(); }, Millis(ms));
}

TEST(LinkModes, ThreadsWithoutWorkInTheModeEndAtOnce)
{
    for (int mode : {-1, 3, 7}) {
        lirnMode = mode;
        EXPECT_TRUE(EndsWithin(ThreadLirnSock, kWaitMs)) << mode;
        EXPECT_TRUE(EndsWithin(ThreadLirnHb, kWaitMs)) << mode;
    }
    lirnMode = 0;
    EXPECT_TRUE(EndsWithin(ThreadLirnHb, kWaitMs)) << "heartbeat thread ran in mode 0";
}

TEST(InitReply, PacketTextEndsAtAZeroByteOrWhereTheReplyWouldNotFit)
{
    char out[kLirnBlockSize];
    LirnBuildInitReply(out, "abc\0def", 7, 10);
    EXPECT_EQ(std::string(out, 16), std::string("abc@@@@@@@@@@10\0", 16));
    std::string longPacket(kLirnBlockSize, 'x');
    LirnBuildInitReply(out, longPacket.data(), kLirnBlockSize, INT_MIN);
    // "-2147483648" takes 11 characters: 128 - 10 - 11 - 1 = 106 left for the packet.
    EXPECT_EQ(std::string(out), std::string(106, 'x') + "@@@@@@@@@@-2147483648");
    EXPECT_EQ(out[kLirnBlockSize - 1], '\0');
}

TEST(InitReply, ServerLooksForTheAtSignsRightAfterThePacketTextAsSent)
{
    char sent[kLirnBlockSize] = "abc";
    char reply[kLirnBlockSize] = "xabc@@@@@@@@@@25";
    int interval = 0;
    // A text shorter than ten characters must not move the search past the at signs.
    EXPECT_TRUE(LirnCheckInitReply(sent, reply, 16, &interval));
    EXPECT_EQ(interval, 25);
}

// A server that sends no packet within 5 s: the client starts over without hanging up; at the
// next knock it replies and shows each step of the exchange.
TEST_F(Link, ClientWhoseServerSendsNoPacketStartsOverWithoutHangingUp)
{
    StartMode(1);
    int hbListener = Keep(ListenOn(port_ + 1)), dataListener = Keep(ListenOn(port_));
    std::thread pass(LirnSockPass);
    int hb = AcceptWithin(hbListener, kWaitMs);
    pass.join();  // the initial packet wait ends after 5 s
    EXPECT_EQ(console_.Count("Receive Initial Packet Failed\r\n"), 1);
    EXPECT_EQ(gHangups, 0);
    EXPECT_EQ(lirnDialup, 1);
    EXPECT_EQ(lirnConnect, 0);
    EXPECT_EQ(AcceptWithin(dataListener, 0), -1);
    // The next pass closes the heartbeat connection and knocks again at once.
    std::thread again(LirnSockPass);
    EXPECT_TRUE(WaitClosed(Keep(hb), kWaitMs));
    int second = Keep(AcceptWithin(hbListener, kWaitMs));
    WriteAll(second, "0123456789", 10);
    Keep(AcceptWithin(dataListener, kWaitMs));
    again.join();
    EXPECT_EQ(lirnConnect, 1);
    EXPECT_EQ(gHangups, 0);
    EXPECT_NE(console_.Text().find("Start Connect To Server\r\nHB Connect Successfully\r\nReceive Initial Packet "
                                   "Successfully\r\nData Connect Successfully\r\nSend Initial Packet Successfully\r\n"),
              std::string::npos);
}

TEST_F(Link, ClientHangsUpWhenTheDataPortCannotBeReached)
{
    StartMode(1);
    int hbListener = Keep(ListenOn(port_ + 1));
    std::thread pass(LirnSockPass);
    int hb = Keep(AcceptWithin(hbListener, kWaitMs));
    WriteAll(hb, "AbCdEfGhIj", 10);
    pass.join();
    EXPECT_NE(console_.Text().find("Receive Initial Packet Successfully\r\nData Connect Failed\r\nHangup\r\n"),
              std::string::npos);
    EXPECT_EQ(lirnDialup, 0);
    EXPECT_EQ(gHangups, 1);
    EXPECT_EQ(lirnConnect, 0);
}

// --- mode 2 -------------------------------------------------------------------------------------

class Server : public Link {
protected:
    void SetUp() override
    {
        StartMode(2);
        Run(LirnSockPass, ShutDownListeners);
        ASSERT_TRUE(console_.WaitFor("Bind And Listen Successfully\r\n", Millis(kWaitMs)));
    }
    bool Accepted() { return WaitUntil([] { return lirnChildConnect[0] == 1; }, Millis(kWaitMs)); }
};

// A reply the server accepts: the packet anywhere in the first line, then ten at signs and the
// interval (none reads as 0); what follows the line does not count.
struct GoodReply {
    std::string before, after, rest;
    int interval;
};
class ServerReply : public Server, public ::testing::WithParamInterface<GoodReply> {};

TEST_P(ServerReply, IsAcceptedWithItsIntervalAndItsFirstLineShown)
{
    const GoodReply& r = GetParam();
    ExchangeClient c;
    ASSERT_TRUE(c.Knock(port_));
    for (char ch : c.packet) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(ch)));
    EXPECT_EQ(ReadFor(c.hb, 100), "");  // exactly 10 characters, no terminator or line end
    std::string line = r.before + c.packet + r.after;
    c.Reply(port_, line + r.rest);
    ASSERT_TRUE(Accepted());
    EXPECT_EQ(lirnHbInterval[0], r.interval);
    EXPECT_EQ(lirnChildIdx[0], 0);
    EXPECT_GT(lirnDataChild[0], 0);
    std::string shown = "HB Interval: " + std::to_string(r.interval) + "\r\n";
    ASSERT_TRUE(console_.WaitFor(shown, Millis(kWaitMs)));
    EXPECT_NE(console_.Text().find("Get Connection Request\r\nConnect Successfully\r\nSend Initial Packet "
                                   "Successfully\r\nConnect Successfully\r\nReceive Initial Packet Successfully\r\n"
                                   "InitSendBuffer: \"" +
                                   c.packet + "\"\r\nInitRecvBuffer: \"" + line + "\"\r\n" + shown),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Replies, ServerReply,
                         ::testing::Values(GoodReply{"", "@@@@@@@@@@30", "", 30},
                                           GoodReply{"xx", "yy@@@@@@@@@@ 15", "\r\nmore", 15},
                                           GoodReply{"", "@@@@@@@@@@", "", 0}));

TEST_F(Server, RefusesAReplyWhoseFirstLineLacksThePacket)
{
    ExchangeClient c;
    ASSERT_TRUE(c.Knock(port_));
    c.Reply(port_, "\r\nhello\r\n" + c.packet + "@@@@@@@@@@10");
    EXPECT_TRUE(console_.WaitFor("Initial Packet Data Error\r\n", Millis(kWaitMs)));
    EXPECT_TRUE(console_.WaitFor("InitRecvBuffer: \"\r\nhello\"\r\n", Millis(kWaitMs)));
    EXPECT_TRUE(WaitClosed(c.hb, kWaitMs));
    EXPECT_TRUE(WaitClosed(c.data, kWaitMs));
    EXPECT_EQ(lirnChildConnect[0], 0);
    EXPECT_EQ(console_.Count("Start Bind And Listen\r\n"), 1);  // the next client is served end to end
}

TEST_F(Server, DropsAClientThatOpensOnlyTheHeartbeatConnection)
{
    ExchangeClient c;
    ASSERT_TRUE(c.Knock(port_));
    auto knocked = std::chrono::steady_clock::now();
    EXPECT_TRUE(console_.WaitFor("Get Connection Request Failed\r\n", Millis(8000)));
    EXPECT_GE(MsSince(knocked), 4000);
    EXPECT_TRUE(WaitClosed(c.hb, kWaitMs));
    EXPECT_EQ(lirnHbChild[0], 0);
    EXPECT_EQ(lirnConnect, 1);
    EXPECT_EQ(console_.Count("Start Bind And Listen\r\n"), 1);
}

// --- heartbeat ----------------------------------------------------------------------------------

// Mode 1 with the heartbeat connection up and the heartbeat thread's clock started; returns the
// server's end.
int ClientLinkUp(int interval)
{
    TunnelSetUp(1, 4000, interval);
    auto [near, far] = ConnectedPair();
    lirnHb.sock = near;
    SharedSet(lirnConnect, 1);
    LirnHbStart();
    return far;
}

using Heartbeat = Link;

TEST_F(Heartbeat, ClientSendsAtOnceWhenTheLinkComesBackAfterAFailedHeartbeat)
{
    Keep(ClientLinkUp(2));
    shutdown(lirnHb.sock, SHUT_WR);  // the next heartbeat on it fails
    PassLoop& hb = Run(LirnHbPass);
    ASSERT_TRUE(console_.WaitFor("Send HB Failed\r\n", Millis(4000)));
    EXPECT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(1000)));
    // The link manager builds a new link; the heartbeat thread waits for it meanwhile.
    LirnClose(lirnHb);
    auto [near, far] = ConnectedPair();
    Keep(far);
    lirnHb.sock = near;
    ASSERT_TRUE(hb.WaitAsleep(Millis(kWaitMs)));
    auto restored = std::chrono::steady_clock::now();
    SharedSet(lirnConnect, 1);
    char block[kLirnBlockSize];
    ASSERT_TRUE(ReadExactly(far, block, sizeof block, 3000));
    EXPECT_LT(MsSince(restored), 700);  // not a whole interval after the restore
    EXPECT_EQ(console_.Count("Send HB Failed\r\n"), 1);
}

TEST_F(Heartbeat, HugeIntervalsNeverWrapIntoShortOnes)
{
    // 4294968 s in milliseconds wraps a 32-bit product to 704 ms.
    int far = Keep(ClientLinkUp(4294968));
    Run(LirnHbPass);
    EXPECT_EQ(ReadFor(far, 1500), "");
    EXPECT_EQ(console_.Text(), "");
}

// The window of interval + 5 s opens with the handshake, not with the listeners: a client that
// comes 2 s after them is not dropped before 6 s have passed since its handshake.
TEST_F(Heartbeat, ServerGivesALateHandshakeAWholeFirstWindow)
{
    TunnelSetUp(2, 4000);
    SharedSet(lirnConnect, 1);  // listening, nobody connected
    LirnHbStart();
    Run(LirnHbPass);
    EXPECT_FALSE(console_.WaitFor("Receive HB", Millis(2000)));  // no slot, nothing supervised
    auto [hbNear, hbFar] = ConnectedPair();
    auto [dataNear, dataFar] = ConnectedPair();
    Keep(hbFar);
    Keep(dataFar);
    lirnHbChild[0] = hbNear;
    lirnDataChild[0] = dataNear;
    lirnChildIdx[0] = 0;
    lirnHbInterval[0] = 1;
    SharedSet(lirnChildConnect[0], 1);
    EXPECT_FALSE(console_.WaitFor("Receive HB Timeout", Millis(5500)));
    EXPECT_EQ(lirnChildConnect[0], 1);
}

}  // namespace
