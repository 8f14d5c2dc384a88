// Heartbeat supervision: the client's heartbeat after a failed one, huge intervals, the server's
// first window after a late handshake and its rebuild when the heartbeat connection breaks.
// Heartbeats on time and the drop of a silent client are shown end to end (e2e/tunnel_test.cpp).
#include "tunnel_support.h"

#include "cellular/datacall.h"
#include "tunnel/tunnel.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

// The link manager (used by the rebuild test) may ask the data call to hang up; nothing does here.
int hangup_actions()
{
    return 1;
}

using namespace tunneltest;
using Clock = std::chrono::steady_clock;

namespace {

class Heartbeat : public ::testing::Test {
protected:
    void TearDown() override
    {
        loops_.clear();
        TunnelTearDown();
        for (int fd : fds_) close(fd);
    }
    int Keep(int fd)
    {
        fds_.push_back(fd);
        return fd;
    }
    void Run(void (*pass)(), void (*wake)() = nullptr)
    {
        loops_.push_back(std::make_unique<PassLoop>(pass, wake));
    }
    // Mode 1 with the heartbeat connection up and the heartbeat thread's clock started; returns
    // the server's end.
    int ClientLinkUp(int interval)
    {
        TunnelSetUp(1, 4000, interval);
        auto [near, far] = ConnectedPair();
        lirnHb.sock = near;
        lirnConnect = 1;
        LirnHbStart();
        return Keep(far);
    }
    // A supervised child slot as the link manager leaves it after a handshake; returns the
    // client's ends (heartbeat, data).
    std::pair<int, int> SupervisedSlot(int interval)
    {
        auto [hbNear, hbFar] = ConnectedPair();
        auto [dataNear, dataFar] = ConnectedPair();
        lirnHbChild[0] = hbNear;
        lirnDataChild[0] = dataNear;
        lirnChildIdx[0] = 0;
        lirnHbInterval[0] = interval;
        lirnConnect = 1;
        lirnChildConnect[0] = 1;
        return {Keep(hbFar), Keep(dataFar)};
    }

    OutputCapture console_;
    std::vector<std::unique_ptr<PassLoop>> loops_;
    std::vector<int> fds_;
};

// --- mode 1 -------------------------------------------------------------------------------------

TEST_F(Heartbeat, ClientSendsAtOnceWhenTheLinkComesBackAfterAFailedHeartbeat)
{
    ClientLinkUp(2);
    shutdown(lirnHb.sock, SHUT_WR);  // the next heartbeat on it fails
    Run(LirnHbPass);
    ASSERT_TRUE(console_.WaitFor("Send HB Failed\r\n", Millis(4000)));
    EXPECT_TRUE(WaitUntil([] { return lirnConnect == 0; }, Millis(1000)));
    // The link manager would now build a new link; a short while later it is up.
    LirnClose(lirnHb);
    auto [near, far] = ConnectedPair();
    Keep(far);
    lirnHb.sock = near;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto restored = Clock::now();
    lirnConnect = 1;
    char block[kLirnBlockSize];
    ASSERT_TRUE(ReadExactly(far, block, sizeof block, 3000));
    EXPECT_LT(MsSince(restored), 700);  // not a whole interval after the restore
    EXPECT_EQ(console_.Count("Send HB Failed\r\n"), 1);
}

TEST_F(Heartbeat, HugeIntervalsNeverWrapIntoShortOnes)
{
    // 4294968 s in milliseconds wraps a 32-bit product to 704 ms.
    int far = ClientLinkUp(4294968);
    Run(LirnHbPass);
    EXPECT_EQ(ReadFor(far, 1500), "");
    EXPECT_EQ(console_.Text(), "");
}

// --- mode 2 -------------------------------------------------------------------------------------

TEST_F(Heartbeat, ServerGivesALateHandshakeAWholeFirstWindow)
{
    TunnelSetUp(2, 4000);
    lirnConnect = 1;  // listening for a while, nobody connected
    LirnHbStart();
    Run(LirnHbPass);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    auto [hb, data] = SupervisedSlot(1);
    (void)data;
    // First heartbeat 5.5 s after the handshake: inside interval + 5 s counted from it.
    std::this_thread::sleep_for(std::chrono::milliseconds(5500));
    WriteAll(hb, "h", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(console_.Count("Receive HB Timeout"), 0);
    EXPECT_EQ(lirnChildConnect[0], 1);
}

TEST_F(Heartbeat, ServerRebuildsTheListenersWhenTheClientClosesItsHeartbeatConnection)
{
    int port = FreePortRun(2);
    TunnelSetUp(2, port);
    lirnDialup = 1;
    LirnHbStart();
    Run(LirnSockPass, ShutDownListeners);
    Run(LirnHbPass);
    ASSERT_TRUE(console_.WaitFor("Bind And Listen Successfully\r\n", Millis(3000)));
    ExchangeClient c;
    ASSERT_TRUE(c.Knock(port));
    c.Reply(port, c.packet + "@@@@@@@@@@1");
    ASSERT_TRUE(WaitUntil([] { return lirnChildConnect[0] == 1; }, Millis(3000)));
    close(c.hb);
    c.hb = -1;
    EXPECT_TRUE(console_.WaitFor("[0] Receive HB Error\r\n", Millis(4000)));
    // The link manager rebuilds once its current wait for a request (up to 5 s) is over.
    EXPECT_TRUE(WaitUntil([&] { return console_.Count("Start Bind And Listen\r\n") == 2; }, Millis(7000)));
    EXPECT_TRUE(WaitClosed(c.data, 3000));
}

}  // namespace
