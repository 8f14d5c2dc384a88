// Outage ring: a bounded byte ring that drops its oldest bytes when full.
#include "tunnel/outage.h"

#include <cstring>

void OutageRingInit(OutageRing* r, unsigned char* store, std::size_t capacity)
{
    r->store = store;
    r->capacity = store != nullptr ? capacity : 0;
    r->head = 0;
    r->count = 0;
    r->dropped = 0;
}

std::size_t OutageRingPut(OutageRing* r, const void* data, std::size_t n)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::size_t lost = 0;
    if (n > r->capacity) {
        // Only the newest capacity bytes of this input can stay.
        lost = n - r->capacity;
        bytes += lost;
        n = r->capacity;
    }
    std::size_t over = r->count + n > r->capacity ? r->count + n - r->capacity : 0;
    if (over > 0) {
        r->head = (r->head + over) % r->capacity;
        r->count -= over;
        lost += over;
    }
    if (n > 0) {
        std::size_t tail = (r->head + r->count) % r->capacity;
        std::size_t first = n < r->capacity - tail ? n : r->capacity - tail;
        std::memcpy(r->store + tail, bytes, first);
        std::memcpy(r->store, bytes + first, n - first);
        r->count += n;
    }
    r->dropped += lost;
    return lost;
}

std::size_t OutageRingPeek(const OutageRing* r, void* out, std::size_t max)
{
    return OutageRingPeekAt(r, 0, out, max);
}

std::size_t OutageRingPeekAt(const OutageRing* r, std::size_t offset, void* out, std::size_t max)
{
    if (offset >= r->count) return 0;
    std::size_t n = max < r->count - offset ? max : r->count - offset;
    std::size_t start = (r->head + offset) % r->capacity;
    std::size_t first = n < r->capacity - start ? n : r->capacity - start;
    unsigned char* dst = static_cast<unsigned char*>(out);
    std::memcpy(dst, r->store + start, first);
    std::memcpy(dst + first, r->store, n - first);
    return n;
}

void OutageRingConsume(OutageRing* r, std::size_t n)
{
    if (n >= r->count) {
        r->head = 0;
        r->count = 0;
        return;
    }
    r->head = (r->head + n) % r->capacity;
    r->count -= n;
}

std::uint64_t OutageRingTakeDropped(OutageRing* r)
{
    std::uint64_t d = r->dropped;
    r->dropped = 0;
    return d;
}
