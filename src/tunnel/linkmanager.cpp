// Link manager: the thread that owns the tunnel's TCP connections.
//
// It waits for the data call (lirnDialup), then connects to the peer (modes 0 and 1) or listens
// for it (mode 2), runs the initial packet exchange that opens a link in modes 1 and 2, and raises
// lirnConnect when the link is usable. The pumps and the heartbeat thread lower lirnConnect when
// they meet a failure; the next pass here closes what is left and builds the link afresh. A peer
// that cannot be reached five times in a row gets the data call hung up, so that the dial-up
// thread makes a fresh call before the next try.
//
// This file owns the link word and the client slots: every write of them is in a function below,
// the link word's under one lock, so that a failure met on a link that has changed since (LinkLower)
// never lowers the link built after it.
//
// Rebuilds are paced only where a storm would follow (LirnRetryDelayMs): a connect or listen that
// fails, a server that closes the heartbeat connection before its initial packet, a link that ends
// within kStormLinkMs of coming up with nothing across. Every other end (a link that carried
// payload or lasted, the packet wait of mode 1 waited out, any client of mode 2 leaving) is
// rebuilt at once. The sockets of the link that ended are closed before any wait.
#include "tunnel/internal.h"

#include "board/ticks.h"
#include "cellular/datacall.h"
#include "config/config.h"
#include "platform/text.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/socket.h>

