// Soak run: two gateways on two simulated boards, one a client with a heartbeat connection (mode 1)
// and one a server (mode 2), carrying random bursts both ways between their serial ports for a
// long time while faults are injected every 20 to 60 s at random:
//   reset  the data connection is reset (the soak's loopback proxy between the two closes both
//          halves with RST)
//   hb     the heartbeat connection is cut (the same, on the heartbeat connection)
//   call   the data call of one board is dropped by its simulated modem ("qmi call down")
//   noise  a burst of random bytes hits the console of a third board on the console road, which
//          must still answer a request afterwards
//
// Byte accounting: the payload is a stream of 16-byte records, each naming its index and carrying
// check characters, never a zero byte (the server's wire form cuts at one, the client's pads with
// them). Every record sent while the link was up must arrive exactly once and in order; a record
// may be lost only when it was written within an outage window (the proxy saw the link down, with
// a margin either side for the bytes the firmware holds). Throughout, each firmware's resident
// memory and open descriptors must not grow (end within 5 % of / equal to the values after
// warm-up), no thread may spin, and every outage must recover.
//
// Not a ctest test: `make soak` (SOAK_SECONDS, default 600; SOAK_SEED to repeat a run). Prints the
// seed first, a line per fault and per loss, then one summary line; exits non-zero on any violation.
#include "board.h"
#include "control_client.h"
#include "tunnel_loopback.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tl = tunneltest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kRecordSize = 16;
constexpr int kHeartbeatSeconds = 10;
constexpr double kWindowBefore = 3.0;  // s: bytes the firmware may still hold when the link drops
constexpr double kWindowAfter = 2.0;   // s: the handshake after both connections are back
constexpr double kRecoverySeconds = 120.0;
constexpr double kWarmupSeconds = 30.0;
constexpr double kSpinShare = 0.25;    // a thread above this share of a core over a sample spins
constexpr double kSampleSeconds = 10.0;

const Clock::time_point gStart = Clock::now();

double Now()
{
    return std::chrono::duration<double>(Clock::now() - gStart).count();
}

std::mutex gLogLock;
std::vector<std::string> gViolations;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...)
{
    std::lock_guard<std::mutex> hold(gLogLock);
    std::printf("[%8.1f] ", Now());
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    std::fflush(stdout);
}

void Violation(const std::string& what)
{
    Say("VIOLATION: %s", what.c_str());
    std::lock_guard<std::mutex> hold(gLogLock);
    gViolations.push_back(what);
}

// A stop signal threads can wait on, in poll (its descriptor) or on a condition variable.
class Stop {
public:
    Stop() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Stop() { close(fd_); }
    void Set()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            set_ = true;
        }
        uint64_t one = 1;
        (void)!write(fd_, &one, sizeof one);
        cv_.notify_all();
    }
    bool IsSet()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return set_;
    }
    // Waits until the stop or for seconds; true when stopped.
    bool WaitFor(double seconds)
    {
        std::unique_lock<std::mutex> hold(lock_);
        return cv_.wait_for(hold, std::chrono::duration<double>(seconds), [&] { return set_; });
    }
    int Fd() const { return fd_; }

private:
    int fd_;
    std::mutex lock_;
    std::condition_variable cv_;
    bool set_ = false;
};

// ---- Records ----

uint64_t Mix(uint64_t x)
{
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    return x ^ (x >> 33);
}

// "<" + 8 hex digits of the index + 6 check characters (printable, never '<' or '>') + ">".
std::string Record(uint32_t index, uint32_t salt)
{
    char r[kRecordSize + 1];
    std::snprintf(r, sizeof r, "<%08X", index);
    uint64_t h = Mix((static_cast<uint64_t>(salt) << 32) | index);
    for (int i = 0; i < 6; ++i) {
        char c = static_cast<char>(0x21 + (h >> (i * 8)) % 0x5E);
        if (c == '<' || c == '>') c = '#';
        r[9 + i] = c;
    }
    r[15] = '>';
    return std::string(r, kRecordSize);
}

