// The PC's serial port as lirnctl's console link (see port.h).
//
// The console handles the first line of a burst once its byte count has been still for 100 ms,
// and remembers the count across bursts: a burst whose count equals the previous burst's is read
// at once, even before its last byte is in. Every request therefore goes out as a burst of one
// fixed length (the line, its CR LF, then LF padding, which the console skips as the end of the
// line): a burst caught half-way never shows that length, and a whole one is read without the
// quiet time. The session sends requests strictly one at a time, so no burst ever holds two.
#include "port.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace lirnctl {

namespace {

// Length of every request burst: the longest request with its CR LF, and room.
constexpr std::size_t kBurstBytes = 288;
static_assert(kRequestMaxBytes + 2 <= kBurstBytes);
// Longest time spent dropping a stale reply before a request: a port that keeps talking is not
// waited out, its noise fails the reply check instead.
constexpr Millis kDiscardTime(200);

const char kGarbleHint[] =
    "check the baud rate (-b; the console uses 115200) and that no other program uses the port.";
const char kSilenceHint[] =
    "the gateway answers only on its configuration console: its INIT pin must not be asserted when "
    "it starts (with the pin asserted this port carries the tunnel instead). Check the cable, the "
    "port (-p or LIRN_PORT) and the baud rate (-b; the console uses 115200).";

struct BaudCode {
    int baud;
    speed_t code;
};

const BaudCode kBauds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                           {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                           {230400, B230400}, {460800, B460800}, {921600, B921600}};

speed_t BaudCodeOf(int baud)
{
    for (const BaudCode& b : kBauds)
        if (b.baud == baud) return b.code;
    return B0;
}

int MillisUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool BaudSupported(int baud)
{
    return BaudCodeOf(baud) != B0;
}

Port::Port(const std::string& path, int baud) : path_(path), baud_(baud)
{
    auto fail = [&](const std::string& what) {
        std::string message = path + ": " + what + ": " + std::strerror(errno);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        throw PortError(message);
    };
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) fail("cannot open");
    // Two tools on one console would take each other's replies.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) fail("in use by another program");
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) fail("not a serial port");
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, BaudCodeOf(baud)) != 0 || ::cfsetospeed(&t, BaudCodeOf(baud)) != 0 ||
        ::tcsetattr(fd_, TCSANOW, &t) != 0)
        fail("cannot set " + std::to_string(baud) + " 8N1");
}

Port::~Port()
{
    if (fd_ >= 0) ::close(fd_);
}

const char* Port::SilenceHint() const
{
    return kSilenceHint;
}

const char* Port::GarbleHint() const
{
    return kGarbleHint;
}

void Port::Discard()
{
    ::tcflush(fd_, TCIFLUSH);
    char buf[512];
    Clock::time_point end = Clock::now() + kDiscardTime;
    while (Clock::now() < end && Read(buf, sizeof buf, Clock::now()) > 0) {}
}

void Port::Send(const std::string& line)
{
    std::string burst = line + "\r\n";
    if (burst.size() > kBurstBytes) throw PortError(path_ + ": a request longer than the console's burst");
    burst.resize(kBurstBytes, '\n');
    Discard();
    // The burst's time on the line at this rate, and a second.
    Clock::time_point deadline = Clock::now() + Millis(1000 + kBurstBytes * 10 * 1000 / static_cast<unsigned>(baud_));
    for (std::size_t done = 0; done < burst.size();) {
        ssize_t n = ::write(fd_, burst.data() + done, burst.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw PortError(path_ + ": write failed: " + std::strerror(errno));
        pollfd p{fd_, POLLOUT, 0};
        int left = MillisUntil(deadline);
        if (left == 0 || (::poll(&p, 1, left) == 0 && Clock::now() >= deadline))
            throw PortError(path_ + ": the port takes no bytes (flow control held?)");
    }
    ::tcdrain(fd_);
}

std::size_t Port::Read(char* buf, std::size_t size, Clock::time_point deadline)
{
    for (;;) {
        ssize_t n = ::read(fd_, buf, size);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw PortError(path_ + ": read failed: " + std::strerror(errno));
        int left = MillisUntil(deadline);
        if (left == 0) return 0;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, left) < 0 && errno != EINTR)
            throw PortError(path_ + ": poll failed: " + std::strerror(errno));
        if (p.revents & (POLLERR | POLLNVAL)) throw PortError(path_ + ": the port failed");
        // A hang-up with nothing to read (a USB adapter pulled): the read above reports it.
        if ((p.revents & POLLHUP) && !(p.revents & POLLIN)) throw PortError(path_ + ": the port hung up");
    }
}

}  // namespace lirnctl
