// Tunnel links that end, stall or lose their peer, end to end: ordinary short links and clients
// are rebuilt at once while only a storm is paced; the old sockets go before any wait; with the
// keep-alive a vanished peer is noticed; with the outage ring nothing the peer did not acknowledge
// is lost across a reconnect. The tests of failing paths run the board in a network namespace
// (netns_lab.h) and skip where none can be made. Minute-long: labelled slow (plain suite only).
#include "board.h"
#include "control_client.h"
#include "mqtt_broker.h"
#include "netns_lab.h"
#include "tunnel_loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace tl = tunneltest;

namespace {

constexpr int kLinkWaitMs = 20000;  // the firmware's start and a first look at the data call

// Starts the gateway on the tunnel road (or in the MQTT mode, ready at its first connect) with the
// data call up before the firmware's first start.
void StartTunnel(Board& b, int mode, const std::string& ip, int port, const std::string& extra = "",
                 const std::string& ready = "Create ThreadLirnHb Successfully\r\n")
{
    std::string config = "@LIRNMODE;" + std::to_string(mode) + "\r\n@LIRNIP;" + ip + "\r\n@LIRNPORT;" +
                         std::to_string(port) + "\r\n@LIRNHB;10\r\n" + extra;
    ASSERT_TRUE(b.Run({.init = "low", .files = {{"APP/config.ini", config}}, .settings = {"qmi call up"},
                       .ready = ready}));
    ASSERT_GE(b.OpenPc(), 0);
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
    ASSERT_EQ(tl::NumberedRecords(b.PcSendUntilPeerReads(fd, "0\n", 128)), std::vector<int>{0});
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
        std::vector<int> block = tl::NumberedRecords(ReadUpTo(fd, 128, Millis(1000)));
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

// Knocks at a mode-2 gateway until its listeners take the knock: then the client has the initial
// packet. A knock the listeners of a departed client refuse makes the gateway build new ones; the
// next knock waits for them (a knock at a closed port could connect a socket to itself).
void KnockUntilTaken(Board& b, tl::ExchangeClient& c, int port)
{
    for (int tries = 0; tries < 5; ++tries) {
        int listens = b.CountOutput("Bind And Listen Successfully\r\n");
        if (c.Knock(port)) return;
        close(std::exchange(c.hb, -1));
        ASSERT_TRUE(b.WaitForOutput("Bind And Listen Successfully\r\n", Millis(10000), listens + 1));
    }
    FAIL() << "no knock taken";
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
        KnockUntilTaken(b, bad, port);
        close(tl::ConnectTo(port));  // a data connection closed without the reply
        ASSERT_TRUE(b.WaitForOutput("Receive Initial Packet Failed\r\n", Millis(5000), i));
    }
    int sessions = 0;
    auto start = std::chrono::steady_clock::now();
    while (MsSince(start) < 10000) {
        tl::ExchangeClient c;
        auto knock = std::chrono::steady_clock::now();
        KnockUntilTaken(b, c, port);
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
    // The call redialled after the failure stays down until the test brings it up, so that no
    // next set-up (whose heartbeat listener comes before its data listener) meets the knock.
    std::string config = "@LIRNMODE;2\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;" + std::to_string(port) + "\r\n";
    ASSERT_TRUE(b.Run({.init = "low", .files = {{"APP/config.ini", config}}, .settings = {"qmi call up", "qmi connect never"},
                       .ready = "Create ThreadLirnHb Successfully\r\n"}));
    ASSERT_TRUE(b.WaitForOutput("Bind And Listen Failed\r\n", Millis(kLinkWaitMs)));
    ASSERT_TRUE(WaitUntil([&] { return b.QmiStateCount("stops") >= 1; }, Millis(kLinkWaitMs)));
    int knock = tl::ConnectTo(port + 1);
    EXPECT_LT(knock, 0) << "the heartbeat listener outlived the failed set-up";
    if (knock >= 0) close(knock);
    close(taken);
    ASSERT_TRUE(ControlOk(b.Control("qmi call up")));
    EXPECT_TRUE(b.WaitForOutput("Bind And Listen Successfully\r\n", Millis(30000)));
}

// A server that never sends its initial packet: each build waits its 5 s for it, and the next
// build goes at once, without a hang-up.
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
    EXPECT_EQ(b.CountOutput("Receive Initial Packet Failed\r\n"), 3);
    EXPECT_EQ(b.QmiStateCount("stops"), 0);
    for (int fd : knocks) close(fd);
    close(hbListener);
}

// ---- Failing paths, in network namespaces ----

constexpr int kPeerPort = 8080;

// The gateway's established connections to the peer's port.
int GatewayLinks(const NetLab& lab)
{
    int links = 0;
    lab.InGateway([&] { links = tl::EstablishedTo(kPeerPort); });
    return links;
}

// A lab and a gateway in its gateway namespace, the peer's host listening on kPeerPort.
class LinksNet : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = NetLab::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        lab_ = std::make_unique<NetLab>();
        ASSERT_TRUE(lab_->Ok());
        listener_ = lab_->ListenInPeer(kPeerPort);
        ASSERT_GE(listener_, 0);
    }
    void TearDown() override
    {
        for (int fd : {peer_, listener_})
            if (fd >= 0) close(fd);
    }
    void Start(const std::string& extra)
    {
        board_.SetNetworkNamespace(lab_->GatewayNamespace());
        StartTunnel(board_, 0, NetLab::kPeerAddress, kPeerPort, extra);
        peer_ = tl::AcceptWithin(listener_, kLinkWaitMs);
        ASSERT_GE(peer_, 0);
    }
    // A numbered record "<n>\n" at the PC end every 250 ms, the serial device's pace, from now on.
    void WriteRecords()
    {
        writer_ = std::jthread([this](std::stop_token stop) {
            for (int n = 1; !stop.stop_requested(); ++n) {
                EXPECT_TRUE(board_.PcWrite(std::to_string(n) + "\n"));
                last_ = n;
                std::this_thread::sleep_for(Millis(250));
            }
        });
    }
    // The path goes silent, the peer's host vanishes behind it (the test's sockets closed first: no
    // FIN or RST gets through) and a new host takes its address. What was on its way to the old
    // host before the silence is added to onItsWay.
    void ReplaceHostBehindBlackhole(std::string* onItsWay = nullptr)
    {
        ASSERT_TRUE(lab_->Blackhole(true));
        if (onItsWay != nullptr) *onItsWay += tl::ReadFor(peer_, 300);
        close(std::exchange(peer_, -1));
        close(std::exchange(listener_, -1));
        ASSERT_TRUE(lab_->VanishPeer());
        ASSERT_TRUE(lab_->NewPeer());
        listener_ = lab_->ListenInPeer(kPeerPort);
        ASSERT_GE(listener_, 0);
    }

    std::unique_ptr<NetLab> lab_;
    Board board_;
    int listener_ = -1, peer_ = -1;
    std::atomic<int> last_{0};  // the newest record written
    std::jthread writer_;
};

