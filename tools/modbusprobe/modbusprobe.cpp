// modbusprobe: checks that a gateway carries Modbus RTU, end to end, with a real Modbus stack.
//
// It plays the gateway's TCP peer in the gateway's mode (0: accepts the gateway's connection;
// 1: the server side of the initial packet exchange; 2: the client side of it, with heartbeats),
// bridges that data connection to a pseudo-terminal where a libmodbus RTU master runs, the way an
// integrator's virtual serial port would, and serves a libmodbus RTU slave on the serial device
// at the gateway's far end (the PC end of its RS-232 port). The master then polls holding
// registers; every reply is checked against the values the slave holds, some of which carry zero
// bytes. It prints one line "polls N errors E p50 X ms p99 Y ms" and exits 0 only when every poll
// succeeded; 1 when one failed, 2 on bad arguments, 3 when the set-up failed or time ran out.
#include <modbus/modbus.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSlaveId = 1;
constexpr int kRegisterSpan = 250;  // registers the slave holds
constexpr int kBlock = 128;         // the gateway's block size in the initial exchange
constexpr int kSetupMs = 60000;     // the gateway may first wait for its data call
constexpr char kPacket[] = "Mb7pRoBe42";
constexpr int kAnnouncedInterval = 30;  // mode 2: seconds; heartbeats go out every third of it

struct Options {
    int mode = 0;
    int port = 0;
    std::string slave;
    int polls = 100;
    int count = 10;
    int baud = 115200;
    int timeoutSeconds = 300;
};

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "modbusprobe: %s\n", what);
    std::exit(3);
}

// The value the slave holds in register i: every third one is zero, the others have a zero low
// or high byte in turn, so raw carriage is needed for every reply.
uint16_t RegisterValue(int i)
{
    if (i % 3 == 0) return 0;
    return static_cast<uint16_t>(i % 3 == 1 ? (i + 1) << 8 : i + 1);
}

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int Listen(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0)
        Fail("cannot listen");
    return fd;
}

int Accept(int listener)
{
    pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, kSetupMs) <= 0) Fail("the gateway did not connect");
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) Fail("accept failed");
    return fd;
}

// Connects once the gateway listens. A connection to a port that nobody holds may land on the
// socket itself (same port on both ends); such a one is dropped and tried again.
int Connect(int port)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSetupMs);
    while (std::chrono::steady_clock::now() < until) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(port), local{};
        socklen_t len = sizeof local;
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 && local.sin_port != a.sin_port)
            return fd;
        close(fd);
        // Nothing to wait on before the gateway listens: retry at a modest pace.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Fail("the gateway did not listen");
}

