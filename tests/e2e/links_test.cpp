// Tunnel links that end, stall or lose their peer, end to end: ordinary short links and clients
// are rebuilt at once while only a storm is paced; the old sockets go before any wait; with the
// keep-alive a vanished peer is noticed; with the outage ring nothing the peer did not acknowledge
// is lost across a reconnect. The tests of failing paths run the board in a network namespace
// (netns_lab.h) and skip where none can be made. Minute-long: labelled slow (plain suite only).
#include "board.h"
#include "control_client.h"
#include "netns_lab.h"
#include "tunnel_loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace tl = tunneltest;

namespace {

constexpr int kLinkWaitMs = 20000;  // the firmware's start and a first look at the data call

// Starts the gateway on the tunnel road with the data call up before the firmware's first start.
void StartTunnel(Board& b, int mode, const std::string& ip, int port, const std::string& extra = "")
{
    std::string config = "@LIRNMODE;" + std::to_string(mode) + "\r\n@LIRNIP;" + ip + "\r\n@LIRNPORT;" +
                         std::to_string(port) + "\r\n@LIRNHB;10\r\n" + extra;
    ASSERT_TRUE(b.Run({.init = "low", .files = {{"APP/config.ini", config}}, .settings = {"qmi call up"},
                       .ready = "Create ThreadLirnHb Successfully\r\n"}));
    ASSERT_GE(b.OpenPc(), 0);
}

// The numbers of the records "<n>\n" in what a peer read (zero fill between blocks skipped).
std::vector<int> Records(const std::string& bytes)
{
    std::vector<int> out;
    std::string digits;
    for (char c : bytes) {
        if (c >= '0' && c <= '9') digits += c;
        if (c == '\n' && !digits.empty()) out.push_back(std::stoi(std::exchange(digits, "")));
    }
    return out;
}

// A poller that ends each link about 1.5 s after it came, right after a record: each link is
// rebuilt at once, so every record written while links come and go arrives.
TEST(Links, ShortLinksAreRebuiltAtOnceAndLoseNoRecord)
{
    int port = tl::FreePortRun(1), listener = tl::ListenOn(port);
    Board b;
    StartTunnel(b, 0, "127.0.0.1", port);
    int fd = tl::AcceptWithin(listener, kLinkWaitMs);
    // The gateway may mark the link up a moment after the accept.
    ASSERT_EQ(Records(b.PcSendUntilPeerReads(fd, "0\n", 128)), std::vector<int>{0});
    std::thread writer([&] {
        for (int n = 1; n <= 40; ++n) {
            EXPECT_TRUE(b.PcWrite(std::to_string(n) + "\n"));
            std::this_thread::sleep_for(Millis(250));  // the serial device's pace
        }
    });
    std::vector<int> got;
    std::vector<long long> gaps;  // from a link's end to the next link
    auto opened = std::chrono::steady_clock::now();
    while (fd >= 0 && (got.empty() || got.back() < 40)) {
        std::vector<int> block = Records(ReadUpTo(fd, 128, Millis(1000)));
        got.insert(got.end(), block.begin(), block.end());
        if (MsSince(opened) < 1500 && !block.empty()) continue;
        close(fd);
        auto ended = std::chrono::steady_clock::now();
        fd = tl::AcceptWithin(listener, 5000);
        gaps.push_back(MsSince(ended));
        opened = std::chrono::steady_clock::now();
    }
    writer.join();
    if (fd >= 0) close(fd);
    close(listener);
    std::vector<int> all(40);
    for (int n = 1; n <= 40; ++n) all[n - 1] = n;
    EXPECT_EQ(got, all);
    EXPECT_GE(gaps.size(), 5u);
    for (long long gap : gaps) EXPECT_LT(gap, 200);
}

// Knocks at a mode-2 gateway until its listeners take the knock (they are rebuilt after each
// client): then the client has the initial packet.
void KnockUntilTaken(tl::ExchangeClient& c, int port)
{
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (c.hb >= 0) close(std::exchange(c.hb, -1));
            return c.Knock(port);
        },
        Millis(10000), Millis(20)));
}

// Five clients break their exchange off; the next is served at once, and well-formed clients then
// follow each other without a pause: no client's departure is paced.
TEST(Links, ServerServesClientsBackToBackWhateverTheOnesBeforeDid)
{
    int port = tl::FreePortRun(2);
    Board b;
    StartTunnel(b, 2, "127.0.0.1", port);
    ASSERT_TRUE(b.WaitForOutput("Bind And Listen Successfully\r\n", Millis(kLinkWaitMs)));
    for (int i = 1; i <= 5; ++i) {
        tl::ExchangeClient bad;
        KnockUntilTaken(bad, port);
        close(tl::ConnectTo(port));  // a data connection closed without the reply
        ASSERT_TRUE(b.WaitForOutput("Receive Initial Packet Failed\r\n", Millis(5000), i));
    }
    int sessions = 0;
    auto start = std::chrono::steady_clock::now();
    while (MsSince(start) < 10000) {
        tl::ExchangeClient c;
        auto knock = std::chrono::steady_clock::now();
        KnockUntilTaken(c, port);
        c.Reply(port, c.packet + "@@@@@@@@@@60");
        ASSERT_TRUE(b.WaitForOutput("HB Interval: 60\r\n", Millis(5000), ++sessions));
        if (sessions == 1) {
            EXPECT_LT(MsSince(knock), 500) << "the first good client after five bad ones";
        }
        std::string reply = "s" + std::to_string(sessions);
        ASSERT_EQ(b.PcSendUntilPeerReads(c.data, reply, reply.size()), reply);
    }
    EXPECT_GE(sessions, 15);
}

// Listeners that cannot be set up are given up whole: none is left taking requests while the call
// is dialled again.
TEST(Links, ServerLeavesNoHalfMadeListenerWhileItRedials)
{
    int port = tl::FreePortRun(2), taken = tl::ListenOn(port);  // the data port is someone else's
    Board b;
    StartTunnel(b, 2, "127.0.0.1", port);
    ASSERT_TRUE(b.WaitForOutput("Bind And Listen Failed\r\n", Millis(kLinkWaitMs)));
    int knock = tl::ConnectTo(port + 1);
    EXPECT_LT(knock, 0) << "the heartbeat listener outlived the failed set-up";
    if (knock >= 0) close(knock);
    close(taken);
    EXPECT_TRUE(b.WaitForOutput("Bind And Listen Successfully\r\n", Millis(30000)));
}

// A server that never sends its initial packet: each build waits its 5 s for it, and the next
// build goes at once.
TEST(Links, ClientTriesAServerWithoutAPacketEveryFiveSeconds)
{
    int port = tl::FreePortRun(2), hbListener = tl::ListenOn(port + 1);
    Board b;
    StartTunnel(b, 1, "127.0.0.1", port);
    std::vector<int> knocks;
    std::vector<long long> at;
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        knocks.push_back(tl::AcceptWithin(hbListener, kLinkWaitMs));
        ASSERT_GE(knocks.back(), 0);
        at.push_back(MsSince(begin));
    }
    for (int i = 1; i < 4; ++i) EXPECT_LT(at[i] - at[i - 1], 5900) << "knock " << i;
    for (int fd : knocks) close(fd);
    close(hbListener);
}

}  // namespace
