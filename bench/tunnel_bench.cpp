// Tunnel benchmarks on the simulated board: the firmware as a plain client (mode 0) carrying the
// board's serial port to a TCP peer on loopback, and, in the same run as a reference, socat relaying
// the same pty to the same kind of peer. Measured for each relay: CPU while the link is up and idle,
// sustained throughput both ways at once with a byte-exact check, latency from the peer to the
// serial port and from the serial port to the peer, and resident memory.
//
// Not a test: it prints figures. Run with tools/run-bench (make bench).
#include "board.h"
#include "board_util.h"
#include "control_client.h"
#include "tunnel_loopback.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tl = tunneltest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kIdleSeconds = 10;
constexpr std::size_t kThroughputBytes = 4u << 20;  // each way
constexpr int kPeerLatencySamples = 500;
constexpr int kSerialLatencySamples = 40;

struct Figures {
    double idleCpuPercent = 0;
    double upMBps = 0, downMBps = 0;  // serial to peer, peer to serial
    bool exact = false;
    double peerToSerialP50 = 0, peerToSerialP99 = 0;
    double serialToPeerP50 = 0, serialToPeerP99 = 0;
    long rssKb = 0;
};

void WriteAllWaiting(int fd, const char* p, std::size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
        } else {
            pollfd pf = {fd, POLLOUT, 0};
            poll(&pf, 1, 100);
        }
    }
}

