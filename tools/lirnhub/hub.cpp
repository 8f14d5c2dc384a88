// The hub's set-up, its loop and descriptors, and the status file (see hub.h).
#include "hub.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lirnhub {

namespace {

constexpr int kMaxEvents = 64;
constexpr std::size_t kMaxPending = 64 * 1024;  // bytes a client has not taken yet
constexpr std::size_t kMaxMasters = 16;         // Modbus masters of one gateway at once
constexpr std::size_t kReadSize = 4096;
constexpr auto kStatusEvery = std::chrono::milliseconds(1000);

// Refuses an accepted connection with a reset, so the client sees a refusal, not a session.
void Refuse(int fd)
{
    struct linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

// No Nagle delay on answers; and keep-alive probes: a raw client that vanished without closing
// (a cable pulled, a NAT forgetting it) would hold its gateway's only slot, and is freed within
// about a minute and a half.
void TuneClient(int fd)
{
    int on = 1, idle = 60, interval = 10, count = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

const char* FaceName(Face f)
{
    return f == Face::Raw ? "raw" : "modbus";
}

}  // namespace

void Say(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "lirnhub: %s\n", text);
}

Hub::Hub(HubOptions options) : o_(std::move(options)) {}

Hub::~Hub()
{
    if (epoll_ >= 0) close(epoll_);
    if (signals_ >= 0) close(signals_);
    if (ptyWatch_ >= 0) close(ptyWatch_);
}

int Hub::Run()
{
    if (!SetUp()) {
        ShutDown();
        return 1;
    }
    Loop();
    ShutDown();
    return 0;
}

bool Hub::SetUp()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A listener, a client or two and a pty per gateway: a large fleet needs more than 1024.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    signals_ = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (epoll_ < 0 || signals_ < 0) {
        Say("cannot set up the event loop: %s", std::strerror(errno));
        return false;
    }
    Register(signals_, EPOLLIN, {Kind::Signals});
    if (!o_.ptyDir.empty()) {
        if (mkdir(o_.ptyDir.c_str(), 0755) != 0 && errno != EEXIST) {
            Say("cannot make %s: %s", o_.ptyDir.c_str(), std::strerror(errno));
            return false;
        }
        ptyWatch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (ptyWatch_ < 0) {
            Say("cannot watch the ptys: %s", std::strerror(errno));
            return false;
        }
        Register(ptyWatch_, EPOLLIN, {Kind::PtyWatch});
    }
    for (const GatewayMap& m : o_.maps) {
        auto gw = std::make_unique<Gateway>();
        gw->map = m;
        std::string tree = o_.prefix + "/" + m.id + "/";
        gw->up = tree + "up";
        gw->down = tree + "down";
        gw->status = tree + "status";
        gw->state = tree + "state";
        topics_[gw->up] = {gw.get(), 0};
        topics_[gw->status] = {gw.get(), 1};
        topics_[gw->state] = {gw.get(), 2};
        gateways_.push_back(std::move(gw));  // first: a failed set-up is cleaned up with the others
        if (!Listen(*gateways_.back())) return false;
        if (!o_.ptyDir.empty() && m.face == Face::Raw && !MakePty(*gateways_.back())) return false;
    }
    if (!BrokerSetUp()) return false;
    WriteStatus(true);
    return true;
}

bool Hub::Listen(Gateway& gw)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(gw.map.port));
    inet_pton(AF_INET, gw.map.address.c_str(), &a.sin_addr);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
        Say("cannot listen on %s:%d for %s: %s", gw.map.address.c_str(), gw.map.port, gw.map.id.c_str(),
            std::strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    gw.listener = fd;
    gw.listenerToken = Register(fd, EPOLLIN, {Kind::Listener, &gw});
    return true;
}

uint64_t Hub::Register(int fd, uint32_t events, Target target)
{
    uint64_t token = target.kind == Kind::Signals    ? kSignalsToken
                     : target.kind == Kind::PtyWatch ? kPtyWatchToken
                     : target.kind == Kind::Broker   ? kBrokerToken
                                                     : nextToken_++;
    targets_[token] = target;
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.u64 = token;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    return token;
}

void Hub::Modify(int fd, uint64_t token, uint32_t events)
{
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.u64 = token;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
}

