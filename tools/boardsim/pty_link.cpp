// Pseudo-terminals linked into the sysroot (see pty_link.h).
#include "pty_link.h"

#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

void SetRaw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

LinkedPty OpenLinkedPty(const std::string& linkPath)
{
    LinkedPty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) {
        if (p.master >= 0) close(p.master);
        throw std::runtime_error("cannot create a pty for " + linkPath);
    }
    char name[128];
    if (ptsname_r(p.master, name, sizeof name) != 0) {
        close(p.master);
        throw std::runtime_error("ptsname failed for " + linkPath);
    }
    p.slavePath = name;
    p.slaveKeep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.slaveKeep < 0) {
        close(p.master);
        throw std::runtime_error("cannot open " + p.slavePath);
    }
    // Termios belong to the terminal, not to a descriptor: whoever opens the slave later starts
    // from raw mode, so bytes pass unchanged until a user sets a line of its own.
    SetRaw(p.slaveKeep);
    fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
    unlink(linkPath.c_str());
    if (symlink(name, linkPath.c_str()) != 0) {
        close(p.master);
        close(p.slaveKeep);
        throw std::runtime_error("cannot link " + linkPath);
    }
    return p;
}
