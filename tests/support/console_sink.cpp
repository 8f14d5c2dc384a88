#include "console_sink.h"

#include "console/console.h"

#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

ReplySink::ReplySink() : fd_(memfd_create("console-replies", MFD_CLOEXEC))
{
    if (fd_ < 0) throw std::runtime_error("memfd_create failed");
}

ReplySink::~ReplySink()
{
    close(fd_);
}

std::string ReplySink::Take()
{
    std::string out;
    off_t end = lseek(fd_, 0, SEEK_CUR);
    char buf[4096];
    for (off_t at = 0; at < end;) {
        ssize_t n = pread(fd_, buf, sizeof buf, at);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        at += n;
    }
    if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) throw std::runtime_error("cannot rewind");
    return out;
}

std::string ReplySink::Ask(const std::string& line)
{
    UtilityDispatch(fd_, line.c_str());
    return Take();
}
