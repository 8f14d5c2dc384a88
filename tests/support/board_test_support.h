// Helpers for the tests of the simulated board and of the firmware's code run in-process against
// it: the shared test helpers (temporary directories, waits, captured output), raw terminal
// opening, shell commands, and the board's QMI modem served on a pty.
#pragma once

#include "output_capture.h"
#include "temp_dir.h"
#include "wait_until.h"

#include "board_util.h"
#include "platform/sysroot.h"
#include "control_client.h"
#include "pty_link.h"
#include "qmi_modem.h"
#include "sim_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

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

// The board's QMI modem served on a pty linked at a path.
class QmiModemOnPty {
public:
    explicit QmiModemOnPty(const std::string& linkPath) : pty_(modem_, linkPath) { pty_.Start(); }
    // A control line as the board's channel would pass it (without the "qmi" prefix).
    std::string Ctl(const std::string& line) { return pty_.Control(SplitWords(line)); }
    const std::string& SlavePath() const { return pty_.SlavePath(); }

private:
    QmiModem modem_;
    DevicePty pty_;
};
