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

// The mapped target and its temporary name. False when either does not fit.
bool TargetAndTemp(const char* path, char* target, char* temp)
{
    if (SysPath(target, kSysPathMax, path) != 0) return false;
    return std::snprintf(temp, kSysPathMax, "%s.tmp", target) < static_cast<int>(kSysPathMax);
}

// Writes the content to the temporary file beside path and flushes it.
int Stage(const char* path, const Content& c, unsigned mode)
{
    char target[kSysPathMax];
    char temp[kSysPathMax];
    if (!TargetAndTemp(path, target, temp)) return kSafeFileNoTemp;
    ::unlink(temp);  // a leftover of a cut run would keep its own permissions
    int fd = ::open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return kSafeFileNoTemp;
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteContent(fd, c) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        ::unlink(temp);
        return kSafeFileFailed;
    }
    return kSafeFileOk;
}

int Replace(const char* path, const Content& c, unsigned mode)
{
    int rc = Stage(path, c, mode);
    return rc == kSafeFileOk ? SafeCommit(path) : rc;
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

int SafeStageCopy(const char* from, const char* path, unsigned mode)
{
    int fd = SysOpen(from, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kSafeFileNoSource;
    int rc = Stage(path, Content{nullptr, 0, fd}, mode);
    ::close(fd);
    return rc;
}

int SafeOpenStaged(const char* path)
{
    char target[kSysPathMax];
    char temp[kSysPathMax];
    if (!TargetAndTemp(path, target, temp)) return -1;
    return ::open(temp, O_RDONLY | O_CLOEXEC);
}

int SafeCommit(const char* path)
{
    char target[kSysPathMax];
    char temp[kSysPathMax];
    if (!TargetAndTemp(path, target, temp)) return kSafeFileNoTemp;
    if (::rename(temp, target) != 0) {
        ::unlink(temp);
        return kSafeFileFailed;
    }
    FlushDirectoryOf(target);
    return kSafeFileOk;
}

void SafeDiscard(const char* path)
{
    char target[kSysPathMax];
    char temp[kSysPathMax];
    if (TargetAndTemp(path, target, temp)) ::unlink(temp);
}

int SafeRename(const char* from, const char* to)
{
    char a[kSysPathMax];
    char b[kSysPathMax];
    if (SysPath(a, sizeof a, from) != 0 || SysPath(b, sizeof b, to) != 0 || ::rename(a, b) != 0) return kSafeFileFailed;
    FlushDirectoryOf(b);
    return kSafeFileOk;
}

int SafeRemove(const char* path)
{
    char target[kSysPathMax];
    if (SysPath(target, sizeof target, path) != 0 || ::unlink(target) != 0) return kSafeFileFailed;
    FlushDirectoryOf(target);
    return kSafeFileOk;
}
