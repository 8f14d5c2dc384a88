// A loop of the board that sleeps in poll() and is woken through a pipe: the devices' threads
// (ptys, the null-modem cable, the GPIO export and LED watch, the I2C clock) and the board's own
// control loop. The loop polls WakeFd() among its descriptors, drains it when it is readable, and
// ends once Stopping(); Stop() raises the flag, wakes the loop and joins its thread.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

class BoardLoop {
public:
    BoardLoop();  // throws std::runtime_error when the pipe cannot be made
    ~BoardLoop();
    BoardLoop(const BoardLoop&) = delete;
    BoardLoop& operator=(const BoardLoop&) = delete;

    // Runs body on a thread of its own; body returns once Stopping().
    void Start(std::function<void()> body);
    // Raises the stop flag and wakes the loop; safe from a signal handler.
    void RequestStop();
    // RequestStop, then joins the thread when Start made one.
    void Stop();
    // Wakes the loop so that it looks again at what it waits on.
    void Wake();
    bool Stopping() const { return stop_; }
    int WakeFd() const { return wake_[0]; }
    // Takes the wake bytes out of the pipe.
    void Drain();

private:
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
