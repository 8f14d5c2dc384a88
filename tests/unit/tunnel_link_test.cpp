// Link manager against test peers on loopback: the plain client, the client side and the server
// side of the initial packet exchange, and the hang-up after five failed attempts. Reconnecting
// after the peer closes, the refusal of nine at signs and a second client kept pending are shown
// end to end (e2e/tunnel_test.cpp).
#include "tunnel_support.h"

#include "cellular/datacall.h"
#include "tunnel/tunnel.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstring>
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

class Link : public ::testing::Test {
protected:
    void StartMode(int mode, int hbInterval = 10)
    {
        port_ = FreePortRun(2);
        TunnelSetUp(mode, port_, hbInterval);
        gHangups = 0;
        lirnDialup = 1;
    }
    void TearDown() override
    {
        loop_.reset();
        TunnelTearDown();
        for (int fd : fds_) close(fd);
    }
    int Keep(int fd)
    {
        fds_.push_back(fd);
        return fd;
    }
    void RunLoop() { loop_ = std::make_unique<PassLoop>(LirnSockPass, ShutDownListeners); }

    int port_ = 0;
    OutputCapture console_;
    std::unique_ptr<PassLoop> loop_;
    std::vector<int> fds_;
};

// --- mode 0 -------------------------------------------------------------------------------------

TEST_F(Link, PlainClientConnectsThenIdlesWhileTheLinkIsUp)
{
    StartMode(0);
    int listener = Keep(ListenOn(port_));
    LirnSockPass();
    EXPECT_EQ(lirnConnect, 1);
    int sock = lirnData.sock;
    EXPECT_GE(Keep(AcceptWithin(listener, kWaitMs)), 0);
    LirnSockPass();  // nothing to do while the link is up
    EXPECT_EQ(lirnData.sock, sock);
    EXPECT_EQ(AcceptWithin(listener, 100), -1);
    EXPECT_EQ(console_.Text(), "");
}

