// Helpers for the tests of the simulated board: a temporary directory per test, whole-file
// reading, raw terminal opening and running a shell command.
#pragma once

#include "board_util.h"
#include "pty_link.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

class TempDir {
public:
    TempDir()
    {
        char dir[] = "/tmp/lirn-board.XXXXXX";
        if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = dir;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

inline std::string FileText(const std::string& path)
{
    return ReadTextFile(path).value_or("");
}

inline bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// Opens a terminal in raw mode, as a serial user of the board would.
inline int OpenRaw(const std::string& path, int flags = 0)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | flags);
    if (fd >= 0) SetRaw(fd);
    return fd;
}

struct ShellResult {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string output;
};

// Runs a command through the shell and collects its standard output.
inline ShellResult RunShell(const std::string& command)
{
    ShellResult r;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return r;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}
