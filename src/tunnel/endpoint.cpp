// Tunnel endpoints and socket primitives: the shared link state and the timed socket steps that
// the four tunnel threads call.
//
// Every wait is bounded (5 s for send, receive and connect; the caller's time-out for a
// connection request), every failure closes what it opened, leaves 0 in the socket field and
// pushes its event (class 2, with the modem state) into the event ring. Retries, pauses and the
// flag changes that follow a failure belong to the callers. Sockets are waited on with poll, so a
// descriptor number above FD_SETSIZE can never overrun a select set.
#include "tunnel/internal.h"

#include "board/ticks.h"
#include "cellular/datacall.h"
#include "config/config.h"
#include "logging/log.h"
#include "modem/modem.h"
#include "platform/text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

TunnelEndpoint lirnData;
TunnelEndpoint lirnHb;

std::atomic<int> lirnMode{0};

namespace {

// Event codes of the tunnel's entries in the event ring.
enum TunnelEvent {
    kEvSocket = 0,         // socket creation failed
    kEvOption = 1,         // setting a socket option failed
    kEvConnect = 2,        // connect failed
    kEvBind = 3,           // bind failed
    kEvListen = 4,         // listen failed
    kEvWait = 5,           // waiting for readiness failed (for a send: also its time-out)
    kEvExceptional = 6,    // the socket reported an exceptional condition
    kEvRecv = 7,           // receive failed or the peer closed
    kEvSend = 8,           // send failed
    kEvOutageDropped = 9,  // the outage ring dropped bytes (the event carries their count)
    kEvGone = 10,          // another thread closed or replaced the socket during a wait
};

// Socket buffers sized for 128-byte blocks.
constexpr int kRecvBufferBytes = 1024;
constexpr int kSendBufferBytes = 512;
constexpr uint32_t kSocketWaitMs = kLirnWaitSeconds * 1000u;
// Dead peers (opt-in). With @LIRNKA an idle connection is probed after that many seconds, five
// probes a fifth of it apart, and given up once the peer has acknowledged nothing for twice that,
// whether the link only receives or also sends. With only the outage ring on, a connection whose
// sent bytes stay unacknowledged this long is given up: the ring sends them again on the next one.
constexpr int kKeepAliveProbes = 5;
constexpr unsigned kRingUserTimeoutMs = 60000;
constexpr uint32_t kAckWaitMinMs = 1;  // the shortest wait for acknowledgements (LirnAckWaitMs)

// A socket is closed only between two uses by other threads, never during one: each receive or
// send call, and each close, is one step under this lock (held for the system call only, never
// across a wait).
std::mutex gSocketUse;

// Outcomes of WaitSocket, in the primitives' own order of precedence.
enum WaitResult { kReady = 1, kTimedOut = 0, kWaitFailed = -1, kExceptional = -2, kNotReady = -3 };

// A tunnel event carries the modem state at the moment it happened.
void LogTunnelEvent(int code, int32_t count = 0)
{
    LogModemState modem = {modem_creg.load(), modem_csq.load()};
    LogPushCount(kLogClassTunnel, code, &modem, count);
}

// Waits up to timeoutMs for fd to become ready for events. A peer's reset or hang-up counts as
// ready, so the receive or send that follows meets the failure itself and reports it.
int WaitSocket(int fd, short events, uint32_t timeoutMs)
{
    if (fd <= 0) return kNotReady;  // no socket: nothing can become ready
    uint32_t start = GetTimeTicks();
    struct pollfd p;
    for (;;) {
        uint32_t elapsed = TickElapsed(start, GetTimeTicks());
        int left = elapsed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - elapsed);
        p = {fd, static_cast<short>(events | POLLPRI), 0};
        int rc = poll(&p, 1, left);
        if (rc > 0) break;
        if (rc == 0) return kTimedOut;
        if (errno != EINTR) return kWaitFailed;
    }
    if (p.revents & POLLNVAL) return kWaitFailed;
    if (p.revents & POLLPRI) return kExceptional;
    if (p.revents & (events | POLLERR | POLLHUP)) return kReady;
    return kNotReady;
}

