// The firmware process of the simulated board (see firmware.h).
#include "firmware.h"

#include "board_util.h"
#include "dir_watch.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// How long the firmware gets to end after TERM before it is killed.
constexpr int kTermGraceMs = 2000;
constexpr int kKillWaitMs = 5000;
// How long the board waits for the killed members of the firmware's group to end.
constexpr int kGroupEndMs = 2000;

std::string NameOf(const std::string& assignment)
{
    return assignment.substr(0, assignment.find('='));
}

// The board's environment with the sysroot, the stand-ins first on PATH, and the extra variables.
std::vector<std::string> FirmwareEnvironment(const std::string& root, const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    const char* path = std::getenv("PATH");
    auto overridden = [&extra](const char* e) {
        for (const std::string& x : extra)
            if (std::strncmp(e, x.c_str(), NameOf(x).size() + 1) == 0) return true;
        return false;
    };
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "LIRN_SYSROOT=", 13) != 0 && std::strncmp(*e, "PATH=", 5) != 0 && !overridden(*e))
            env.push_back(*e);
    env.insert(env.end(), extra.begin(), extra.end());
    env.push_back("LIRN_SYSROOT=" + root);
    env.push_back("PATH=" + root + "/bin:" + (path ? path : "/usr/bin:/bin"));
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> p;
    for (std::string& t : texts) p.push_back(t.data());
    p.push_back(nullptr);
    return p;
}

// In the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void ExecFirmware(const char* program, char** argv, char** envp, int stdoutFd, pid_t board)
{
    setpgid(0, 0);
    // Should the board die without stopping it, the firmware goes with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != board) _exit(127);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    if (stdoutFd >= 0) dup2(stdoutFd, 1);
    // The board ignores SIGPIPE and its directory watch's signal; the firmware and its shell
    // commands start with the default.
    signal(SIGPIPE, SIG_DFL);
    signal(DirWatchSignal(), SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program, argv, envp);
    _exit(127);
}

}  // namespace

Firmware::Firmware(const std::string& root, int stdoutFd) : root_(root), stdoutFd_(stdoutFd)
{
    // Commands the firmware leaves behind when it ends come to the board, which reaps them, and so
    // knows when the whole group is gone.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

Firmware::~Firmware()
{
    Stop();
}

bool Firmware::Start(const std::string& program, const std::vector<std::string>& args)
{
    if (Running()) Stop();
    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<std::string> envText = FirmwareEnvironment(root_, extraEnv_);
    std::vector<char*> argv = Pointers(argvText);
    std::vector<char*> envp = Pointers(envText);
    pid_t board = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        BoardLog("cannot start %s: %s", program.c_str(), std::strerror(errno));
        return false;
    }
    if (pid == 0) ExecFirmware(program.c_str(), argv.data(), envp.data(), stdoutFd_, board);
    setpgid(pid, pid);  // also here, so that the group exists before anyone signals it
    pid_ = pid;
    program_ = program;
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    BoardLog("firmware %s started (pid %d)", program.c_str(), static_cast<int>(pid));
    return true;
}

bool Firmware::WaitExit(int timeoutMs)
{
    if (pidfd_ < 0) {
        // Without a pidfd, look now and then without reaping.
        for (int waited = 0; waited <= timeoutMs; waited += 10) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_)
                return true;
            usleep(10000);
        }
        return false;
    }
    struct pollfd pfd = {pidfd_, POLLIN, 0};
    return poll(&pfd, 1, timeoutMs) > 0;
}

int Firmware::Reap()
{
    if (!Running()) return lastStatus_;
    // The ended leader still holds its process id, so the group id cannot have been reused yet:
    // its remaining members (commands it started) are cleared away before it is reaped.
    kill(-pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    // The killed members come to the board as orphans; the group is gone once none is left.
    for (int waited = 0; waited < kGroupEndMs;) {
        pid_t ended = waitpid(-pid_, nullptr, WNOHANG);
        if (ended < 0 && errno != EINTR) break;
        if (ended == 0) {
            usleep(1000);
            ++waited;
        }
    }
    if (pidfd_ >= 0) close(pidfd_);
    pidfd_ = -1;
    pid_ = -1;
    lastStatus_ = status;
    return status;
}

void Firmware::Stop()
{
    if (!Running()) return;
    kill(-pid_, SIGTERM);
    if (!WaitExit(kTermGraceMs)) {
        kill(-pid_, SIGKILL);
        WaitExit(kKillWaitMs);
    }
    Reap();
}

bool Firmware::SetEnv(const std::string& assignment)
{
    std::size_t eq = assignment.find('=');
    std::string name = NameOf(assignment);
    if (eq == std::string::npos || name.empty() || name == "LIRN_SYSROOT" || name == "PATH" ||
        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
        return false;
    std::erase_if(extraEnv_, [&name](const std::string& x) { return NameOf(x) == name; });
    if (eq + 1 < assignment.size()) extraEnv_.push_back(assignment);
    return true;
}
