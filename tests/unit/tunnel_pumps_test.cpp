// Data pumps between a pty standing in for the RS-232 port and a loopback peer: chunking by the
// block size, the wire form per mode, the server's outage ring, and failures that lower the link.
// The peer's bytes reaching the port unchanged in each mode, with the client's first-line console
// text, and input dropped while the link is down are shown end to end (e2e/tunnel_test.cpp).
#include "tunnel_support.h"

#include "config/config.h"
#include "logging/log.h"
#include "serial/uart.h"
#include "tunnel/tunnel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tunneltest;
using Clock = std::chrono::steady_clock;

namespace {

class Pumps : public TunnelTest {
protected:
    void Start(int mode)
    {
        TunnelSetUp(mode, 4000);
        ASSERT_GT(LirnRecvOpen(), 0);
        std::tie(near_, far_) = ConnectedPair();
        if (mode == 2) {
            lirnDataChild[0] = near_;
            lirnChildIdx[0] = 0;
            lirnChildConnect[0] = 1;
        } else {
            lirnData.sock = near_;
        }
        lirnConnect = 1;
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
            lirnChildConnect[0] = 0;
        });
    }
    // One burst from the port: what the peer receives and the console line that says so.
    void ExpectSent(int mode, const std::string& burst, const std::string& wire, const std::string& line)
    {
        Start(mode);
        Pump(LirnSendPass);
        pty_.Write(burst);
        EXPECT_EQ(ReadFor(far_, 1000), wire);
        EXPECT_TRUE(console_.WaitFor(line, Millis(1000)));
    }
    // Resets the connection from the peer's side, so the firmware's next use of it fails.
    void ResetPeer()
    {
        linger hard = {1, 0};
        setsockopt(far_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close(far_);
        far_ = -1;
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

// A client sends a zero-filled block; a server the bytes up to the first zero byte. The quiet gap
// itself is the gathering's (console_framing_test.cpp).
TEST_F(Pumps, ClientSendsABurstAsOneZeroFilledBlock)
{
    ExpectSent(1, "hello", Block("hello"), "Send Packet Successfully\r\n");
}

TEST_F(Pumps, ServerSendsTheChunkUpToItsFirstZeroByte)
{
    ExpectSent(2, std::string("ab\0cd", 5), "ab", "[0] Send Packet Successfully\r\n");
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
    lirnChildConnect[0] = 0;
    lirnSet.rawChunks = 1;
    lirnSet.quietGapMs = 5;
    lirnSet.outageBytes = 8;
    LirnSendStart();
    pty_.Write(std::string("0123\0xyz\0abc", 12));
    // Passes run here, so the pass that empties the port has also stored what it read.
    ASSERT_TRUE(WaitUntil([] { LirnSendPass(); return uart_datasize_in_com(uartFd) == 0; }, Millis(2000), Millis(0)));
    EXPECT_EQ(ReadFor(far_, 100), "");
    lirnChildConnect[0] = 1;
    LirnSendPass();
    EXPECT_EQ(ReadFor(far_, 300), std::string("\0xyz\0abc", 8));
    EXPECT_TRUE(console_.WaitFor("Outage Ring Dropped 4 Bytes\r\n", Millis(1000)));
    const LogEvent& e = logBuffer[LogPushIdx() - 1];
    EXPECT_STREQ(e.eventClass, "2");
    EXPECT_STREQ(e.code, "9");
    EXPECT_EQ(e.count, 4);
}

TEST_F(Pumps, AFailedSendLowersTheLink)
{
    Start(1);
    ResetPeer();
    Pump(LirnSendPass);
    pty_.Write("x");
    EXPECT_TRUE(console_.WaitFor("res: -4\r\nSend Packet Failed\r\n", Millis(2000)));
    // The message comes first, the link word right after it.
    EXPECT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(2000)));
}

// --- network to serial --------------------------------------------------------------------------

TEST_F(Pumps, PeerClosingTheDataConnectionLowersTheLink)
{
    Start(1);
    Pump(LirnRecvPass);
    close(far_);
    far_ = -1;
    EXPECT_TRUE(console_.WaitFor("Receive Packet Failed\r\n", Millis(2000)));
    EXPECT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(1000)));
    EXPECT_EQ(TunnelEvents(), std::vector<int>{7});
}

TEST_F(Pumps, ServerLowersTheLinkWhenItsClientCloses)
{
    Start(2);
    Pump(LirnRecvPass);
    close(far_);
    far_ = -1;
    EXPECT_TRUE(console_.WaitFor("[0] Receive Packet Failed\r\n", Millis(2000)));
    EXPECT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(1000)));
    // Until the link manager rebuilds, the broken slot is not tried again and again.
    EXPECT_FALSE(WaitUntil([&] { return console_.Count("[0] Receive Packet Failed\r\n") > 1; }, Millis(300)));
    lirnChildConnect[0] = 0;  // the rebuild frees the slot
}

TEST_F(Pumps, ServerDroppingASilentClientClosesItAtOnceAndKeepsTheLink)
{
    Start(2);
    ASSERT_TRUE(Pump(LirnRecvPass).WaitAsleep(Millis(2000)));  // the pump waits on the slot
    // What the heartbeat thread does with a client that fell silent.
    lirnChildConnect[0] = 0;
    LirnChildClose(lirnDataChild, 0);
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