// Reads until n payload bytes have come (zero fill of blocks dropped when strip), or timeout.
std::string ReadPayload(int fd, std::size_t n, bool strip, int timeoutMs)
{
    std::string got;
    char buf[8192];
    auto start = Clock::now();
    while (got.size() < n && MsSince(start) < timeoutMs) {
        pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, 100) <= 0) continue;
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0) continue;
        for (ssize_t i = 0; i < r; ++i)
            if (!strip || buf[i] != '\0') got += buf[i];
    }
    return got;
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Measures one relay between the pty (PC end pc) and the TCP peer; blocks: the relay zero-fills
// what it sends to the peer to whole blocks.
Figures Measure(pid_t relay, int pc, int peer, bool blocks)
{
    Figures f;
    long long before = ReadProcessUsage(relay).cpuMs;
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    f.idleCpuPercent = 100.0 * static_cast<double>(ReadProcessUsage(relay).cpuMs - before) / 1000 / kIdleSeconds;

    // Both directions at once, payload bytes never zero so the fill can be told apart.
    std::string up(kThroughputBytes, ' '), down(kThroughputBytes, ' ');
    for (std::size_t i = 0; i < kThroughputBytes; ++i) {
        up[i] = static_cast<char>('A' + i % 26);
        down[i] = static_cast<char>('a' + (i * 7) % 26);
    }
    std::string gotUp, gotDown;
    double upSeconds = 0, downSeconds = 0;
    auto start = Clock::now();
    std::thread w1([&] { WriteAllWaiting(pc, up.data(), up.size()); });
    std::thread w2([&] { WriteAllWaiting(peer, down.data(), down.size()); });
    std::thread r1([&] {
        gotUp = ReadPayload(peer, up.size(), blocks, 120000);
        upSeconds = static_cast<double>(MsSince(start)) / 1000.0;
    });
    std::thread r2([&] {
        gotDown = ReadPayload(pc, down.size(), false, 120000);
        downSeconds = static_cast<double>(MsSince(start)) / 1000.0;
    });
    w1.join();
    w2.join();
    r1.join();
    r2.join();
    f.exact = gotUp == up && gotDown == down;
    f.upMBps = static_cast<double>(gotUp.size()) / 1e6 / upSeconds;
    f.downMBps = static_cast<double>(gotDown.size()) / 1e6 / downSeconds;
    ReadPayload(peer, 1u << 30, false, 300);  // the last block's fill, if any

    std::vector<double> samples;
    for (int i = 0; i < kPeerLatencySamples; ++i) {
        auto t0 = Clock::now();
        tl::WriteAll(peer, "x", 1);
        ReadPayload(pc, 1, false, 2000);
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    f.peerToSerialP50 = Percentile(samples, 0.5);
    f.peerToSerialP99 = Percentile(samples, 0.99);

    // Bursts of 1 and 2 bytes in turn: a burst of the previous burst's size may be read without
    // waiting for the quiet gap, and this measures the gap's path.
    samples.clear();
    for (int i = 0; i < kSerialLatencySamples; ++i) {
        std::size_t n = 1 + i % 2;
        auto t0 = Clock::now();
        WriteAllWaiting(pc, "yz", n);
        ReadPayload(peer, n, blocks, 2000);
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (blocks) ReadPayload(peer, 128 - n, false, 50);  // rest of the block
    }
    f.serialToPeerP50 = Percentile(samples, 0.5);
    f.serialToPeerP99 = Percentile(samples, 0.99);
    f.rssKb = ReadProcessUsage(relay).rssKb;
    return f;
}

pid_t FirmwarePid(Board& board)
{
    std::string fw = ControlField(board.Control("pids"), "fw");
    return fw.empty() ? -1 : static_cast<pid_t>(std::atol(fw.c_str()));
}

// The peer's listener on a free loopback port.
int PeerListener(int* port)
{
    *port = tl::FreePortRun();
    return tl::ListenOn(*port);
}

bool RunFirmware(Figures& out)
{
    int port = 0;
    int listener = PeerListener(&port);
    Board board;
    char config[128];
    std::snprintf(config, sizeof config, "@LIRNMODE;0\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;%d\r\n", port);
    board.WriteFile("APP/config.ini", config);
    if (!board.Start({"--init", "low"})) return false;
    int peer = tl::AcceptWithin(listener, 30000);
    int pc = board.OpenPc();
    if (peer < 0 || pc < 0) return false;
    out = Measure(FirmwarePid(board), pc, peer, true);
    close(peer);
    close(listener);
    return true;
}

bool RunSocat(Figures& out)
{
    int port = 0;
    int listener = PeerListener(&port);
    Board board;
    if (!board.Start({"--init", "low", "--no-firmware"})) return false;
    std::string tty = board.Path("dev/ttyHSL3") + ",raw,echo=0";
    std::string tcp = "TCP:127.0.0.1:" + std::to_string(port);
    pid_t socat = fork();
    if (socat == 0) {
        execlp("socat", "socat", "-b", "128", tty.c_str(), tcp.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int peer = tl::AcceptWithin(listener, 10000);
    int pc = board.OpenPc();
    bool ok = peer >= 0 && pc >= 0;
    if (ok) out = Measure(socat, pc, peer, false);
    kill(socat, SIGTERM);
    waitpid(socat, nullptr, 0);
    if (peer >= 0) close(peer);
    close(listener);
    return ok;
}

}  // namespace

int main()
{
    Figures fw, ref;
    bool haveFw = RunFirmware(fw);
    bool haveRef = RunSocat(ref);
    if (!haveFw) std::puts("firmware run failed");
    if (!haveRef) std::puts("socat run failed");
    std::printf("%-44s %12s %12s %s\n", "tunnel on the simulated board", "lirn mode 0", "socat", "target");
    std::printf("%-44s %12.2f %12.2f %s\n", "CPU, link up and idle (% of a core)", fw.idleCpuPercent, ref.idleCpuPercent,
                "< 1");
    std::printf("%-44s %12.2f %12.2f %s\n", "throughput serial -> peer (MB/s)", fw.upMBps, ref.upMBps, ">= 1");
    std::printf("%-44s %12.2f %12.2f %s\n", "throughput peer -> serial (MB/s)", fw.downMBps, ref.downMBps, ">= 1");
    std::printf("%-44s %12s %12s %s\n", "both ways at once, byte-exact", fw.exact ? "yes" : "NO", ref.exact ? "yes" : "NO",
                "yes");
    std::printf("%-44s %12.2f %12.2f %s\n", "latency peer -> serial p50 (ms)", fw.peerToSerialP50, ref.peerToSerialP50, "");
    std::printf("%-44s %12.2f %12.2f %s\n", "latency peer -> serial p99 (ms)", fw.peerToSerialP99, ref.peerToSerialP99,
                "< 5");
    std::printf("%-44s %12.2f %12.2f %s\n", "latency serial -> peer p50 (ms, gap incl.)", fw.serialToPeerP50, ref.serialToPeerP50, "");
    std::printf("%-44s %12.2f %12.2f %s\n", "latency serial -> peer p99 (ms, gap incl.)", fw.serialToPeerP99, ref.serialToPeerP99,
                "< 100 + 5");
    std::printf("%-44s %12ld %12ld %s\n", "resident memory (kB)", fw.rssKb, ref.rssKb, "< 4096");
    return haveFw && haveRef ? 0 : 1;
}
