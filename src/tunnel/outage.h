// Outage ring: serial input kept while the tunnel link is down, in arrival order, up to a set size.
//
// A plain byte ring over storage the caller provides. When a put would overflow it, the oldest
// bytes go and are counted, so the newest input always survives a long outage. Bytes leave in two
// steps (peek, then consume) so a chunk whose send failed stays for the next link. No locking:
// one thread owns a ring.
#pragma once

#include <cstddef>
#include <cstdint>

struct OutageRing {
    unsigned char* store;  // the caller's storage, capacity bytes
    std::size_t capacity;  // most bytes kept; 0 keeps nothing
    std::size_t head;      // index of the oldest byte
    std::size_t count;     // bytes held
    std::uint64_t dropped; // oldest bytes lost to overflow since the last OutageRingTakeDropped
};

void OutageRingInit(OutageRing* r, unsigned char* store, std::size_t capacity);

// Appends n bytes. Returns how many bytes this put dropped (the oldest held ones first, then,
// when n alone exceeds the capacity, the first bytes of data).
std::size_t OutageRingPut(OutageRing* r, const void* data, std::size_t n);

// Copies up to max of the oldest bytes to out, leaving them held. Returns the count copied.
std::size_t OutageRingPeek(const OutageRing* r, void* out, std::size_t max);

// Copies up to max bytes, starting offset bytes after the oldest one, to out, leaving them held.
// Returns the count copied.
std::size_t OutageRingPeekAt(const OutageRing* r, std::size_t offset, void* out, std::size_t max);

// Removes the n oldest bytes (all of them when n exceeds the count).
void OutageRingConsume(OutageRing* r, std::size_t n);

// The drop count since the last call, which it resets.
std::uint64_t OutageRingTakeDropped(OutageRing* r);