// ---- The proxy between the client and the server ----

// Relays the client's data (port) and heartbeat (port + 1) connections to the server's, records
// when the link is up, and injects the connection faults.
class Proxy {
public:
    enum Kind { kData = 0, kHb = 1 };

    Proxy(int listenPort, int serverPort) : serverPort_(serverPort)
    {
        listen_[kData] = tl::ListenOn(listenPort);
        listen_[kHb] = tl::ListenOn(listenPort + 1);
        for (int fd : listen_) fcntl(fd, F_SETFL, O_NONBLOCK);
        thread_ = std::thread([this] { Run(); });
    }
    ~Proxy()
    {
        stop_.Set();
        thread_.join();
        for (Pair& p : pairs_) CloseFds(p, false);
        for (int fd : listen_) close(fd);
        close(wake_);
    }

    // Closes every connection of a kind with RST at both ends. Returns when done.
    void Cut(Kind kind)
    {
        std::unique_lock<std::mutex> hold(lock_);
        cut_[kind] = true;
        uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
        cv_.wait(hold, [&] { return !cut_[kind]; });
    }

    struct Window {
        double down, up;  // up < 0: still down
    };

    // Waits until the link is up with a generation after `generation` (or any, when -1) or the
    // deadline; true when up.
    bool WaitUp(long generation, double deadline)
    {
        std::unique_lock<std::mutex> hold(lock_);
        return cv_.wait_for(hold, std::chrono::duration<double>(std::max(0.0, deadline - Now())),
                            [&] { return up_ && upGeneration_ > generation; });
    }
    // Waits until the link has gone down after generation (or the deadline); true when it has.
    bool WaitDown(long generation, double deadline)
    {
        std::unique_lock<std::mutex> hold(lock_);
        return cv_.wait_for(hold, std::chrono::duration<double>(std::max(0.0, deadline - Now())),
                            [&] { return downs_ > generation; });
    }
    long Downs()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return downs_;
    }
    long UpGeneration()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return upGeneration_;
    }
    double UpSince()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return upSince_;
    }
    std::vector<Window> Windows()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return windows_;
    }
    std::string State()
    {
        std::lock_guard<std::mutex> hold(lock_);
        std::string s = up_ ? "up" : "down";
        for (const Pair& p : pairs_)
            s += std::string(" ") + (p.kind == kData ? "data" : "hb") + "@" + std::to_string(static_cast<int>(p.opened));
        return s;
    }