void Hub::Unregister(int fd, uint64_t token)
{
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    targets_.erase(token);
}

void Hub::Loop()
{
    struct epoll_event ev[kMaxEvents];
    while (!stopping_) {
        SyncBrokerWatch();
        int n = epoll_wait(epoll_, ev, kMaxEvents, MsToNextDue());
        if (n < 0 && errno != EINTR) {
            Say("event loop failed: %s", std::strerror(errno));
            return;
        }
        for (int i = 0; i < n; ++i) Dispatch(ev[i].data.u64, ev[i].events);
        RunDue();
    }
}

void Hub::Dispatch(uint64_t token, uint32_t events)
{
    auto it = targets_.find(token);
    if (it == targets_.end()) return;  // closed earlier in this round
    Target t = it->second;
    switch (t.kind) {
    case Kind::Signals: {
        struct signalfd_siginfo info;
        while (read(signals_, &info, sizeof info) == sizeof info) stopping_ = true;
        return;
    }
    case Kind::Broker: BrokerIo(events); return;
    case Kind::PtyWatch: PtyWatchEvents(); return;
    case Kind::Listener: Accept(*t.gw); return;
    case Kind::Client: ConnIo(token, events); return;
    case Kind::Pty: PtyIo(*t.gw, events); return;
    }
}

int Hub::MsToNextDue()
{
    Clock::time_point now = Clock::now();
    Clock::time_point due = link_ == Link::Down ? reconnectAt_ : miscAt_;
    if (dirty_) due = std::min(due, statusAt_);
    for (const auto& gw : gateways_)
        if (gw->active) due = std::min(due, gw->activeDue);
    if (due <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, 60000));
}

void Hub::RunDue()
{
    Clock::time_point now = Clock::now();
    for (const auto& gw : gateways_) {
        if (!gw->active || now < gw->activeDue) continue;
        if (gw->active->address != 0) {  // a broadcast has no reply to wait for
            gw->count.timeouts++;
            Answer(*gw, *gw->active, ExceptionPdu(static_cast<uint8_t>(gw->active->pdu[0]), kTargetNoResponse));
        }
        gw->active.reset();
        StartNext(*gw);
    }
    if (link_ == Link::Down && now >= reconnectAt_) BrokerConnect();
    if (link_ != Link::Down && now >= miscAt_) {
        miscAt_ = now + std::chrono::seconds(1);
        BrokerIo(0);
    }
    if (dirty_ && now >= statusAt_) WriteStatus(true);
}

Conn* Hub::FindConn(uint64_t token)
{
    auto it = conns_.find(token);
    return it == conns_.end() ? nullptr : it->second.get();
}

