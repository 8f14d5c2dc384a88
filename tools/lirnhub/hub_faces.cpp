// What a gateway looks like from the back office: a raw TCP client, a pty, Modbus TCP masters and
// their RTU transactions on the gateway's line (see hub.h).
#include "hub.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace lirnhub {

namespace {

constexpr std::size_t kReadSize = 4096;
constexpr std::size_t kMaxPtyPending = 64 * 1024;  // bytes a program on the pty has not read
constexpr auto kBroadcastTurnaround = std::chrono::milliseconds(100);

uint8_t Function(const Transaction& t)
{
    return static_cast<uint8_t>(t.pdu[0]);
}

}  // namespace

// ---- the pty ----
//
// Bytes for the pty are written only while a program holds it open, so that a program that opens
// it later never reads stale ones. An open shows as an inotify event on the pty's device; the last
// close as a hang-up of the hub's end, which is then left out of the loop until the next open.

bool Hub::MakePty(Gateway& gw)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char slave[64];
    struct termios t;
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, slave, sizeof slave) != 0 ||
        tcgetattr(m, &t) != 0) {
        Say("cannot make a pty for %s: %s", gw.map.id.c_str(), std::strerror(errno));
        if (m >= 0) close(m);
        return false;
    }
    cfmakeraw(&t);  // the program's side starts raw: bytes pass as they are
    tcsetattr(m, TCSANOW, &t);
    gw.ptyMaster = m;
    gw.ptySlave = slave;
    std::string link = o_.ptyDir + "/" + gw.map.id;
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());  // a hub's before
    if (symlink(slave, link.c_str()) != 0) {
        Say("cannot make %s: %s", link.c_str(), std::strerror(errno));
        return false;
    }
    gw.ptyLink = link;
    gw.ptyWatch = inotify_add_watch(ptyWatch_, slave, IN_OPEN);
    if (gw.ptyWatch < 0) {
        Say("cannot watch %s: %s", slave, std::strerror(errno));
        return false;
    }
    gw.ptyToken = nextToken_++;
    targets_[gw.ptyToken] = {Kind::Pty, &gw};
    return true;
}

void Hub::PtyWatchEvents()
{
    alignas(struct inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(ptyWatch_, buf, sizeof buf)) > 0) {
        for (char* p = buf; p < buf + n;) {
            const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(p);
            p += sizeof(struct inotify_event) + e->len;
            for (const auto& gw : gateways_) {
                if (gw->ptyWatch != e->wd || gw->ptyAttached) continue;
                gw->ptyAttached = true;
                struct epoll_event ev = {};
                ev.data.u64 = gw->ptyToken;
                epoll_ctl(epoll_, EPOLL_CTL_ADD, gw->ptyMaster, &ev);
                UpdatePtyEvents(*gw);
                MarkDirty();
            }
        }
    }
}

void Hub::UpdatePtyEvents(Gateway& gw)
{
    if (!gw.ptyAttached) return;
    Modify(gw.ptyMaster, gw.ptyToken, (Paused(gw) ? 0u : EPOLLIN) | (gw.ptyOut.empty() ? 0u : EPOLLOUT));
}

void Hub::PtyIo(Gateway& gw, uint32_t events)
{
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        char buf[kReadSize];
        ssize_t n = read(gw.ptyMaster, buf, sizeof buf);
        if (n > 0) {
            // A line with nobody at its end: what the program writes while the gateway is
            // offline is dropped (and counted), never delivered late.
            if (!Online(gw) || !PublishDown(gw, std::string(buf, static_cast<std::size_t>(n))))
                gw.count.dropped += static_cast<uint64_t>(n);
            MarkDirty();
        } else if (n == 0 || errno != EAGAIN) {
            PtyDetach(gw);  // the last program closed it
            return;
        }
    }
    if (events & EPOLLOUT) PtyFlush(gw);
    UpdatePtyEvents(gw);
}

void Hub::PtyDetach(Gateway& gw)
{
    epoll_ctl(epoll_, EPOLL_CTL_DEL, gw.ptyMaster, nullptr);
    gw.ptyAttached = false;
    gw.ptyOut.clear();
    tcflush(gw.ptyMaster, TCIOFLUSH);  // and what the program left unread
    MarkDirty();
}

void Hub::PtyFlush(Gateway& gw)
{
    while (!gw.ptyOut.empty()) {
        ssize_t n = write(gw.ptyMaster, gw.ptyOut.data(), gw.ptyOut.size());
        if (n <= 0) break;
        gw.ptyOut.erase(0, static_cast<std::size_t>(n));
    }
    UpdatePtyEvents(gw);
}

// ---- raw ----

void Hub::RawIn(Gateway& gw, Conn& c)
{
    char buf[kReadSize];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) return CloseConn(c.token);
    if (!PublishDown(gw, std::string(buf, static_cast<std::size_t>(n)))) gw.count.dropped += static_cast<uint64_t>(n);
    if (Paused(gw)) c.reading = false;  // until the broker has taken some
}