private:
    struct Pair {
        Kind kind;
        int client, server;
        double opened;
        long order;  // accept order
    };

    static void CloseFds(Pair& p, bool reset)
    {
        for (int fd : {p.client, p.server}) {
            if (fd < 0) continue;
            if (reset)
                tl::ResetClose(fd);
            else
                close(fd);
        }
        p.client = p.server = -1;
    }

    // Under lock_: the link is up with an heartbeat connection and a data connection opened after it.
    void UpdateLink()
    {
        long hbOrder = -1;
        bool data = false;
        for (const Pair& p : pairs_)
            if (p.kind == kHb) hbOrder = std::max(hbOrder, p.order);
        for (const Pair& p : pairs_)
            if (p.kind == kData && hbOrder >= 0 && p.order > hbOrder) data = true;
        bool up = hbOrder >= 0 && data;
        if (up == up_) return;
        up_ = up;
        double now = Now();
        if (up) {
            ++upGeneration_;
            upSince_ = now;
            if (!windows_.empty() && windows_.back().up < 0) windows_.back().up = now;
        } else {
            ++downs_;
            windows_.push_back({now, -1});
        }
        cv_.notify_all();
    }

    void Accept(Kind kind)
    {
        int fd;
        while ((fd = accept4(listen_[kind], nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            int server = tl::ConnectTo(serverPort_ + (kind == kHb ? 1 : 0));
            if (server < 0) {
                close(fd);  // nobody listens yet: the client tries again
                continue;
            }
            struct timeval tv = {5, 0};
            for (int s : {fd, server}) setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            std::lock_guard<std::mutex> hold(lock_);
            pairs_.push_back({kind, fd, server, Now(), ++order_});
            UpdateLink();
        }
    }

    // Relays what is readable on one side; false when the pair has ended.
    static bool Relay(int from, int to)
    {
        char buf[65536];
        ssize_t n = recv(from, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        if (n == 0) return false;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = send(to, buf + done, static_cast<std::size_t>(n - done), MSG_NOSIGNAL);
            if (w <= 0) return false;
            done += w;
        }
        return true;
    }

    void Run()
    {
        while (!stop_.IsSet()) {
            std::vector<struct pollfd> pfd = {{stop_.Fd(), POLLIN, 0}, {wake_, POLLIN, 0}, {listen_[kData], POLLIN, 0},
                                              {listen_[kHb], POLLIN, 0}};
            std::vector<Pair> pairs;
            {
                std::lock_guard<std::mutex> hold(lock_);
                pairs = pairs_;
            }
            for (const Pair& p : pairs) {
                pfd.push_back({p.client, POLLIN, 0});
                pfd.push_back({p.server, POLLIN, 0});
            }
            if (poll(pfd.data(), pfd.size(), -1) < 0) continue;
            if (pfd[1].revents & POLLIN) {
                uint64_t n;
                (void)!read(wake_, &n, sizeof n);
                std::lock_guard<std::mutex> hold(lock_);
                for (int k = 0; k < 2; ++k) {
                    if (!cut_[k]) continue;
                    for (Pair& p : pairs_)
                        if (p.kind == k) CloseFds(p, true);
                    std::erase_if(pairs_, [](const Pair& p) { return p.client < 0; });
                    cut_[k] = false;
                    UpdateLink();
                }
                cv_.notify_all();
                continue;  // the pair list changed under the poll set
            }
            if (pfd[2].revents & POLLIN) Accept(kData);
            if (pfd[3].revents & POLLIN) Accept(kHb);
            std::vector<long> ended;
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                short rc = pfd[4 + 2 * i].revents, rs = pfd[5 + 2 * i].revents;
                bool ok = true;
                if (rc & (POLLIN | POLLHUP | POLLERR)) ok = Relay(pairs[i].client, pairs[i].server);
                if (ok && (rs & (POLLIN | POLLHUP | POLLERR))) ok = Relay(pairs[i].server, pairs[i].client);
                if (!ok) ended.push_back(pairs[i].order);
            }
            if (!ended.empty()) {
                std::lock_guard<std::mutex> hold(lock_);
                for (Pair& p : pairs_)
                    if (std::find(ended.begin(), ended.end(), p.order) != ended.end()) CloseFds(p, true);
                std::erase_if(pairs_, [](const Pair& p) { return p.client < 0; });
                UpdateLink();
            }
        }
    }

    int serverPort_;
    int listen_[2];
    int wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    Stop stop_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Pair> pairs_;
    long order_ = 0;
    bool cut_[2] = {false, false};
    bool up_ = false;
    long upGeneration_ = 0, downs_ = 0;
    double upSince_ = -1;
    std::vector<Window> windows_{{0.0, -1}};  // down from the start until the first link
};

// ---- One direction of traffic ----

class Direction {
public:
    Direction(std::string name, Board& from, Board& to, uint32_t salt, uint64_t seed)
        : name_(std::move(name)), from_(from), to_(to), salt_(salt), rng_(seed)
    {
    }
    void Start(Stop& stop)
    {
        sender_ = std::thread([this, &stop] { Send(stop); });
        receiver_ = std::thread([this, &stop] { Receive(stop); });
    }
    void StopSending()
    {
        sendStop_.Set();
        if (sender_.joinable()) sender_.join();
    }
    void Join()
    {
        if (receiver_.joinable()) receiver_.join();
    }

