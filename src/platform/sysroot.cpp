// Sysroot mapping: the one place that turns the system's absolute paths into the paths we open.
#include "platform/sysroot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

// The sysroot prefix, read once from LIRN_SYSROOT unless a caller set it explicitly.
char gSysroot[kSysPathMax];
std::once_flag gSysrootOnce;
bool gSysrootExplicit = false;

void SysrootLoad()
{
    if (gSysrootExplicit) return;
    const char* env = std::getenv("LIRN_SYSROOT");
    if (env == nullptr) env = "";
    std::snprintf(gSysroot, sizeof gSysroot, "%s", env);
    // A trailing slash would double the separator in every mapped path.
    std::size_t n = std::strlen(gSysroot);
    while (n > 1 && gSysroot[n - 1] == '/') gSysroot[--n] = '\0';
}

}  // namespace

const char* SysrootDir()
{
    std::call_once(gSysrootOnce, SysrootLoad);
    return gSysroot;
}

bool SysrootActive()
{
    return SysrootDir()[0] != '\0';
}

void SysrootSet(const char* dir)
{
    std::call_once(gSysrootOnce, SysrootLoad);
    gSysrootExplicit = true;
    std::snprintf(gSysroot, sizeof gSysroot, "%s", dir ? dir : "");
    std::size_t n = std::strlen(gSysroot);
    while (n > 1 && gSysroot[n - 1] == '/') gSysroot[--n] = '\0';
}

int SysPath(char* out, std::size_t outLen, const char* path)
{
    if (outLen == 0) return -1;
    const char* root = SysrootDir();
    int n;
    if (root[0] != '\0' && path[0] == '/')
        n = std::snprintf(out, outLen, "%s%s", root, path);
    else
        n = std::snprintf(out, outLen, "%s", path);
    if (n < 0 || static_cast<std::size_t>(n) >= outLen) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int SysOpen(const char* path, int flags, int mode)
{
    char mapped[kSysPathMax];
    if (SysPath(mapped, sizeof mapped, path) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return ::open(mapped, flags, mode);
}

FILE* SysFopen(const char* path, const char* mode)
{
    char mapped[kSysPathMax];
    if (SysPath(mapped, sizeof mapped, path) != 0) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return std::fopen(mapped, mode);
}

int SysAccess(const char* path, int amode)
{
    char mapped[kSysPathMax];
    if (SysPath(mapped, sizeof mapped, path) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return ::access(mapped, amode);
}

int SysRemove(const char* path)
{
    char mapped[kSysPathMax];
    if (SysPath(mapped, sizeof mapped, path) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return std::remove(mapped);
}