// Closes the socket a word holds and leaves 0. The connection is shut down first: another thread
// may be waiting on it (a pump on the data slot when the heartbeat thread drops a silent client)
// or hold a duplicate of it (the send pump, which counts what the peer acknowledged), and a close
// alone would leave the connection open, its peer unaware, until that wait ends. The word is
// exchanged under the use lock, so no receive or send is in progress on the descriptor while it
// is closed, and two threads never close it twice.
void CloseSocketWord(std::atomic<int>& sock)
{
    std::lock_guard<std::mutex> use(gSocketUse);
    int fd = sock.exchange(0);
    if (fd == 0) return;
    shutdown(fd, SHUT_RDWR);
    close(fd);
    SharedChanged();  // a freed child slot is what a waiting link manager looks for
}

// Ends a failed set-up step: closes the half-made socket, leaves 0, logs, returns the code.
int FailSetup(TunnelEndpoint& ep, int event, int result)
{
    CloseSocketWord(ep.sock);
    LogTunnelEvent(event);
    return result;
}

int SetIntOption(int fd, int name, int value)
{
    return setsockopt(fd, SOL_SOCKET, name, &value, sizeof value);
}

int SetTimeOption(int fd, int name, int seconds)
{
    struct timeval tv = {seconds, 0};
    return setsockopt(fd, SOL_SOCKET, name, &tv, sizeof tv);
}

int SetTcpOption(int fd, int name, int value)
{
    return setsockopt(fd, IPPROTO_TCP, name, &value, sizeof value);
}

// The keep-alive and the user time-out of every tunnel socket, from lirnSet (a value out of range
// counts as off). Both off: the system's own, as a socket comes.
int SetLinkTimeouts(int fd)
{
    int keepAlive = lirnSet.keepAliveSec;
    if (keepAlive < kKeepAliveMinSec || keepAlive > kKeepAliveMaxSec) keepAlive = 0;
    unsigned userTimeoutMs = keepAlive > 0 ? 2000u * static_cast<unsigned>(keepAlive)
                             : LirnOutageBytes(0) > 0 ? kRingUserTimeoutMs : 0;
    if (keepAlive > 0 &&
        (SetIntOption(fd, SO_KEEPALIVE, 1) != 0 || SetTcpOption(fd, TCP_KEEPIDLE, keepAlive) != 0 ||
         SetTcpOption(fd, TCP_KEEPINTVL, keepAlive / kKeepAliveProbes) != 0 ||
         SetTcpOption(fd, TCP_KEEPCNT, kKeepAliveProbes) != 0))
        return -1;
    if (userTimeoutMs > 0 && SetTcpOption(fd, TCP_USER_TIMEOUT, static_cast<int>(userTimeoutMs)) != 0) return -1;
    return 0;
}

// Steps shared by client and server: the socket, its options in the system's order, and the
// socket address from the endpoint's text and port. Returns 0, or the failed step's code.
int OpenEndpointSocket(TunnelEndpoint& ep, bool reuseAddress)
{
    // Close-on-exec: a shell command run meanwhile must not hold the tunnel's connections open.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ep.sock = 0;
        LogTunnelEvent(kEvSocket);
        return -1;
    }
    ep.sock = fd;
    if (SetIntOption(fd, SO_RCVBUF, kRecvBufferBytes) != 0 || SetIntOption(fd, SO_SNDBUF, kSendBufferBytes) != 0 ||
        SetTimeOption(fd, SO_SNDTIMEO, kLirnWaitSeconds) != 0 ||
        SetTimeOption(fd, SO_RCVTIMEO, kLirnWaitSeconds) != 0 ||
        (reuseAddress && SetIntOption(fd, SO_REUSEADDR, 1) != 0) || SetLinkTimeouts(fd) != 0)
        return FailSetup(ep, kEvOption, -2);
    ep.written = 0;
    std::memset(&ep.sockAddr, 0, sizeof ep.sockAddr);
    ep.sockAddr.sin_family = AF_INET;
    ep.sockAddr.sin_port = htons(static_cast<uint16_t>(ep.port & 0xFFFF));
    return 0;
}

// The endpoint's address text as an IPv4 address; false when it is not dotted notation.
bool ParseAddress(TunnelEndpoint& ep)
{
    char text[sizeof ep.ipAddr];
    TextCopy(text, sizeof text, ep.ipAddr);
    return inet_pton(AF_INET, text, &ep.sockAddr.sin_addr) == 1;
}

// The socket a wait was on is no longer the one the word holds: closed or replaced meanwhile.
int SocketGone()
{
    LogTunnelEvent(kEvGone);
    return kLirnSocketGone;
}