    // The accounting once both threads have ended, against the outage windows.
    struct Result {
        uint64_t sentBytes = 0, deliveredBytes = 0, lostBytes = 0, junkBytes = 0;
        int lossEvents = 0;
    };
    Result Account(const std::vector<Proxy::Window>& windows)
    {
        Result r;
        r.sentBytes = static_cast<uint64_t>(sent_) * kRecordSize;
        r.deliveredBytes = static_cast<uint64_t>(delivered_) * kRecordSize;
        r.junkBytes = junk_;
        // The records never delivered: the gaps between the ones that came, and the tail.
        std::vector<std::pair<uint32_t, uint32_t>> gaps = gaps_;
        if (last_ + 1 < static_cast<int64_t>(sent_)) gaps.push_back({static_cast<uint32_t>(last_ + 1), sent_});
        for (auto [from, to] : gaps) {  // records from..to-1
            r.lostBytes += static_cast<uint64_t>(to - from) * kRecordSize;
            ++r.lossEvents;
            double first = SentAt(from), lastAt = SentAt(to - 1);
            const Proxy::Window* in = nullptr;
            for (const Proxy::Window& w : windows) {
                double end = w.up < 0 ? 1e18 : w.up + kWindowAfter;
                if (first >= w.down - kWindowBefore && lastAt <= end) in = &w;
            }
            if (in != nullptr) {
                Say("%s: lost %u bytes (records %u..%u, written %.1f..%.1f s) in the outage %.1f..%.1f s", name_.c_str(),
                    static_cast<unsigned>((to - from) * kRecordSize), from, to - 1, first, lastAt, in->down, in->up);
            } else {
                Violation(name_ + ": lost " + std::to_string((to - from) * kRecordSize) + " bytes (records " +
                          std::to_string(from) + ".." + std::to_string(to - 1) + ", written " + std::to_string(first) +
                          ".." + std::to_string(lastAt) + " s) outside every outage window");
            }
        }
        return r;
    }

private:
    double SentAt(uint32_t index)
    {
        auto it = std::upper_bound(bursts_.begin(), bursts_.end(), index,
                                   [](uint32_t i, const std::pair<uint32_t, double>& b) { return i < b.first; });
        return it == bursts_.begin() ? 0.0 : std::prev(it)->second;
    }

    void Send(Stop& stop)
    {
        std::uniform_int_distribution<int> records(1, 128), gapMs(50, 1500);
        while (!stop.IsSet() && !sendStop_.WaitFor(gapMs(rng_) / 1000.0)) {
            int n = records(rng_);
            std::string burst;
            for (int i = 0; i < n; ++i) burst += Record(sent_ + static_cast<uint32_t>(i), salt_);
            {
                std::lock_guard<std::mutex> hold(lock_);
                bursts_.push_back({sent_, Now()});
            }
            double began = Now();
            if (!from_.PcWrite(burst, Millis(10000))) Violation(name_ + ": the serial port took no bytes for 10 s");
            if (Now() - began > 1.0)
                Say("%s: the serial port took %zu bytes in %.1f s (the firmware did not read it)", name_.c_str(),
                    burst.size(), Now() - began);
            sent_ += static_cast<uint32_t>(n);
        }
    }

    void Receive(Stop& stop)
    {
        int pc = to_.OpenPc();
        std::string pending;
        char buf[8192];
        while (true) {
            struct pollfd pfd[2] = {{pc, POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
            if (poll(pfd, 2, -1) < 0) continue;
            if (pfd[1].revents & POLLIN) break;
            ssize_t n = read(pc, buf, sizeof buf);
            if (n <= 0) continue;
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] != '\0') pending += buf[i];  // the client's blocks are zero-filled
            Parse(pending);
        }
    }

    bool Valid(const std::string& s, std::size_t at, uint32_t* index)
    {
        if (s[at] != '<' || s[at + kRecordSize - 1] != '>') return false;
        char hex[9];
        std::memcpy(hex, s.data() + at + 1, 8);
        hex[8] = '\0';
        char* end = nullptr;
        unsigned long v = std::strtoul(hex, &end, 16);
        if (end != hex + 8) return false;
        *index = static_cast<uint32_t>(v);
        return s.compare(at, kRecordSize, Record(*index, salt_)) == 0;
    }

