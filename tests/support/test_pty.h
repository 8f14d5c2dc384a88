// A pseudo-terminal standing in for a serial device in tests: the test holds the master (the far
// end of the line), the code under test opens the slave by its path or by a link made to it in a
// sysroot. The slave is kept open, in raw mode, so that the code under test may open and close it
// at will without the master seeing a hang-up.
#pragma once

#include "wait_until.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class TestPty {
public:
    // With a link path, the slave is also reachable there (replacing what was there).
    explicit TestPty(const std::string& linkPath = "") : link_(linkPath)
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0)
            throw std::runtime_error("no pty");
        slave_ = name;
        slaveKeep_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        struct termios t;
        if (slaveKeep_ < 0 || tcgetattr(slaveKeep_, &t) != 0) throw std::runtime_error("cannot open " + slave_);
        cfmakeraw(&t);
        tcsetattr(slaveKeep_, TCSANOW, &t);
        if (link_.empty()) return;
        std::filesystem::create_directories(std::filesystem::path(link_).parent_path());
        unlink(link_.c_str());
        if (symlink(name, link_.c_str()) != 0) throw std::runtime_error("cannot link " + link_);
    }
    ~TestPty()
    {
        if (!link_.empty()) unlink(link_.c_str());
        for (int fd : {slaveKeep_, master_})
            if (fd >= 0) close(fd);
    }
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slave_; }
    int SlaveKeep() const { return slaveKeep_; }

    // Writes all bytes to the master. False on an error.
    bool Write(const std::string& bytes)
    {
        for (std::size_t done = 0; done < bytes.size();) {
            ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads from the master until count bytes have come or the timeout has passed; returns what came.
    std::string Read(std::size_t count, Millis timeout = Millis(2000)) { return ReadUpTo(master_, count, timeout); }

private:
    std::string link_;
    std::string slave_;
    int master_ = -1;
    int slaveKeep_ = -1;
};