// Receiving only, @LIRNKA;10: the keep-alive's probe meets the new host, whose reset ends the old
// link, and the gateway connects to the new host well within twice the keep-alive.
TEST_F(LinksNet, ReceivingClientFindsTheNewHostOfAVanishedPeerByItsKeepAlive)
{
    Start("@LIRNKA;10\r\n");
    tl::WriteAll(peer_, "old\n", 4);
    EXPECT_EQ(board_.PcRead(4, Millis(3000)), "old\n");
    auto cut = std::chrono::steady_clock::now();
    ReplaceHostBehindBlackhole();
    ASSERT_TRUE(lab_->Blackhole(false));
    peer_ = tl::AcceptWithin(listener_, 30000);
    ASSERT_GE(peer_, 0) << "no link to the new host";
    EXPECT_LT(MsSince(cut), 20000);
    std::printf("vanished peer, @LIRNKA;10: new host linked %lld ms after the cut\n", MsSince(cut));
    tl::WriteAll(peer_, "new\n", 4);
    EXPECT_EQ(board_.PcRead(4, Millis(3000)), "new\n");
}

// Raw chunks, @LIRNBUF;8192, @LIRNKA;10 (a user time-out of 20 s), a numbered record every 250 ms:
// the path is silent for 25 s while the old host vanishes and a new one takes its address. The
// link is given up within the user time-out and rebuilt once the path is back; every record the
// old host did not acknowledge reaches the new one, so together none is missing, each in order.
TEST_F(LinksNet, BlackholedLinkGivenUpAndEveryRecordDeliveredAcrossTheNewHost)
{
    Start("@LIRNRAW;1\r\n@LIRNBUF;8192\r\n@LIRNKA;10\r\n");
    WriteRecords();
    std::string before = tl::ReadFor(peer_, 3000);
    auto cut = std::chrono::steady_clock::now();
    ReplaceHostBehindBlackhole(&before);
    ASSERT_TRUE(WaitUntil([&] { return GatewayLinks(*lab_) == 0; }, Millis(30000), Millis(100)));
    long long givenUp = MsSince(cut);
    EXPECT_LT(givenUp, 20000 + 3000) << "given up later than the user time-out";
    EXPECT_GT(givenUp, 10000) << "given up before the keep-alive could tell";
    ASSERT_TRUE(WaitUntil([&] { return MsSince(cut) >= 25000; }, Millis(30000), Millis(100)));
    ASSERT_TRUE(lab_->Blackhole(false));
    auto restored = std::chrono::steady_clock::now();
    // A connect the gateway gave up as the path came back may have reached the new host first: it
    // closes at once, and the link follows it.
    std::string after;
    for (int attempt = 0; after.empty() && attempt < 3; ++attempt) {
        if (peer_ >= 0) close(peer_);
        peer_ = tl::AcceptWithin(listener_, 40000);
        ASSERT_GE(peer_, 0) << "no link once the path was back";
        after = ReadUpTo(peer_, 1, Millis(5000));
    }
    long long rebuilt = MsSince(restored);
    std::vector<int> got;
    ASSERT_TRUE(WaitUntil(
        [&] {
            after += tl::ReadFor(peer_, 100);
            got = tl::NumberedRecords(after);
            return !got.empty() && got.back() >= last_;
        },
        Millis(15000), Millis(0)));
    writer_.request_stop();
    std::printf("blackhole 25 s: given up after %lld ms, rebuilt %lld ms after the path returned\n", givenUp, rebuilt);
    std::vector<int> old = tl::NumberedRecords(before);
    ASSERT_FALSE(old.empty());
    for (std::size_t i = 0; i < old.size(); ++i) EXPECT_EQ(old[i], static_cast<int>(i) + 1) << "old host, record " << i;
    ASSERT_FALSE(got.empty());
    EXPECT_LE(got.front(), old.back() + 1) << "records lost between the hosts";
    for (std::size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i], got[i - 1] + 1) << "new host, record " << i;
}

