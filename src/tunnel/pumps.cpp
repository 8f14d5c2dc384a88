// Data pumps: the payload of the tunnel, between the RS-232 port and the data connection.
//
// ThreadLirnRecv opens the port, publishes its descriptor in uartFd and writes to it whatever the
// data connection delivers. ThreadLirnSend gathers the bytes arriving on the port into chunks of
// at most one block (read once 128 bytes wait, or once the waiting count has been still for the
// quiet gap) and sends each chunk in the mode's wire form. Both act only while the link is up and
// lower lirnConnect when the data connection fails; the link manager then rebuilds the link.
// Bytes read from the port while the link is down are dropped, never sent later (unless the
// outage ring below is on). Each pass reads into a block of its own and hands the chunk (pointer
// and length) down to the send or write.
//
// Three opt-in settings change the send side: raw chunks go out as exactly their bytes in every
// mode (and may grow to kRawChunkMax when the quiet gap is short), the quiet gap comes from the
// configuration, and an outage ring keeps the input of a link that is down and sends it, in order
// and ahead of newer input, once the link is up. With the ring on, a chunk sent is also kept until
// the peer's TCP has acknowledged it (the resend ring below), so a link that fails loses nothing
// the peer did not take: it goes out again first on the next link.
#include "tunnel/internal.h"

#include "board/ticks.h"
#include "config/config.h"
#include "serial/uart.h"
#include "tunnel/outage.h"

#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int kRawChunkMax = kLirnChunkMax;
constexpr uint32_t kLongChunkGapBelowMs = 100;

// Send pump state, touched by that thread only and set by LirnSendStart: the chunker of the port
// (whether chunks go out raw among it), and the outage ring over its static storage.
LirnChunker gChunker = {{}, {}, {-1, -1}, false};
unsigned char gOutageStore[kOutageBytesMax];
OutageRing gOutage;

// The resend ring (outage ring on): every chunk sent, behind a two-byte length, until the peer's
// TCP has acknowledged all its wire bytes. What is in flight is bounded by it (its bytes, and as
// many wire bytes): the kernel's send buffer does not bound small writes, which it gathers into
// its last segment while the peer is unreachable.
constexpr std::size_t kResendBytes = 8192;
constexpr std::size_t kLengthBytes = 2;
unsigned char gResendStore[kResendBytes];
OutageRing gResend;
std::size_t gResendSent;  // bytes at its head that went out on the current link

// The connection the held chunks went out on.
struct SentLink {
    int fd;             // the pump's duplicate of the data socket, -1 when there is none
    uint32_t seen;      // the link as seen when it was taken
    uint32_t written;   // wire bytes the pump wrote on it
    uint32_t released;  // wire bytes of the held chunks released as acknowledged
};
SentLink gSent = {-1, 0, 0, 0};
// While what is in flight fills the resend ring: the next look for acknowledgements, from the
// round trip, doubled at each look that finds none (a peer cut off answers no round trip).
uint32_t gAckWaitMs;

// Retransmitting a client's unacknowledged bytes follows one served client at a time.
static_assert(kLirnChildSlots == 1, "the resend ring follows one client");

// The data slot that belongs to a supervised heartbeat slot, or -1.
int DataSlotOf(int hbSlot)
{
    int idx = lirnChild[hbSlot].lirnChildIdx;
    return idx >= 0 && idx < kLirnChildSlots ? idx : -1;
}

void WriteSerial(int fd, const char* data, int count)
{
    uart_write(fd, data, static_cast<size_t>(count));
}

void RecvMode0(int fd)
{
    uint32_t seen = SharedSeq();
    uint32_t link = LinkSeen();
    if (lirnConnect != 1) {
        SharedWait(seen, kWaitForever);  // until the link is up
        return;
    }
    char block[kLirnBlockSize];
    int got = LirnRecv(lirnData, block);
    if (got > 0) {
        LinkCarried();
        WriteSerial(fd, block, got);
    } else if (got < 0) {
        LinkLower(link);
    }
}

void RecvMode1(int fd)
{
    uint32_t seen = SharedSeq();
    uint32_t link = LinkSeen();
    if (lirnConnect != 1) {
        SharedWait(seen, kWaitForever);  // until the link is up
        return;
    }
    char block[kLirnBlockSize];
    int got = LirnRecv(lirnData, block);
    if (got == 0) {
        std::puts("Receive No Packet\r");
        return;
    }
    if (got < 0) {
        if (LinkLower(link)) std::puts("Receive Packet Failed\r");
        return;
    }
    LinkCarried();
    // The console shows the first line; the port gets the bytes exactly as received.
    char text[kLirnBlockSize + 1];
    LirnLineText(text, block, got);
    std::printf("Receive Packet Successfully: \"%s\"\r\n", text);
    WriteSerial(fd, block, got);
}

