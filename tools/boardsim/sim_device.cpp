// Running a SimDevice on a pseudo-terminal.
#include "sim_device.h"

#include "pty_link.h"

#include <cerrno>
#include <poll.h>
#include <time.h>
#include <unistd.h>

int64_t BoardNowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

// Writes everything, waiting for room; gives up only on a hard error or a stop request.
void WriteAll(int fd, const char* p, std::size_t n, const BoardLoop& loop)
{
    while (n > 0 && !loop.Stopping()) {
        ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return;
        struct pollfd pfd = {fd, POLLOUT, 0};
        poll(&pfd, 1, 10);
    }
}

}  // namespace

DevicePty::DevicePty(SimDevice& device, const std::string& linkPath) : device_(device), linkPath_(linkPath)
{
    LinkedPty pty = OpenLinkedPty(linkPath);
    master_ = pty.master;
    slaveKeep_ = pty.slaveKeep;
    slavePath_ = pty.slavePath;
}

DevicePty::~DevicePty()
{
    Stop();
    unlink(linkPath_.c_str());
    for (int fd : {master_, slaveKeep_})
        if (fd >= 0) close(fd);
}

void DevicePty::Start()
{
    loop_.Start([this] { Run(); });
}

void DevicePty::Stop()
{
    loop_.Stop();
}

void DevicePty::Unplug()
{
    if (!Plugged()) return;
    Stop();
    close(master_);
    close(slaveKeep_);
    master_ = slaveKeep_ = -1;
    unlink(linkPath_.c_str());
    std::lock_guard<std::mutex> hold(lock_);
    device_.PowerLost();
}

void DevicePty::Plug()
{
    if (Plugged()) return;
    LinkedPty pty = OpenLinkedPty(linkPath_);
    master_ = pty.master;
    slaveKeep_ = pty.slaveKeep;
    slavePath_ = pty.slavePath;
    Start();
}

std::string DevicePty::Control(const std::vector<std::string>& words)
{
    std::string reply;
    {
        std::lock_guard<std::mutex> hold(lock_);
        reply = device_.Control(words);
    }
    loop_.Wake();  // the change may have made output due sooner
    return reply;
}

void DevicePty::Run()
{
    char buf[4096];
    std::string out;
    while (!loop_.Stopping()) {
        // Nothing pending: sleep until the firmware writes or a control request wakes the loop.
        int timeout = -1;
        {
            std::lock_guard<std::mutex> hold(lock_);
            int64_t due = device_.NextDue();
            if (due >= 0) {
                int64_t wait = due - BoardNowMs();
                timeout = wait <= 0 ? 0 : static_cast<int>(wait < 100 ? wait : 100);
            }
        }
        struct pollfd pfd[2] = {{master_, POLLIN, 0}, {loop_.WakeFd(), POLLIN, 0}};
        poll(pfd, 2, timeout);
        if (pfd[1].revents & POLLIN) loop_.Drain();
        if (pfd[0].revents & POLLIN) {
            ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> hold(lock_);
                device_.Input(buf, static_cast<std::size_t>(n), BoardNowMs());
            }
        }
        out.clear();
        {
            std::lock_guard<std::mutex> hold(lock_);
            device_.Output(out, BoardNowMs());
        }
        if (!out.empty()) WriteAll(master_, out.data(), out.size(), loop_);
    }
}
