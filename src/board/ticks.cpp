// Tick counter from the wall clock, the sleeps and due-time waits of every thread, and the
// change sequence that threads waiting for a shared word sleep on.
#include "board/ticks.h"

#include <cerrno>
#include <climits>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

namespace {

// The slice ThreadShortSlice asks for: a tenth of the usual, the shortest kernels accept.
constexpr uint64_t kShortSliceNs = 100000;

// Counts changes of the shared words; waiters sleep on it with the futex call.
std::atomic<uint32_t> gSharedSeq{0};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex word is the atomic itself");

// Written at every change and never read: each write is an edge for its edge-triggered watchers.
int gChangeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

uint32_t* FutexWord()
{
    return reinterpret_cast<uint32_t*>(&gSharedSeq);
}

// Sleeps until the wall clock reads due, or until the clock is set: a timer on the real-time
// clock that is cancelled when the clock steps. False when no such timer can be had.
bool SleepUntilWallTime(const struct timespec& due)
{
    int fd = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC);
    if (fd < 0) return false;
    struct itimerspec when = {};
    when.it_value = due;
    bool ok = timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr) == 0;
    if (ok) {
        uint64_t expirations;
        while (read(fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
        }
    }
    close(fd);
    return ok;
}

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
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        uint64_t nowMs = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
        uint32_t elapsed = TickElapsed(start, static_cast<uint32_t>(nowMs));
        if (elapsed >= durationMs) return;
        uint64_t dueMs = nowMs + (durationMs - elapsed);
        struct timespec due = {static_cast<time_t>(dueMs / 1000), static_cast<long>(dueMs % 1000) * 1000000L};
        if (!SleepUntilWallTime(due)) SleepMs(durationMs - elapsed);
    }
}

uint32_t SharedSeq()
{
    return gSharedSeq.load();
}

void SharedChanged()
{
    gSharedSeq.fetch_add(1);
    syscall(SYS_futex, FutexWord(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    if (gChangeFd >= 0) {
        uint64_t one = 1;
        ssize_t n = write(gChangeFd, &one, sizeof one);
        if (n < 0 && errno == EAGAIN) {
            // The count is full after 2^64 - 2 changes: empty it, the next write is the edge.
            uint64_t drained;
            n = read(gChangeFd, &drained, sizeof drained);
            n = write(gChangeFd, &one, sizeof one);
        }
        (void)n;
    }
}

int SharedChangeFd()
{
    return gChangeFd;
}

void SharedSet(std::atomic<int>& word, int value)
{
    if (word.exchange(value) != value) SharedChanged();
}

void SharedWait(uint32_t seen, uint32_t timeoutMs)
{
    struct timespec rel = {static_cast<time_t>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000000L};
    // The futex call returns at once when the sequence has moved since seen.
    syscall(SYS_futex, FutexWord(), FUTEX_WAIT_PRIVATE, seen, timeoutMs == kWaitForever ? nullptr : &rel, nullptr, 0);
}

void ThreadName(const char* name)
{
    pthread_setname_np(pthread_self(), name);
}

void ThreadShortSlice()
{
    // The first fields of the kernel's struct sched_attr (its first published size, 48 bytes):
    // the C library has no wrapper, and the kernel header clashes with <sched.h>.
    struct {
        uint32_t size, policy;
        uint64_t flags;
        int32_t nice;
        uint32_t priority;
        uint64_t runtime, deadline, period;
    } attr = {};
    attr.size = sizeof attr;
    attr.policy = SCHED_OTHER;
    attr.runtime = kShortSliceNs;
    syscall(SYS_sched_setattr, 0, &attr, 0);
}
