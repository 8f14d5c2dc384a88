// The MQTT mode's command channel: console requests that came over the broker and their replies,
// between the session thread and the runner that carries them out.
//
// A request arrives on PREFIX/ID/cmd/RID; the session puts it in the inbox (a few requests, each
// at most the bytes the console reads of one burst) and acknowledges it. The runner (console/)
// takes one request at a time, runs the console's dispatcher on it and writes the reply here,
// where it is cut into parts the session publishes on PREFIX/ID/reply/RID: the whole reply as one
// message when it fits one part, else numbered parts and an end message with their count. A part
// is held until its PUBACK, so the reply of a long request (a day file) takes a few parts of
// memory however long it is, and the runner waits for room while the broker is slow.
//
// The last kRemoteRemembered request ids are remembered: a repeat (a QoS 1 redelivery, a back
// office trying again) is never run twice. One still queued or running gets no second reply (its
// own comes); one done is answered again with its kept reply when that was at most kRemoteKeptMax
// bytes, which every request that changes anything replies within; the longer replies (a listing,
// a day file) change nothing and are not kept, so their request is read again.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kRemoteRidMax = 32;        // request id: 1 to 32 of [A-Za-z0-9_-]
constexpr std::size_t kRemoteRequestMax = 1000;  // request bytes kept, as the console reads of a burst
constexpr std::size_t kRemotePartMax = 4096;     // bytes of one reply message
constexpr int kRemoteParts = 4;                  // reply messages held at once (written or unacknowledged)
constexpr int kRemoteInbox = 4;                  // requests waiting for the runner
constexpr int kRemoteRemembered = 32;            // request ids remembered
constexpr std::size_t kRemoteKeptMax = 320;      // reply bytes kept per id: the console's longest line

struct RemoteRequest {
    char rid[kRemoteRidMax + 1];
    char line[kRemoteRequestMax + 1];  // the payload; line[len] is free for a terminator
    std::size_t len;
};

// ---- The runner's side ----

// Waits up to waitMs (kWaitForever from board/ticks.h: no bound) for a request to run and takes
// it; its reply is the one RemoteReplyWrite writes from now on. False when none came. A repeat of a
// request whose reply was kept is answered here and not returned.
bool RemoteTake(RemoteRequest* r, uint32_t waitMs);
// Appends reply bytes, waiting while every part is taken (the broker has not acknowledged them).
void RemoteReplyWrite(const char* data, std::size_t n);
// The reply is complete: its last part, and the end message when it went in parts. Once only; a
// second call does nothing.
void RemoteReplyEnd();
// Ends the reply and waits up to withinMs until the broker has acknowledged every part of it.
// False when it has not by then.
bool RemoteReplySettle(uint32_t withinMs);
