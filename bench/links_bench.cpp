// Links benchmark: the tunnel's links that end, stall or lose their peer, at full length (the
// README's "Faults and recovery" rows; tests/e2e/links_slow_test.cpp runs them shortened). Short
// links for a minute, a minute of one-second mode-2 sessions, a mode-1 server that never sends its
// packet, a peer's host that vanishes behind a silent path (@LIRNKA;60), a 90 s silent path with
// the outage ring, and the MQTT mode's broker behind a silent path. The last three need network
// namespaces (root); without them they say so.
//
// Not a test: it prints figures. Run with tools/run-bench (make bench).
#include "board.h"
#include "mqtt_broker.h"
#include "netns_lab.h"
#include "tunnel_loopback.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

namespace tl = tunneltest;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(long long ms)
{
    return static_cast<double>(ms) / 1000;
}

// The gateway on the tunnel road with the call up; in the lab's gateway namespace when given.
bool Start(Board& b, const std::string& config, const NetLab* lab = nullptr,
           const std::string& ready = "Create ThreadLirnHb")
{
    if (lab != nullptr) b.SetNetworkNamespace(lab->GatewayNamespace());
    return b.Run({.init = "low", .files = {{"APP/config.ini", config}}, .settings = {"qmi call up"}, .ready = ready}) &&
           b.OpenPc() >= 0;
}

std::string Tunnel(int mode, const std::string& ip, int port, const std::string& extra = "")
{
    return "@LIRNMODE;" + std::to_string(mode) + "\r\n@LIRNIP;" + ip + "\r\n@LIRNPORT;" + std::to_string(port) +
           "\r\n" + extra;
}

// Writes the numbered record "<n>\n" to the PC end every periodMs until destroyed; last() is the
// newest written.
class RecordWriter {
public:
    RecordWriter(Board& b, int periodMs)
        : thread_([&b, periodMs, this](std::stop_token stop) {
              for (int n = 1; !stop.stop_requested(); ++n) {
                  b.PcWrite(std::to_string(n) + "\n");
                  last_ = n;
                  std::this_thread::sleep_for(Millis(periodMs));
              }
          })
    {
    }
    int last() const { return last_; }

private:
    std::atomic<int> last_{0};
    std::jthread thread_;
};

std::string Missing(const std::vector<int>& got, int last)
{
    std::set<int> have(got.begin(), got.end());
    int missing = 0;
    for (int n = 1; n <= last; ++n) missing += have.count(n) == 0;
    return std::to_string(last - missing) + " of " + std::to_string(last);
}

// A poller that ends each link 3 s after it came, a record every 0.5 s for 60 s (mode 0).
void ShortLinks()
{
    int port = tl::FreePortRun(1), listener = tl::ListenOn(port);
    Board b;
    if (!Start(b, Tunnel(0, "127.0.0.1", port))) return;
    int fd = tl::AcceptWithin(listener, 20000);
    auto begin = Clock::now();
    std::vector<long long> links{0};
    std::string got;
    {
        RecordWriter writer(b, 500);
        while (fd >= 0 && MsSince(begin) < 60000) {
            auto opened = Clock::now();
            while (MsSince(opened) < 3000) got += ReadUpTo(fd, 128, Millis(3000 - MsSince(opened)));
            close(fd);
            fd = tl::AcceptWithin(listener, 70000);
            links.push_back(MsSince(begin));
        }
        got += ReadUpTo(fd, 128, Millis(1000));
        std::printf("Links ended by the peer after 3 s, 60 s: links at");
        for (long long t : links) std::printf(" %.1f", Seconds(t));
        std::printf(" s; records delivered %s\n", Missing(tl::NumberedRecords(got), writer.last()).c_str());
    }
    close(fd);
    close(listener);
}

