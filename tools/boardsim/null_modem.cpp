// The null-modem relay between the board's serial port and the PC side (see null_modem.h).
#include "null_modem.h"

#include "board/ticks.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// Bytes held in the relay per direction; beyond this the relay stops reading the sending side.
constexpr std::size_t kRelayBufferBytes = 4096;
// A hang-up should never be reported while the board keeps both slaves open; should it be, the
// relay naps this long between polls instead of spinning on it.
constexpr int kHangupNapMs = 10;

// A paced lane hands bytes on in slices of this much line time, so a slow line wakes the relay
// about a hundred times a second rather than at every byte; the credit a late wake-up finds is held
// to a few slices (as a UART's FIFO holds a few dozen bytes), so the line keeps its rate.
constexpr double kSliceSeconds = 0.01;
constexpr double kCreditSlices = 5;

using Clock = std::chrono::steady_clock;

// Bytes per second on the line the terminal of fd is set to; 0 when the rate is not one of these.
double LineBytesPerSecond(int fd)
{
    static const std::pair<speed_t, double> kRates[] = {
        {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
        {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
        {B921600, 921600},
    };
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return 0;
    int bits = 1 + ((t.c_cflag & CSIZE) == CS5 ? 5 : (t.c_cflag & CSIZE) == CS6 ? 6 : (t.c_cflag & CSIZE) == CS7 ? 7 : 8) +
               ((t.c_cflag & PARENB) != 0 ? 1 : 0) + ((t.c_cflag & CSTOPB) != 0 ? 2 : 1);
    for (const auto& [speed, baud] : kRates)
        if (cfgetospeed(&t) == speed) return baud / bits;
    return 0;
}

// One direction of the cable: bytes read from one master, waiting to be written to the other.
// Paced (rate > 0), a lane may write only the bytes the line has had time for since the last
// write: its credit grows with the time, up to a few slices.
struct Lane {
    int from;
    int to;
    std::string held;
    std::atomic<uint64_t>* count;
    double rate = 0;  // bytes per second; 0 unpaced
    double credit = 0;
    Clock::time_point last = Clock::now();

    std::size_t Allowed() const { return rate > 0 ? static_cast<std::size_t>(credit) : held.size(); }
    short FromEvents() const { return held.size() < kRelayBufferBytes ? POLLIN : 0; }
    short ToEvents() const { return !held.empty() && Allowed() > 0 ? POLLOUT : 0; }

    void Accrue(double bytesPerSecond, Clock::time_point now)
    {
        double slice = bytesPerSecond * kSliceSeconds;
        rate = bytesPerSecond;
        double most = std::max(slice * kCreditSlices, 1.0);
        credit = std::min(credit + std::chrono::duration<double>(now - last).count() * rate, most);
        last = now;
    }

    // Milliseconds until a paced lane with bytes waiting may write a slice; -1: no wait.
    int WaitMs() const
    {
        if (rate <= 0 || held.empty() || Allowed() > 0) return -1;
        double slice = std::min(rate * kSliceSeconds, static_cast<double>(held.size()));
        return static_cast<int>(std::ceil((std::max(slice, 1.0) - credit) / rate * 1000));
    }

    void Take()
    {
        char buf[kRelayBufferBytes];
        ssize_t n = read(from, buf, kRelayBufferBytes - held.size());
        if (n > 0) held.append(buf, static_cast<std::size_t>(n));
    }

    void Give()
    {
        ssize_t n = write(to, held.data(), std::min(held.size(), Allowed()));
        if (n > 0) {
            held.erase(0, static_cast<std::size_t>(n));
            *count += static_cast<uint64_t>(n);
            if (rate > 0) credit -= static_cast<double>(n);
        }
    }
};

}  // namespace

NullModem::NullModem(const std::string& boardLink, const std::string& pcLink)
    : boardLink_(boardLink), pcLink_(pcLink)
{
    board_ = OpenLinkedPty(boardLink);
    pc_ = OpenLinkedPty(pcLink);
}

NullModem::~NullModem()
{
    Stop();
    unlink(boardLink_.c_str());
    unlink(pcLink_.c_str());
    for (int fd : {board_.master, board_.slaveKeep, pc_.master, pc_.slaveKeep})
        if (fd >= 0) close(fd);
}

void NullModem::Start()
{
    loop_.Start([this] { Run(); });
}

void NullModem::Stop()
{
    loop_.Stop();
}

void NullModem::SetPaced(bool on)
{
    paced_ = on;
    loop_.Wake();
}

void NullModem::Run()
{
    ThreadShortSlice();  // a cable has no scheduling delay: hand bytes on at once when they come
    Lane toPc{board_.master, pc_.master, {}, &toPc_};
    Lane toBoard{pc_.master, board_.master, {}, &toBoard_};
    while (!loop_.Stopping()) {
        double rate = paced_ ? LineBytesPerSecond(board_.master) : 0;
        Clock::time_point now = Clock::now();
        toPc.Accrue(rate, now);
        toBoard.Accrue(rate, now);
        int a = toPc.WaitMs(), b = toBoard.WaitMs();
        int timeout = a < 0 ? b : b < 0 ? a : std::min(a, b);
        struct pollfd pfd[3] = {
            {board_.master, static_cast<short>(toPc.FromEvents() | toBoard.ToEvents()), 0},
            {pc_.master, static_cast<short>(toBoard.FromEvents() | toPc.ToEvents()), 0},
            {loop_.WakeFd(), POLLIN, 0},
        };
        if (poll(pfd, 3, timeout) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (pfd[2].revents & POLLIN) loop_.Drain();
        if (pfd[0].revents & POLLIN) toPc.Take();
        if (pfd[1].revents & POLLIN) toBoard.Take();
        if (pfd[1].revents & POLLOUT) toPc.Give();
        if (pfd[0].revents & POLLOUT) toBoard.Give();
        if ((pfd[0].revents | pfd[1].revents) & (POLLHUP | POLLERR)) usleep(kHangupNapMs * 1000);
    }
}
