// The tunnel against test peers on loopback, in three parts. The link manager and heartbeat
// supervision: each mode's connect, initial packet exchange and hang-up, the pacing of rebuilds,
// the heartbeat's timing faults. The endpoints and socket primitives: result codes, event-log
// entries, bounds and waits of each receive and send, keep-alive and user time-out. The data pumps
// between a pty standing in for the RS-232 port and the peer: chunking by the block size, the wire
// form per mode, the outage ring, failures that lower the link. Carrying data both ways in every
// mode, reconnecting after the peer closes, the refusal of nine at signs, a second client kept
// pending, heartbeats on time, the drop of a silent client (its first window counted from its
// handshake), input dropped while the link is down, and the heartbeat port (port + 1) are shown end
// to end (e2e/tunnel_test.cpp), the rebuild after a broken heartbeat connection in
// e2e/faults_test.cpp, links that end, stall or lose their peer (the packet wait of mode 1, the
// pacing only of storms, nothing lost across a reconnect) in e2e/links_slow_test.cpp.
#include "tunnel_support.h"

#include "board/ticks.h"
#include "cellular/datacall.h"
#include "config/config.h"
#include "logging/log.h"
#include "serial/uart.h"
#include "tunnel/internal.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
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
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWaitMs = 3000;  // generous bound for what should happen at once

