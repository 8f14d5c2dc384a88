// Waiting on a condition with a deadline, for every kind of test: the condition is tested again
// after each short pause until it holds or the time is up, never after one bare sleep.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

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