bool ReadExactly(int fd, char* buf, size_t n)
{
    for (size_t done = 0; done < n;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kSetupMs) <= 0) return false;
        ssize_t got = read(fd, buf + done, n - done);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const char* data, size_t n)
{
    for (size_t done = 0; done < n;) {
        ssize_t w = write(fd, data + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

struct Link {
    int data = -1;
    int hb = -1;  // modes 1 and 2; -1 otherwise
};

Link OpenLink(const Options& o)
{
    Link l;
    char block[kBlock];
    switch (o.mode) {
    case 0: l.data = Accept(Listen(o.port)); break;
    case 1: {
        int dataListener = Listen(o.port);
        l.hb = Accept(Listen(o.port + 1));
        if (!WriteAll(l.hb, kPacket, sizeof kPacket - 1)) Fail("cannot send the initial packet");
        l.data = Accept(dataListener);
        if (!ReadExactly(l.data, block, kBlock) || std::strncmp(block, kPacket, sizeof kPacket - 1) != 0)
            Fail("no reply to the initial packet");
        break;
    }
    case 2: {
        l.hb = Connect(o.port + 1);
        char packet[10];
        if (!ReadExactly(l.hb, packet, sizeof packet)) Fail("no initial packet");
        l.data = Connect(o.port);
        // One whole block, so the gateway's receive of the reply takes nothing that follows it.
        std::memset(block, 0, sizeof block);
        std::snprintf(block, sizeof block, "%.10s@@@@@@@@@@%d", packet, kAnnouncedInterval);
        if (!WriteAll(l.data, block, kBlock)) Fail("cannot reply to the initial packet");
        break;
    }
    default: Fail("mode must be 0, 1 or 2");
    }
    return l;
}

// Relays between the pty master and the data connection until stop is set; drains what arrives
// on the heartbeat connection and, in mode 2, sends the client's heartbeats.
void Bridge(int pty, const Link& l, int mode, const std::atomic<bool>& stop)
{
    char buf[4096];
    auto nextHb = std::chrono::steady_clock::now();
    while (!stop) {
        pollfd p[3] = {{pty, POLLIN, 0}, {l.data, POLLIN, 0}, {l.hb, POLLIN, 0}};
        int rc = poll(p, l.hb >= 0 ? 3 : 2, 100);
        if (rc < 0 && errno != EINTR) return;
        if (p[0].revents & POLLIN) {
            ssize_t n = read(pty, buf, sizeof buf);
            if (n > 0 && !WriteAll(l.data, buf, static_cast<size_t>(n))) return;
        }
        if (p[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n = read(l.data, buf, sizeof buf);
            if (n <= 0 || !WriteAll(pty, buf, static_cast<size_t>(n))) return;
        }
        if (l.hb >= 0 && (p[2].revents & (POLLIN | POLLHUP)) && read(l.hb, buf, sizeof buf) <= 0) return;
        if (mode == 2 && std::chrono::steady_clock::now() >= nextHb) {
            std::memset(buf, 0, kBlock);
            if (!WriteAll(l.hb, buf, kBlock)) return;
            nextHb += std::chrono::seconds(kAnnouncedInterval / 3);
        }
    }
}

modbus_t* OpenRtu(const char* device, int baud)
{
    modbus_t* ctx = modbus_new_rtu(device, baud, 'N', 8, 1);
    if (ctx == nullptr || modbus_set_slave(ctx, kSlaveId) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "modbusprobe: %s: %s\n", device, modbus_strerror(errno));
        std::exit(3);
    }
    return ctx;
}

// Serves requests on the gateway's serial side for the life of the process.
void Slave(modbus_t* ctx)
{
    modbus_mapping_t* map = modbus_mapping_new(0, 0, kRegisterSpan, 0);
    if (map == nullptr) Fail("no register map");
    for (int i = 0; i < kRegisterSpan; ++i) map->tab_registers[i] = RegisterValue(i);
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        int n = modbus_receive(ctx, request);
        if (n > 0) modbus_reply(ctx, request, n, map);
    }
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

bool ParseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        const char* v = argv[i + 1];
        if (key == "--mode") o->mode = std::atoi(v);
        else if (key == "--port") o->port = std::atoi(v);
        else if (key == "--slave") o->slave = v;
        else if (key == "--polls") o->polls = std::atoi(v);
        else if (key == "--count") o->count = std::atoi(v);
        else if (key == "--baud") o->baud = std::atoi(v);
        else if (key == "--timeout") o->timeoutSeconds = std::atoi(v);
        else return false;
    }
    return argc % 2 == 1 && o->port > 0 && o->port < 65535 && !o->slave.empty() && o->polls > 0 && o->count > 0 &&
           o->count <= MODBUS_MAX_READ_REGISTERS && o->count < kRegisterSpan;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fprintf(stderr, "usage: modbusprobe --mode 0|1|2 --port PORT --slave DEVICE [--polls N] "
                             "[--count REGISTERS] [--baud B] [--timeout SECONDS]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    alarm(static_cast<unsigned>(o.timeoutSeconds));  // the default action ends the process: exit by signal

    std::thread(Slave, OpenRtu(o.slave.c_str(), o.baud)).detach();

    int pty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0) Fail("no pty");
    std::string side = ptsname(pty);
    // Held open so the master never sees a hang-up while the Modbus stack reopens the side.
    int keep = open(side.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t;
    if (keep < 0 || tcgetattr(keep, &t) != 0) Fail("cannot open the pty");
    cfmakeraw(&t);
    tcsetattr(keep, TCSANOW, &t);

    Link link = OpenLink(o);
    std::atomic<bool> stop{false};
    std::thread bridge(Bridge, pty, link, o.mode, std::cref(stop));

    modbus_t* master = OpenRtu(side.c_str(), o.baud);
    modbus_set_response_timeout(master, 2, 0);
    std::vector<double> ms;
    int errors = 0;
    std::vector<uint16_t> regs(static_cast<size_t>(o.count));
    for (int i = 0; i < o.polls; ++i) {
        int addr = i % (kRegisterSpan - o.count);
        auto start = std::chrono::steady_clock::now();
        int n = modbus_read_registers(master, addr, o.count, regs.data());
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        bool right = n == o.count;
        for (int k = 0; right && k < o.count; ++k) right = regs[static_cast<size_t>(k)] == RegisterValue(addr + k);
        if (!right) {
            ++errors;
            std::fprintf(stderr, "modbusprobe: poll %d failed: %s\n", i, n < 0 ? modbus_strerror(errno) : "wrong values");
            modbus_flush(master);
        }
    }
    std::printf("polls %d errors %d p50 %.2f ms p99 %.2f ms\n", o.polls, errors, Percentile(ms, 0.5),
                Percentile(ms, 0.99));
    std::fflush(stdout);
    stop = true;
    bridge.join();
    _exit(errors == 0 ? 0 : 1);  // the slave thread serves until the process ends
}
