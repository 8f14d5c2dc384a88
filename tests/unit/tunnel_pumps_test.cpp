// Data pumps between a pty standing in for the RS-232 port and a loopback peer: chunking by the
// quiet gap and the block size, the wire form per mode, input dropped while the link is down, and
// failures that lower the link. The peer's bytes reaching the port unchanged in each mode, with
// the client's first-line console text, are shown end to end (e2e/tunnel_test.cpp).
#include "tunnel_support.h"

#include "serial/uart.h"
#include "tunnel/tunnel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tunneltest;
using Clock = std::chrono::steady_clock;

namespace {

class Pumps : public ::testing::Test {
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
        loops_.clear();
        TunnelTearDown();
        if (far_ >= 0) close(far_);
    }
    // A receive pump in its 5-second wait is woken by shutting the connection down; a server's
    // pump waiting for the rebuild after that failure, by freeing the slot as the rebuild does.
    void Run(std::function<void()> pass)
    {
        loops_.push_back(std::make_unique<PassLoop>(std::move(pass), [this] {
            if (near_ >= 0) shutdown(near_, SHUT_RDWR);
            lirnChildConnect[0] = 0;
        }));
    }
    // Resets the connection from the peer's side, so the firmware's next use of it fails.
    void ResetPeer()
    {
        linger hard = {1, 0};
        setsockopt(far_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close(far_);
        far_ = -1;
    }

    OutputCapture console_;
    TempSysroot root_;
    TestPty pty_{root_.Path(UART_TUNNEL_DEV)};
    int near_ = -1, far_ = -1;
    std::vector<std::unique_ptr<PassLoop>> loops_;
};

std::string Block(const std::string& bytes)
{
    std::string b = bytes;
    b.resize(kLirnBlockSize, '\0');
    return b;
}

// --- serial to network --------------------------------------------------------------------------

TEST_F(Pumps, ClientSendsABurstAsOneZeroFilledBlockAfterTheQuietGap)
{
    Start(1);
    Run(LirnSendPass);
    auto written = Clock::now();
    pty_.Write("hello");
    char block[kLirnBlockSize];
    ASSERT_TRUE(ReadExactly(far_, block, sizeof block, 2000));
    EXPECT_GE(MsSince(written), 95);
    EXPECT_EQ(std::string(block, sizeof block), Block("hello"));
    EXPECT_EQ(ReadFor(far_, 300), "");
    EXPECT_TRUE(console_.WaitFor("Send Packet Successfully\r\n", Millis(1000)));
}

TEST_F(Pumps, ServerSendsTheChunkUpToItsFirstZeroByte)
{
    Start(2);
    Run(LirnSendPass);
    pty_.Write("hello");
    EXPECT_EQ(ReadFor(far_, 500), "hello");
    pty_.Write(std::string("ab\0cd", 5));
    EXPECT_EQ(ReadFor(far_, 500), "ab");
    EXPECT_EQ(console_.Count("[0] Send Packet Successfully\r\n"), 2);
}

TEST_F(Pumps, ALongBurstGoesOutAsFullBlocksAtOnceThenTheRestAfterTheGap)
{
    Start(0);
    Run(LirnSendPass);
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

TEST_F(Pumps, InputWhileTheLinkIsDownIsDroppedNeverSentLater)
{
    Start(1);
    lirnConnect = 0;
    Run(LirnSendPass);
    pty_.Write("stale");
    ASSERT_TRUE(WaitUntil([] { return uart_datasize_in_com(uartFd) == 0; }, Millis(2000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    lirnConnect = 1;
    pty_.Write("fresh");
    EXPECT_EQ(ReadFor(far_, 600), Block("fresh"));
}

TEST_F(Pumps, AFailedSendLowersTheLink)
{
    Start(1);
    ResetPeer();
    Run(LirnSendPass);
    pty_.Write("x");
    EXPECT_TRUE(console_.WaitFor("res: -4\r\nSend Packet Failed\r\n", Millis(2000)));
    // The message comes first, the link word right after it.
    EXPECT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(2000)));
}

// --- network to serial --------------------------------------------------------------------------

TEST_F(Pumps, PeerClosingTheDataConnectionLowersTheLink)
{
    Start(1);
    Run(LirnRecvPass);
    close(far_);
    far_ = -1;
    EXPECT_TRUE(console_.WaitFor("Receive Packet Failed\r\n", Millis(2000)));
    EXPECT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(1000)));
}

TEST_F(Pumps, ServerLowersTheLinkWhenItsClientCloses)
{
    Start(2);
    Run(LirnRecvPass);
    close(far_);
    far_ = -1;
    EXPECT_TRUE(console_.WaitFor("[0] Receive Packet Failed\r\n", Millis(2000)));
    EXPECT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(1000)));
    // Until the link manager rebuilds, the broken slot is not tried again and again.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(console_.Count("[0] Receive Packet Failed\r\n"), 1);
    lirnChildConnect[0] = 0;  // the rebuild frees the slot
}

TEST_F(Pumps, ServerDroppingASilentClientClosesItAtOnceAndKeepsTheLink)
{
    Start(2);
    Run(LirnRecvPass);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the pump waits on the slot
    // What the heartbeat thread does with a client that fell silent.
    lirnChildConnect[0] = 0;
    LirnChildClose(lirnDataChild, 0);
    EXPECT_TRUE(WaitClosed(far_, 1000));  // not only when the pump's 5-second wait ends
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(lirnConnect, 1);  // the listeners stay for the next client
    EXPECT_EQ(console_.Count("Receive Packet Failed"), 0);
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
