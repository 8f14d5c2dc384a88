// Tells one thread of the board which of its watched directories had a file written in them,
// without inotify: inotify instances are limited per user (128 by default), and a fleet of
// boards, each a process of its own, would run out of them.
//
// It uses directory notification instead (fcntl F_NOTIFY with DN_MODIFY), which takes no instance:
// each watched directory's descriptor raises a real-time signal carrying the descriptor, directed
// at the one thread that runs the watch (F_SETOWN_EX), which blocks the signal and reads it from a
// signalfd. Should the kernel's signal queue overflow, SIGIO comes instead, and the watch reports
// every directory as written. The signal is ignored process-wide, so one raised before the watch
// has a thread (or after it has gone) is dropped instead of ending the process; the watching
// thread, which blocks it, still receives its own.
//
// Only direct children count: a write to a file in the directory, not in a subdirectory.
#pragma once

#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

// The signal the watch uses; a process started from the board gets its default action back.
int DirWatchSignal();

class DirWatch {
public:
    DirWatch();  // throws std::runtime_error when the signalfd cannot be made
    ~DirWatch();
    DirWatch(const DirWatch&) = delete;
    DirWatch& operator=(const DirWatch&) = delete;

    // Watches a directory; any thread may call it. Returns the key its writes are reported by,
    // or -1 when the directory cannot be watched.
    int Add(const std::string& dir);
    // Called by the watching thread before it first waits on Fd(): the signals go to it from now on.
    void BindToThisThread();
    // Readable when writes are waiting to be taken (poll it in the watching thread).
    int Fd() const { return signals_; }
    // The keys of the directories written in since the last call; every key after an overflow.
    std::vector<int> Take();

private:
    void DirectAt(int dirFd);

    int signals_ = -1;
    std::mutex lock_;
    pid_t thread_ = 0;
    std::vector<int> dirs_;
};