class Link : public TunnelTest {
protected:
    void StartMode(int mode, int hbInterval = 10)
    {
        port_ = FreePortRun(2);
        TunnelSetUp(mode, port_, hbInterval);
        gHangups = 0;
        DialupRaise();
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
    DialupLower();
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
    bool Accepted() { return WaitUntil([] { return lirnChild[0].lirnChildConnect == 1; }, Millis(kWaitMs)); }
};

// A reply the server accepts: the packet anywhere in the first line, then ten at signs and the
// interval (none reads as 0); what follows the line does not count.
struct GoodReply {
    std::string before, after, rest;
    int interval;
};
// Named by its interval in test listings (not by the bytes of the record, pointers included).
void PrintTo(const GoodReply& r, std::ostream* os)
{
    *os << "interval " << r.interval;
}
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
    EXPECT_EQ(lirnChild[0].lirnHbInterval, r.interval);
    EXPECT_EQ(lirnChild[0].lirnChildIdx, 0);
    EXPECT_GT(lirnChild[0].lirnDataChild, 0);
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

// A reply without the packet in its first line, then one with nine at signs: each client is closed,
// the listeners stay for the next.
TEST_F(Server, RefusesAReplyWhoseFirstLineLacksThePacketOrTheTenAtSigns)
{
    for (int nine = 0; nine < 2; ++nine) {
        ExchangeClient c;
        ASSERT_TRUE(c.Knock(port_));
        c.Reply(port_, nine ? c.packet + "@@@@@@@@@2" : "\r\nhello\r\n" + c.packet + "@@@@@@@@@@10");
        EXPECT_TRUE(console_.WaitFor(nine ? "Initial Packet Split Error\r\n" : "Initial Packet Data Error\r\n",
                                     Millis(kWaitMs)));
        EXPECT_TRUE(nine || console_.WaitFor("InitRecvBuffer: \"\r\nhello\"\r\n", Millis(kWaitMs)));
        EXPECT_TRUE(WaitClosed(c.hb, kWaitMs));
        EXPECT_TRUE(WaitClosed(c.data, kWaitMs));
        EXPECT_EQ(lirnChild[0].lirnChildConnect, 0);
    }
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
    EXPECT_EQ(lirnChild[0].lirnHbChild, 0);
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
    LinkRaise();
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
    LinkRaise();
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

// --- endpoints ----------------------------------------------------------------------------------

class Endpoint : public TunnelTest {
protected:
    void SetUp() override
    {
        port_ = FreePortRun(2);
        TunnelSetUp(0, port_);
    }
    int port_ = 0;
};

TEST_F(Endpoint, AddressThatIsNotDottedFailsConnectAndBind)
{
    std::snprintf(lirnData.ipAddr, sizeof lirnData.ipAddr, "localhost");
    EXPECT_EQ(LirnClient(lirnData), -3);
    EXPECT_EQ(lirnData.sock, 0);
    EXPECT_EQ(LirnServer(lirnData), -3);
    EXPECT_EQ(lirnData.sock, 0);
    EXPECT_EQ(TunnelEvents(), (std::vector<int>{2, 3}));
    // Class 2 entries carry the modem state.
    EXPECT_EQ(LogEventAt(0).withModem, 1);
}

TEST_F(Endpoint, BindToAPortInUseFailsWithCode3)
{
    Keep(ListenOn(port_));
    EXPECT_EQ(LirnServer(lirnData), -3);
    EXPECT_EQ(lirnData.sock, 0);
    EXPECT_EQ(TunnelEvents(), std::vector<int>{3});
}

TEST_F(Endpoint, ReceiveReturnsAtMostOneBlock)
{
    auto [near, far] = ConnectedPair();
    lirnChild[0].lirnDataChild = near;
    Keep(far);
    std::string big(300, 'x');
    WriteAll(far, big.data(), big.size());
    char buf[kLirnBlockSize + 8];
    std::memset(buf, '#', sizeof buf);
    ASSERT_TRUE(WaitUntil([&] {
        int waiting = 0;
        ioctl(near, FIONREAD, &waiting);
        return waiting == 300;
    }, Millis(2000)));
    EXPECT_EQ(LirnChildRecv(lirnChild[0].lirnDataChild, buf), kLirnBlockSize);
    EXPECT_EQ(buf[kLirnBlockSize], '#');  // nothing past the block
}

// Another thread closes the slot while a receive waits on it (a dropped client): that is no
// time-out and no failure of the link; it has its own code and event 10.
TEST_F(Endpoint, SocketClosedByAnotherThreadDuringAWaitIsReportedAsGone)
{
    auto [near, far] = ConnectedPair();
    lirnChild[0].lirnDataChild = near;
    Keep(far);
    std::atomic<pid_t> tid{0};
    int got = 1;
    std::thread receiver([&] {
        char buf[kLirnBlockSize];
        tid = gettid();
        got = LirnChildRecv(lirnChild[0].lirnDataChild, buf);
    });
    // Closed once the receiving thread sleeps in its wait.
    EXPECT_TRUE(WaitUntil([&] { return ThreadAsleep(tid); }, Millis(3000), Millis(1)));
    LirnChildClose(lirnChild[0].lirnDataChild);
    receiver.join();
    EXPECT_EQ(got, kLirnSocketGone);
    EXPECT_EQ(TunnelEvents(), std::vector<int>{10});
}

TEST_F(Endpoint, UrgentDataIsAnExceptionalConditionWithCode6)
{
    auto [near, far] = ConnectedPair();
    lirnData.sock = near;
    Keep(far);
    ASSERT_EQ(send(far, "!", 1, MSG_OOB), 1);
    char buf[kLirnBlockSize];
    EXPECT_EQ(LirnRecv(lirnData, buf), -2);
    EXPECT_EQ(TunnelEvents(), std::vector<int>{6});
}

TEST_F(Endpoint, NoSocketIsNotReadableNorWritable)
{
    char buf[kLirnBlockSize] = {};
    EXPECT_EQ(LirnRecv(lirnData, buf), -3);
    EXPECT_EQ(LirnSend(lirnData, buf), -3);
    EXPECT_EQ(LirnChildSend(lirnChild[0].lirnDataChild, buf), -3);
}

// A full block without a zero byte goes out whole, and nothing after it.
TEST_F(Endpoint, ChildSendNeverReadsPastTheBlock)
{
    auto [near, far] = ConnectedPair();
    lirnChild[0].lirnDataChild = near;
    Keep(far);
    char block[kLirnBlockSize + 1];
    std::memset(block, 'z', sizeof block);
    EXPECT_EQ(LirnChildSend(lirnChild[0].lirnDataChild, block), 0);
    EXPECT_EQ(ReadFor(far, 300), std::string(kLirnBlockSize, 'z'));
}

TEST_F(Endpoint, SendToAPeerThatWentAwayFailsWithCode8AndTheProcessLives)
{
    auto [near, far] = ConnectedPair();
    lirnData.sock = near;
    ResetClose(far);
    char block[kLirnBlockSize] = {};
    ASSERT_TRUE(WaitUntil([&] { return LirnSend(lirnData, block) == -4; }, Millis(2000)));
    // Later sends meet a broken pipe, which must not end the process either.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(LirnSend(lirnData, block), -4);
    std::vector<int> events = TunnelEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events.back(), 8);
}

TEST_F(Endpoint, SendWithThePeersWindowFullForFiveSecondsFailsWithCode5)
{
    int listener = Keep(ListenOn(port_, 1024));
    ASSERT_EQ(LirnClient(lirnData), 0);
    Keep(AcceptWithin(listener, 2000));  // never read
    char block[kLirnBlockSize] = {};
    int rc = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100000 && rc == 0; ++i) {
        start = std::chrono::steady_clock::now();
        rc = LirnSend(lirnData, block);
    }
    EXPECT_EQ(rc, -1);
    EXPECT_GE(MsSince(start), 4800);
    EXPECT_EQ(TunnelEvents(), std::vector<int>{5});
}

