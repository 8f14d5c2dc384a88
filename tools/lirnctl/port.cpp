// The PC's serial port for lirnctl (see port.h).
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

// Most bytes ReadLine takes while looking for a line end.
constexpr std::size_t kLineCap = 1024;

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

Port::Port(const std::string& path, int baud) : path_(path)
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

void Port::Discard()
{
    ::tcflush(fd_, TCIFLUSH);
    char buf[512];
    while (ReadSome(buf, sizeof buf, Clock::now()) > 0) {}
}

void Port::Write(const std::string& bytes, Millis timeout)
{
    Clock::time_point deadline = Clock::now() + timeout;
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
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

std::size_t Port::ReadSome(char* buf, std::size_t size, Clock::time_point deadline)
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

std::string Port::ReadLine(Clock::time_point deadline)
{
    std::string got;
    char c;
    // One byte at a time: what follows the line end stays for Discard before the next request.
    // A stream of noise (a wrong baud rate) ends at the cap; every reply line is far shorter.
    while ((got.size() < 2 || got.compare(got.size() - 2, 2, "\r\n") != 0) && got.size() < kLineCap) {
        if (ReadSome(&c, 1, deadline) == 0) break;
        got += c;
    }
    return got;
}

std::size_t Port::ReadUntilQuiet(Millis quiet, const std::function<void(const char*, std::size_t)>& sink)
{
    char buf[4096];
    std::size_t total = 0;
    for (;;) {
        std::size_t n = ReadSome(buf, sizeof buf, Clock::now() + quiet);
        if (n == 0) return total;
        total += n;
        sink(buf, n);
    }
}

}  // namespace lirnctl
