// The firmware process on the simulated board: start, stop, exit.
//
// The firmware runs with LIRN_SYSROOT set to the board's root and the stand-ins first on PATH, in
// a process group of its own, so that stopping it stops every command it started too. Its standard
// output is the board's (or a descriptor the caller gives); variables set through SetEnv come on
// top of the board's environment. A pidfd tells the board's loop when the
// process has ended; the board reaps it and clears away the rest of its group.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class Firmware {
public:
    // stdoutFd: where the firmware's standard output goes; -1 keeps the board's own.
    Firmware(const std::string& root, int stdoutFd);
    ~Firmware();
    Firmware(const Firmware&) = delete;
    Firmware& operator=(const Firmware&) = delete;

    // Starts program with args. False (with a board message) when it cannot be started.
    bool Start(const std::string& program, const std::vector<std::string>& args);
    // Stops the whole process group (TERM, then KILL) and reaps the process. Nothing when idle.
    void Stop();

    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    const std::string& Program() const { return program_; }
    // Readable once the running process has ended; -1 when nothing runs.
    int ExitFd() const { return pidfd_; }
    // After ExitFd became readable: reaps the process and its group. Returns the wait status.
    int Reap();
    // The wait status of the last process that ended, -1 when none has.
    int LastStatus() const { return lastStatus_; }
    // Sets NAME=VALUE in the environment of later starts (an empty value takes NAME away again).
    // False for a NAME that is not one, or one the board sets itself (LIRN_SYSROOT, PATH).
    bool SetEnv(const std::string& assignment);
    const std::vector<std::string>& ExtraEnv() const { return extraEnv_; }

private:
    bool WaitExit(int timeoutMs);

    std::string root_;
    int stdoutFd_;
    std::string program_;
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int lastStatus_ = -1;
    std::vector<std::string> extraEnv_;  // NAME=VALUE
};
