// One conversation with the gateway's console: requests paced to its framing, every reply
// matched to its request and checked, and every way it can go wrong turned into a Failure that
// names the port, the request and what came back, with the exit status it leads to.
#pragma once

#include "link.h"
#include "protocol.h"

#include <functional>
#include <memory>
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

// Bounds of a reply that ends only in silence (a listing, a day file): a gateway, or noise,
// that never falls silent is given up on at either.
struct StreamCaps {
    std::size_t bytes;
    Millis time;
    const char* raise;  // how to raise them, for the message; "" when they are fixed
};

// The bytes of a reply as they come.
using Sink = std::function<void(const char*, std::size_t)>;

class Session {
public:
    // timeout: how long a reply may take, and the silence that ends a listing or a file.
    Session(std::unique_ptr<ConsoleLink> link, Millis timeout);

    const std::string& PortPath() const { return link_->Name(); }
    // Whether secret settings come back masked: their earlier values cannot be put back.
    bool Masked() const { return link_->MasksSecrets(); }

    // Sends a request and returns its checked reply (Ok or Refused). Silence and bad replies
    // throw; with silenceAllowed, silence returns nothing instead.
    std::optional<Reply> Ask(const std::string& line, const Expect& e, bool silenceAllowed = false);
    // The value of a query that must succeed (Ok).
    std::string Value(const std::string& line, const Expect& e);
    // An action that must be done (Ok): a refusal throws with kExitRefused and `refusal` as message.
    void Do(const std::string& line, const Expect& e, const std::string& refusal);
    // A request answered with bare data ended by silence; returns the byte count. A reply that
    // goes past a cap throws (kExitNoAnswer).
    std::size_t Stream(const std::string& line, const StreamCaps& caps, const Sink& sink);
    // Whether the gateway answers at all: tells an unknown request from a silent gateway.
    bool Answers();
    // The failure of a request met by silence, with the hint.
    Failure Silence(const std::string& request) const;

    // A query of a setting: its value, or nothing when the gateway gives no reply to an
    // extension setting (firmware without it).
    std::optional<std::string> Query(const Setting& s);

private:
    void Send(const std::string& line);
    // The reply up to and including "\r\n", or what came by the deadline (at most 1024 bytes).
    std::string ReadLine(const std::string& line, Clock::time_point deadline);

    std::unique_ptr<ConsoleLink> link_;
    Millis timeout_;
};

}  // namespace lirnctl