void Hub::Accept(Gateway& gw)
{
    int fd;
    while ((fd = accept4(gw.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
        // An offline gateway's raw port refuses; its Modbus port answers 0x0B to every request.
        bool raw = gw.map.face == Face::Raw;
        if ((raw && !Online(gw)) || gw.clients.size() >= (raw ? 1 : kMaxMasters)) {
            gw.count.refused++;
            MarkDirty();
            Refuse(fd);
            continue;
        }
        TuneClient(fd);
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        c->gw = &gw;
        c->events = EPOLLIN;
        c->token = Register(fd, c->events, {Kind::Client, &gw});
        gw.clients.push_back(c->token);
        conns_[c->token] = std::move(c);
        MarkDirty();
    }
}

void Hub::CloseConn(uint64_t token)
{
    Conn* c = FindConn(token);
    if (c == nullptr) return;
    Gateway& gw = *c->gw;
    Unregister(c->fd, token);
    close(c->fd);
    std::erase(gw.clients, token);
    std::erase_if(gw.queue, [token](const Transaction& t) { return t.conn == token; });
    conns_.erase(token);
    MarkDirty();
}

void Hub::ConnIo(uint64_t token, uint32_t events)
{
    Conn* c = FindConn(token);
    if (c == nullptr) return;
    if (events & EPOLLOUT) {
        while (!c->out.empty()) {
            ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
            if (n > 0) c->out.erase(0, static_cast<std::size_t>(n));
            else if (n < 0 && errno == EAGAIN) break;
            else return CloseConn(token);
        }
    }
    if (!c->reading) {
        // A paused raw client is not read; a hang-up then ends it rather than waking us forever.
        if (events & (EPOLLHUP | EPOLLERR)) return CloseConn(token);
    } else if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        if (c->gw->map.face == Face::Raw) RawIn(*c->gw, *c);
        else ModbusIn(*c->gw, *c);
    }
    if ((c = FindConn(token)) != nullptr) UpdateConnEvents(*c);
}

bool Hub::SendTo(Conn& c, const std::string& bytes)
{
    std::size_t done = 0;
    if (c.out.empty()) {
        ssize_t n = send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) return false;
        done = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    c.out.append(bytes, done);
    if (c.out.size() > kMaxPending) return false;
    UpdateConnEvents(c);
    return true;
}

void Hub::UpdateConnEvents(Conn& c)
{
    uint32_t want = (c.reading ? EPOLLIN : 0u) | (c.out.empty() ? 0u : EPOLLOUT);
    if (want == c.events) return;
    c.events = want;
    Modify(c.fd, c.token, want);
}

bool Hub::Online(const Gateway& gw) const
{
    return link_ == Link::Up && gw.statusText == "online";
}

void Hub::OnlineChanged(Gateway& gw)
{
    MarkDirty();
    if (Online(gw)) return;
    if (gw.map.face == Face::Raw) {
        std::vector<uint64_t> clients = gw.clients;
        for (uint64_t token : clients) CloseConn(token);
    } else {
        FailAll(gw);
    }
}

void Hub::MarkDirty()
{
    dirty_ = true;
}

void Hub::WriteStatus(bool running)
{
    dirty_ = false;
    statusAt_ = Clock::now() + kStatusEvery;
    if (o_.jsonStatus.empty()) return;
    nlohmann::ordered_json doc;
    doc["running"] = running;
    doc["updated"] = static_cast<long long>(time(nullptr));
    doc["broker"] = {{"host", o_.host}, {"port", o_.port}, {"connected", link_ == Link::Up}};
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& gw : gateways_) {
        nlohmann::ordered_json g;
        g["id"] = gw->map.id;
        g["face"] = FaceName(gw->map.face);
        g["listen"] = gw->map.address + ":" + std::to_string(gw->map.port);
        g["status"] = gw->statusText;
        g["online"] = Online(*gw);
        g["clients"] = gw->clients.size();
        g["bytes_up"] = gw->count.bytesUp;
        g["bytes_down"] = gw->count.bytesDown;
        g["refused"] = gw->count.refused;
        if (gw->map.face == Face::Modbus) {
            g["requests"] = gw->count.requests;
            g["timeouts"] = gw->count.timeouts;
            g["exceptions"] = gw->count.exceptions;
            g["busy"] = gw->count.busy;
            g["discarded"] = gw->count.discarded;
            g["queued"] = gw->queue.size() + (gw->active ? 1 : 0);
        }
        if (!gw->ptyLink.empty()) {
            g["pty"] = gw->ptyLink;
            g["pty_open"] = gw->ptyAttached;
            g["dropped"] = gw->count.dropped;
        }
        g["state"] = nlohmann::ordered_json::parse(gw->stateText, nullptr, false);
        if (g["state"].is_discarded()) g["state"] = nullptr;
        list.push_back(std::move(g));
    }
    doc["gateways"] = std::move(list);
    // Whole or not at all: readers never see a half-written table.
    std::string temp = o_.jsonStatus + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "w");
    if (f == nullptr) return;
    std::string text = doc.dump(1) + "\n";
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), o_.jsonStatus.c_str()) != 0) std::remove(temp.c_str());
}

void Hub::ShutDown()
{
    std::vector<uint64_t> tokens;
    for (const auto& [token, c] : conns_) tokens.push_back(token);
    for (uint64_t token : tokens) CloseConn(token);
    for (const auto& gw : gateways_) {
        if (gw->listener >= 0) close(gw->listener);
        if (gw->ptyMaster >= 0) close(gw->ptyMaster);
        if (!gw->ptyLink.empty()) unlink(gw->ptyLink.c_str());
    }
    BrokerClose();
    WriteStatus(false);
}

}  // namespace lirnhub