// The MQTT mode with the broker behind the router, keep-alive 4 s, a numbered record every 250 ms:
// the path goes silent for 10 s. The gateway gives the link up within one and a half keep-alives of
// its oldest unanswered packet (the records it publishes meanwhile do not put that off), and once
// the path is back every record reaches the subscriber, in order (a resent chunk may come twice).
TEST_F(LinksNet, BrokerBehindASilentPathIsGivenUpInTimeAndEveryRecordArrives)
{
    MqttBroker broker({.address = NetLab::kPeerAddress, .port = 1883});
    std::unique_ptr<MqttWatcher> watch;
    ASSERT_TRUE(lab_->InPeer([&] {
        ASSERT_TRUE(broker.Start());
        watch = std::make_unique<MqttWatcher>(1883, "watch", "lirn/+/up", NetLab::kPeerAddress);
    }));
    ASSERT_TRUE(watch);
    board_.SetNetworkNamespace(lab_->GatewayNamespace());
    // The keep-alive is @LIRNHB, the later line of the two.
    StartTunnel(board_, 0, "", 0, "@LIRNHB;4\r\n@MQTTHOST;" + std::string(NetLab::kPeerAddress) + "\r\n",
                "MQTT Connected");
    WriteRecords();
    ASSERT_TRUE(WaitUntil([&] { return last_ >= 8; }, Millis(5000)));
    auto cut = std::chrono::steady_clock::now();
    ASSERT_TRUE(lab_->Blackhole(true));
    ASSERT_TRUE(board_.WaitForOutput("MQTT Link Down: Broker Silent", Millis(15000)));
    long long givenUp = MsSince(cut);
    EXPECT_LT(givenUp, 6000 + 1000) << "not within one and a half keep-alives of the first unanswered record";
    ASSERT_TRUE(WaitUntil([&] { return MsSince(cut) >= 10000; }, Millis(15000), Millis(100)));
    ASSERT_TRUE(lab_->Blackhole(false));
    auto restored = std::chrono::steady_clock::now();
    std::vector<int> got;
    auto whole = [&](const std::vector<MqttMessage>& messages) {
        std::set<std::string> seen;
        std::string text;
        for (const MqttMessage& m : messages)
            if (seen.insert(m.payload).second) text += m.payload;
        got = tl::NumberedRecords(text);
        return !got.empty() && got.back() >= last_;
    };
    EXPECT_TRUE(watch->WaitFor(whole, Millis(60000))) << board_.Output();
    writer_.request_stop();
    std::printf("MQTT, keep-alive 4 s, path silent 10 s: given up after %lld ms, all records %lld ms after the "
                "path returned\n", givenUp, MsSince(restored));
    ASSERT_FALSE(got.empty());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<int>(i) + 1) << "record " << i;
}

}  // namespace
