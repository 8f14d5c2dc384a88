// Serial tunnel: carries the bytes of the RS-232 port over TCP.
//
// Four threads share the state declared here: the link manager (ThreadLirnSock) owns the TCP
// connections and raises lirnConnect when a link is usable; the heartbeat thread (ThreadLirnHb)
// keeps the second connection of modes 1 and 2 alive; the two data pumps (ThreadLirnRecv,
// ThreadLirnSend) move bytes between the serial port and the data connection. They meet only in
// the flags, the endpoint records and the child slots below, every shared word an atomic.
// main sets the state up once from the configuration (LirnInit) and starts the threads.
#pragma once

#include "serial/uart.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

// Every tunnel send, receive and heartbeat buffer is one block of this size.
constexpr int kLirnBlockSize = 128;
// With raw chunks and a quiet gap shorter than the described one a chunk may grow to this: with 40
// bytes of IPv4 and TCP headers it fits a 1400-byte MTU, the smallest common on cellular bearers,
// so a chunk is never split into two IP packets.
constexpr int kLirnChunkMax = 1360;
// The server serves one client at a time: one child slot.
constexpr int kLirnChildSlots = 1;
// Bound of every socket wait (connect, send, receive), seconds.
constexpr int kLirnWaitSeconds = 5;

// One TCP connection role: where to connect or bind, and the socket it holds.
struct TunnelEndpoint {
    char ipAddr[16];              // dotted IPv4 text: the peer, or the local address to bind
    int32_t port;                 // host order; only the low 16 bits are used
    std::atomic<int> sock;        // connected or listening socket; 0 when there is none
    struct sockaddr_in sockAddr;  // filled before connect or bind; accept writes the peer here
};

// Data connection (port) and heartbeat connection (port + 1, modes 1 and 2).
extern TunnelEndpoint lirnData;
extern TunnelEndpoint lirnHb;

// Tunnel mode copied from the configuration at start: 0 client, 1 client with heartbeat, 2 server.
extern std::atomic<int> lirnMode;
// 1: the tunnel link is up.
extern std::atomic<int> lirnConnect;

// Mode 1: element 0 is the configured heartbeat interval, seconds. Mode 2: per child slot, the
// interval the client announced in its initial packet.
extern std::atomic<int> lirnHbInterval[kLirnChildSlots];
// Mode 2 child slots: accepted heartbeat and data sockets (0 when free), handshake done, and the
// data slot that belongs to a heartbeat slot.
extern std::atomic<int> lirnHbChild[kLirnChildSlots];
extern std::atomic<int> lirnDataChild[kLirnChildSlots];
extern std::atomic<int> lirnChildConnect[kLirnChildSlots];
extern std::atomic<int> lirnChildIdx[kLirnChildSlots];

// Sets the tunnel state up from lirnSet; once, before the tunnel threads start.
void LirnInit();

// Socket primitives. Each bounds its wait, closes what it opened on failure, logs failures in
// the event ring (class 2) and returns a small code; none retries, sleeps or prints.
// 0 connected; -1 socket, -2 option, -3 connect failed.
int LirnClient(TunnelEndpoint& ep);
// 0 listening; -1 socket, -2 option, -3 bind, -4 listen failed.
int LirnServer(TunnelEndpoint& ep);
// 1 a connection request is pending; 0 time-out; -1 wait failed; -2 exceptional condition.
int LirnMonitor(TunnelEndpoint& ep, long seconds, long microseconds);
// Result of a receive or send whose socket another thread closed or replaced during its wait
// (logged as tunnel event 10). It is no failure of the link the endpoint holds now, so callers do
// not lower lirnConnect for it (LirnLinkFailed).
constexpr int kLirnSocketGone = -5;
inline bool LirnLinkFailed(int rc)
{
    return rc < 0 && rc != kLirnSocketGone;
}
// Bytes received (> 0, at most one block, not terminated); 0 nothing within 5 s; -1 wait failed;
// -2 exceptional condition; -3 not readable; -4 receive failed or peer closed; kLirnSocketGone.
int LirnRecv(TunnelEndpoint& ep, char* buf);
int LirnChildRecv(std::atomic<int>& slot, char* buf);
// 0 sent; -1 not writable within 5 s or wait failed; -2 exceptional condition; -3 not writable;
// -4 send failed; kLirnSocketGone. LirnSend always sends the whole block; LirnChildSend the text up to its first
// zero byte (at most one block).
int LirnSend(TunnelEndpoint& ep, const char* buf);
int LirnChildSend(std::atomic<int>& slot, const char* text);
void LirnClose(TunnelEndpoint& ep);
void LirnChildClose(std::atomic<int>* slots, int idx);
void LirnChildCloseAll(std::atomic<int>* slots);
// count random characters (upper-case letter, lower-case letter or digit) and a zero byte.
void GenInitData(char* dst, int count);

