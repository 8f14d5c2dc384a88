// Waiting with a deadline, for every kind of test: on a condition, tested again after each short
// pause until it holds or the time is up (never one bare sleep), and on bytes from a descriptor.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

using Millis = std::chrono::milliseconds;

// Re-tests condition every pause until it holds or timeout has passed; returns the last result.
inline bool WaitUntil(const std::function<bool()>& condition, Millis timeout, Millis pause = Millis(10))
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(pause);
    }
}

// Milliseconds elapsed since start.
inline long long MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start).count();
}

// Reads from fd until count bytes have come, the other end has closed or timeout has passed;
// returns what came.
inline std::string ReadUpTo(int fd, std::size_t count, Millis timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string got;
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now()).count();
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[4096];
        ssize_t n = read(fd, buf, std::min(sizeof buf, count - got.size()));
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}
