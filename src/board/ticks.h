// Time base: the millisecond tick counter that every wait, interval and blink period is measured with.
//
// A tick is the wall-clock time of day in milliseconds, kept to its low 32 bits. Only differences
// mean anything: a wait stores its start tick and compares the unsigned difference with its
// duration, which stays right across the wrap of the counter every 2^32 ms.
#pragma once

#include <atomic>
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
// due; a step of the wall clock (which the tick follows) ends the sleep early, so it is noticed
// at once.
void TickWaitUntil(uint32_t start, uint32_t durationMs);

// Waiting for a change of the shared words other threads act on (the link and call flags, the
// child slots, the LED patterns). Every writer of such a word calls SharedChanged after the write
// (SharedSet does both, and notifies only when the value changed). A waiter takes SharedSeq()
// before it tests the words, then SharedWait, which returns at once when a change came since.
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
uint32_t SharedSeq();
void SharedChanged();
void SharedSet(std::atomic<int>& word, int value);
// Blocks until a change after `seen`, or until timeoutMs have passed (kWaitForever: no time-out).
void SharedWait(uint32_t seen, uint32_t timeoutMs);
// An eventfd written at every change, for threads that wait on descriptors: watched edge-triggered
// beside them, it wakes them at a change too. -1 when none could be made.
int SharedChangeFd();

// Names the calling thread (as top -H and ps -L show it): at most 15 characters.
void ThreadName(const char* name);
// Asks the scheduler for a short time slice for the calling thread. A thread that mostly sleeps
// and must act at once when woken (the serial pumps) then takes the processor from a busy
// neighbour on its wake-up instead of waiting for the neighbour's slice to end. Kernels without
// custom slices, or that refuse one, leave the thread as it was.
void ThreadShortSlice();