namespace {

constexpr int kConnectAttempts = 5;          // tries per connect or bind-and-listen, back to back
constexpr unsigned kDialupWaitMs = 5000;     // pause between looks at a data call that is down
constexpr long kRequestWaitSeconds = 5;      // wait for a connection request (mode 2)
constexpr int kInitPacketChars = 10;         // characters of the server's initial packet
constexpr char kInitSeparator[] = "@@@@@@@@@@";
constexpr int kSeparatorChars = sizeof kInitSeparator - 1;
constexpr unsigned kFullSlotWaitMs = 5000;   // pacing while a second client knocks at a full slot

// Pacing of rebuilds, and the bytes the data connection carried before the link came up (the
// reply block of mode 1). Touched by the link manager's thread only.
LinkPacing gPacing;
uint32_t gBuildBytes;
// Payload came from the peer on the link that is up: set by the receive pump, taken by the link
// manager when the link ends.
std::atomic<bool> gCarried{false};

// The link word, and how often the link has changed (raised, lowered, or its client dropped). Both
// are written under gLink only: a failure lowers the link only while the count is the one the
// failing thread saw before its operation.
std::mutex gLink;
std::atomic<int> gConnect{0};
std::atomic<uint32_t> gLinkChanges{0};

// Under gLink: the link goes up or down; a failure seen before this point is outdated.
void ChangeLink(int up)
{
    gLinkChanges++;
    SharedSet(gConnect, up);
}

// Waits until the next build is due. The wait ends at a time computed from the failures; nothing
// else this thread could do meanwhile.
void WaitForRebuild()
{
    uint32_t left = LinkPacingWaitMs(&gPacing);
    if (left > 0) SleepMs(left);
}

// Waits out one look at a data call that is down. Returns true when the tunnel may connect.
bool DialupReady(int mode)
{
    if (lirnDialup == 1) return true;
    SleepMs(kDialupWaitMs);
    if (mode != 0) std::puts("Waiting Dialup\r");
    return false;
}

bool ListenWithRetries(TunnelEndpoint& ep)
{
    for (int i = 0; i < kConnectAttempts; ++i)
        if (LirnServer(ep) == 0) return true;
    return false;
}

// Modes 0 and 1: the link that ended is judged for the pacing (payload from the peer, or any of
// the pump's bytes acknowledged by it), then its sockets are closed.
void EndClientLink()
{
    if (gPacing.up && (gCarried.exchange(false) || LirnAckedBytes(lirnData) > gBuildBytes))
        LinkPacingCarried(&gPacing);
    LinkPacingDown(&gPacing);
    LirnClose(lirnHb);
    LirnClose(lirnData);
}

// Modes 0 and 1: true when this pass has a link to build (the data call is up, the link is not),
// once the old link's sockets are closed and its paced time has come. A link that is up leaves
// nothing to do until a thread lowers it.
bool LinkToBuild(int mode)
{
    uint32_t seen = SharedSeq();
    if (lirnConnect == 1) {
        SharedWait(seen, kWaitForever);
        return false;
    }
    EndClientLink();
    if (!DialupReady(mode)) return false;
    WaitForRebuild();
    return true;
}

// How a build ended: a usable link; a failure that a storm would repeat (paced); or a try to be
// made again at once (the initial packet's wait ran out).
enum class Built { kUp, kFailed, kAgain };

void BuildEnded(Built how)
{
    if (how == Built::kFailed) LinkPacingFailed(&gPacing);
    if (how != Built::kUp) return;
    gBuildBytes = lirnData.written;
    gCarried = false;
    LinkPacingUp(&gPacing);
    LinkRaise();
}

void PassMode0()
{
    if (!LinkToBuild(0)) return;
    bool up = LirnConnectWithRetries(lirnData);
    BuildEnded(up ? Built::kUp : Built::kFailed);
    if (!up) LirnHangUp(false);
}

// Mode 1, steps after the heartbeat connection is up: the initial packet, the data connection
// and the reply.
Built ExchangeAsClient()
{
    char packet[kLirnBlockSize];
    int got = LirnRecv(lirnHb, packet);
    if (got <= 0) {
        std::puts("Receive Initial Packet Failed\r");
        // A server that closes at once is a storm; one that let the 5 s pass has paced us already.
        return got == 0 ? Built::kAgain : Built::kFailed;
    }
    std::puts("Receive Initial Packet Successfully\r");

    if (!LirnConnectWithRetries(lirnData)) {
        std::puts("Data Connect Failed\r");
        LirnHangUp(true);
        return Built::kFailed;
    }
    std::puts("Data Connect Successfully\r");

    char reply[kLirnBlockSize];
    LirnBuildInitReply(reply, packet, got, lirnChild[0].lirnHbInterval);
    if (LirnSend(lirnData, reply) != 0) {
        std::puts("Send Initial Packet Failed\r");
        return Built::kFailed;
    }
    std::puts("Send Initial Packet Successfully\r");
    return Built::kUp;
}

void PassMode1()
{
    if (!LinkToBuild(1)) return;
    std::puts("Start Connect To Server\r");
    if (!LirnConnectWithRetries(lirnHb)) {
        std::puts("HB Connect Failed\r");
        BuildEnded(Built::kFailed);
        LirnHangUp(true);
        return;
    }
    std::puts("HB Connect Successfully\r");
    BuildEnded(ExchangeAsClient());
}

// Mode 2: everything of the previous link goes: the clients, both listeners.
void CloseServerLink()
{
    LirnChildCloseAll();
    LirnClose(lirnHb);
    LirnClose(lirnData);
    for (LirnChild& child : lirnChild) SharedSet(child.lirnChildConnect, 0);
}

// Mode 2, when the link is down: closes everything of the previous link and opens both listeners.
// Listeners that were set up are no storm, whatever their clients did: only a failed set-up is
// paced.
bool RebuildListeners()
{
    std::puts("Start Bind And Listen\r");
    CloseServerLink();
    LinkPacingDown(&gPacing);
    WaitForRebuild();
    if (!ListenWithRetries(lirnHb) || !ListenWithRetries(lirnData)) {
        CloseServerLink();  // no half-made listener takes requests while the call is redialled
        LinkPacingFailed(&gPacing);
        std::puts("Bind And Listen Failed\r");
        LirnHangUp(true);
        return false;
    }
    LinkPacingUp(&gPacing);
    LinkPacingCarried(&gPacing);
    LinkRaise();
    std::puts("Bind And Listen Successfully\r");
    return true;
}

// A listener of the server's own that cannot wait or accept would fail again at once: the
// rebuild after it is paced as a failed set-up is, whatever the clients did before.
void ServerFailed()
{
    gPacing.up = false;
    LinkPacingFailed(&gPacing);
    LinkDrop();
}

// The first slot whose heartbeat (or data) socket is free, or -1.
int FirstFreeSlot(bool data)
{
    for (int i = 0; i < kLirnChildSlots; ++i)
        if ((data ? lirnChild[i].lirnDataChild : lirnChild[i].lirnHbChild) == 0) return i;
    return -1;
}

// A second client knocks while the slot is taken: its request stays pending and keeps the
// listener readable, so wait here (until the slot frees or the link drops) instead of meeting
// the same request again at once.
void PaceFullSlot()
{
    uint32_t start = GetTimeTicks();
    for (;;) {
        uint32_t seen = SharedSeq();
        uint32_t elapsed = TickElapsed(start, GetTimeTicks());
        if (elapsed >= kFullSlotWaitMs || FirstFreeSlot(false) >= 0 || lirnConnect != 1) return;
        SharedWait(seen, kFullSlotWaitMs - elapsed);
    }
}

// Accepts the pending request of ep for a slot whose heartbeat (or data) socket is free. Returns
// the slot and the accepted socket, or -1 (with the link changes and messages of a full table or
// a failed accept).
int AcceptIntoSlot(TunnelEndpoint& ep, bool data, int* fd)
{
    int slot = FirstFreeSlot(data);
    if (slot < 0) {
        std::puts("Connection Is Full\r");
        if (data)
            LinkDrop();
        else
            PaceFullSlot();
        return -1;
    }
    // The accepted socket inherits the listener's options (keep-alive, user time-out).
    socklen_t len = sizeof ep.sockAddr;
    *fd = accept4(ep.sock, reinterpret_cast<struct sockaddr*>(&ep.sockAddr), &len, SOCK_CLOEXEC);
    if (*fd < 0) {
        std::puts("Connect Failed\r");
        ServerFailed();
        return -1;
    }
    std::puts("Connect Successfully\r");
    return slot;
}

// Checks the client's reply against the packet sent: the packet text somewhere in its first
// line, the ten at signs after it, then the interval. False, with its message, when the reply
// does not follow the exchange.
bool ParseInitReply(const char* sent, const char* reply, int* interval)
{
    const char* found = std::strstr(reply, sent);
    if (found == nullptr) {
        std::puts("Initial Packet Data Error\r");
        return false;
    }
    // After the packet text as sent: a shorter text must not make the search start past the
    // reply's end.
    const char* sep = std::strstr(found + std::strlen(sent), kInitSeparator);
    if (sep == nullptr) {
        std::puts("Initial Packet Split Error\r");
        return false;
    }
    *interval = DecimalValue(sep + kSeparatorChars);
    return true;
}

// Mode 2, after the initial packet went out on the heartbeat connection in hbSlot: waits for the
// same client's data connection, accepts it, receives its reply and checks it against the packet;
// a good reply puts the slot under heartbeat supervision with the interval the client announced.
void CompleteHandshake(int hbSlot, const char* packet)
{
    LirnChild& client = lirnChild[hbSlot];
    int rc = LirnMonitor(lirnData, kRequestWaitSeconds, 0);
    if (rc == 0) {
        std::puts("Get Connection Request Failed\r");
        LirnChildClose(client.lirnHbChild);
        return;
    }
    if (rc < 0) {
        std::puts("Monitor Error\r");
        ServerFailed();
        return;
    }
    int fd = 0;
    int dataSlot = AcceptIntoSlot(lirnData, true, &fd);
    if (dataSlot < 0) return;
    LirnChild& data = lirnChild[dataSlot];
    data.lirnDataChild = fd;

    char received[kLirnBlockSize];
    int got = LirnChildRecv(data.lirnDataChild, received);
    if (got <= 0) {
        std::puts("Receive Initial Packet Failed\r");
        LinkDrop();
        return;
    }
    std::puts("Receive Initial Packet Successfully\r");

    int interval = 0;
    if (!LirnCheckInitReply(packet, received, got, &interval)) {
        LirnChildClose(client.lirnHbChild);
        LirnChildClose(data.lirnDataChild);
        return;
    }
    client.lirnHbInterval = interval;
    std::printf("HB Interval: %d\r\n", interval);
    client.lirnChildIdx = dataSlot;
    SharedSet(client.lirnChildConnect, 1);
}

void PassMode2()
{
    if (!DialupReady(2)) return;
    if (lirnConnect == 0 && !RebuildListeners()) return;

    int rc = LirnMonitor(lirnHb, kRequestWaitSeconds, 0);
    if (rc == 0) {
        std::puts("No Connection Request\r");
        return;
    }
    if (rc < 0) {
        std::puts("Monitor Error\r");
        ServerFailed();
        return;
    }
    std::puts("Get Connection Request\r");

    int fd = 0;
    int hbSlot = AcceptIntoSlot(lirnHb, false, &fd);
    if (hbSlot < 0) return;
    lirnChild[hbSlot].lirnHbChild = fd;

    char packet[kInitPacketChars + 1];
    GenInitData(packet, kInitPacketChars);
    if (LirnChildSend(lirnChild[hbSlot].lirnHbChild, packet) != 0) {
        std::puts("Send Initial Packet Failed\r");
        LinkDrop();
        return;
    }
    std::puts("Send Initial Packet Successfully\r");
    CompleteHandshake(hbSlot, packet);
}

}  // namespace