// A client's exchange, one reply from the port, its departure: one-second sessions for 70 s; then
// five clients that break their exchange off and a good one (mode 2).
void Sessions()
{
    int port = tl::FreePortRun(2);
    Board b;
    if (!Start(b, Tunnel(2, "127.0.0.1", port)) || !b.WaitForOutput("Bind And Listen Successfully", Millis(20000)))
        return;
    auto knock = [&](tl::ExchangeClient& c) {
        return WaitUntil([&] { return (c.hb < 0 || close(std::exchange(c.hb, -1)) == 0) && c.Knock(port); },
                         Millis(120000), Millis(50));
    };
    int sessions = 0;
    auto begin = Clock::now();
    while (MsSince(begin) < 70000) {
        tl::ExchangeClient c;
        auto session = Clock::now();
        if (!knock(c)) break;
        c.Reply(port, c.packet + "@@@@@@@@@@60");
        b.PcSendUntilPeerReads(c.data, "r", 1);
        WaitUntil([&] { return MsSince(session) >= 1000; }, Millis(1000), Millis(20));  // the session's length
        ++sessions;
    }
    for (int i = 0; i < 5; ++i) {
        tl::ExchangeClient bad;
        knock(bad);
        close(tl::ConnectTo(port));
        b.WaitForOutput("Receive Initial Packet Failed", Millis(5000), i + 1);
    }
    tl::ExchangeClient good;
    auto asked = Clock::now();
    knock(good);
    good.Reply(port, good.packet + "@@@@@@@@@@60");
    b.WaitForOutput("HB Interval: 60", Millis(120000), sessions + 1);
    std::printf("Mode 2, one-second sessions for 70 s: %d sessions; after five broken exchanges a good client "
                "served in %.2f s\n", sessions, Seconds(MsSince(asked)));
}

// A mode-1 server that accepts the heartbeat connection and never sends its initial packet, 40 s.
void NoPacket()
{
    int port = tl::FreePortRun(2), listener = tl::ListenOn(port + 1);
    Board b;
    if (!Start(b, Tunnel(1, "127.0.0.1", port))) return;
    std::vector<int> held;
    std::vector<long long> at;
    auto begin = Clock::now();
    for (int fd; MsSince(begin) < 40000 && (fd = tl::AcceptWithin(listener, 40000)) >= 0; held.push_back(fd))
        at.push_back(MsSince(begin));
    std::printf("Mode 1, server without an initial packet, 40 s: connects at");
    for (long long t : at) std::printf(" %.1f", Seconds(t - at[0]));
    std::printf(" s\n");
    for (int fd : held) close(fd);
    close(listener);
}

// The peer's host vanishes behind a silent path and a new one takes its address; the gateway
// only receives (mode 0, @LIRNKA;60).
void VanishedPeer(NetLab& lab)
{
    int listener = lab.ListenInPeer(8080);
    Board b;
    if (!Start(b, Tunnel(0, NetLab::kPeerAddress, 8080, "@LIRNKA;60\r\n"), &lab)) return;
    int peer = tl::AcceptWithin(listener, 20000);
    auto cut = Clock::now();
    lab.Blackhole(true);
    close(peer);
    close(listener);
    lab.VanishPeer();
    lab.NewPeer();
    listener = lab.ListenInPeer(8080);
    lab.Blackhole(false);
    peer = tl::AcceptWithin(listener, 300000);
    std::printf("Mode 0 receiving only, @LIRNKA;60, the peer's host replaced: linked to the new host %.1f s "
                "after the old one vanished\n", Seconds(MsSince(cut)));
    close(peer);
    close(listener);
}

// The gateway's established connections to port in the lab's gateway namespace.
int GatewayLinks(const NetLab& lab, int port)
{
    int links = 0;
    lab.InGateway([&] { links = tl::EstablishedTo(port); });
    return links;
}