void Hub::UpBytes(Gateway& gw, const std::string& bytes)
{
    gw.count.bytesUp += bytes.size();
    if (gw.map.face == Face::Modbus) {
        if (gw.active && gw.active->address != 0 && gw.framer.Add(bytes)) FinishActive(gw, gw.framer.Pdu());
        gw.count.discarded = gw.framer.Discarded();
        return;
    }
    std::vector<uint64_t> clients = gw.clients;
    for (uint64_t token : clients) {
        Conn* c = FindConn(token);
        if (c != nullptr && !SendTo(*c, bytes)) {
            Say("the raw client of %s takes its bytes too slowly: closed", gw.map.id.c_str());
            CloseConn(token);
        }
    }
    if (!gw.ptyAttached) return;
    gw.ptyOut += bytes;
    if (gw.ptyOut.size() > kMaxPtyPending) {  // a serial line's overrun: the oldest go
        std::size_t excess = gw.ptyOut.size() - kMaxPtyPending;
        gw.ptyOut.erase(0, excess);
        gw.count.dropped += excess;
    }
    PtyFlush(gw);
}

// ---- Modbus ----

void Hub::ModbusIn(Gateway& gw, Conn& c)
{
    const uint64_t token = c.token;
    char buf[kReadSize];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) return CloseConn(token);
    c.in.append(buf, static_cast<std::size_t>(n));
    for (Conn* m; (m = FindConn(token)) != nullptr;) {  // an answer may have closed it
        MbapRequest req;
        long used = TakeMbapRequest(m->in, &req);
        if (used < 0) return CloseConn(token);  // not Modbus TCP
        if (used == 0) return;
        m->in.erase(0, static_cast<std::size_t>(used));
        Enqueue(gw, token, req);
    }
}

void Hub::Enqueue(Gateway& gw, uint64_t conn, const MbapRequest& req)
{
    gw.count.requests++;
    MarkDirty();
    Transaction t{conn, req.transaction, req.unit, 0, req.pdu};
    uint8_t function = Function(t);
    if (function == 0 || (function & 0x80)) return Answer(gw, t, ExceptionPdu(function & 0x7F, kIllegalFunction));
    int address = gw.map.unit >= 0 ? gw.map.unit : req.unit;
    if (address > 247) return Answer(gw, t, ExceptionPdu(function, kPathUnavailable));
    t.address = static_cast<uint8_t>(address);
    if (!Online(gw)) {
        gw.count.timeouts++;
        return Answer(gw, t, ExceptionPdu(function, kTargetNoResponse));
    }
    if (gw.queue.size() >= static_cast<std::size_t>(gw.map.queue)) {
        gw.count.busy++;
        return Answer(gw, t, ExceptionPdu(function, kServerBusy));
    }
    gw.queue.push_back(std::move(t));
    StartNext(gw);
}

void Hub::Answer(Gateway& gw, const Transaction& t, const std::string& pdu)
{
    if (static_cast<uint8_t>(pdu[0]) & 0x80) gw.count.exceptions++;
    MarkDirty();
    Conn* c = FindConn(t.conn);
    if (c != nullptr && !SendTo(*c, MbapFrame(t.transaction, t.unit, pdu))) CloseConn(t.conn);
}

void Hub::StartNext(Gateway& gw)
{
    while (!gw.active && !gw.queue.empty()) {
        // Masters in turn: the oldest request of the first master after the one served last.
        auto pick = gw.queue.begin();
        for (auto it = gw.queue.begin(); it != gw.queue.end(); ++it) {
            bool itAfter = it->conn > gw.lastServed, pickAfter = pick->conn > gw.lastServed;
            if (itAfter != pickAfter ? itAfter : it->conn < pick->conn) pick = it;
        }
        Transaction t = std::move(*pick);
        gw.queue.erase(pick);
        gw.lastServed = t.conn;
        if (!PublishDown(gw, RtuFrame(t.address, t.pdu))) {
            gw.count.timeouts++;
            Answer(gw, t, ExceptionPdu(Function(t), kTargetNoResponse));
            continue;
        }
        gw.framer.Expect(t.address, Function(t));
        gw.activeDue = Clock::now() + (t.address == 0 ? kBroadcastTurnaround
                                                       : std::chrono::milliseconds(gw.map.timeoutMs));
        gw.active = std::move(t);
    }
}

void Hub::FinishActive(Gateway& gw, const std::string& pdu)
{
    Transaction t = std::move(*gw.active);
    gw.active.reset();
    Answer(gw, t, pdu);
    StartNext(gw);
}

void Hub::FailAll(Gateway& gw)
{
    std::vector<Transaction> all;
    if (gw.active && gw.active->address != 0) all.push_back(std::move(*gw.active));
    gw.active.reset();
    for (Transaction& t : gw.queue) all.push_back(std::move(t));
    gw.queue.clear();
    for (const Transaction& t : all) {
        gw.count.timeouts++;
        Answer(gw, t, ExceptionPdu(Function(t), kTargetNoResponse));
    }
}

}  // namespace lirnhub
