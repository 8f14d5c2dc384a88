// Safe replacement of a file: temporary file, flush, rename, directory flush.
#include "platform/safefile.h"

#include "platform/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kCopyPiece = 4096;

bool WriteAll(int fd, const char* data, std::size_t len)
{
    for (std::size_t done = 0; done < len;) {
        ssize_t n = ::write(fd, data + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The content a replacement writes: a buffer, or the rest of an open file.
struct Content {
    const char* data;
    std::size_t len;
    int from;  // >= 0: copied from this descriptor instead
};

bool WriteContent(int fd, const Content& c)
{
    if (c.from < 0) return WriteAll(fd, c.data, c.len);
    char piece[kCopyPiece];
    for (;;) {
        ssize_t n = ::read(c.from, piece, sizeof piece);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        if (!WriteAll(fd, piece, static_cast<std::size_t>(n))) return false;
    }
}

void FlushDirectoryOf(const char* target)
{
    char dir[kSysPathMax];
    std::snprintf(dir, sizeof dir, "%s", target);
    char* slash = std::strrchr(dir, '/');
    if (slash == nullptr) return;
    *(slash == dir ? slash + 1 : slash) = '\0';
    int dfd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    ::fsync(dfd);
    ::close(dfd);
}

int Replace(const char* path, const Content& c, unsigned mode)
{
    char target[kSysPathMax];
    char temp[kSysPathMax];
    if (SysPath(target, sizeof target, path) != 0) return kSafeFileNoTemp;
    if (std::snprintf(temp, sizeof temp, "%s.tmp", target) >= static_cast<int>(sizeof temp)) return kSafeFileNoTemp;
    ::unlink(temp);  // a leftover of a cut run would keep its own permissions
    int fd = ::open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return kSafeFileNoTemp;
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteContent(fd, c) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp, target) == 0;
    if (!ok) {
        ::unlink(temp);
        return kSafeFileFailed;
    }
    FlushDirectoryOf(target);
    return kSafeFileOk;
}

}  // namespace

int SafeWriteFile(const char* path, const void* data, std::size_t len, unsigned mode)
{
    return Replace(path, Content{static_cast<const char*>(data), len, -1}, mode);
}

int SafeCopyFile(const char* from, const char* path, unsigned mode)
{
    int fd = SysOpen(from, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kSafeFileNoSource;
    int rc = Replace(path, Content{nullptr, 0, fd}, mode);
    ::close(fd);
    return rc;
}
