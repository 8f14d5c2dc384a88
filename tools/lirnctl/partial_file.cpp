// The partial file of a transfer (see partial_file.h).
//
// One partial file exists at a time. Its name sits in a fixed buffer that the signal handler
// reads: unlink() is safe in a handler, and the handler then restores the default action and
// raises the signal again, so the exit looks as it would have without lirnctl's handler.
#include "partial_file.h"

#include "session.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace lirnctl {

namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

char gPartialPath[PATH_MAX];
volatile std::sig_atomic_t gPartialSet = 0;

void RemovePartialAndEnd(int sig)
{
    if (gPartialSet) ::unlink(gPartialPath);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void Guard(const std::string& path)
{
    if (path.size() >= sizeof gPartialPath) throw Failure(kExitUsage, path + ": the name is too long");
    std::memcpy(gPartialPath, path.c_str(), path.size() + 1);
    gPartialSet = 1;
    for (int sig : kEndingSignals) std::signal(sig, RemovePartialAndEnd);
}

void Unguard()
{
    for (int sig : kEndingSignals) std::signal(sig, SIG_DFL);
    gPartialSet = 0;
}

}  // namespace

PartialFile::PartialFile(const std::string& target) : target_(target), partial_(target + ".part")
{
    Guard(partial_);
    file_ = std::fopen(partial_.c_str(), "wb");
    if (file_ == nullptr) {
        Unguard();
        throw Failure(kExitUsage, partial_ + ": cannot write the file");
    }
}

PartialFile::~PartialFile()
{
    if (file_ != nullptr) std::fclose(file_);
    if (!partial_.empty()) Drop();
}

void PartialFile::Drop()
{
    std::remove(partial_.c_str());
    partial_.clear();
    Unguard();
}

void PartialFile::Commit()
{
    bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed || std::rename(partial_.c_str(), target_.c_str()) != 0) {
        Drop();
        throw Failure(kExitUsage, target_ + ": cannot write the file");
    }
    partial_.clear();
    Unguard();
}

}  // namespace lirnctl
