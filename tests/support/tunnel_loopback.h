// Loopback TCP helpers for the tunnel's tests, shared by the unit tests, the end-to-end tests and
// the benchmarks: free ports, peers, reads with deadlines. Header-only, so either test library can use it.
#pragma once

#include "wait_until.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <memory>
#include <utility>
#include <vector>

namespace tunneltest {

inline sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A socket bound to the port (0: any), or -1.
inline int BoundSocket(int port)
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

inline bool WaitReadable(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// The first of count consecutive loopback ports that nobody holds now (none even waiting to close
// after an earlier test), for the test's peers and the firmware to take.
inline int FreePortRun(int count = 1)
{
    constexpr int kAttempts = 200;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::vector<int> held;
        int first = 0;
        for (int i = 0; i < count && first + i <= 65535; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a = Loopback(i == 0 ? 0 : first + i);
            socklen_t len = sizeof a;
            if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
                held.push_back(fd);
                if (i == 0) first = ntohs(a.sin_port);
                continue;
            }
            if (fd >= 0) close(fd);
            break;
        }
        bool whole = static_cast<int>(held.size()) == count;
        for (int fd : held) close(fd);
        if (whole) return first;
    }
    throw std::runtime_error("no free loopback ports");
}

// Loopback TCP helpers; every descriptor returned is the caller's to close. -1 on failure.
inline int ListenOn(int port, int rcvbuf = 0)
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

inline int AcceptWithin(int listener, int ms)
{
    if (!WaitReadable(listener, ms)) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

inline int ConnectTo(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A connected pair: first is the side the firmware gets, second the test's peer (with that receive
// buffer when given).
inline std::pair<int, int> ConnectedPair(int farRcvbuf = 0)
{
    int listener = ListenOn(0, farRcvbuf);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    int near = ConnectTo(ntohs(a.sin_port));
    int far = AcceptWithin(listener, 2000);
    close(listener);
    if (near < 0 || far < 0) throw std::runtime_error("no loopback pair");
    return {near, far};
}

// Reads exactly n bytes within ms; false on time-out or end of stream.
inline bool ReadExactly(int fd, void* buf, size_t n, int ms)
{
    std::string got = ReadUpTo(fd, n, Millis(ms));
    std::copy(got.begin(), got.end(), static_cast<char*>(buf));
    return got.size() == n;
}

// Everything that arrives within ms (stops early at end of stream).
inline std::string ReadFor(int fd, int ms)
{
    return ReadUpTo(fd, std::string::npos, Millis(ms));
}

// True when the peer closes (or resets) the connection within ms; data before it is discarded.
inline bool WaitClosed(int fd, int ms)
{
    auto start = std::chrono::steady_clock::now();
    char buf[4096];
    for (;;) {
        int left = ms - static_cast<int>(MsSince(start));
        if (left <= 0 || !WaitReadable(fd, left)) return false;
        if (read(fd, buf, sizeof buf) <= 0) return true;
    }
}

inline void WriteAll(int fd, const void* data, size_t n)
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

// The numbers of the records "<n>\n" in bytes a peer read (zero fill between blocks skipped).
inline std::vector<int> NumberedRecords(const std::string& bytes)
{
    std::vector<int> out;
    std::string digits;
    for (char c : bytes) {
        if (c >= '0' && c <= '9') digits += c;
        if (c == '\n' && !digits.empty()) out.push_back(std::stoi(std::exchange(digits, "")));
    }
    return out;
}

// The calling thread's network namespace's established TCP connections to a remote port.
inline int EstablishedTo(int port)
{
    std::ifstream table("/proc/thread-self/net/tcp");
    char tail[8];
    std::snprintf(tail, sizeof tail, ":%04X", port);
    int links = 0;
    std::string line;
    std::getline(table, line);  // the heading
    for (std::string local, remote, state; table >> local >> local >> remote >> state && std::getline(table, line);)
        links += remote.ends_with(tail) && state == "01";
    return links;
}

// Resets the connection (RST) instead of closing it, so that the other end's very next use of it
// fails.
inline void ResetClose(int fd)
{
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

// The client side of the mode-2 exchange, played by a test: the heartbeat connection to port + 1
// brings the server's 10-character packet, the reply goes out on a data connection to port.
struct ExchangeClient {
    ~ExchangeClient()
    {
        if (hb >= 0) close(hb);
        if (data >= 0) close(data);
    }
    bool Knock(int port)
    {
        hb = ConnectTo(port + 1);
        char p[10];
        if (hb < 0 || !ReadExactly(hb, p, sizeof p, 8000)) return false;
        packet.assign(p, sizeof p);
        return true;
    }
    void Reply(int port, const std::string& reply)
    {
        data = ConnectTo(port);
        if (data >= 0) WriteAll(data, reply.data(), reply.size());
    }
    int hb = -1, data = -1;
    std::string packet;
};

// The test's end of a gateway's tunnel in a mode, on two free ports: it accepts the gateway's
// connections (mode 1 also plays the server's side of the heartbeat exchange and reads the reply
// block) or knocks as a mode-2 gateway's client, with a heartbeat interval none of a test reaches.
// Knock at a mode-2 gateway once it listens: a knock at a closed port of the ephemeral range could
// connect a socket to itself and hold the port.
struct TunnelPeer {
    explicit TunnelPeer(int m) : mode(m), port(FreePortRun(2))
    {
        if (mode != 2) dataListener = ListenOn(port);
        if (mode == 1) hbListener = ListenOn(port + 1);
    }
    ~TunnelPeer()
    {
        for (int fd : {dataListener, hbListener, hb})
            if (fd >= 0) close(fd);
    }
    // The data connection of a new link (the caller's to close), or -1 when none comes within ms.
    int Next(int ms)
    {
        if (mode == 0) return AcceptWithin(dataListener, ms);
        if (mode == 1) {
            if (hb >= 0) close(hb);
            hb = AcceptWithin(hbListener, ms);
            if (hb < 0) return -1;
            WriteAll(hb, "Qw3rTy9uIo", 10);
            int data = AcceptWithin(dataListener, 5000);
            char reply[128];
            return data >= 0 && ReadExactly(data, reply, sizeof reply, 5000) ? data : -1;
        }
        client = std::make_unique<ExchangeClient>();
        if (!WaitUntil([&] { return client->Knock(port); }, Millis(ms), Millis(500))) return -1;
        client->Reply(port, client->packet + "@@@@@@@@@@60");
        return std::exchange(client->data, -1);
    }
    int mode, port, dataListener = -1, hbListener = -1, hb = -1;
    std::unique_ptr<ExchangeClient> client;
};

}  // namespace tunneltest
