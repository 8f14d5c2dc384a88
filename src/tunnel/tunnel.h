// Serial tunnel: carries the bytes of the RS-232 port over TCP.
//
// Four threads carry a link: the link manager (ThreadLirnSock) owns the TCP connections and raises
// lirnConnect when a link is usable; the heartbeat thread (ThreadLirnHb) keeps the second
// connection of modes 1 and 2 alive; the two data pumps (ThreadLirnRecv, ThreadLirnSend) move bytes
// between the serial port and the data connection. main sets the tunnel up once from the
// configuration (LirnInit) and starts the threads. This header is what other folders use: the link
// word and its owner's functions, the socket primitives and the pacing of builds that the MQTT
// mode reuses, the thread entries. The state the four threads share is in tunnel/internal.h.
#pragma once

#include "serial/uart.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

// Every tunnel send, receive and heartbeat buffer is one block of this size.
constexpr int kLirnBlockSize = 128;
// With raw chunks and a quiet gap shorter than the default one (kQuietGapDefaultMs) a chunk may
// grow to this: with 40 bytes of IPv4 and TCP headers it fits a 1400-byte MTU, the smallest common
// on cellular bearers, so a chunk is never split into two IP packets.
constexpr int kLirnChunkMax = 1360;
// Bound of every socket wait (connect, send, receive), seconds.
constexpr int kLirnWaitSeconds = 5;

// One TCP connection role: where to connect or bind, and the socket it holds.
struct TunnelEndpoint {
    char ipAddr[16];              // dotted IPv4 text: the peer, or the local address to bind
    int32_t port;                 // host order; only the low 16 bits are used
    std::atomic<int> sock;        // connected or listening socket; 0 when there is none
    struct sockaddr_in sockAddr;  // filled before connect or bind; accept writes the peer here
    std::atomic<uint32_t> written;  // bytes sent on the socket since it was opened
};

// 1: the link is up (in the MQTT mode: the broker link). Read anywhere; written only by the
// functions below (tunnel/linkmanager.cpp), each under the link's lock, from any thread.
extern const std::atomic<int>& lirnConnect;

// The link as a thread sees it: taken before an operation on the link, handed to LinkLower when
// the operation fails.
uint32_t LinkSeen();
// The link's builder raises it once it is usable.
void LinkRaise();
// A failure lowers the link, unless the link has changed since it was seen (raised, lowered by any
// thread, or its client dropped): a failure on a link that is gone says nothing about the current
// one. This is the one rule against outdated failures. True when this failure lowered the link
// (or found it already down without a change); only such a failure is reported.
bool LinkLower(uint32_t seen);
// The link's builder ends the link it holds (on its own thread nothing it sees is outdated).
void LinkDrop();

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
// A receive or send whose socket another thread closed or replaced during its wait (logged as
// tunnel event 10): the link it was on was lowered, or its client dropped, before the close.
constexpr int kLirnSocketGone = -5;
// Bytes received (> 0, at most one block, not terminated); 0 nothing within 5 s; -1 wait failed;
// -2 exceptional condition; -3 not readable; -4 receive failed or peer closed; kLirnSocketGone.
int LirnRecv(TunnelEndpoint& ep, char* buf);
// 0 sent; -1 not writable within 5 s or wait failed; -2 exceptional condition; -3 not writable;
// -4 send failed; kLirnSocketGone. Always sends the whole block.
int LirnSend(TunnelEndpoint& ep, const char* buf);
void LirnClose(TunnelEndpoint& ep);

void* ThreadLirnSock(void* arg);  // link manager; returns at once for a mode other than 0, 1 or 2
void* ThreadLirnHb(void* arg);    // heartbeat supervision, modes 1 and 2 (returns at once otherwise)
void* ThreadLirnRecv(void* arg);  // network-to-serial pump: opens the serial port, then passes
void* ThreadLirnSend(void* arg);  // serial-to-network pump: waits for uartFd, then gathers and sends

// ---- Our helpers ----

// Sends as LirnSend does, with its codes, but exactly len bytes, whatever they hold (raw chunks).
int LirnSendBytes(TunnelEndpoint& ep, const char* data, int len);
// Event class 2, code 9: the outage ring dropped this many bytes (held at the largest int32).
void LirnLogOutageDropped(std::uint64_t bytes);
// The pacing state of one link owner (the link manager has one; the MQTT session another). Only
// its owner's thread touches it. A build that fails, or a link that ends the way a storm's links
// do (up less than kStormLinkMs, no payload across), makes the next build wait longer
// (LirnRetryDelayMs, tunnel/internal.h); any other link's end starts the count afresh.
struct LinkPacing {
    int failures;      // builds failed, or storm links, since the last good link
    bool up;           // a link built by the owner is (as far as it has seen) up
    bool carried;      // payload crossed on that link
    uint32_t upTick;   // when it came up
    uint32_t endTick;  // when the last build failed or the last link ended
};
// A link that ends sooner than this after coming up, with nothing across, was a storm's.
constexpr uint32_t kStormLinkMs = 1000;
void LinkPacingUp(LinkPacing* p);
void LinkPacingCarried(LinkPacing* p);
void LinkPacingFailed(LinkPacing* p);
// The link is down again (nothing when it was not up).
void LinkPacingDown(LinkPacing* p);
// Milliseconds until the next build is due (0: now).
uint32_t LinkPacingWaitMs(const LinkPacing* p);
// Five connects back to back, as every build of a client link tries. True once one succeeded.
bool LirnConnectWithRetries(TunnelEndpoint& ep);
// Hangs up the data call (lowering lirnDialup first) so that the dial-up thread makes a new one.
void LirnHangUp(bool announce);

// Cutting the port's input into chunks, as the send pump does it: the gathering state, its rule
// from lirnSet (the configured quiet gap, the default one when out of range; chunks of one block,
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
// Opens the serial port with the settings of lirnSet and publishes it in uartFd.
int LirnRecvOpen();
