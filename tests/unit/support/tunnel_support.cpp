// Test helpers for the tunnel (see tunnel_support.h).
#include "support/tunnel_support.h"

#include "config/config.h"
#include "logging/log.h"
#include "platform/sysroot.h"
#include "serial/uart.h"
#include "tunnel/tunnel.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tunneltest {

bool WaitUntil(const std::function<bool()>& pred, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

long long MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

namespace {

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A socket bound to the port (0: any), or -1.
int BoundSocket(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool PortFree(int port)
{
    int fd = BoundSocket(port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool WaitReadable(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

}  // namespace

int FreePort()
{
    int fd = BoundSocket(0);
    if (fd < 0) throw std::runtime_error("no free port");
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

int FreePortPair()
{
    for (int i = 0; i < 100; ++i) {
        int p = FreePort();
        if (p < 65535 && PortFree(p + 1)) return p;
    }
    throw std::runtime_error("no two consecutive free ports");
}

int ListenOn(int port, int rcvbuf)
{
    int fd = BoundSocket(port);
    if (fd < 0) return -1;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int AcceptWithin(int listener, int ms)
{
    if (!WaitReadable(listener, ms)) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int ConnectTo(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::pair<int, int> ConnectedPair()
{
    int listener = ListenOn(0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    int near = ConnectTo(ntohs(a.sin_port));
    int far = AcceptWithin(listener, 2000);
    close(listener);
    if (near < 0 || far < 0) throw std::runtime_error("no loopback pair");
    return {near, far};
}

bool ReadExactly(int fd, void* buf, size_t n, int ms)
{
    auto start = std::chrono::steady_clock::now();
    char* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < n) {
        int left = ms - static_cast<int>(MsSince(start));
        if (left <= 0 || !WaitReadable(fd, left)) return false;
        ssize_t got = read(fd, p + done, n - done);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

std::string ReadFor(int fd, int ms)
{
    auto start = std::chrono::steady_clock::now();
    std::string out;
    char buf[4096];
    for (;;) {
        int left = ms - static_cast<int>(MsSince(start));
        if (left <= 0 || !WaitReadable(fd, left)) return out;
        ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0) return out;
        out.append(buf, static_cast<size_t>(got));
    }
}

bool WaitClosed(int fd, int ms)
{
    auto start = std::chrono::steady_clock::now();
    char buf[4096];
    for (;;) {
        int left = ms - static_cast<int>(MsSince(start));
        if (left <= 0 || !WaitReadable(fd, left)) return false;
        if (read(fd, buf, sizeof buf) <= 0) return true;
    }
}

void WriteAll(int fd, const void* data, size_t n)
{
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw std::runtime_error("write failed");
        p += w;
        n -= static_cast<size_t>(w);
    }
}

ConsoleCapture::ConsoleCapture()
{
    char tmpl[] = "/tmp/lirn-console.XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

ConsoleCapture::~ConsoleCapture()
{
    // GoogleTest's own failure reports went into the capture too: show them with the console.
    if (::testing::Test::HasFailure()) std::fprintf(stderr, "--- console ---\n%s--- end ---\n", Text().c_str());
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    unlink(path_.c_str());
}

std::string ConsoleCapture::Text()
{
    std::fflush(stdout);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool ConsoleCapture::WaitFor(const std::string& needle, int ms)
{
    return WaitUntil([&] { return Text().find(needle) != std::string::npos; }, ms);
}

int ConsoleCapture::Count(const std::string& needle)
{
    std::string text = Text();
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

SerialPty::SerialPty(const TempSysroot& root)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pty");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
    root.MakeDirs("/dev");
    std::string link = root.Path(UART_TUNNEL_DEV);
    if (symlink(name, link.c_str()) != 0) throw std::runtime_error("symlink " + link);
}

SerialPty::~SerialPty()
{
    if (master_ >= 0) close(master_);
}

void SerialPty::Write(const std::string& bytes)
{
    WriteAll(master_, bytes.data(), bytes.size());
}

PassLoop::PassLoop(std::function<void()> pass, std::function<void()> wake)
    : wake_(std::move(wake)), thread_([this, pass = std::move(pass)] {
          while (!stop_) pass();
      })
{
}

PassLoop::~PassLoop()
{
    stop_ = true;
    if (wake_) wake_();
    thread_.join();
}

void ShutDownListeners()
{
    lirnConnect = 0;  // ends the pacing of a full slot
    for (TunnelEndpoint* ep : {&lirnHb, &lirnData}) {
        int fd = ep->sock;
        if (fd > 0) shutdown(fd, SHUT_RDWR);
    }
}

TestClient::~TestClient()
{
    if (hb >= 0) close(hb);
    if (data >= 0) close(data);
}

bool TestClient::Knock(int port)
{
    hb = ConnectTo(port + 1);
    char p[10];
    if (hb < 0 || !ReadExactly(hb, p, sizeof p, 8000)) return false;
    packet.assign(p, sizeof p);
    return true;
}

void TestClient::Reply(int port, const std::string& reply)
{
    data = ConnectTo(port);
    if (data >= 0) WriteAll(data, reply.data(), reply.size());
}

void TunnelSetUp(int mode, int port, int hbInterval)
{
    InitLirnConfig();
    lirnSet.mode = mode;
    std::snprintf(lirnSet.serverIp, sizeof lirnSet.serverIp, "127.0.0.1");
    lirnSet.port = port;
    lirnSet.hbInterval = hbInterval;
    LirnInit();
    logInIdx = 0;
    logOutIdx = 0;
    std::memset(logBuffer, 0, sizeof logBuffer);
}

void TunnelTearDown()
{
    lirnConnect = 0;
    lirnDialup = 0;
    for (int i = 0; i < kLirnChildSlots; ++i) lirnChildConnect[i] = 0;
    LirnClose(lirnData);
    LirnClose(lirnHb);
    LirnChildCloseAll(lirnHbChild);
    LirnChildCloseAll(lirnDataChild);
    int fd = uartFd.exchange(0);
    if (fd > 0) close(fd);
}

std::vector<int> TunnelEvents()
{
    std::vector<int> codes;
    for (int i = logOutIdx; i != logInIdx; i = (i + 1) % kLogRingSlots)
        if (std::strcmp(logBuffer[i].eventClass, "2") == 0) codes.push_back(std::atoi(logBuffer[i].code));
    return codes;
}

}  // namespace tunneltest
