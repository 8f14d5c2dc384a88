// Time base: the millisecond tick counter that every wait, interval and blink period is measured with.
//
// A tick is the wall-clock time of day in milliseconds, kept to its low 32 bits. Only differences
// mean anything: a wait stores its start tick and compares the unsigned difference with its
// duration, which stays right across the wrap of the counter every 2^32 ms.
#pragma once

#include <cstdint>

uint32_t GetTimeTicks();

// ---- Our helpers ----

// Milliseconds from start to now, across the 32-bit wrap.
inline uint32_t TickElapsed(uint32_t start, uint32_t now)
{
    return now - start;
}

// True once at least durationMs have passed since start.
inline bool TickDue(uint32_t start, uint32_t now, uint32_t durationMs)
{
    return TickElapsed(start, now) >= durationMs;
}

// A duration given in seconds, in milliseconds, without overflow: negative counts as 0 and
// anything beyond the tick range is held at the largest wait a tick difference can express.
uint32_t TickSecondsToMs(long long seconds);

// Pauses between re-tests of a shared word or a byte count: a busy wait keeps its timing within
// about a millisecond; an idle wait may sleep up to 10 ms.
constexpr unsigned kPollPauseMs = 1;
constexpr unsigned kIdlePauseMs = 10;

void SleepMs(unsigned ms);

// Blocks until durationMs have passed since start (by the tick rule). It sleeps until the end is
// due, in steps of at most 100 ms, so a step of the wall clock is noticed soon after.
void TickWaitUntil(uint32_t start, uint32_t durationMs);
