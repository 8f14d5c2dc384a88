// Chunks of serial input waiting for the broker, between the MQTT mode's two threads.
//
// The chunks sit in the tunnel's outage ring, each behind a two-byte length, so they leave as the
// chunks they came in. When a chunk does not fit, the oldest whole chunks go and their bytes are
// counted. The serial thread puts, the session thread takes, under one lock; a put wakes the
// session through an eventfd.
#pragma once

#include <cstddef>
#include <cstdint>

// Sets the queue up over its static storage with room for capacity bytes (lengths included).
void ChunkQueueInit(std::size_t capacity);
// Appends one chunk (at most kLirnChunkMax bytes) and wakes the session. A chunk larger than the
// whole queue keeps its newest bytes.
void ChunkQueuePut(const char* data, std::size_t n);
// Moves the oldest chunk to out (room for kLirnChunkMax bytes). Returns its length, 0 when empty.
std::size_t ChunkQueueTake(char* out);
// Bytes dropped since the last call, which resets the count.
std::uint64_t ChunkQueueTakeDropped();
// Readable after a put; the session reads it empty before it takes.
int ChunkQueueWakeFd();
void ChunkQueueClearWake();