int RecvOn(std::atomic<int>& sock, char* buf)
{
    int fd = sock;
    int ready = WaitSocket(fd, POLLIN, kSocketWaitMs);
    if (fd > 0 && sock != fd) return SocketGone();
    switch (ready) {
    case kTimedOut: return 0;
    case kWaitFailed: LogTunnelEvent(kEvWait); return -1;
    case kExceptional: LogTunnelEvent(kEvExceptional); return -2;
    case kNotReady: return -3;
    default: break;
    }
    ssize_t n;
    {
        std::unique_lock<std::mutex> use(gSocketUse);
        if (sock != fd) {
            use.unlock();
            return SocketGone();
        }
        n = recv(fd, buf, kLirnBlockSize, MSG_DONTWAIT);
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    if (n <= 0) {
        LogTunnelEvent(kEvRecv);
        return -4;
    }
    return static_cast<int>(n);
}

// Sends all len bytes within one 5-second bound: a partial send goes on with the rest, so the
// peer never sees a block cut short while the connection still works. Every byte that went out is
// counted in written, when given.
int SendOn(std::atomic<int>& sock, const char* data, std::size_t len, std::atomic<uint32_t>* written = nullptr)
{
    int fd = sock;
    uint32_t start = GetTimeTicks();
    std::size_t done = 0;
    for (;;) {
        uint32_t elapsed = TickElapsed(start, GetTimeTicks());
        uint32_t left = elapsed >= kSocketWaitMs ? 0 : kSocketWaitMs - elapsed;
        int ready = WaitSocket(fd, POLLOUT, left);
        if (fd > 0 && sock != fd) return SocketGone();
        switch (ready) {
        case kTimedOut:
        case kWaitFailed: LogTunnelEvent(kEvWait); return -1;
        case kExceptional: LogTunnelEvent(kEvExceptional); return -2;
        case kNotReady: return -3;
        default: break;
        }
        if (done == len) return 0;
        ssize_t n;
        {
            std::unique_lock<std::mutex> use(gSocketUse);
            if (sock != fd) {
                use.unlock();
                return SocketGone();
            }
            // Never the broken-pipe signal: a peer that went away is a failed send.
            n = send(fd, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            LogTunnelEvent(kEvSend);
            return -4;
        }
        done += static_cast<std::size_t>(n);
        if (written != nullptr) *written += static_cast<uint32_t>(n);
        if (done == len) return 0;
    }
}

}  // namespace

void LirnInit()
{
    lirnMode = lirnSet.mode;
    DialupLower();

    TextCopy(lirnData.ipAddr, sizeof lirnData.ipAddr, lirnSet.serverIp);
    lirnData.port = lirnSet.port;
    lirnData.sock = 0;

    if (lirnMode != 0) {
        TextCopy(lirnHb.ipAddr, sizeof lirnHb.ipAddr, lirnData.ipAddr);
        lirnHb.port = lirnData.port + 1;
        lirnHb.sock = 0;
    }
    LinkReset();
}

int LirnClient(TunnelEndpoint& ep)
{
    int rc = OpenEndpointSocket(ep, false);
    if (rc != 0) return rc;
    if (!ParseAddress(ep)) return FailSetup(ep, kEvConnect, -3);
    // The send time-out bounds the connect to about 5 s.
    if (connect(ep.sock, reinterpret_cast<struct sockaddr*>(&ep.sockAddr), sizeof ep.sockAddr) != 0)
        return FailSetup(ep, kEvConnect, -3);
    return 0;
}

int LirnServer(TunnelEndpoint& ep)
{
    int rc = OpenEndpointSocket(ep, true);
    if (rc != 0) return rc;
    if (!ParseAddress(ep)) return FailSetup(ep, kEvBind, -3);
    if (bind(ep.sock, reinterpret_cast<struct sockaddr*>(&ep.sockAddr), sizeof ep.sockAddr) != 0)
        return FailSetup(ep, kEvBind, -3);
    if (listen(ep.sock, 1) != 0) return FailSetup(ep, kEvListen, -4);
    return 0;
}

int LirnMonitor(TunnelEndpoint& ep, long seconds, long microseconds)
{
    long long ms = static_cast<long long>(seconds) * 1000 + microseconds / 1000;
    if (ms < 0) ms = 0;
    if (ms > 0x7FFFFFFF) ms = 0x7FFFFFFF;
    switch (WaitSocket(ep.sock, POLLIN, static_cast<uint32_t>(ms))) {
    case kTimedOut: return 0;
    case kExceptional: LogTunnelEvent(kEvExceptional); return -2;
    case kReady: return 1;
    default: LogTunnelEvent(kEvWait); return -1;  // wait failed, or no listening socket at all
    }
}

int LirnDupSocket(std::atomic<int>& sock)
{
    std::lock_guard<std::mutex> use(gSocketUse);
    int fd = sock;
    return fd > 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
}

// The kernel keeps the count (written minus acknowledged) of a connection that was reset or timed
// out until its last descriptor closes; only its queue of bytes is gone. A FIN sent and not yet
// acknowledged takes one place of that count: it is no byte of ours.
int LirnUnackedBytes(int fd)
{
    int outq = 0;
    if (ioctl(fd, SIOCOUTQ, &outq) != 0 || outq < 0) return -1;
    struct tcp_info info = {};
    socklen_t len = sizeof info;
    if (outq > 0 && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
        (info.tcpi_state == TCP_FIN_WAIT1 || info.tcpi_state == TCP_CLOSING || info.tcpi_state == TCP_LAST_ACK))
        --outq;
    return outq;
}

uint32_t LirnAckedBytes(TunnelEndpoint& ep)
{
    std::lock_guard<std::mutex> use(gSocketUse);
    int fd = ep.sock;
    int unacked = fd > 0 ? LirnUnackedBytes(fd) : -1;
    uint32_t written = ep.written;
    return unacked >= 0 && static_cast<uint32_t>(unacked) < written ? written - static_cast<uint32_t>(unacked) : 0;
}

uint32_t LirnAckWaitMs(int fd)
{
    struct tcp_info info = {};
    socklen_t len = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return kLirnAckWaitMaxMs;
    uint32_t ms = info.tcpi_rtt / 1000;
    return ms < kAckWaitMinMs ? kAckWaitMinMs : ms > kLirnAckWaitMaxMs ? kLirnAckWaitMaxMs : ms;
}

int LirnRecv(TunnelEndpoint& ep, char* buf)
{
    return RecvOn(ep.sock, buf);
}

int LirnChildRecv(std::atomic<int>& sock, char* buf)
{
    return RecvOn(sock, buf);
}

int LirnSend(TunnelEndpoint& ep, const char* buf)
{
    return SendOn(ep.sock, buf, kLirnBlockSize, &ep.written);
}

int LirnChildSend(std::atomic<int>& sock, const char* text)
{
    // A full block may hold no zero byte: then the whole block is the text.
    return SendOn(sock, text, strnlen(text, kLirnBlockSize));
}

int LirnSendBytes(TunnelEndpoint& ep, const char* data, int len)
{
    return SendOn(ep.sock, data, static_cast<std::size_t>(len > 0 ? len : 0), &ep.written);
}

int LirnChildSendBytes(std::atomic<int>& sock, const char* data, int len)
{
    return SendOn(sock, data, static_cast<std::size_t>(len > 0 ? len : 0));
}

void LirnLogOutageDropped(std::uint64_t bytes)
{
    LogTunnelEvent(kEvOutageDropped, bytes > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bytes));
}

