// A simulated device behind one pseudo-terminal of the board.
//
// The board gives the firmware its device nodes as ptys: the firmware opens the slave side by its
// path in the sysroot (a symlink to /dev/pts/N), and the board serves the master side. A SimDevice
// is the pure logic of one such device: bytes in from the firmware, bytes out when due, and a
// control entry point for the board's control channel. DevicePty runs a SimDevice on a real pty.
#pragma once

#include "board_loop.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Milliseconds of a monotonic clock; the board's time for answer delays and its observations.
int64_t BoardNowMs();

class SimDevice {
public:
    virtual ~SimDevice() = default;
    // Bytes the firmware wrote to the device at nowMs.
    virtual void Input(const char* data, std::size_t len, int64_t nowMs) = 0;
    // Appends to out the bytes due for the firmware by nowMs, and forgets them.
    virtual void Output(std::string& out, int64_t nowMs) = 0;
    // When Output will next have something, or -1 when nothing is pending.
    virtual int64_t NextDue() const = 0;
    // A control request for this device: the words after the device's prefix ("at", "qmi").
    // Returns one reply line without its line end: "ok ..." or "err ...".
    virtual std::string Control(const std::vector<std::string>& words) = 0;
    // The device's node was removed (the device lost power, as a USB modem that resets): it
    // forgets whatever its users had set up with it.
    virtual void PowerLost() {}
};

// A pty whose slave is linked at a path and whose master is served by a SimDevice on a thread
// of its own. The board keeps a slave descriptor open itself, so the firmware may open and close
// the device as often as it likes without the master seeing a hang-up.
class DevicePty {
public:
    // Creates the pty and the symlink linkPath -> /dev/pts/N. Throws std::runtime_error on failure.
    DevicePty(SimDevice& device, const std::string& linkPath);
    ~DevicePty();
    DevicePty(const DevicePty&) = delete;
    DevicePty& operator=(const DevicePty&) = delete;

    void Start();
    void Stop();
    // The node goes away: the pty is closed, so whoever holds it open meets a hang-up, the link is
    // removed and the device loses power. Plug puts a new pty behind the link. The control
    // channel keeps working meanwhile. Plug throws std::runtime_error when no pty can be made.
    void Unplug();
    void Plug();
    bool Plugged() const { return master_ >= 0; }

    // Serialises Control calls with the device's Input/Output.
    std::string Control(const std::vector<std::string>& words);

    const std::string& SlavePath() const { return slavePath_; }

private:
    void Run();

    SimDevice& device_;
    std::string linkPath_;
    std::string slavePath_;
    int master_ = -1;
    int slaveKeep_ = -1;
    std::mutex lock_;
    BoardLoop loop_;
};
