// One conversation with the console (see session.h).
//
// Requests are strictly one at a time: the next goes out only after the reply (or the silence)
// of the previous one, whatever link carries them.
#include "session.h"

namespace lirnctl {

namespace {

// Most bytes taken while looking for a reply's line end: a stream of noise (a wrong baud rate)
// ends here; every reply line is far shorter.
constexpr std::size_t kLineCap = 1024;

}  // namespace

Session::Session(std::unique_ptr<ConsoleLink> link, Millis timeout) : link_(std::move(link)), timeout_(timeout) {}

void Session::Send(const std::string& line)
{
    if (line.size() > kRequestMaxBytes)
        throw Failure(kExitUsage, "request too long for the console (" + std::to_string(line.size()) + " characters)",
                      line);
    try {
        link_->Send(line);
    } catch (const PortError& e) {
        throw Failure(kExitNoAnswer, e.what(), line);
    }
}

std::string Session::ReadLine(const std::string& line, Clock::time_point deadline)
{
    std::string got;
    char c;
    // One byte at a time: what follows the line end is the link's to drop before the next request.
    try {
        while ((got.size() < 2 || got.compare(got.size() - 2, 2, "\r\n") != 0) && got.size() < kLineCap) {
            if (link_->Read(&c, 1, deadline) == 0) break;
            got += c;
        }
    } catch (const PortError& err) {
        throw Failure(kExitNoAnswer, err.what(), line);
    }
    return got;
}

std::optional<Reply> Session::Ask(const std::string& line, const Expect& e, bool silenceAllowed)
{
    Send(line);
    std::string got = ReadLine(line, Clock::now() + timeout_);
    if (got.empty()) {
        if (silenceAllowed) return std::nullopt;
        throw Silence(line);
    }
    Reply r = ParseReply(e, got);
    if (r.outcome == Outcome::Bad)
        throw Failure(kExitNoAnswer, PortPath() + ": bad reply: " + r.problem, line, Printable(got),
                      link_->GarbleHint());
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

std::size_t Session::Stream(const std::string& line, const StreamCaps& caps, const Sink& sink)
{
    Send(line);
    char buf[4096];
    std::size_t total = 0;
    Clock::time_point end = Clock::now() + caps.time;
    auto overCap = [&](const std::string& cap) {
        return Failure(kExitNoAnswer,
                       PortPath() + ": the reply did not end within " + cap + " (" + std::to_string(total) +
                           " bytes came)",
                       line, "", std::string(caps.raise) + link_->GarbleHint());
    };
    try {
        for (;;) {
            Clock::time_point now = Clock::now(), quiet = now + timeout_;
            if (now >= end) throw overCap(std::to_string(caps.time.count() / 1000) + " s");
            std::size_t n = link_->Read(buf, sizeof buf, std::min(quiet, end));
            if (n == 0 && quiet <= end) return total;  // the silence that ends the reply
            if (n == 0) continue;                      // the time cap came first
            total += n;
            if (total > caps.bytes) throw overCap(std::to_string(caps.bytes) + " bytes");
            sink(buf, n);
        }
    } catch (const PortError& err) {
        throw Failure(kExitNoAnswer, err.what(), line);
    }
}

Failure Session::Silence(const std::string& request) const
{
    return Failure(kExitNoAnswer, PortPath() + ": no reply within " + std::to_string(timeout_.count()) + " ms", request,
                   "", link_->SilenceHint());
}

bool Session::Answers()
{
    return Ask("@FWVER", ExpectValue("FWVER", false), true).has_value();
}

std::optional<std::string> Session::Query(const Setting& s)
{
    std::string line = std::string("@") + s.key;
    std::optional<Reply> r = Ask(line, ExpectQuery(s), s.group != kCoreSettings);
    if (!r) return std::nullopt;
    if (r->outcome == Outcome::Refused) throw Failure(kExitRefused, PortPath() + ": the gateway answered ER", line);
    return r->value;
}

}  // namespace lirnctl
