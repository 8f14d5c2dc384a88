// Tunnel endpoints and socket primitives against real loopback sockets: result codes, event-log
// entries, bounds and waits of each receive and send. A failed connect (event 2) is the link
// tests', a peer that closes (event 7) and a server's chunk cut at its zero byte the pump tests';
// a good connect, the client's zero-filled block and the heartbeat port (port + 1) are shown end
// to end (e2e/tunnel_test.cpp).
#include "tunnel_support.h"

#include "config/config.h"
#include "logging/log.h"
#include "tunnel/tunnel.h"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tunneltest;

namespace {

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
    EXPECT_EQ(logBuffer[0].withModem, 1);
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
    lirnDataChild[0] = near;
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
    EXPECT_EQ(LirnChildRecv(lirnDataChild[0], buf), kLirnBlockSize);
    EXPECT_EQ(buf[kLirnBlockSize], '#');  // nothing past the block
}

// Another thread closes the slot while a receive waits on it (a dropped client): that is no
// time-out and no failure of the link; it has its own code and event 10.
TEST_F(Endpoint, SocketClosedByAnotherThreadDuringAWaitIsReportedAsGone)
{
    auto [near, far] = ConnectedPair();
    lirnDataChild[0] = near;
    Keep(far);
    std::atomic<pid_t> tid{0};
    int got = 1;
    std::thread receiver([&] {
        char buf[kLirnBlockSize];
        tid = gettid();
        got = LirnChildRecv(lirnDataChild[0], buf);
    });
    // Closed once the receiving thread sleeps in its wait.
    EXPECT_TRUE(WaitUntil([&] { return ThreadAsleep(tid); }, Millis(3000), Millis(1)));
    LirnChildClose(lirnDataChild, 0);
    receiver.join();
    EXPECT_EQ(got, kLirnSocketGone);
    EXPECT_EQ(TunnelEvents(), std::vector<int>{10});
    EXPECT_FALSE(LirnLinkFailed(kLirnSocketGone));
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
    EXPECT_EQ(LirnChildSend(lirnDataChild[0], buf), -3);
}

TEST_F(Endpoint, ReceiveWaitsFiveSecondsThenReportsNothingWithoutLogging)
{
    auto [near, far] = ConnectedPair();
    lirnData.sock = near;
    Keep(far);
    char buf[kLirnBlockSize];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LirnRecv(lirnData, buf), 0);
    EXPECT_GE(MsSince(start), 4800);
    EXPECT_LT(MsSince(start), 8000);
    EXPECT_TRUE(TunnelEvents().empty());
}

// A full block without a zero byte goes out whole, and nothing after it.
TEST_F(Endpoint, ChildSendNeverReadsPastTheBlock)
{
    auto [near, far] = ConnectedPair();
    lirnDataChild[0] = near;
    Keep(far);
    char block[kLirnBlockSize + 1];
    std::memset(block, 'z', sizeof block);
    EXPECT_EQ(LirnChildSend(lirnDataChild[0], block), 0);
    EXPECT_EQ(ReadFor(far, 300), std::string(kLirnBlockSize, 'z'));
}

TEST_F(Endpoint, SendToAPeerThatWentAwayFailsWithCode8AndTheProcessLives)
{
    auto [near, far] = ConnectedPair();
    lirnData.sock = near;
    // Reset rather than close, so the very next send meets the broken connection.
    linger hard = {1, 0};
    setsockopt(far, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(far);
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
    lirnHbChild[0] = Keep(dup(far));
    LirnChildCloseAll(lirnHbChild);
    EXPECT_EQ(lirnHbChild[0], 0);
    LirnChildClose(lirnHbChild, 5);  // no such slot: nothing happens
}

// The ten characters a server sends are alphanumeric (link_test); over many, every class shows up.
TEST(GenInitDataTest, CharactersOfTheThreeClassesThenAZeroByte)
{
    static char many[3001];
    std::memset(many, '#', sizeof many);
    GenInitData(many, 3000);
    EXPECT_EQ(many[3000], '\0');
    int upper = 0, lower = 0, digit = 0;
    for (int i = 0; i < 3000; ++i) {
        unsigned char c = static_cast<unsigned char>(many[i]);
        upper += std::isupper(c) != 0;
        lower += std::islower(c) != 0;
        digit += std::isdigit(c) != 0;
    }
    EXPECT_EQ(upper + lower + digit, 3000);
    EXPECT_GT(upper, 600);
    EXPECT_GT(lower, 600);
    EXPECT_GT(digit, 600);
}

TEST(LirnLineTextTest, CutsAtTheFirstLineEndAfterOtherCharacters)
{
    char out[kLirnBlockSize + 1];
    LirnLineText(out, "\r\nab\rcd\n", 8);
    EXPECT_STREQ(out, "\r\nab");
    LirnLineText(out, "abc\0def", 7);
    EXPECT_STREQ(out, "abc");
    std::string full(kLirnBlockSize, 'q');
    LirnLineText(out, full.data(), kLirnBlockSize);
    EXPECT_EQ(std::string(out), full);
}

}  // namespace
