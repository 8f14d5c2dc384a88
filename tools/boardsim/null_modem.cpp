// The null-modem relay between the board's serial port and the PC side (see null_modem.h).
#include "null_modem.h"

#include "board/ticks.h"

#include <cerrno>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

// Bytes held in the relay per direction; beyond this the relay stops reading the sending side.
constexpr std::size_t kRelayBufferBytes = 4096;
// A hang-up should never be reported while the board keeps both slaves open; should it be, the
// relay naps this long between polls instead of spinning on it.
constexpr int kHangupNapMs = 10;

// One direction of the cable: bytes read from one master, waiting to be written to the other.
struct Lane {
    int from;
    int to;
    std::string held;
    std::atomic<uint64_t>* count;

    short FromEvents() const { return held.size() < kRelayBufferBytes ? POLLIN : 0; }
    short ToEvents() const { return held.empty() ? 0 : POLLOUT; }

    void Take()
    {
        char buf[kRelayBufferBytes];
        ssize_t n = read(from, buf, kRelayBufferBytes - held.size());
        if (n > 0) held.append(buf, static_cast<std::size_t>(n));
    }

    void Give()
    {
        ssize_t n = write(to, held.data(), held.size());
        if (n > 0) {
            held.erase(0, static_cast<std::size_t>(n));
            *count += static_cast<uint64_t>(n);
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

void NullModem::Run()
{
    ThreadShortSlice();  // a cable has no scheduling delay: hand bytes on at once when they come
    Lane toPc{board_.master, pc_.master, {}, &toPc_};
    Lane toBoard{pc_.master, board_.master, {}, &toBoard_};
    while (!loop_.Stopping()) {
        struct pollfd pfd[3] = {
            {board_.master, static_cast<short>(toPc.FromEvents() | toBoard.ToEvents()), 0},
            {pc_.master, static_cast<short>(toBoard.FromEvents() | toPc.ToEvents()), 0},
            {loop_.WakeFd(), POLLIN, 0},
        };
        if (poll(pfd, 3, -1) < 0) {
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