    // Takes every whole record out of s; what lies between records is junk, allowed only where
    // records went missing (the ends of records cut by an outage).
    void Parse(std::string& s)
    {
        std::size_t at = 0, junkStart = 0;
        while (at + kRecordSize <= s.size()) {
            uint32_t index;
            if (!Valid(s, at, &index)) {
                ++at;
                continue;
            }
            uint64_t junk = pendingJunk_ + (at - junkStart);
            pendingJunk_ = 0;
            junk_ += junk;
            if (static_cast<int64_t>(index) <= last_) {
                Violation(name_ + ": record " + std::to_string(index) + " arrived after record " + std::to_string(last_) +
                          " (duplicate or out of order)");
            } else {
                if (static_cast<int64_t>(index) > last_ + 1)
                    gaps_.push_back({static_cast<uint32_t>(last_ + 1), index});
                else if (junk > 0)
                    Violation(name_ + ": " + std::to_string(junk) + " stray bytes between records " +
                              std::to_string(last_) + " and " + std::to_string(index));
                last_ = index;
                ++delivered_;
            }
            at += kRecordSize;
            junkStart = at;
        }
        // Every position before `at` was tried as a record's start; what follows may still be one.
        pendingJunk_ += at - junkStart;
        s.erase(0, at);
    }

    std::string name_;
    Board& from_;
    Board& to_;
    uint32_t salt_;
    std::mt19937_64 rng_;
    Stop sendStop_;
    std::thread sender_, receiver_;
    std::mutex lock_;
    std::vector<std::pair<uint32_t, double>> bursts_;  // first record, time written
    std::atomic<uint32_t> sent_{0};
    int64_t last_ = -1;
    uint64_t delivered_ = 0, junk_ = 0, pendingJunk_ = 0;
    std::vector<std::pair<uint32_t, uint32_t>> gaps_;
};

// ---- Firmware figures from /proc ----

struct Figures {
    long rssKb = -1;
    int fds = -1;
};

pid_t FirmwarePid(Board& b)
{
    std::string fw = ControlField(b.Control("pids"), "fw");
    return fw.empty() || fw == "-" ? -1 : static_cast<pid_t>(std::atol(fw.c_str()));
}

long RssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

int OpenFds(pid_t pid)
{
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// Thread id -> utime + stime, clock ticks.
std::map<int, long long> ThreadTicks(pid_t pid)
{
    std::map<int, long long> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::size_t paren = stat.rfind(')');
        if (paren == std::string::npos) continue;
        std::istringstream fields(stat.substr(paren + 2));
        std::string f;
        long long ticks = 0;
        for (int i = 3; i <= 15 && fields >> f; ++i)
            if (i == 14 || i == 15) ticks += std::stoll(f);
        out[std::atoi(e->d_name)] = ticks;
    }
    closedir(d);
    return out;
}

// A settled sample: the fewest descriptors (the AT channel opens per cycle) and the median RSS of
// a few looks a little apart.
Figures Settled(pid_t pid, Stop& stop)
{
    std::vector<long> rss;
    int fds = INT32_MAX;
    for (int i = 0; i < 7 && !stop.WaitFor(i == 0 ? 0 : 0.3); ++i) {
        rss.push_back(RssKb(pid));
        fds = std::min(fds, OpenFds(pid));
    }
    std::sort(rss.begin(), rss.end());
    return {rss.empty() ? -1 : rss[rss.size() / 2], fds == INT32_MAX ? -1 : fds};
}

struct Gateway {
    Gateway(std::string n, Board* b) : name(std::move(n)), board(b) {}
    std::string name;
    Board* board;
    pid_t pid = -1;
    Figures warm, end;
    std::map<int, long long> ticks;
    double ticksAt = 0;
    double maxShare = 0;
};