// Raw chunks, @LIRNBUF;8192, a record a second; the path silent for 90 s while the old host
// vanishes and a new one takes its address.
void Blackhole(NetLab& lab)
{
    int listener = lab.ListenInPeer(8080);
    Board b;
    if (!Start(b, Tunnel(0, NetLab::kPeerAddress, 8080, "@LIRNRAW;1\r\n@LIRNBUF;8192\r\n"), &lab)) return;
    int peer = tl::AcceptWithin(listener, 20000);
    RecordWriter writer(b, 1000);
    std::string before = tl::ReadFor(peer, 5000);
    auto cut = Clock::now();
    lab.Blackhole(true);
    before += tl::ReadFor(peer, 300);
    close(peer);
    close(listener);
    lab.VanishPeer();
    lab.NewPeer();
    listener = lab.ListenInPeer(8080);
    WaitUntil([&] { return GatewayLinks(lab, 8080) == 0; }, Millis(200000), Millis(100));
    long long givenUp = MsSince(cut);
    WaitUntil([&] { return MsSince(cut) >= 90000; }, Millis(100000), Millis(100));
    lab.Blackhole(false);
    auto restored = Clock::now();
    std::string after;
    for (int i = 0; i < 3 && after.empty(); ++i) {  // a connect given up as the path returned may come first
        peer = tl::AcceptWithin(listener, 200000);
        after = ReadUpTo(peer, 1, Millis(5000));
    }
    long long rebuilt = MsSince(restored);
    WaitUntil([&] {
        after += tl::ReadFor(peer, 100);
        std::vector<int> got = tl::NumberedRecords(after);
        return !got.empty() && got.back() >= writer.last();
    }, Millis(30000), Millis(0));
    std::vector<int> old = tl::NumberedRecords(before), got = tl::NumberedRecords(old.empty() ? after : before + after);
    std::set<int> twice;
    for (int n : tl::NumberedRecords(after))
        if (std::count(old.begin(), old.end(), n) > 0) twice.insert(n);
    std::printf("Mode 0, raw, @LIRNBUF;8192, a record a second, path silent 90 s, new host: link given up after "
                "%.1f s, rebuilt %.1f s after the path returned; records %s, %zu twice\n",
                Seconds(givenUp), Seconds(rebuilt), Missing(got, writer.last()).c_str(), twice.size());
    close(peer);
    close(listener);
}

// The MQTT mode (keep-alive 10 s), a record a second; the path to the broker silent for 60 s.
void SilentBroker(NetLab& lab)
{
    MqttBroker broker({.address = NetLab::kPeerAddress, .port = 1883});
    std::unique_ptr<MqttWatcher> watch;
    lab.InPeer([&] {
        if (broker.Start()) watch = std::make_unique<MqttWatcher>(1883, "watch", "lirn/+/up", NetLab::kPeerAddress);
    });
    Board b;
    std::string config = "@LIRNMODE;0\r\n@MQTTHOST;" + std::string(NetLab::kPeerAddress) + "\r\n";
    if (!watch || !Start(b, config, &lab, "MQTT Connected")) return;
    RecordWriter writer(b, 1000);
    WaitUntil([&] { return writer.last() >= 5; }, Millis(10000));
    auto cut = Clock::now();
    lab.Blackhole(true);
    b.WaitForOutput("MQTT Link Down", Millis(60000));
    long long givenUp = MsSince(cut);
    WaitUntil([&] { return MsSince(cut) >= 60000; }, Millis(70000), Millis(100));
    lab.Blackhole(false);
    auto restored = Clock::now();
    std::vector<int> got;
    watch->WaitFor([&](const std::vector<MqttMessage>& messages) {
        std::string text;
        for (const MqttMessage& m : messages) text += m.payload;
        got = tl::NumberedRecords(text);
        return !got.empty() && std::max_element(got.begin(), got.end())[0] >= writer.last();
    }, Millis(120000));
    std::printf("MQTT, keep-alive 10 s, a record a second, path to the broker silent 60 s: link given up after "
                "%.1f s; every record at the subscriber %.1f s after the path returned (%s)\n",
                Seconds(givenUp), Seconds(MsSince(restored)), Missing(got, writer.last()).c_str());
}

}  // namespace

// bench_links [NAME...]: the scenarios named (ShortLinks, Sessions, NoPacket, VanishedPeer,
// Blackhole, SilentBroker), or all of them.
int main(int argc, char** argv)
{
    std::set<std::string> only(argv + 1, argv + argc);
    auto wanted = [&](const char* name) { return only.empty() || only.count(name) > 0; };
    using Plain = void (*)();
    using InLab = void (*)(NetLab&);
    for (auto [name, run] :
         {std::pair<const char*, Plain>{"ShortLinks", ShortLinks}, {"Sessions", Sessions}, {"NoPacket", NoPacket}})
        if (wanted(name)) run();
    std::string why = NetLab::Unavailable();
    if (!why.empty()) {
        std::printf("Silent paths and vanished peers: not measured (%s)\n", why.c_str());
        return 0;
    }
    for (auto [name, run] : {std::pair<const char*, InLab>{"VanishedPeer", VanishedPeer}, {"Blackhole", Blackhole},
                             {"SilentBroker", SilentBroker}}) {
        if (!wanted(name)) continue;
        NetLab lab;
        if (lab.Ok()) run(lab);
    }
    return 0;
}
