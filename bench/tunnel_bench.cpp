// Tunnel benchmarks on the simulated board: the firmware as a plain client (mode 0) carrying the
// board's serial port to a TCP peer on loopback, and, in the same run as a reference, socat relaying
// the same pty to the same kind of peer. Measured for each relay: CPU while the link is up and idle,
// wake-ups per thread while idle, CPU while carrying the port's top line rate both ways, sustained
// throughput both ways at once with a byte-exact check, latency from the peer to the serial port
// and from the serial port to the peer, and resident memory. The firmware's idle CPU and wake-ups
// are also measured with the link up in modes 1 and 2.
//
// Not a test: it prints figures. Run with tools/run-bench (make bench).
#include "board.h"
#include "board/ticks.h"
#include "board_util.h"
#include "control_client.h"
#include "tunnel_loopback.h"

#include <algorithm>
#include <atomic>
#include <dirent.h>
#include <map>
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
constexpr int kSerialLatencySamples = 200;
// The port's top line rate (460,800 baud) in bytes a second, and how long it is carried.
constexpr int kLineRateBytes = 46000;
constexpr int kLineRateSeconds = 10;

// Context switches of one thread while idle, by its name.
using Wakeups = std::map<std::string, double>;

struct Figures {
    double idleCpuPercent = 0;
    Wakeups idleWakeups;  // per second
    double lineRateCpuPercent = 0;
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

// Voluntary and involuntary context switches of each thread of a process, by thread name (threads
// of the same name are summed).
std::map<std::string, long long> ThreadSwitches(pid_t pid)
{
    std::map<std::string, long long> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string task = dir + "/" + e->d_name;
        std::ifstream comm(task + "/comm");
        std::string name;
        std::getline(comm, name);
        std::ifstream status(task + "/status");
        long long n = 0;
        for (std::string line; std::getline(status, line);)
            if (line.find("ctxt_switches:") != std::string::npos) n += std::atoll(line.c_str() + line.find(':') + 1);
        out[name] += n;
    }
    closedir(d);
    return out;
}

// CPU (% of a core) and per-thread wake-ups a second of a process over a quiet window.
void MeasureIdle(pid_t pid, Figures& f)
{
    long long before = ReadProcessUsage(pid).cpuMs;
    auto switches = ThreadSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    f.idleCpuPercent = 100.0 * static_cast<double>(ReadProcessUsage(pid).cpuMs - before) / 1000 / kIdleSeconds;
    for (const auto& [name, n] : ThreadSwitches(pid))
        f.idleWakeups[name] = static_cast<double>(n - switches[name]) / kIdleSeconds;
}

// Carries kLineRateBytes a second each way for kLineRateSeconds, paced in 10 ms slices, and
// returns the relay's CPU over that time (% of a core). Whatever arrives is drained.
double MeasureLineRate(pid_t pid, int pc, int peer)
{
    std::atomic<bool> done{false};
    auto drain = [&](int fd) {
        char buf[8192];
        while (!done) {
            pollfd pf = {fd, POLLIN, 0};
            if (poll(&pf, 1, 50) > 0 && read(fd, buf, sizeof buf) <= 0) return;
        }
    };
    std::thread d1(drain, pc), d2(drain, peer);
    const std::string slice(kLineRateBytes / 100, 'r');
    long long before = ReadProcessUsage(pid).cpuMs;
    auto start = Clock::now();
    for (int i = 0; i < kLineRateSeconds * 100; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * i));
        WriteAllWaiting(pc, slice.data(), slice.size());
        WriteAllWaiting(peer, slice.data(), slice.size());
    }
    double seconds = static_cast<double>(MsSince(start)) / 1000.0;
    double cpu = 100.0 * static_cast<double>(ReadProcessUsage(pid).cpuMs - before) / 1000 / seconds;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last chunks
    done = true;
    d1.join();
    d2.join();
    return cpu;
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
    MeasureIdle(relay, f);
    f.lineRateCpuPercent = MeasureLineRate(relay, pc, peer);
    ReadPayload(peer, 1u << 30, false, 300);
    ReadPayload(pc, 1u << 30, false, 300);

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

    // The peer answers as promptly as the relays it measures (they ask for the same slice).
    ThreadShortSlice();
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

// Starts the firmware on the board in a tunnel mode with the peer's (or its own) data port.
bool StartInMode(Board& board, int mode, int port)
{
    char config[128];
    std::snprintf(config, sizeof config, "@LIRNMODE;%d\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;%d\r\n", mode, port);
    board.WriteFile("APP/config.ini", config);
    return board.Start({"--init", "low"});
}

bool RunFirmware(Figures& out)
{
    int port = 0;
    int listener = PeerListener(&port);
    Board board;
    if (!StartInMode(board, 0, port)) return false;
    int peer = tl::AcceptWithin(listener, 30000);
    int pc = board.OpenPc();
    if (peer < 0 || pc < 0) return false;
    out = Measure(FirmwarePid(board), pc, peer, true);
    close(peer);
    close(listener);
    return true;
}

