// The MQTT mode's command channel (remote.h): the inbox of requests, the reply parts and the
// remembered request ids, under one lock.
//
// A part belongs to one side at a time, handed over under the lock: free, filled by the runner,
// ready for the session, then published by the session until its PUBACK frees it. So the runner
// writes a part's bytes and the session reads them without holding the lock. The runner waits on a
// condition variable (for a request, a free part, its parts acknowledged); the session is woken
// through an eventfd in its epoll set when a part is ready or a request left the inbox.
#include "mqtt/remote.h"
#include "mqtt/session.h"

#include "board/ticks.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

enum class PartState : uint8_t { Free, Filling, Ready, Sent };
enum class RidState : uint8_t { Queued, Running, Done };

struct Remembered {
    char rid[kRemoteRidMax + 1];  // "" for an entry never used
    RidState state;
    bool kept;  // reply holds the whole reply
    std::size_t len;
    char reply[kRemoteKeptMax];
};

struct Queued {
    RemoteRequest request;
    bool repeat;  // its id was done before
};

// The reply the runner writes: its id, the part it fills (-1 none), the parts numbered so far.
struct Writing {
    bool active;
    char rid[kRemoteRidMax + 1];
    int filling;
    int numbered;
};

std::mutex gLock;
std::condition_variable gRunnerWake;
int gWakeFd = -1;

RemotePart gParts[kRemoteParts];
PartState gPartState[kRemoteParts];
uint64_t gPartOrder[kRemoteParts];  // parts go out in the order they were handed over
uint64_t gNextOrder;

Queued gInbox[kRemoteInbox];
int gInboxHead, gInboxCount;

Remembered gRemembered[kRemoteRemembered];
int gRememberNext;  // the entry the next new id takes: always the oldest

Writing gReply;  // the runner's alone

void WakeSession()
{
    uint64_t one = 1;
    if (gWakeFd >= 0) (void)!write(gWakeFd, &one, sizeof one);
}

// Under the lock.
Remembered* Find(const char* rid)
{
    for (Remembered& e : gRemembered)
        if (e.rid[0] != '\0' && std::strcmp(e.rid, rid) == 0) return &e;
    return nullptr;
}

// Under the lock. The oldest entry goes: at most the inbox and the running request are not done,
// and they are the newest.
Remembered* Remember(const char* rid)
{
    Remembered& e = gRemembered[gRememberNext];
    gRememberNext = (gRememberNext + 1) % kRemoteRemembered;
    e = Remembered{};
    std::snprintf(e.rid, sizeof e.rid, "%s", rid);
    e.state = RidState::Queued;
    return &e;
}

template <typename Ready>
bool WaitFor(std::unique_lock<std::mutex>& hold, uint32_t waitMs, Ready ready)
{
    if (waitMs == kWaitForever) {
        gRunnerWake.wait(hold, ready);
        return true;
    }
    return gRunnerWake.wait_for(hold, std::chrono::milliseconds(waitMs), ready);
}

// A free part for the reply, waited for while every part is out.
int Acquire()
{
    std::unique_lock<std::mutex> hold(gLock);
    int free = -1;
    WaitFor(hold, kWaitForever, [&] {
        for (int i = 0; i < kRemoteParts && free < 0; ++i)
            if (gPartState[i] == PartState::Free) free = i;
        return free >= 0;
    });
    gPartState[free] = PartState::Filling;
    RemotePart& p = gParts[free];
    std::memcpy(p.rid, gReply.rid, sizeof p.rid);
    p.number = 0;
    p.len = 0;
    return free;
}

void Hand(int i)
{
    {
        std::lock_guard<std::mutex> hold(gLock);
        gPartState[i] = PartState::Ready;
        gPartOrder[i] = gNextOrder++;
    }
    WakeSession();
}

// Takes the next request (under the lock). True when it is a repeat whose reply was kept: that
// reply is in kept, and the request is not run again.
bool TakeQueued(RemoteRequest* r, char* kept, std::size_t* keptLen)
{
    Queued& q = gInbox[gInboxHead];
    gInboxHead = (gInboxHead + 1) % kRemoteInbox;
    gInboxCount--;
    *r = q.request;
    Remembered* e = Find(r->rid);
    if (q.repeat && e != nullptr && e->state == RidState::Done && e->kept) {
        std::memcpy(kept, e->reply, e->len);
        *keptLen = e->len;
        return true;
    }
    if (e == nullptr) e = Remember(r->rid);  // forgotten meanwhile: run as a new one
    e->state = RidState::Running;
    return false;
}

}  // namespace

// ---- The session's side ----

