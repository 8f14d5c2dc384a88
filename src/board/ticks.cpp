// Tick counter from the wall clock, and the sleeps that pace every polling loop.
#include "board/ticks.h"

#include <cerrno>
#include <sys/time.h>
#include <time.h>

namespace {

// The longest sleep of TickWaitUntil: a step of the wall clock is noticed within it.
constexpr unsigned kTickWaitStepMs = 100;

}  // namespace

uint32_t GetTimeTicks()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint64_t ms = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
    return static_cast<uint32_t>(ms);
}

uint32_t TickSecondsToMs(long long seconds)
{
    if (seconds <= 0) return 0;
    constexpr long long kMaxSeconds = 0xFFFFFFFFll / 1000;
    if (seconds > kMaxSeconds) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(seconds * 1000);
}

void SleepMs(unsigned ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void TickWaitUntil(uint32_t start, uint32_t durationMs)
{
    for (;;) {
        uint32_t elapsed = TickElapsed(start, GetTimeTicks());
        if (elapsed >= durationMs) return;
        uint32_t left = durationMs - elapsed;
        SleepMs(left < kTickWaitStepMs ? left : kTickWaitStepMs);
    }
}