void LirnClose(TunnelEndpoint& ep)
{
    CloseSocketWord(ep.sock);
}

void LirnChildClose(std::atomic<int>& sock)
{
    CloseSocketWord(sock);
}

void LirnChildCloseAll()
{
    for (LirnChild& child : lirnChild) CloseSocketWord(child.lirnHbChild);
    for (LirnChild& child : lirnChild) CloseSocketWord(child.lirnDataChild);
}

void GenInitData(char* dst, int count)
{
    // Seeded from the clock at every call, like the rest of the system's packets.
    unsigned seed = static_cast<unsigned>(std::time(nullptr));
    int i = 0;
    for (; i < count; ++i) {
        switch (rand_r(&seed) % 3) {
        case 0: dst[i] = static_cast<char>('A' + rand_r(&seed) % 26); break;
        case 1: dst[i] = static_cast<char>('a' + rand_r(&seed) % 26); break;
        default: dst[i] = static_cast<char>('0' + rand_r(&seed) % 10); break;
        }
    }
    dst[i] = '\0';
}

void LirnLineText(char* out, const char* src, int len)
{
    if (len < 0) len = 0;
    if (len > kLirnBlockSize) len = kLirnBlockSize;
    std::memcpy(out, src, static_cast<std::size_t>(len));
    out[len] = '\0';
    // Leading line ends stay in place; the first one after other characters ends the text.
    std::size_t lead = std::strspn(out, "\r\n");
    out[lead + std::strcspn(out + lead, "\r\n")] = '\0';
}
