// Test helpers for the tunnel: a pty standing in for the RS-232 port, pass loops, the tunnel
// state set up and torn down per test, and the fixture that owns them; loopback peers come from
// tunnel_loopback.h.
#pragma once

#include "temp_sysroot.h"
#include "output_capture.h"
#include "test_pty.h"
#include "tunnel_loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tunneltest {

// True once the thread tid sleeps in a wait (its state in /proc is S).
bool ThreadAsleep(pid_t tid);

// Runs pass over and over on a thread of its own until destroyed. The pass in progress finishes;
// wake, when given, runs once the loop is told to stop, to cut a long wait of that pass short.
class PassLoop {
public:
    explicit PassLoop(std::function<void()> pass, std::function<void()> wake = nullptr);
    ~PassLoop();
    // Waits until the loop's thread sleeps in a wait of its pass.
    bool WaitAsleep(Millis timeout) const;

private:
    std::atomic<bool> stop_{false};
    std::atomic<pid_t> tid_{0};
    std::function<void()> wake_;
    std::thread thread_;
};

// Cuts short the link manager's waits on its listeners (a wake for PassLoop): a shut-down
// listener reports a hang-up at once, and a lowered link ends the pacing of a full slot.
void ShutDownListeners();

// The tunnel state for one test: configuration for the mode, LirnInit, an empty event ring.
void TunnelSetUp(int mode, int port, int hbInterval = 10);
// Closes every socket the tunnel still holds and the serial descriptor.
void TunnelTearDown();
// Codes of the class-2 events in the ring, in push order.
std::vector<int> TunnelEvents();

// A tunnel test: the console caught, pass loops stopped first at the end, then the tunnel torn
// down and the test's own descriptors closed.
class TunnelTest : public ::testing::Test {
protected:
    void TearDown() override;
    int Keep(int fd);
    PassLoop& Run(std::function<void()> pass, std::function<void()> wake = nullptr);

    OutputCapture console_;
    std::vector<std::unique_ptr<PassLoop>> loops_;
    std::vector<int> fds_;
};

}  // namespace tunneltest