void SampleThreads(Gateway& g)
{
    std::map<int, long long> now = ThreadTicks(g.pid);
    double at = Now();
    if (!g.ticks.empty() && at > g.ticksAt) {
        for (auto& [tid, t] : now) {
            auto it = g.ticks.find(tid);
            if (it == g.ticks.end()) continue;
            double share = static_cast<double>(t - it->second) / sysconf(_SC_CLK_TCK) / (at - g.ticksAt);
            g.maxShare = std::max(g.maxShare, share);
            if (share > kSpinShare)
                Violation(g.name + ": thread " + std::to_string(tid) + " used " + std::to_string(share * 100) +
                          " % of a core over " + std::to_string(at - g.ticksAt) + " s");
        }
    }
    g.ticks = now;
    g.ticksAt = at;
}

// ---- Faults ----

struct FaultRecord {
    std::string kind;
    double at;
    bool outage = false;
    double recovery = -1;  // s from the fault to the link (or the console) back
};

// The console of the third board answers a request after a burst of noise.
bool ConsoleAnswers(Board& console, std::mt19937_64& rng, double* seconds)
{
    std::uniform_int_distribution<int> len(100, 2000), byte(0, 255);
    std::string noise;
    for (int i = len(rng); i > 0; --i) noise += static_cast<char>(byte(rng));
    double start = Now();
    if (!console.PcWrite(noise)) return false;
    // The console reads a burst after 100 ms of quiet; let the noise go first, then drop any
    // answer it drew.
    console.PcRead(1u << 20, Millis(800));
    console.PcWrite("@LIRNHB\r\n");
    std::string reply = console.PcReadUntil("\r\n", Millis(5000));
    *seconds = Now() - start;
    return reply.find("!QRV-715M;LIRNHB;OK;") != std::string::npos;
}

bool CallUp(Board& b)
{
    return b.WaitForControl("qmi state", [](const std::string& r) { return r.find("call=up") != std::string::npos; },
                            Millis(90000))
               .find("call=up") != std::string::npos;
}

std::string Tail(const std::string& text, std::size_t lines)
{
    std::size_t at = text.size();
    for (std::size_t i = 0; i <= lines && at != std::string::npos && at > 0; ++i) at = text.rfind('\n', at - 1);
    return at == std::string::npos ? text : text.substr(at + 1);
}

}  // namespace