void* ThreadLirnSock(void* arg);  // link manager; returns at once for a mode other than 0, 1 or 2
void* ThreadLirnHb(void* arg);    // heartbeat supervision, modes 1 and 2 (returns at once otherwise)
void* ThreadLirnRecv(void* arg);  // network-to-serial pump: opens the serial port, then passes
void* ThreadLirnSend(void* arg);  // serial-to-network pump: waits for uartFd, then gathers and sends

// ---- Our helpers ----

// The text of a received block as the console shows it: the first len bytes of src, terminated,
// cut at the first carriage return or line feed that follows some other character. Re-entrant;
// out holds at least kLirnBlockSize + 1 bytes.
void LirnLineText(char* out, const char* src, int len);

// The mode-1 reply to a server's initial packet (packetLen bytes received, the text ending there
// or at a zero byte): the packet text, ten at signs and the interval, zero-filled to one block.
// The packet text is cut so that the reply and a terminating zero byte fit the block.
void LirnBuildInitReply(char* out, const char* packet, int packetLen, int interval);
// Mode 2: the check of a client's reply (got bytes of replyBlock, at most one block) against the
// initial packet sent (sentBlock, a text within one block), with both texts printed. True, with
// the announced interval, when the reply follows the exchange; false with its message otherwise.
bool LirnCheckInitReply(const char* sentBlock, const char* replyBlock, int got, int* interval);

// Sends as LirnSend and LirnChildSend do, with their codes, but exactly len bytes, whatever they
// hold (raw chunks).
int LirnSendBytes(TunnelEndpoint& ep, const char* data, int len);
int LirnChildSendBytes(std::atomic<int>& slot, const char* data, int len);
// Event class 2, code 9: the outage ring dropped this many bytes (held at the largest int32).
void LirnLogOutageDropped(std::uint64_t bytes);
// Pacing of rebuilds: how long the next build waits after `failures` builds in a row failed or
// ended early (a good link, up 10 s, resets the count). The first retry goes at once, then 1 s,
// doubling to a cap of 60 s.
constexpr uint32_t kRetryFirstDelayMs = 1000;
constexpr uint32_t kRetryCapMs = 60000;
constexpr int kRetryDoublings = 6;  // 1 s doubled six times passes the cap
uint32_t LirnRetryDelayMs(int failures);
// Forgets the link manager's failures (LirnInit calls it).
void LirnPacingReset();
// The pacing state of one link owner (the link manager has one; the MQTT session another). Only
// its owner's thread touches it.
struct LinkPacing {
    int failures;      // builds failed, or links that ended early, since the last good link
    bool up;           // a link built by the owner is (as far as it has seen) up
    uint32_t upTick;   // when it came up
    uint32_t endTick;  // when the last build failed or the last link ended
};
void LinkPacingUp(LinkPacing* p);
void LinkPacingFailed(LinkPacing* p);
// The link is down again (nothing when it was not up); a good link's end forgets the failures.
void LinkPacingDown(LinkPacing* p);
// Milliseconds until the next build is due (0: now).
uint32_t LinkPacingWaitMs(const LinkPacing* p);
// Five connects back to back, as every build of a client link tries. True once one succeeded.
bool LirnConnectWithRetries(TunnelEndpoint& ep);
// Hangs up the data call (lowering lirnDialup first) so that the dial-up thread makes a new one.
void LirnHangUp(bool announce);
// Links the link manager has raised, for a pump that lowers the link after a failure: taken
// before the operation and handed to LirnLowerLink, it keeps a failure on a link that has since
// been rebuilt (a send on the old socket failing after the reset that ended it) from lowering the
// new one.
uint32_t LirnLinkBuilds();
void LirnLowerLink(uint32_t buildsSeen);

// Cutting the port's input into chunks, as the send pump does it: the gathering state, its rule
// from lirnSet (the configured quiet gap, the described one when out of range; chunks of one block,
// or up to kLirnChunkMax when raw and the gap is short), and the watch of the port.
struct LirnChunker {
    SerialGather gather;
    SerialGatherRule rule;
    SerialArrivals arrivals;  // {-1, -1} before the first start
    bool raw;                 // raw chunks: each chunk's quiet gap counts from its own bytes
};
void LirnChunkerStart(LirnChunker* c, bool raw);
// Reads the next chunk of the port fd into out (room for kLirnChunkMax bytes) and returns its
// length; or waits until one may be due (a byte arrives, the gap ends, a shared word changes) and
// returns 0.
int LirnChunkRead(LirnChunker* c, int fd, char* out);
// The outage ring's size from lirnSet: the configured bytes, or whenOff when the setting is 0.
std::size_t LirnOutageBytes(std::size_t whenOff);

// One pass of each thread body, and the set-up each thread does before its first pass.
void LirnSockPass();
void LirnHbStart();  // takes the current tick as the last heartbeat
void LirnHbPass();
int LirnRecvOpen();  // opens the serial port and publishes it in uartFd
void LirnRecvPass();
void LirnSendStart();  // resets the gathering state and takes the chunk settings from lirnSet
void LirnSendPass();
