// The state the four tunnel threads share, and the steps of their passes: for the tunnel's own
// files and its tests, never for another folder (tools/check-layers).
//
// Every shared word is written by the functions of one file: the link word and the client slots
// by the link manager's (linkmanager.cpp), the endpoint records' sockets by the primitives
// (endpoint.cpp), lirnMode by LirnInit (docs/architecture.md lists them; tools/shared-words checks).
#pragma once

#include "tunnel/tunnel.h"

#include <atomic>
#include <cstdint>

// The server serves one client at a time: one child slot.
constexpr int kLirnChildSlots = 1;

// Data connection (port) and heartbeat connection (port + 1, modes 1 and 2).
extern TunnelEndpoint lirnData;
extern TunnelEndpoint lirnHb;

// Tunnel mode copied from the configuration at start: 0 client, 1 client with heartbeat, 2 server.
extern std::atomic<int> lirnMode;

// One client slot of the server (mode 2): the client's accepted connections, whether its exchange
// is done, and the interval it announced. In mode 1 slot 0's interval is the configured one.
struct LirnChild {
    std::atomic<int> lirnHbChild;       // accepted heartbeat socket; 0 while the slot is free
    std::atomic<int> lirnDataChild;     // accepted data socket; 0 when there is none
    std::atomic<int> lirnChildConnect;  // 1: the exchange is done; the client is served and supervised
    std::atomic<int> lirnChildIdx;      // the slot whose data socket belongs to this client
    std::atomic<int> lirnHbInterval;    // seconds between the client's heartbeats
};
extern LirnChild lirnChild[kLirnChildSlots];

// The child slots' primitives: as LirnRecv, LirnSend and LirnSendBytes, with the same codes, on an
// accepted socket; LirnChildSend sends the text up to its first zero byte (at most one block).
int LirnChildRecv(std::atomic<int>& sock, char* buf);
int LirnChildSend(std::atomic<int>& sock, const char* text);
int LirnChildSendBytes(std::atomic<int>& sock, const char* data, int len);
// Shuts an accepted socket down and closes it (leaving 0); both sockets of every slot.
void LirnChildClose(std::atomic<int>& sock);
void LirnChildCloseAll();

// What the peer's TCP has acknowledged. LirnDupSocket: a duplicate of the socket a word holds
// (the caller's to close), so that its count can still be read after the word's owner closed it;
// -1 without one. LirnUnackedBytes: bytes written on fd and not yet acknowledged, also after the
// connection failed (-1 when fd is no connection). LirnAckedBytes: of the bytes the primitives
// sent on ep's socket, those acknowledged (0 without a socket). LirnAckWaitMs: about when an
// acknowledgement of what went out on fd is due (its round trip, 1 ms to kLirnAckWaitMaxMs).
constexpr uint32_t kLirnAckWaitMaxMs = 1000;
int LirnDupSocket(std::atomic<int>& sock);
int LirnUnackedBytes(int fd);
uint32_t LirnAckedBytes(TunnelEndpoint& ep);
uint32_t LirnAckWaitMs(int fd);
// count random characters (upper-case letter, lower-case letter or digit) and a zero byte.
void GenInitData(char* dst, int count);

// The link manager's part of LirnInit: the link down, no failures counted, the slots free (the
// interval of slot 0 the configured one in mode 1).
void LinkReset();
// The heartbeat thread drops a client that fell silent: the slot is freed first (which ends the
// link the pumps see on it), then both its connections are closed; the listeners stay.
void LinkDropClient(int slot);
// The receive pump got payload on the link that is up: the link is no storm's (kStormLinkMs).
void LinkCarried();

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

// Pacing of rebuilds: how long the next build waits after `failures` builds in a row failed or
// ended as a storm's links do (LinkPacing). The first retry goes at once, then 1 s, doubling to a
// cap of 60 s.
constexpr uint32_t kRetryFirstDelayMs = 1000;
constexpr uint32_t kRetryCapMs = 60000;
constexpr int kRetryDoublings = 6;  // 1 s doubled six times passes the cap
uint32_t LirnRetryDelayMs(int failures);

// One pass of each thread body, and the set-up each thread does before its first pass.
void LirnSockPass();
void LirnHbStart();  // takes the current tick as the last heartbeat
void LirnHbPass();
void LirnRecvPass();
void LirnSendStart();  // resets the gathering state and takes the chunk settings from lirnSet
void LirnSendPass();
// LirnChunkRead, waiting at most capMs for a chunk to be due.
int LirnChunkReadWithin(LirnChunker* c, int fd, char* out, uint32_t capMs);