// Mode 1: the bench is the server. It sends the initial packet on the heartbeat connection and
// takes the reply on the data connection, then lets the heartbeats come.
bool RunMode1(Figures& out)
{
    int port = tl::FreePortRun(2);
    int data = tl::ListenOn(port), hb = tl::ListenOn(port + 1);
    Board board;
    if (!StartInMode(board, 1, port)) return false;
    int hbPeer = tl::AcceptWithin(hb, 30000);
    if (hbPeer < 0) return false;
    tl::WriteAll(hbPeer, "ABCDEFGHIJ", 10);
    int dataPeer = tl::AcceptWithin(data, 10000);
    char reply[128];
    bool ok = dataPeer >= 0 && tl::ReadExactly(dataPeer, reply, sizeof reply, 10000);
    std::atomic<bool> done{false};
    std::thread drain([&] {
        while (!done) ReadPayload(hbPeer, 1u << 30, false, 200);
    });
    if (ok) MeasureIdle(FirmwarePid(board), out);
    done = true;
    drain.join();
    for (int fd : {hbPeer, dataPeer, data, hb})
        if (fd >= 0) close(fd);
    return ok;
}

// Mode 2: the bench is the client. It answers the initial packet with an interval longer than the
// measurement, so no heartbeat is due while it runs.
bool RunMode2(Figures& out)
{
    int port = tl::FreePortRun(2);
    Board board;
    if (!StartInMode(board, 2, port)) return false;
    if (!board.OutputHasLinesInOrder({"Bind And Listen Successfully\r"}, Millis(30000))) return false;
    int hb = tl::ConnectTo(port + 1);
    char packet[11] = {};
    if (hb < 0 || !tl::ReadExactly(hb, packet, 10, 10000)) return false;
    int data = tl::ConnectTo(port);
    std::string reply = std::string(packet) + "@@@@@@@@@@60";
    reply.resize(128, '\0');
    if (data >= 0) tl::WriteAll(data, reply.data(), reply.size());
    bool ok = data >= 0 && board.OutputHasLinesInOrder({"HB Interval: 60\r"}, Millis(10000));
    if (ok) MeasureIdle(FirmwarePid(board), out);
    for (int fd : {hb, data})
        if (fd >= 0) close(fd);
    return ok;
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

void PrintWakeups(const char* relay, const Wakeups& w)
{
    double total = 0;
    for (const auto& [name, n] : w) total += n;
    std::printf("  %s: %.1f wake-ups/s while idle", relay, total);
    for (const auto& [name, n] : w)
        if (n >= 0.05) std::printf(", %s %.1f", name.c_str(), n);
    std::printf("\n");
}

}  // namespace

int main()
{
    Figures fw, ref, m1, m2;
    bool haveFw = RunFirmware(fw);
    bool haveRef = RunSocat(ref);
    bool haveM1 = RunMode1(m1);
    bool haveM2 = RunMode2(m2);
    if (!haveFw) std::puts("firmware run failed");
    if (!haveRef) std::puts("socat run failed");
    if (!haveM1) std::puts("mode 1 run failed");
    if (!haveM2) std::puts("mode 2 run failed");
    std::printf("%-44s %12s %12s %s\n", "tunnel on the simulated board", "lirn mode 0", "socat", "target");
    std::printf("%-44s %12.2f %12.2f %s\n", "CPU, link up and idle (% of a core)", fw.idleCpuPercent, ref.idleCpuPercent,
                "<= 0.2");
    std::printf("%-44s %12.2f %12s %s\n", "  the same in mode 1", m1.idleCpuPercent, "", "<= 0.2");
    std::printf("%-44s %12.2f %12s %s\n", "  the same in mode 2", m2.idleCpuPercent, "", "<= 0.2");
    std::printf("%-44s %12.2f %12.2f %s\n", "CPU carrying 46 kB/s each way (% of a core)", fw.lineRateCpuPercent,
                ref.lineRateCpuPercent, "<= 2.5");
    std::printf("%-44s %12.2f %12.2f %s\n", "throughput serial -> peer (MB/s)", fw.upMBps, ref.upMBps, ">= 1");
    std::printf("%-44s %12.2f %12.2f %s\n", "throughput peer -> serial (MB/s)", fw.downMBps, ref.downMBps, ">= 1");
    std::printf("%-44s %12s %12s %s\n", "both ways at once, byte-exact", fw.exact ? "yes" : "NO", ref.exact ? "yes" : "NO",
                "yes");
    std::printf("%-44s %12.2f %12.2f %s\n", "latency peer -> serial p50 (ms)", fw.peerToSerialP50, ref.peerToSerialP50, "");
    std::printf("%-44s %12.2f %12.2f %s\n", "latency peer -> serial p99 (ms)", fw.peerToSerialP99, ref.peerToSerialP99,
                "< 2");
    std::printf("%-44s %12.2f %12.2f %s\n", "latency serial -> peer p50 (ms, gap incl.)", fw.serialToPeerP50, ref.serialToPeerP50, "");
    std::printf("%-44s %12.2f %12.2f %s\n", "latency serial -> peer p99 (ms, gap incl.)", fw.serialToPeerP99, ref.serialToPeerP99,
                "< 100 + 2");
    std::printf("%-44s %12ld %12ld %s\n", "resident memory (kB)", fw.rssKb, ref.rssKb, "< 4096");
    std::printf("wake-ups per thread (target: <= 25/s in total)\n");
    PrintWakeups("lirn mode 0", fw.idleWakeups);
    PrintWakeups("lirn mode 1", m1.idleWakeups);
    PrintWakeups("lirn mode 2", m2.idleWakeups);
    PrintWakeups("socat", ref.idleWakeups);
    return haveFw && haveRef && haveM1 && haveM2 ? 0 : 1;
}