// After a failure on a served client's data socket: the socket stays broken until the link
// manager rebuilds or the slot is freed, so wait for that instead of failing on it again at once,
// which would flood the console and spin.
void WaitSlotChange(int slot)
{
    for (;;) {
        uint32_t seen = SharedSeq();
        if (lirnConnect != 0 || lirnChild[slot].lirnChildConnect != 1) return;
        SharedWait(seen, kWaitForever);
    }
}

void RecvMode2(int fd)
{
    uint32_t seen = SharedSeq();
    uint32_t link = LinkSeen();
    bool served = false;
    for (int i = 0; i < kLirnChildSlots; ++i) {
        int data = DataSlotOf(i);
        if (lirnChild[i].lirnChildConnect != 1 || data < 0) continue;
        served = true;
        char block[kLirnBlockSize];
        int got = LirnChildRecv(lirnChild[data].lirnDataChild, block);
        if (got == 0) {
            std::printf("[%d] Receive No Packet\r\n", i);
        } else if (got < 0) {
            if (LinkLower(link)) std::printf("[%d] Receive Packet Failed\r\n", i);
            WaitSlotChange(i);
        } else {
            std::printf("[%d] Receive Packet Successfully\r\n", i);
            WriteSerial(fd, block, got);
        }
    }
    if (!served) SharedWait(seen, kWaitForever);  // until a client's handshake completes
}

// Sends one chunk to the peer of a client: exactly its bytes when raw, else as a zero-filled block
// (the chunk is then at most one block).
int SendClientChunk(const char* chunk, int len)
{
    if (gChunker.raw) return LirnSendBytes(lirnData, chunk, len);
    char block[kLirnBlockSize] = {};
    std::memcpy(block, chunk, static_cast<std::size_t>(len));
    return LirnSend(lirnData, block);
}

// ... and to a server's client: exactly its bytes when raw, else the text up to its first zero.
int SendChildChunk(std::atomic<int>& sock, const char* chunk, int len)
{
    if (gChunker.raw) return LirnChildSendBytes(sock, chunk, len);
    char block[kLirnBlockSize + 1] = {};
    std::memcpy(block, chunk, static_cast<std::size_t>(len));
    return LirnChildSend(sock, block);
}

// Sends one chunk in the mode's wire form on the link seen before. Returns whether it went out
// (to at least one client); a failure lowers that link.
bool SendChunk(const char* chunk, int len, uint32_t link)
{
    bool sent = false;
    switch (lirnMode) {
    case 0: {
        int rc = SendClientChunk(chunk, len);
        sent = rc >= 0;
        if (rc < 0) LinkLower(link);
        break;
    }
    case 1: {
        int rc = SendClientChunk(chunk, len);
        sent = rc >= 0;
        if (rc < 0 && LinkLower(link)) {
            std::printf("res: %d\r\n", rc);
            std::puts("Send Packet Failed\r");
        } else if (rc >= 0) {
            std::puts("Send Packet Successfully\r");
        }
        break;
    }
    case 2:
        for (int i = 0; i < kLirnChildSlots; ++i) {
            int data = DataSlotOf(i);
            if (lirnChild[i].lirnChildConnect != 1 || data < 0) continue;
            if (SendChildChunk(lirnChild[data].lirnDataChild, chunk, len) < 0) {
                if (LinkLower(link)) std::printf("[%d] Send Packet Failed\r\n", i);
            } else {
                std::printf("[%d] Send Packet Successfully\r\n", i);
                sent = true;
            }
        }
        break;
    default: break;
    }
    return sent;
}

// True while a chunk can go out: the link is up and, for a server, a client has completed its
// exchange (before that a server's chunk reaches nobody).
bool LinkCarries()
{
    if (lirnConnect != 1) return false;
    if (lirnMode != 2) return true;
    for (int i = 0; i < kLirnChildSlots; ++i)
        if (lirnChild[i].lirnChildConnect == 1 && DataSlotOf(i) >= 0) return true;
    return false;
}

// The first chunk after an outage that overflowed the ring reports what was dropped.
void ReportOutageDrops()
{
    std::uint64_t dropped = OutageRingTakeDropped(&gOutage);
    if (dropped == 0) return;
    std::printf("Outage Ring Dropped %llu Bytes\r\n", static_cast<unsigned long long>(dropped));
    LirnLogOutageDropped(dropped);
}

// The bytes a chunk takes on the wire.
uint32_t WireBytes(const char* chunk, int len)
{
    if (gChunker.raw) return static_cast<uint32_t>(len);
    if (lirnMode == 2) return static_cast<uint32_t>(strnlen(chunk, static_cast<std::size_t>(len)));
    return kLirnBlockSize;
}

