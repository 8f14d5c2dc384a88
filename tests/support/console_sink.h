// What the console writes, collected in a memory file that stands in for the port, so the
// dispatch of a request line can be checked byte for byte without a serial device.
#pragma once

#include <string>

class ReplySink {
public:
    ReplySink();
    ~ReplySink();
    ReplySink(const ReplySink&) = delete;
    ReplySink& operator=(const ReplySink&) = delete;

    int Fd() const { return fd_; }
    // Everything written since the last Take.
    std::string Take();
    // Dispatches one request line and returns the bytes it wrote.
    std::string Ask(const std::string& line);

private:
    int fd_;
};
