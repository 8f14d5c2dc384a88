// The serial port of the PC: opened raw at a chosen baud rate (8N1, no flow control), locked
// against a second lirnctl, written whole and read against deadlines with poll(), never with
// fixed pauses.
#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

namespace lirnctl {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// A port that cannot be opened, set up, written or read; the message names the port and why.
struct PortError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Whether a baud rate is one the port can be set to.
bool BaudSupported(int baud);

class Port {
public:
    Port(const std::string& path, int baud);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::string& Path() const { return path_; }

    // Drops whatever is waiting (a late reply to an earlier request).
    void Discard();
    // Writes all bytes and waits until they have left the PC.
    void Write(const std::string& bytes, Millis timeout);
    // Reads until the text ends with "\r\n", 1024 bytes came or the deadline passes; returns what came.
    std::string ReadLine(Clock::time_point deadline);
    // Reads until nothing has come for `quiet` (the first byte is waited for up to `quiet` as
    // well) and hands every piece to sink. Returns the byte count.
    std::size_t ReadUntilQuiet(Millis quiet, const std::function<void(const char*, std::size_t)>& sink);

private:
    // Waits for bytes until the deadline and reads what is there; 0 when the time is up.
    std::size_t ReadSome(char* buf, std::size_t size, Clock::time_point deadline);

    std::string path_;
    int fd_ = -1;
};

}  // namespace lirnctl