// The held chunk at offset of the resend ring, into out; returns its length.
int HeldChunkAt(std::size_t offset, char* out)
{
    unsigned char length[kLengthBytes];
    OutageRingPeekAt(&gResend, offset, length, kLengthBytes);
    std::size_t len = length[0] | static_cast<std::size_t>(length[1]) << 8;
    return static_cast<int>(OutageRingPeekAt(&gResend, offset + kLengthBytes, out, len));
}

// Releases the held chunks whose wire bytes the peer has acknowledged, oldest first.
void ReleaseAcked()
{
    int unacked = gSent.fd >= 0 ? LirnUnackedBytes(gSent.fd) : -1;
    if (unacked < 0) return;
    uint32_t pending = static_cast<uint32_t>(unacked) < gSent.written ? static_cast<uint32_t>(unacked) : gSent.written;
    uint32_t acked = gSent.written - pending;
    char chunk[kRawChunkMax];
    while (gResendSent > 0) {
        int len = HeldChunkAt(0, chunk);
        uint32_t wire = WireBytes(chunk, len);
        if (acked - gSent.released < wire) return;
        OutageRingConsume(&gResend, kLengthBytes + static_cast<std::size_t>(len));
        gResendSent -= kLengthBytes + static_cast<std::size_t>(len);
        gSent.released += wire;
        gAckWaitMs = 0;
    }
}

// How long a pass blocked on acknowledgements waits for them.
uint32_t AckWaitMs()
{
    uint32_t roundTrip = gSent.fd >= 0 ? LirnAckWaitMs(gSent.fd) : kLirnAckWaitMaxMs;
    uint32_t doubled = gAckWaitMs * 2 < kLirnAckWaitMaxMs ? gAckWaitMs * 2 : kLirnAckWaitMaxMs;
    gAckWaitMs = gAckWaitMs < roundTrip ? roundTrip : doubled;
    return gAckWaitMs;
}

// The link the held chunks went out on has ended: what its peer acknowledged is released, and the
// rest goes out again, from its first chunk, on the next link.
void EndSentLink()
{
    ReleaseAcked();
    close(gSent.fd);
    gSent = {-1, 0, 0, 0};
    gResendSent = 0;
}

// Takes the data socket of the link seen as `link` for the chunks about to go out on it.
bool TakeSentLink(uint32_t link)
{
    int data = lirnMode == 2 ? DataSlotOf(0) : 0;
    if (data < 0) return false;
    int fd = LirnDupSocket(lirnMode == 2 ? lirnChild[data].lirnDataChild : lirnData.sock);
    if (fd < 0) return false;
    gSent = {fd, link, 0, 0};
    return true;
}

enum class Step { kSent, kNothing, kFull };

// Sends the next chunk not yet out on this link: a held one first, else the oldest input of the
// outage ring, which the resend ring keeps from then on. kFull: what is in flight fills the
// resend ring; acknowledgements must come first.
Step SendNextHeld(uint32_t link)
{
    char chunk[kRawChunkMax];
    int len = 0;
    if (gResendSent < gResend.count) {
        len = HeldChunkAt(gResendSent, chunk);
    } else if (gOutage.count > 0) {
        if (gSent.written - gSent.released >= kResendBytes) return Step::kFull;
        len = static_cast<int>(OutageRingPeek(&gOutage, chunk, static_cast<std::size_t>(gChunker.rule.maxChunk)));
        if (gResend.capacity - gResend.count < kLengthBytes + static_cast<std::size_t>(len)) return Step::kFull;
        ReportOutageDrops();
        OutageRingConsume(&gOutage, static_cast<std::size_t>(len));
        unsigned char length[kLengthBytes] = {static_cast<unsigned char>(len & 0xFF),
                                              static_cast<unsigned char>(len >> 8)};
        OutageRingPut(&gResend, length, kLengthBytes);
        OutageRingPut(&gResend, chunk, static_cast<std::size_t>(len));
    } else {
        return Step::kNothing;
    }
    // No socket: the link is changing, which wakes the next pass.
    if (gSent.fd < 0 && !TakeSentLink(link)) return Step::kNothing;
    // A failure lowers the link; the chunk stays held for the next one.
    if (!SendChunk(chunk, len, link)) return Step::kSent;
    gResendSent += kLengthBytes + static_cast<std::size_t>(len);
    gSent.written += WireBytes(chunk, len);
    ReleaseAcked();
    return Step::kSent;
}

// A pass with the outage ring on: input goes through the ring, and what went out is held until
// acknowledged.
void SendPassKeeping()
{
    uint32_t link = LinkSeen();
    if (gSent.fd >= 0 && gSent.seen != link) EndSentLink();
    uint32_t waitMs = kWaitForever;
    if (LinkCarries()) {
        ReleaseAcked();
        Step step = SendNextHeld(link);
        if (step == Step::kSent) return;
        // Blocked on acknowledgements: look again about when they are due.
        if (step == Step::kFull) waitMs = AckWaitMs();
    }
    char chunk[kRawChunkMax];
    int got = LirnChunkReadWithin(&gChunker, uartFd, chunk, waitMs);
    if (got > 0) OutageRingPut(&gOutage, chunk, static_cast<std::size_t>(got));
}

}  // namespace

