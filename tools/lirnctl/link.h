// What a console session runs over: something that carries one request line to the gateway's
// console and brings back the bytes of its reply. The serial port of the PC is one such link
// (port.h), the gateway's command channel on an MQTT broker another (broker.h); the session
// (session.h) paces the requests and checks the replies on any of them.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace lirnctl {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The longest request line a link must carry: "@MQTTHOST;" and a DNS name of 253 characters,
// with room.
inline constexpr std::size_t kRequestMaxBytes = 280;

// A link that cannot be opened, written or read; the message names the link and why.
struct PortError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class ConsoleLink {
public:
    virtual ~ConsoleLink() = default;

    // The link as messages name it ("/dev/ttyUSB0").
    virtual const std::string& Name() const = 0;
    // Sends one request line (without its line end, at most kRequestMaxBytes), after dropping
    // whatever is left of earlier replies.
    virtual void Send(const std::string& line) = 0;
    // Waits for reply bytes until the deadline and returns what is there (at most size bytes); 0
    // when the deadline has passed without any or the reply is known to be over.
    virtual std::size_t Read(char* buf, std::size_t size, Clock::time_point deadline) = 0;
    // What to check when a request meets silence, and when a reply comes garbled.
    virtual const char* SilenceHint() const = 0;
    virtual const char* GarbleHint() const = 0;
    // Whether the gateway answers secret settings masked over this link (the broker does).
    virtual bool MasksSecrets() const { return false; }
};

}  // namespace lirnctl