const std::atomic<int>& lirnConnect = gConnect;
LirnChild lirnChild[kLirnChildSlots];

uint32_t LinkSeen()
{
    return gLinkChanges;
}

void LinkRaise()
{
    std::lock_guard<std::mutex> hold(gLink);
    ChangeLink(1);
}

bool LinkLower(uint32_t seen)
{
    std::lock_guard<std::mutex> hold(gLink);
    if (gLinkChanges != seen) return false;
    ChangeLink(0);
    return true;
}

void LinkCarried()
{
    gCarried = true;
}

void LinkDrop()
{
    std::lock_guard<std::mutex> hold(gLink);
    ChangeLink(0);
}

void LinkDropClient(int slot)
{
    LirnChild& client = lirnChild[slot];
    {
        std::lock_guard<std::mutex> hold(gLink);
        gLinkChanges++;
        SharedSet(client.lirnChildConnect, 0);
    }
    LirnChildClose(client.lirnHbChild);
    int data = client.lirnChildIdx;
    if (data >= 0 && data < kLirnChildSlots) LirnChildClose(lirnChild[data].lirnDataChild);
}

void LinkReset()
{
    LinkDrop();
    gPacing = LinkPacing{};
    if (lirnMode == 1) {
        lirnChild[0].lirnHbInterval = lirnSet.hbInterval;
    } else if (lirnMode != 0) {
        // A server learns the interval from its client's initial packet.
        for (LirnChild& child : lirnChild) {
            SharedSet(child.lirnChildConnect, 0);
            child.lirnHbInterval = 0;
            child.lirnHbChild = 0;
            child.lirnDataChild = 0;
        }
    }
}

