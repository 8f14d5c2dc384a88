// Test helpers for the tunnel: a pty standing in for the RS-232 port, pass loops, and the tunnel
// state set up and torn down per test; loopback peers come from tunnel_loopback.h.
#pragma once

#include "temp_sysroot.h"
#include "output_capture.h"
#include "test_pty.h"
#include "tunnel_loopback.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tunneltest {

// Runs pass over and over on a thread of its own until destroyed. The pass in progress finishes;
// wake, when given, runs once the loop is told to stop, to cut a long wait of that pass short.
class PassLoop {
public:
    explicit PassLoop(std::function<void()> pass, std::function<void()> wake = nullptr);
    ~PassLoop();

private:
    std::atomic<bool> stop_{false};
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

}  // namespace tunneltest