int LirnRecvOpen()
{
    int fd = uart_open(UART_TUNNEL_DEV, lirnSet.uartBaud, static_cast<char>(lirnSet.uartDataBits),
                       lirnSet.uartParity, static_cast<char>(lirnSet.uartStopBits));
    SharedSet(uartFd, fd);
    return fd;
}

void LirnRecvPass()
{
    int fd = uartFd;
    switch (lirnMode) {
    case 0: RecvMode0(fd); break;
    case 1: RecvMode1(fd); break;
    case 2: RecvMode2(fd); break;
    default: SleepMs(kIdlePauseMs); break;
    }
}

void* ThreadLirnRecv(void*)
{
    ThreadName("lirn-recv");
    ThreadShortSlice();
    if (LirnRecvOpen() < 0) return nullptr;  // no port: the tunnel carries nothing
    int mode = lirnMode;
    if (mode < 0 || mode > 2) return nullptr;
    for (;;) LirnRecvPass();
}

void LirnSendStart()
{
    LirnChunkerStart(&gChunker, lirnSet.rawChunks == 1);
    std::size_t keep = LirnOutageBytes(0);
    OutageRingInit(&gOutage, gOutageStore, keep);
    OutageRingInit(&gResend, gResendStore, keep > 0 ? kResendBytes : 0);
    if (gSent.fd >= 0) close(gSent.fd);
    gSent = {-1, 0, 0, 0};
    gResendSent = 0;
}

// The record holds only values in range (the reader and the console refuse others); a record set
// up otherwise still gets the default quiet gap (kQuietGapDefaultMs) and one-block chunks, never
// an overrun.
void LirnChunkerStart(LirnChunker* c, bool raw)
{
    SerialGatherInit(&c->gather, GetTimeTicks());
    SerialArrivalsInit(&c->arrivals);
    c->raw = raw;
    int32_t gap = lirnSet.quietGapMs;
    if (gap < kQuietGapMinMs || gap > kQuietGapMaxMs) gap = kQuietGapDefaultMs;
    int most = raw && static_cast<uint32_t>(gap) < kLongChunkGapBelowMs ? kRawChunkMax : kLirnBlockSize;
    c->rule = {static_cast<uint32_t>(gap), most, most};
}

int LirnChunkRead(LirnChunker* c, int fd, char* out)
{
    return LirnChunkReadWithin(c, fd, out, kWaitForever);
}

int LirnChunkReadWithin(LirnChunker* c, int fd, char* out, uint32_t capMs)
{
    SerialGatherStep step = SerialGatherPoll(&c->gather, uart_datasize_in_com(fd), GetTimeTicks(), c->rule);
    if (step.readCount == 0) {
        // Nothing waits: until a byte arrives. A gap runs: until it ends or the count changes.
        uint32_t wait = step.gapLeftMs > 0 ? step.gapLeftMs : kWaitForever;
        SerialWaitArrival(&c->arrivals, fd, wait < capMs ? wait : capMs);
        return 0;
    }
    ssize_t got = uart_read(fd, out, static_cast<size_t>(step.readCount));
    // The standard gathering (SerialGatherPoll) remembers the last count across reads, so a burst
    // whose first count equals the previous chunk's size is read at once, perhaps before its end.
    // Raw chunks carry frames: the next chunk's gap counts from its own bytes.
    if (c->raw) SerialGatherInit(&c->gather, GetTimeTicks());
    return got > 0 ? static_cast<int>(got) : 0;
}

std::size_t LirnOutageBytes(std::size_t whenOff)
{
    int32_t keep = lirnSet.outageBytes;
    if (keep < 0 || keep > kOutageBytesMax) keep = 0;
    return keep > 0 ? static_cast<std::size_t>(keep) : whenOff;
}

void LirnSendPass()
{
    if (gOutage.capacity > 0) {
        SendPassKeeping();
        return;
    }
    // Without the ring, input of a link that is down is dropped, and so is a chunk whose send fails.
    char chunk[kRawChunkMax];
    int got = LirnChunkRead(&gChunker, uartFd, chunk);
    if (got <= 0) return;
    uint32_t link = LinkSeen();
    if (lirnConnect == 1) SendChunk(chunk, got, link);
}

void* ThreadLirnSend(void*)
{
    ThreadName("lirn-send");
    ThreadShortSlice();
    LirnSendStart();
    for (;;) {  // until the receive pump publishes the port
        uint32_t seen = SharedSeq();
        if (uartFd >= 1) break;
        SharedWait(seen, kWaitForever);
    }
    for (;;) LirnSendPass();
}