int main()
{
    const char* secondsEnv = std::getenv("SOAK_SECONDS");
    const char* seedEnv = std::getenv("SOAK_SEED");
    double seconds = secondsEnv ? std::atof(secondsEnv) : 600;
    uint64_t seed = seedEnv ? std::strtoull(seedEnv, nullptr, 0) : std::random_device{}();
    std::printf("soak: seed %llu (SOAK_SEED=%llu repeats the schedule), %.0f s\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed), seconds);
    std::fflush(stdout);
    std::mt19937_64 rng(seed);
    // SOAK_FAULTS (e.g. "hb,call") limits the kinds drawn; the schedule stays seeded.
    const char* const kKinds[] = {"reset", "hb", "call", "noise"};
    const char* faultsEnv = std::getenv("SOAK_FAULTS");
    std::vector<int> allowed;
    for (int k = 0; k < 4; ++k)
        if (faultsEnv == nullptr || std::strstr(faultsEnv, kKinds[k]) != nullptr) allowed.push_back(k);
    if (allowed.empty()) {
        std::printf("soak: SOAK_FAULTS names none of reset, hb, call, noise\n");
        return 2;
    }

    int serverPort = tl::FreePortRun(2);
    int proxyPort = tl::FreePortRun(2);
    Board server, client, console;
    char config[160];
    std::snprintf(config, sizeof config, "@LIRNMODE;2\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;%d\r\n@LIRNHB;%d\r\n", serverPort,
                  kHeartbeatSeconds);
    server.WriteFile("APP/config.ini", config);
    std::snprintf(config, sizeof config, "@LIRNMODE;1\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;%d\r\n@LIRNHB;%d\r\n", proxyPort,
                  kHeartbeatSeconds);
    client.WriteFile("APP/config.ini", config);
    Proxy proxy(proxyPort, serverPort);
    if (!server.Start({"--init", "low"}) || !client.Start({"--init", "low"}) || !console.Start({"--init", "high"})) {
        std::puts("soak: FAILED: a board did not start");
        return 1;
    }
    if (console.OpenPc() < 0 || server.OpenPc() < 0 || client.OpenPc() < 0) {
        std::puts("soak: FAILED: a serial port did not open");
        return 1;
    }
    if (!proxy.WaitUp(0, Now() + kRecoverySeconds)) {
        std::printf("soak: FAILED: no link within %.0f s: %s\n", kRecoverySeconds, proxy.State().c_str());
        return 1;
    }
    Say("link up (%s)", proxy.State().c_str());

    Stop stop;
    Direction up("client->server", client, server, 0x1111, rng());
    Direction down("server->client", server, client, 0x2222, rng());
    up.Start(stop);
    down.Start(stop);

    std::vector<Gateway> gateways = {Gateway("client", &client), Gateway("server", &server), Gateway("console", &console)};
    for (Gateway& g : gateways) {
        g.pid = FirmwarePid(*g.board);
        SampleThreads(g);
    }
    // Warm-up: the link has carried bursts for a while before the figures are taken.
    stop.WaitFor(kWarmupSeconds);
    for (Gateway& g : gateways) g.warm = Settled(g.pid, stop);

    std::vector<FaultRecord> faults;
    std::uniform_int_distribution<int> pause(20, 60), kind(0, static_cast<int>(allowed.size()) - 1), which(0, 1);
    double nextSample = Now() + kSampleSeconds;
    double endFaults = seconds - 40;
    bool recovered = true;
    while (recovered && Now() < endFaults) {
        double due = Now() + pause(rng);
        if (due >= endFaults) break;
        while (Now() < due) {
            stop.WaitFor(std::min(due, nextSample) - Now());
            if (Now() >= nextSample) {
                for (Gateway& g : gateways) SampleThreads(g);
                nextSample += kSampleSeconds;
            }
        }
        FaultRecord f;
        f.at = Now();
        long downs = proxy.Downs();
        long generation = proxy.UpGeneration();
        switch (allowed[static_cast<std::size_t>(kind(rng))]) {
        case 0:
            f.kind = "reset";
            proxy.Cut(Proxy::kData);
            break;
        case 1:
            f.kind = "hb";
            proxy.Cut(Proxy::kHb);
            break;
        case 2: {
            Board& b = which(rng) == 0 ? client : server;
            f.kind = &b == &client ? "call(client)" : "call(server)";
            std::string reply = b.Control("qmi call down");
            if (!ControlOk(reply)) Violation("qmi call down: " + reply);
            if (CallUp(b)) {
                f.recovery = Now() - f.at;
            } else {
                Violation("the data call of the " + std::string(&b == &client ? "client" : "server") +
                          " did not come back within 90 s: " + b.Control("qmi state"));
                recovered = false;
            }
            break;
        }
        default: {
            f.kind = "noise";
            double took = 0;
            if (!ConsoleAnswers(console, rng, &took)) {
                Violation("the console did not answer after a burst of noise");
                recovered = false;
            }
            f.recovery = took;
            break;
        }
        }
        // Connection faults bring the link down at once; a dropped call may or may not.
        f.outage = proxy.WaitDown(downs, Now() + (f.kind.rfind("call", 0) == 0 ? 10.0 : 0.5));
        if (f.outage) {
            f.recovery = -1;  // the link's recovery, not the call's
            if (proxy.WaitUp(generation, f.at + kRecoverySeconds)) {
                f.recovery = proxy.UpSince() - f.at;
            } else {
                Violation("no recovery from the " + f.kind + " fault at " + std::to_string(f.at) + " s within " +
                          std::to_string(kRecoverySeconds) + " s; proxy: " + proxy.State() + "; client says: " +
                          Tail(client.Output(), 12) + "; server says: " + Tail(server.Output(), 12));
                recovered = false;
            }
        }
        Say("fault %s at %.1f s: %s, %s back after %.2f s", f.kind.c_str(), f.at, f.outage ? "link outage" : "no link outage",
            f.outage ? "link" : (f.kind == "noise" ? "console answer" : "data call"), f.recovery);
        faults.push_back(f);
    }

    // The rest of the time without faults; then the figures, and the last bytes drain.
    while (recovered && Now() < seconds) {
        stop.WaitFor(std::min(seconds, nextSample) - Now());
        if (Now() >= nextSample) {
            for (Gateway& g : gateways) SampleThreads(g);
            nextSample += kSampleSeconds;
        }
    }
    for (Gateway& g : gateways) {
        pid_t pid = FirmwarePid(*g.board);
        if (pid != g.pid)
            Violation(g.name + ": the firmware process changed (" + std::to_string(g.pid) + " -> " + std::to_string(pid) +
                      ")");
        g.end = Settled(g.pid, stop);
    }
    up.StopSending();
    down.StopSending();
    Stop drained;
    drained.WaitFor(3.0);
    stop.Set();
    up.Join();
    down.Join();

    std::vector<Proxy::Window> windows = proxy.Windows();
    Direction::Result ru = up.Account(windows), rd = down.Account(windows);
    for (Gateway& g : gateways) {
        if (g.end.rssKb > g.warm.rssKb + g.warm.rssKb / 20)
            Violation(g.name + ": resident memory grew from " + std::to_string(g.warm.rssKb) + " to " +
                      std::to_string(g.end.rssKb) + " kB");
        if (g.end.fds != g.warm.fds)
            Violation(g.name + ": open descriptors went from " + std::to_string(g.warm.fds) + " to " +
                      std::to_string(g.end.fds));
    }

    std::map<std::string, int> byKind;
    std::vector<double> recoveries;
    int outages = 0;
    for (const FaultRecord& f : faults) {
        ++byKind[f.kind.substr(0, f.kind.find('('))];
        if (f.outage) {
            ++outages;
            recoveries.push_back(f.recovery);
        }
    }
    std::sort(recoveries.begin(), recoveries.end());
    std::string kinds;
    for (auto& [k, n] : byKind) kinds += (kinds.empty() ? "" : ",") + k + "=" + std::to_string(n);
    char rec[96] = "-";
    if (!recoveries.empty())
        std::snprintf(rec, sizeof rec, "%.2f/%.2f/%.2f", recoveries.front(), recoveries[recoveries.size() / 2],
                      recoveries.back());
    std::string figures;
    for (const Gateway& g : gateways) {
        char line[160];
        std::snprintf(line, sizeof line, " %s rss=%ld->%ldkB fds=%d->%d cpu/thread<=%.1f%%", g.name.c_str(), g.warm.rssKb,
                      g.end.rssKb, g.warm.fds, g.end.fds, g.maxShare * 100);
        figures += line;
    }
    std::printf("soak: %s seed=%llu %.0fs c->s sent=%llu delivered=%llu lost=%llu(%d losses) "
                "s->c sent=%llu delivered=%llu lost=%llu(%d losses) faults=%zu(%s) outages=%d "
                "recovery_s(min/med/max)=%s%s violations=%zu\n",
                gViolations.empty() ? "PASS" : "FAIL", static_cast<unsigned long long>(seed), Now(),
                static_cast<unsigned long long>(ru.sentBytes), static_cast<unsigned long long>(ru.deliveredBytes),
                static_cast<unsigned long long>(ru.lostBytes), ru.lossEvents,
                static_cast<unsigned long long>(rd.sentBytes), static_cast<unsigned long long>(rd.deliveredBytes),
                static_cast<unsigned long long>(rd.lostBytes), rd.lossEvents, faults.size(), kinds.c_str(), outages,
                rec, figures.c_str(), gViolations.size());
    return gViolations.empty() ? 0 : 1;
}