TEST_F(Endpoint, CloseLeavesNoSocketAndIgnoresAnEmptyEndpoint)
{
    auto [near, far] = ConnectedPair();
    Keep(far);
    lirnData.sock = near;
    LirnClose(lirnData);
    EXPECT_EQ(lirnData.sock, 0);
    EXPECT_EQ(fcntl(near, F_GETFD), -1);  // really closed
    LirnClose(lirnData);                  // socket 0: standard input must stay open
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    lirnChild[0].lirnHbChild = Keep(dup(far));
    LirnChildCloseAll();
    EXPECT_EQ(lirnChild[0].lirnHbChild, 0);
}

// Connected and accepted (through the listener's) sockets get @LIRNKA's keep-alive (five probes a
// fifth of it apart, given up after twice it), the outage ring's 60 s user time-out alone, or the
// system's own settings.
TEST_F(Endpoint, SocketsGetTheKeepAliveAndUserTimeOutOfTheSettings)
{
    int listener = Keep(ListenOn(port_));
    auto option = [](int fd, int level, int name) {
        int value = -1;
        socklen_t len = sizeof value;
        getsockopt(fd, level, name, &value, &len);
        return value;
    };
    std::snprintf(lirnHb.ipAddr, sizeof lirnHb.ipAddr, "127.0.0.1");
    lirnHb.port = port_ + 1;
    const int cases[][3] = {{60, 0, 120000}, {0, 4096, 60000}, {0, 0, 0}};  // keep-alive, ring, user time-out
    for (const auto& [keepAlive, ring, userTimeout] : cases) {
        lirnSet.keepAliveSec = keepAlive;
        lirnSet.outageBytes = ring;
        ASSERT_EQ(LirnClient(lirnData), 0);
        ASSERT_EQ(LirnServer(lirnHb), 0);
        Keep(ConnectTo(lirnHb.port));
        int accepted = Keep(AcceptWithin(lirnHb.sock, kWaitMs));
        for (int fd : {lirnData.sock.load(), accepted}) {
            EXPECT_EQ(option(fd, SOL_SOCKET, SO_KEEPALIVE), keepAlive > 0 ? 1 : 0) << keepAlive;
            EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), userTimeout) << keepAlive << " " << ring;
            if (keepAlive == 0) continue;
            EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
            EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 12);
            EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPCNT), 5);
        }
        Keep(AcceptWithin(listener, kWaitMs));
        LirnClose(lirnData);
        LirnClose(lirnHb);
    }
}

TEST(LirnLineTextTest, CutsAtTheFirstLineEndAfterOtherCharacters)
{
    char out[kLirnBlockSize + 1];  // leading line ends stay: ServerReply and RefusesAReply above
    LirnLineText(out, "abc\0def", 7);
    EXPECT_STREQ(out, "abc");
    std::string full(kLirnBlockSize, 'q');
    LirnLineText(out, full.data(), kLirnBlockSize);
    EXPECT_EQ(std::string(out), full);
}

// --- pumps --------------------------------------------------------------------------------------

