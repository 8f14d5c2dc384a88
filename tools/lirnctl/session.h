// One conversation with the gateway's console: requests paced to its framing, every reply
// matched to its request and checked, and every way it can go wrong turned into a Failure that
// names the port, the request and what came back, with the exit status it leads to.
#pragma once

#include "port.h"
#include "protocol.h"

#include <optional>
#include <stdexcept>
#include <string>

namespace lirnctl {

// Exit statuses of lirnctl.
inline constexpr int kExitDone = 0;
inline constexpr int kExitRefused = 1;   // the gateway refused, or differs from what was asked
inline constexpr int kExitNoAnswer = 2;  // no answer, a garbled one, or a port error
inline constexpr int kExitUsage = 64;

struct Failure : std::runtime_error {
    Failure(int exitStatus, const std::string& message, std::string why = "", std::string got = "",
            std::string advice = "")
        : std::runtime_error(message),
          status(exitStatus),
          request(std::move(why)),
          reply(std::move(got)),
          hint(std::move(advice))
    {}
    int status;
    std::string request;  // the request line, when one was sent
    std::string reply;    // what came back (printable)
    std::string hint;
};

class Session {
public:
    // timeout: how long a reply may take, and the silence that ends a listing or a file.
    Session(const std::string& port, int baud, Millis timeout);

    const std::string& PortPath() const { return port_.Path(); }

    // Sends a request and returns its checked reply (Ok or Refused). Silence and bad replies
    // throw; with silenceAllowed, silence returns nothing instead.
    std::optional<Reply> Ask(const std::string& line, const Expect& e, bool silenceAllowed = false);
    // The value of a query that must succeed (Ok).
    std::string Value(const std::string& line, const Expect& e);
    // An action that must be done (Ok): a refusal throws with kExitRefused and `refusal` as message.
    void Do(const std::string& line, const Expect& e, const std::string& refusal);
    // A request answered with bare data ended by silence; returns the byte count.
    std::size_t Stream(const std::string& line, const std::function<void(const char*, std::size_t)>& sink);
    // Whether the gateway answers at all: tells an unknown request from a silent gateway.
    bool Answers();
    // The failure of a request met by silence, with the hint.
    Failure Silence(const std::string& request) const;

    // A query of a setting: its value, or nothing when the gateway gives no reply to an
    // extension setting (firmware without it).
    std::optional<std::string> Query(const Setting& s);

private:
    void Send(const std::string& line);

    Port port_;
    Millis timeout_;
};

}  // namespace lirnctl
