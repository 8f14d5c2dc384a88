// Chunk queue of the MQTT mode: length-prefixed chunks in an outage ring, shared under a lock.
#include "mqtt/queue.h"

#include "config/config.h"
#include "tunnel/outage.h"
#include "tunnel/tunnel.h"

#include <cstring>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr std::size_t kLengthBytes = 2;

// The ring and its storage, the lock both threads take, the wake descriptor, and the bytes of
// chunks dropped whole (the ring itself never drops: room is made before each put).
std::mutex gQueueLock;
unsigned char gStore[kOutageBytesMax];
OutageRing gRing;
std::uint64_t gDropped;
int gWakeFd = -1;

// Length of the oldest chunk; the ring holds at least its two length bytes.
std::size_t OldestLength()
{
    unsigned char len[kLengthBytes];
    OutageRingPeek(&gRing, len, kLengthBytes);
    return static_cast<std::size_t>(len[0]) << 8 | len[1];
}

void DropOldest()
{
    std::size_t n = OldestLength();
    OutageRingConsume(&gRing, kLengthBytes + n);
    gDropped += n;
}

}  // namespace

void ChunkQueueInit(std::size_t capacity)
{
    std::lock_guard<std::mutex> hold(gQueueLock);
    OutageRingInit(&gRing, gStore, capacity < sizeof gStore ? capacity : sizeof gStore);
    gDropped = 0;
    if (gWakeFd < 0) gWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void ChunkQueuePut(const char* data, std::size_t n)
{
    {
        std::lock_guard<std::mutex> hold(gQueueLock);
        if (n > kLirnChunkMax) n = kLirnChunkMax;
        std::size_t room = gRing.capacity > kLengthBytes ? gRing.capacity - kLengthBytes : 0;
        if (n > room) {  // only the newest bytes of this chunk can stay
            gDropped += n - room;
            data += n - room;
            n = room;
        }
        if (n == 0) return;
        while (gRing.capacity - gRing.count < kLengthBytes + n) DropOldest();
        unsigned char len[kLengthBytes] = {static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n & 0xFF)};
        OutageRingPut(&gRing, len, kLengthBytes);
        OutageRingPut(&gRing, data, n);
    }
    uint64_t one = 1;
    if (gWakeFd >= 0) (void)!write(gWakeFd, &one, sizeof one);
}

std::size_t ChunkQueueTake(char* out)
{
    std::lock_guard<std::mutex> hold(gQueueLock);
    if (gRing.count < kLengthBytes) return 0;
    std::size_t n = OldestLength();
    unsigned char record[kLengthBytes + kLirnChunkMax];
    OutageRingPeek(&gRing, record, kLengthBytes + n);
    OutageRingConsume(&gRing, kLengthBytes + n);
    std::memcpy(out, record + kLengthBytes, n);
    return n;
}

std::uint64_t ChunkQueueTakeDropped()
{
    std::lock_guard<std::mutex> hold(gQueueLock);
    std::uint64_t d = gDropped;
    gDropped = 0;
    return d;
}

int ChunkQueueWakeFd()
{
    return gWakeFd;
}

void ChunkQueueClearWake()
{
    uint64_t count;
    if (gWakeFd >= 0) (void)!read(gWakeFd, &count, sizeof count);
}
