// Directory writes reported to one thread through directory notification (see dir_watch.h).
#include "dir_watch.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <sys/signalfd.h>
#include <unistd.h>

// Far from SIGRTMIN, where the C library and other libraries take theirs.
int DirWatchSignal()
{
    return SIGRTMAX - 3;
}

namespace {

sigset_t WatchSignals()
{
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, DirWatchSignal());
    sigaddset(&s, SIGIO);  // the queue overflowed
    return s;
}

}  // namespace

DirWatch::DirWatch()
{
    static std::once_flag ignored;
    std::call_once(ignored, [] { signal(DirWatchSignal(), SIG_IGN); });
    sigset_t s = WatchSignals();
    signals_ = signalfd(-1, &s, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals_ < 0) throw std::runtime_error("cannot make the directory watch's signalfd");
}

DirWatch::~DirWatch()
{
    for (int fd : dirs_) close(fd);
    close(signals_);
}

void DirWatch::DirectAt(int dirFd)
{
    struct f_owner_ex owner = {F_OWNER_TID, thread_};
    fcntl(dirFd, F_SETOWN_EX, &owner);
}

int DirWatch::Add(const std::string& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::lock_guard<std::mutex> hold(lock_);
    // F_NOTIFY makes the process the owner; the owner is the watching thread right after it.
    if (fcntl(fd, F_SETSIG, DirWatchSignal()) != 0 || fcntl(fd, F_NOTIFY, DN_MODIFY | DN_MULTISHOT) != 0) {
        close(fd);
        return -1;
    }
    if (thread_ != 0) DirectAt(fd);
    dirs_.push_back(fd);
    return fd;
}

void DirWatch::BindToThisThread()
{
    sigset_t s = WatchSignals();
    pthread_sigmask(SIG_BLOCK, &s, nullptr);
    std::lock_guard<std::mutex> hold(lock_);
    thread_ = gettid();
    for (int fd : dirs_) DirectAt(fd);
}

std::vector<int> DirWatch::Take()
{
    std::vector<int> written;
    bool overflow = false;
    struct signalfd_siginfo info[16];
    ssize_t n;
    while ((n = read(signals_, info, sizeof info)) > 0) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof info[0]; ++i) {
            if (static_cast<int>(info[i].ssi_signo) != DirWatchSignal()) overflow = true;
            else if (std::find(written.begin(), written.end(), info[i].ssi_fd) == written.end())
                written.push_back(info[i].ssi_fd);
        }
    }
    if (overflow) {
        std::lock_guard<std::mutex> hold(lock_);
        return dirs_;
    }
    return written;
}