class Pumps : public TunnelTest {
protected:
    void Start(int mode, int peerRcvbuf = 0)
    {
        TunnelSetUp(mode, 4000);
        ASSERT_GT(LirnRecvOpen(), 0);
        std::tie(near_, far_) = ConnectedPair(peerRcvbuf);
        if (mode == 2) {
            lirnChild[0].lirnDataChild = near_;
            lirnChild[0].lirnChildIdx = 0;
            lirnChild[0].lirnChildConnect = 1;
        } else {
            lirnData.sock = near_;
        }
        LinkRaise();
        LirnSendStart();
    }
    void TearDown() override
    {
        TunnelTest::TearDown();
        if (far_ >= 0) close(far_);
    }
    // A receive pump in its 5-second wait is woken by shutting the connection down; a server's
    // pump waiting for the rebuild after that failure, by freeing the slot as the rebuild does.
    PassLoop& Pump(std::function<void()> pass)
    {
        return Run(std::move(pass), [this] {
            if (near_ >= 0) shutdown(near_, SHUT_RDWR);
            lirnChild[0].lirnChildConnect = 0;
        });
    }
    // The peer closes the data connection: the receive pump says so, logs event 7 and lowers the link.
    void PeerCloses(int mode, const std::string& failed)
    {
        Start(mode);
        Pump(LirnRecvPass);
        close(std::exchange(far_, -1));
        EXPECT_TRUE(console_.WaitFor(failed, Millis(2000)));
        EXPECT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(1000)));
        EXPECT_EQ(TunnelEvents(), std::vector<int>{7});
    }

    TempSysroot root_;
    TestPty pty_{root_.Path(UART_TUNNEL_DEV)};
    int near_ = -1, far_ = -1;
};

std::string Block(const std::string& bytes)
{
    std::string b = bytes;
    b.resize(kLirnBlockSize, '\0');
    return b;
}

// --- serial to network --------------------------------------------------------------------------

// A server sends the bytes up to the first zero byte (a client's zero-filled block is e2e
// Tunnel.ClientWithHeartbeatRepliesExactly...). The quiet gap itself is the gathering's
// (console_framing_test.cpp).
TEST_F(Pumps, ServerSendsTheChunkUpToItsFirstZeroByte)
{
    Start(2);
    Pump(LirnSendPass);
    pty_.Write(std::string("ab\0cd", 5));
    EXPECT_EQ(ReadFor(far_, 1000), "ab");
    EXPECT_TRUE(console_.WaitFor("[0] Send Packet Successfully\r\n", Millis(1000)));
}

TEST_F(Pumps, ALongBurstGoesOutAsFullBlocksAtOnceThenTheRestAfterTheGap)
{
    Start(0);
    Pump(LirnSendPass);
    std::string burst;
    for (int i = 0; i < 300; ++i) burst += static_cast<char>('A' + i % 26);
    pty_.Write(burst);
    std::string first(2 * kLirnBlockSize, '\0');
    ASSERT_TRUE(ReadExactly(far_, first.data(), first.size(), 2000));
    auto fullBlocks = Clock::now();
    std::string last(kLirnBlockSize, '\0');
    ASSERT_TRUE(ReadExactly(far_, last.data(), last.size(), 2000));
    EXPECT_GE(MsSince(fullBlocks), 80);  // the remainder waited for the gap, the full blocks did not
    EXPECT_EQ(first, burst.substr(0, 2 * kLirnBlockSize));
    EXPECT_EQ(last, Block(burst.substr(2 * kLirnBlockSize)));
    EXPECT_EQ(console_.Text(), "");  // mode 0 prints nothing
}

// A server's link carries once a client has completed its exchange: until then input waits in
// the outage ring (its oldest bytes dropped when full), then goes out raw, zero bytes and all,
// and the drop is printed and logged with its count.
TEST_F(Pumps, ServerOutageRingWaitsForAClientAndLogsTheDroppedCount)
{
    Start(2);
    lirnChild[0].lirnChildConnect = 0;
    lirnSet.rawChunks = 1;
    lirnSet.quietGapMs = 5;
    lirnSet.outageBytes = 8;
    LirnSendStart();
    pty_.Write(std::string("0123\0xyz\0abc", 12));
    // Passes run here, so the pass that empties the port has also stored what it read.
    ASSERT_TRUE(WaitUntil([] { LirnSendPass(); return uart_datasize_in_com(uartFd) == 0; }, Millis(2000), Millis(0)));
    EXPECT_EQ(ReadFor(far_, 100), "");
    lirnChild[0].lirnChildConnect = 1;
    LirnSendPass();
    EXPECT_EQ(ReadFor(far_, 300), std::string("\0xyz\0abc", 8));
    EXPECT_TRUE(console_.WaitFor("Outage Ring Dropped 4 Bytes\r\n", Millis(1000)));
    const LogEvent& e = LogEventAt(LogPushIdx() - 1);
    EXPECT_STREQ(e.eventClass, "2");
    EXPECT_STREQ(e.code, "9");
    EXPECT_EQ(e.count, 4);
}