void RemoteInit()
{
    std::lock_guard<std::mutex> hold(gLock);
    for (PartState& s : gPartState) s = PartState::Free;
    gNextOrder = 0;
    gInboxHead = gInboxCount = 0;
    for (Remembered& e : gRemembered) e = Remembered{};
    gRememberNext = 0;
    gReply = Writing{false, "", -1, 0};
    if (gWakeFd < 0) gWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

bool RemoteRoom()
{
    std::lock_guard<std::mutex> hold(gLock);
    return gInboxCount < kRemoteInbox;
}

void RemotePut(const char* rid, const char* data, std::size_t len)
{
    {
        std::lock_guard<std::mutex> hold(gLock);
        Remembered* e = Find(rid);
        if (e != nullptr && e->state != RidState::Done) return;  // queued or running: its reply comes
        if (gInboxCount == kRemoteInbox) return;                  // the session asks RemoteRoom first
        Queued& q = gInbox[(gInboxHead + gInboxCount) % kRemoteInbox];
        q.repeat = e != nullptr;
        std::snprintf(q.request.rid, sizeof q.request.rid, "%s", rid);
        q.request.len = std::min(len, kRemoteRequestMax);
        std::memcpy(q.request.line, data, q.request.len);
        q.request.line[q.request.len] = '\0';
        gInboxCount++;
        if (e == nullptr) Remember(rid);
    }
    gRunnerWake.notify_all();
}

RemotePart* RemoteNextPart()
{
    std::lock_guard<std::mutex> hold(gLock);
    int next = -1;
    for (int i = 0; i < kRemoteParts; ++i)
        if (gPartState[i] == PartState::Ready && (next < 0 || gPartOrder[i] < gPartOrder[next])) next = i;
    if (next < 0) return nullptr;
    gPartState[next] = PartState::Sent;
    return &gParts[next];
}

int RemoteSentParts(RemotePart** out)
{
    std::lock_guard<std::mutex> hold(gLock);
    int n = 0;
    for (int i = 0; i < kRemoteParts; ++i)
        if (gPartState[i] == PartState::Sent) out[n++] = &gParts[i];
    std::sort(out, out + n, [](RemotePart* a, RemotePart* b) { return gPartOrder[a - gParts] < gPartOrder[b - gParts]; });
    return n;
}

bool RemoteAcked(uint16_t id, uint64_t* sentAt)
{
    {
        std::lock_guard<std::mutex> hold(gLock);
        int i = 0;
        while (i < kRemoteParts && !(gPartState[i] == PartState::Sent && gParts[i].id == id)) ++i;
        if (i == kRemoteParts) return false;
        gPartState[i] = PartState::Free;
        *sentAt = gParts[i].sentAt;
    }
    gRunnerWake.notify_all();
    return true;
}

int RemoteWakeFd()
{
    return gWakeFd;
}

void RemoteClearWake()
{
    uint64_t count;
    if (gWakeFd >= 0) (void)!read(gWakeFd, &count, sizeof count);
}

// ---- The runner's side ----

bool RemoteTake(RemoteRequest* r, uint32_t waitMs)
{
    for (;;) {
        char kept[kRemoteKeptMax];
        std::size_t keptLen = 0;
        bool answered;
        {
            std::unique_lock<std::mutex> hold(gLock);
            if (!WaitFor(hold, waitMs, [] { return gInboxCount > 0; })) return false;
            answered = TakeQueued(r, kept, &keptLen);
        }
        WakeSession();  // room in the inbox
        gReply = Writing{true, "", -1, 0};
        std::memcpy(gReply.rid, r->rid, sizeof gReply.rid);
        if (!answered) return true;
        RemoteReplyWrite(kept, keptLen);
        RemoteReplyEnd();
    }
}

void RemoteReplyWrite(const char* data, std::size_t n)
{
    while (n > 0 && gReply.active) {
        if (gReply.filling < 0) gReply.filling = Acquire();
        RemotePart& p = gParts[gReply.filling];
        if (p.len == kRemotePartMax) {  // full, and more comes: a numbered part
            p.number = ++gReply.numbered;
            Hand(gReply.filling);
            gReply.filling = -1;
            continue;
        }
        std::size_t take = std::min(n, kRemotePartMax - p.len);
        std::memcpy(p.data + p.len, data, take);
        p.len += take;
        data += take;
        n -= take;
    }
}

void RemoteReplyEnd()
{
    if (!gReply.active) return;
    if (gReply.filling < 0) gReply.filling = Acquire();  // an empty reply
    RemotePart& last = gParts[gReply.filling];
    bool whole = gReply.numbered == 0;
    {
        std::lock_guard<std::mutex> hold(gLock);
        Remembered* e = Find(gReply.rid);
        if (e != nullptr) {
            e->state = RidState::Done;
            e->kept = whole && last.len <= kRemoteKeptMax;
            e->len = e->kept ? last.len : 0;
            std::memcpy(e->reply, last.data, e->len);
        }
    }
    last.number = whole ? 0 : ++gReply.numbered;
    Hand(gReply.filling);
    if (!whole) {
        int end = Acquire();
        gParts[end].number = kRemoteEndPart;
        gParts[end].len = static_cast<std::size_t>(std::snprintf(gParts[end].data, kRemotePartMax, "%d", gReply.numbered));
        Hand(end);
    }
    gReply.active = false;
    gReply.filling = -1;
}

bool RemoteReplySettle(uint32_t withinMs)
{
    RemoteReplyEnd();
    std::unique_lock<std::mutex> hold(gLock);
    return WaitFor(hold, withinMs, [] {
        return std::all_of(std::begin(gPartState), std::end(gPartState), [](PartState s) { return s == PartState::Free; });
    });
}
