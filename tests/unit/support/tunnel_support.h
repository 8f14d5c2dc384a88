// Test helpers for the tunnel: loopback peers on free ports, a pty standing in for the RS-232
// port, a capture of the console, and the tunnel state set up and torn down per test.
#pragma once

#include "support/temp_sysroot.h"
#include "../../common/tunnel_loopback.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tunneltest {

// Standard output sent to a file for the life of the object; the text is read back on request.
// When the test has failed, the captured text (with GoogleTest's reports) goes to stderr.
class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    std::string Text();
    bool WaitFor(const std::string& needle, int ms);
    int Count(const std::string& needle);

private:
    int saved_ = -1;
    std::string path_;
};

// A pty whose slave end is the sysroot's /dev/ttyHSL3; the test holds the master.
class SerialPty {
public:
    explicit SerialPty(const TempSysroot& root);
    ~SerialPty();
    int Master() const { return master_; }
    void Write(const std::string& bytes);

private:
    int master_ = -1;
};

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

// The client side of the mode-2 exchange, played by a test.
struct TestClient {
    ~TestClient();
    // Opens the heartbeat connection and reads the server's 10-character packet.
    bool Knock(int port);
    // Opens the data connection and sends the reply.
    void Reply(int port, const std::string& reply);
    int hb = -1, data = -1;
    std::string packet;
};

// The tunnel state for one test: configuration for the mode, LirnInit, an empty event ring.
void TunnelSetUp(int mode, int port, int hbInterval = 10);
// Closes every socket the tunnel still holds and the serial descriptor.
void TunnelTearDown();
// Codes of the class-2 events in the ring, in push order.
std::vector<int> TunnelEvents();

}  // namespace tunneltest