// A failed send lowers the link, its message first; with the outage ring on the chunk is kept and
// goes first on the next link.
TEST_F(Pumps, AFailedSendLowersTheLinkAndWithTheRingItsChunkGoesFirstOnTheNext)
{
    Start(1);
    lirnSet.rawChunks = 1;
    lirnSet.outageBytes = 64;
    LirnSendStart();
    ResetClose(std::exchange(far_, -1));  // the next send meets the reset
    Pump(LirnSendPass);
    pty_.Write("kept");
    EXPECT_TRUE(console_.WaitFor("res: -4\r\nSend Packet Failed\r\n", Millis(2000)));
    ASSERT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(2000)));
    LirnClose(lirnData);  // the link manager's rebuild
    std::tie(near_, far_) = ConnectedPair();
    lirnData.sock = near_;
    LinkRaise();
    EXPECT_EQ(ReadUpTo(far_, 4, Millis(2000)), "kept");
}

// With the ring on, what is in flight never outgrows the resend ring: of what a peer that reads
// nothing took before it reset, only what its TCP acknowledged (its receive buffer, at most 8 KiB
// here) is not sent again; the next link gets all the rest, in order. (The kernel would take far
// more of such small writes than the ring holds.)
TEST_F(Pumps, WithTheRingAPeerThatReadsNothingThenResetsLosesNothing)
{
    Start(0, 4096);  // a peer that takes little before it reads
    lirnSet.rawChunks = 1;
    lirnSet.outageBytes = 32768;
    LirnSendStart();
    Pump(LirnSendPass);
    std::string sent;
    for (int i = 0; i < 30000; ++i) sent += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(pty_.Write(sent));
    ASSERT_TRUE(WaitUntil([] { return uart_datasize_in_com(uartFd) == 0; }, Millis(10000)));
    Pump(LirnRecvPass);
    ResetClose(std::exchange(far_, -1));
    ASSERT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(3000)));  // the receive pump met the reset
    LirnClose(lirnData);
    std::tie(near_, far_) = ConnectedPair();
    lirnData.sock = near_;
    LinkRaise();
    std::string got = ReadUpTo(far_, sent.size() - 8192, Millis(10000));
    got += ReadFor(far_, 300);
    ASSERT_LE(got.size(), sent.size());
    EXPECT_GE(got.size(), sent.size() - 8192);
    EXPECT_EQ(got, sent.substr(sent.size() - got.size()));
}

// --- network to serial --------------------------------------------------------------------------

TEST_F(Pumps, PeerClosingTheDataConnectionLowersTheLink)
{
    PeerCloses(1, "Receive Packet Failed\r\n");
}

TEST_F(Pumps, ServerLowersTheLinkWhenItsClientCloses)
{
    PeerCloses(2, "[0] Receive Packet Failed\r\n");
    // Until the link manager rebuilds, the broken slot is not tried again and again.
    EXPECT_FALSE(WaitUntil([&] { return console_.Count("[0] Receive Packet Failed\r\n") > 1; }, Millis(300)));
    lirnChild[0].lirnChildConnect = 0;  // the rebuild frees the slot
}

TEST_F(Pumps, ServerDroppingASilentClientClosesItAtOnceAndKeepsTheLink)
{
    Start(2);
    ASSERT_TRUE(Pump(LirnRecvPass).WaitAsleep(Millis(2000)));  // the pump waits on the slot
    LinkDropClient(0);  // the heartbeat thread's drop of a client that fell silent
    EXPECT_TRUE(WaitClosed(far_, 1000));  // not only when the pump's 5-second wait ends
    // The listeners stay for the next client.
    EXPECT_FALSE(WaitUntil([&] { return lirnConnect == 0 || console_.Count("Receive Packet Failed") > 0; }, Millis(200)));
}

TEST(PumpPort, ReceivePumpEndsWhenThePortCannotBeOpened)
{
    TempSysroot root;  // no ttyHSL3 in it
    TunnelSetUp(0, 4000);
    OutputCapture console;
    EXPECT_EQ(ThreadLirnRecv(nullptr), nullptr);
    EXPECT_LT(uartFd, 0);
    EXPECT_TRUE(console.WaitFor("open /dev/ttyHSL3 error", Millis(1000)));
    uartFd = 0;
}

}  // namespace