TEST_F(Link, PlainClientHangsUpSilentlyAfterFiveFailedConnects)
{
    StartMode(0);
    LirnSockPass();
    EXPECT_EQ(lirnDialup, 0);
    EXPECT_EQ(lirnConnect, 0);
    EXPECT_EQ(gHangups, 1);
    EXPECT_EQ(TunnelEvents(), std::vector<int>(5, 2));
    EXPECT_EQ(console_.Text(), "");
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

TEST(LinkModes, ThreadsWithoutWorkInTheModeEndAtOnce)
{
    for (int mode : {-1, 3, 7}) {
        lirnMode = mode;
        std::atomic<bool> sockDone{false}, hbDone{false};
        std::thread sock([&] {
            ThreadLirnSock(nullptr);
            sockDone = true;
        });
        std::thread hb([&] {
            ThreadLirnHb(nullptr);
            hbDone = true;
        });
        bool ended = WaitUntil([&] { return sockDone && hbDone; }, Millis(kWaitMs));
        if (!ended) {
            sock.detach();
            hb.detach();
            FAIL() << "a tunnel thread kept running in mode " << mode;
        }
        sock.join();
        hb.join();
    }
    lirnMode = 0;
    std::atomic<bool> hbDone{false};
    std::thread hb([&] {
        ThreadLirnHb(nullptr);
        hbDone = true;
    });
    bool ended = WaitUntil([&] { return hbDone.load(); }, Millis(kWaitMs));
    if (!ended) hb.detach();
    ASSERT_TRUE(ended) << "heartbeat thread ran in mode 0";
    hb.join();
}

// --- mode 1 -------------------------------------------------------------------------------------

// The server side of the exchange, played by the test: listeners on port and port + 1.
struct TestServer {
    explicit TestServer(int port) : hbListener(ListenOn(port + 1)), dataListener(ListenOn(port)) {}
    ~TestServer()
    {
        for (int fd : {hbListener, dataListener, hb, data})
            if (fd >= 0) close(fd);
    }
    int hbListener, dataListener;
    int hb = -1, data = -1;
};

TEST_F(Link, ClientRepliesWithPacketTextAtSignsAndIntervalInOneBlock)
{
    StartMode(1, 10);
    TestServer server(port_);
    std::thread pass(LirnSockPass);
    server.hb = AcceptWithin(server.hbListener, kWaitMs);
    WriteAll(server.hb, "AbCdEfGhIj", 10);
    server.data = AcceptWithin(server.dataListener, kWaitMs);
    char block[kLirnBlockSize];
    bool got = ReadExactly(server.data, block, sizeof block, kWaitMs);
    pass.join();
    ASSERT_TRUE(got);
    std::string expect = "AbCdEfGhIj@@@@@@@@@@10";
    expect.resize(kLirnBlockSize, '\0');
    EXPECT_EQ(std::string(block, sizeof block), expect);
    EXPECT_EQ(lirnConnect, 1);
    EXPECT_EQ(console_.Text(),
              "Start Connect To Server\r\nHB Connect Successfully\r\nReceive Initial Packet Successfully\r\n"
              "Data Connect Successfully\r\nSend Initial Packet Successfully\r\n");
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

TEST_F(Link, ClientWhoseServerSendsNoPacketStartsOverWithoutHangingUp)
{
    StartMode(1);
    TestServer server(port_);
    std::thread pass(LirnSockPass);
    server.hb = AcceptWithin(server.hbListener, kWaitMs);
    pass.join();  // the initial packet wait ends after 5 s
    EXPECT_EQ(console_.Count("Receive Initial Packet Failed\r\n"), 1);
    EXPECT_EQ(gHangups, 0);
    EXPECT_EQ(lirnDialup, 1);
    EXPECT_EQ(lirnConnect, 0);
    EXPECT_EQ(AcceptWithin(server.dataListener, 0), -1);
    // The next pass closes the heartbeat connection and knocks again at once.
    std::thread again(LirnSockPass);
    EXPECT_TRUE(WaitClosed(server.hb, kWaitMs));
    int second = AcceptWithin(server.hbListener, kWaitMs);
    EXPECT_GE(second, 0);
    WriteAll(second, "0123456789", 10);
    server.data = AcceptWithin(server.dataListener, kWaitMs);
    again.join();
    close(second);
    EXPECT_EQ(lirnConnect, 1);
}

TEST_F(Link, ClientHangsUpWhenTheHeartbeatPortCannotBeReached)
{
    StartMode(1);
    LirnSockPass();
    EXPECT_EQ(console_.Text(), "Start Connect To Server\r\nHB Connect Failed\r\nHangup\r\n");
    EXPECT_EQ(lirnDialup, 0);
    EXPECT_EQ(gHangups, 1);
    EXPECT_EQ(TunnelEvents(), std::vector<int>(5, 2));
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
        RunLoop();
        ASSERT_TRUE(console_.WaitFor("Bind And Listen Successfully\r\n", Millis(kWaitMs)));
    }
    bool Accepted() { return WaitUntil([] { return lirnChildConnect[0] == 1; }, Millis(kWaitMs)); }
};

TEST_F(Server, AcceptsAReplyWithThePacketTheAtSignsAndTheInterval)
{
    ExchangeClient c;
    ASSERT_TRUE(c.Knock(port_));
    for (char ch : c.packet) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(ch)));
    EXPECT_EQ(ReadFor(c.hb, 100), "");  // exactly 10 characters, no terminator or line end
    c.Reply(port_, c.packet + "@@@@@@@@@@30");
    ASSERT_TRUE(Accepted());
    EXPECT_EQ(lirnHbInterval[0], 30);
    EXPECT_EQ(lirnChildIdx[0], 0);
    EXPECT_GT(lirnDataChild[0], 0);
    ASSERT_TRUE(console_.WaitFor("HB Interval: 30\r\n", Millis(kWaitMs)));
    EXPECT_NE(console_.Text().find("Get Connection Request\r\nConnect Successfully\r\n"
                                   "Send Initial Packet Successfully\r\nConnect Successfully\r\n"
                                   "Receive Initial Packet Successfully\r\nInitSendBuffer: \"" +
                                   c.packet + "\"\r\nInitRecvBuffer: \"" + c.packet +
                                   "@@@@@@@@@@30\"\r\nHB Interval: 30\r\n"),
              std::string::npos)
        << console_.Text();
}

TEST_F(Server, AcceptsOtherCharactersAroundThePacketWithinTheFirstLine)
{
    ExchangeClient c;
    ASSERT_TRUE(c.Knock(port_));
    c.Reply(port_, "xx" + c.packet + "yy@@@@@@@@@@ 15\r\nmore");
    ASSERT_TRUE(Accepted());
    EXPECT_EQ(lirnHbInterval[0], 15);
    EXPECT_TRUE(console_.WaitFor("InitRecvBuffer: \"xx" + c.packet + "yy@@@@@@@@@@ 15\"\r\n", Millis(kWaitMs)));
}

TEST_F(Server, AcceptsAReplyWithoutIntervalAsIntervalZero)
{
    ExchangeClient c;
    ASSERT_TRUE(c.Knock(port_));
    c.Reply(port_, c.packet + "@@@@@@@@@@");
    ASSERT_TRUE(Accepted());
    EXPECT_EQ(lirnHbInterval[0], 0);
    EXPECT_TRUE(console_.WaitFor("HB Interval: 0\r\n", Millis(kWaitMs)));
}

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
    // The next client is served on the same listeners.
    ExchangeClient next;
    ASSERT_TRUE(next.Knock(port_));
    next.Reply(port_, next.packet + "@@@@@@@@@@10");
    EXPECT_TRUE(Accepted());
    EXPECT_EQ(console_.Count("Start Bind And Listen\r\n"), 1);
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

}  // namespace
