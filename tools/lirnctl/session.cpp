// One conversation with the console (see session.h).
//
// The console handles the first line of a burst once its byte count has been still for 100 ms,
// and remembers the count across bursts: a burst whose count equals the previous burst's is read
// at once, even before its last byte is in. Every request therefore goes out as a burst of one
// fixed length (the line, its CR LF, then LF padding, which the console skips as the end of the
// line): a burst caught half-way never shows that length, and a whole one is read without the
// quiet time. Requests are strictly one at a time: the next goes out only after the reply (or the
// silence) of the previous one, so no burst ever holds two.
#include "session.h"

namespace lirnctl {

namespace {

// Length of every request burst: the longest request (a 63-character APN) fits with room.
constexpr std::size_t kBurstBytes = 128;
// Writing a burst at the slowest supported rate takes about a second.
constexpr Millis kWriteTimeout(3000);

const char kBadReplyHint[] =
    "check the baud rate (-b; the console uses 115200) and that no other program uses the port.";
// The hint given with every request that met silence.
const char kNoAnswerHint[] =
    "the gateway answers only on its configuration console: its INIT pin must not be asserted when "
    "it starts (with the pin asserted this port carries the tunnel instead). Check the cable, the "
    "port (-p or LIRN_PORT) and the baud rate (-b; the console uses 115200).";

}  // namespace

Session::Session(const std::string& port, int baud, Millis timeout) : port_(port, baud), timeout_(timeout) {}

void Session::Send(const std::string& line)
{
    if (line.size() + 2 > kBurstBytes)
        throw Failure(kExitUsage, "request too long for the console (" + std::to_string(line.size()) + " characters)",
                      line);
    std::string burst = line + "\r\n";
    burst.resize(kBurstBytes, '\n');
    port_.Discard();
    try {
        port_.Write(burst, kWriteTimeout);
    } catch (const PortError& e) {
        throw Failure(kExitNoAnswer, e.what(), line);
    }
}

std::optional<Reply> Session::Ask(const std::string& line, const Expect& e, bool silenceAllowed)
{
    Send(line);
    std::string got;
    try {
        got = port_.ReadLine(Clock::now() + timeout_);
    } catch (const PortError& err) {
        throw Failure(kExitNoAnswer, err.what(), line);
    }
    if (got.empty()) {
        if (silenceAllowed) return std::nullopt;
        throw Silence(line);
    }
    Reply r = ParseReply(e, got);
    if (r.outcome == Outcome::Bad)
        throw Failure(kExitNoAnswer, PortPath() + ": bad reply: " + r.problem, line, Printable(got), kBadReplyHint);
    return r;
}

std::string Session::Value(const std::string& line, const Expect& e)
{
    Reply r = *Ask(line, e);
    if (r.outcome == Outcome::Refused) throw Failure(kExitRefused, PortPath() + ": the gateway answered ER", line);
    return r.value;
}

void Session::Do(const std::string& line, const Expect& e, const std::string& refusal)
{
    if (Ask(line, e)->outcome == Outcome::Refused) throw Failure(kExitRefused, refusal, line);
}

std::size_t Session::Stream(const std::string& line, const std::function<void(const char*, std::size_t)>& sink)
{
    Send(line);
    try {
        return port_.ReadUntilQuiet(timeout_, sink);
    } catch (const PortError& err) {
        throw Failure(kExitNoAnswer, err.what(), line);
    }
}

Failure Session::Silence(const std::string& request) const
{
    return Failure(kExitNoAnswer, PortPath() + ": no reply within " + std::to_string(timeout_.count()) + " ms", request,
                   "", kNoAnswerHint);
}

bool Session::Answers()
{
    return Ask("@FWVER", ExpectValue("FWVER", false), true).has_value();
}

std::optional<std::string> Session::Query(const Setting& s)
{
    std::string line = std::string("@") + s.key;
    std::optional<Reply> r = Ask(line, ExpectQuery(s), s.group != 0);
    if (!r) return std::nullopt;
    if (r->outcome == Outcome::Refused) throw Failure(kExitRefused, PortPath() + ": the gateway answered ER", line);
    return r->value;
}

}  // namespace lirnctl
