// The serial port of the PC as a console link: opened raw at a chosen baud rate (8N1, no flow
// control), locked against a second lirnctl, each request sent as one burst of the console's
// framing, and read against deadlines with poll(), never with fixed pauses.
#pragma once

#include "link.h"

#include <string>

namespace lirnctl {

// Whether a baud rate is one the port can be set to.
bool BaudSupported(int baud);

class Port : public ConsoleLink {
public:
    Port(const std::string& path, int baud);
    ~Port() override;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::string& Name() const override { return path_; }
    void Send(const std::string& line) override;
    std::size_t Read(char* buf, std::size_t size, Clock::time_point deadline) override;
    const char* SilenceHint() const override;
    const char* GarbleHint() const override;

private:
    // Drops whatever is waiting (a late reply to an earlier request), within bounds: a port that
    // never falls silent is left to the reply check.
    void Discard();

    std::string path_;
    int baud_;
    int fd_ = -1;
};

}  // namespace lirnctl