uint32_t LirnRetryDelayMs(int failures)
{
    if (failures <= 1) return 0;
    if (failures - 2 >= kRetryDoublings) return kRetryCapMs;
    uint32_t delay = kRetryFirstDelayMs << (failures - 2);
    return delay < kRetryCapMs ? delay : kRetryCapMs;
}

void LinkPacingUp(LinkPacing* p)
{
    p->up = true;
    p->carried = false;
    p->upTick = GetTimeTicks();
}

void LinkPacingCarried(LinkPacing* p)
{
    p->carried = true;
}

void LinkPacingFailed(LinkPacing* p)
{
    p->failures++;
    p->endTick = GetTimeTicks();
}

// A link that carried payload or lasted is no storm's: its end starts the count afresh (its
// rebuild goes at once).
void LinkPacingDown(LinkPacing* p)
{
    if (!p->up) return;
    p->up = false;
    if (p->carried || TickElapsed(p->upTick, GetTimeTicks()) >= kStormLinkMs)
        p->failures = 0;
    else
        LinkPacingFailed(p);
}

uint32_t LinkPacingWaitMs(const LinkPacing* p)
{
    uint32_t delay = LirnRetryDelayMs(p->failures);
    uint32_t elapsed = TickElapsed(p->endTick, GetTimeTicks());
    return elapsed < delay ? delay - elapsed : 0;
}

// Gives the data call up: the dial-up thread makes a new one and raises lirnDialup again.
void LirnHangUp(bool announce)
{
    DialupLower();
    hangup_actions();
    if (announce) std::puts("Hangup\r");
}

bool LirnConnectWithRetries(TunnelEndpoint& ep)
{
    for (int i = 0; i < kConnectAttempts; ++i)
        if (LirnClient(ep) == 0) return true;
    return false;
}

void LirnSockPass()
{
    switch (lirnMode) {
    case 0: PassMode0(); break;
    case 1: PassMode1(); break;
    case 2: PassMode2(); break;
    default: SleepMs(kIdlePauseMs); break;
    }
}

void* ThreadLirnSock(void*)
{
    ThreadName("lirn-link");
    int mode = lirnMode;
    if (mode < 0 || mode > 2) return nullptr;
    for (;;) LirnSockPass();
}

bool LirnCheckInitReply(const char* sentBlock, const char* replyBlock, int got, int* interval)
{
    char sent[kLirnBlockSize + 1];
    char reply[kLirnBlockSize + 1];
    LirnLineText(sent, sentBlock, static_cast<int>(strnlen(sentBlock, kLirnBlockSize)));
    LirnLineText(reply, replyBlock, got);
    std::printf("InitSendBuffer: \"%s\"\r\n", sent);
    std::printf("InitRecvBuffer: \"%s\"\r\n", reply);
    return ParseInitReply(sent, reply, interval);
}

// The separator and the interval's digits are kept whole; an over-long packet text loses its end.
void LirnBuildInitReply(char* out, const char* packet, int packetLen, int interval)
{
    char digits[16];
    int digitChars = std::snprintf(digits, sizeof digits, "%d", interval);
    int room = kLirnBlockSize - 1 - kSeparatorChars - digitChars;
    if (packetLen < 0) packetLen = 0;
    int textChars = static_cast<int>(strnlen(packet, static_cast<std::size_t>(packetLen)));
    if (textChars > room) textChars = room;
    std::memset(out, 0, kLirnBlockSize);
    std::snprintf(out, kLirnBlockSize, "%.*s%s%s", textChars, packet, kInitSeparator, digits);
}
