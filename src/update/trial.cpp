// The trial of a new program, its promotion and its rollback (see trial.h).
#include "update/trial.h"

#include "board/module.h"
#include "board/ticks.h"
#include "cellular/datacall.h"
#include "platform/safefile.h"
#include "platform/sysroot.h"
#include "tunnel/tunnel.h"
#include "update/record.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Set in a program on trial by the program that runs it: the window in seconds.
const char kTrialEnv[] = "LIRN_UPDATE_TRIAL";
// How long a child past its window gets to end after TERM, and how long past the window the
// parent waits before it: a promotion on the window's last look still lands.
constexpr int kTermGraceS = 5;
constexpr int kWindowGraceS = 2;
// The longest command line passed on to the program on trial.
constexpr int kArgsMax = 16;

struct Trial {
    uint32_t startTick;
    unsigned windowS;
    bool promoteFailedSaid;
};
Trial gTrial{};
// 1 while this process is on trial and has not promoted itself yet: the supervisor writes it,
// the remote console waits on it.
std::atomic<int> gOnTrial{0};

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

bool SysExists(const char* path)
{
    return SysAccess(path, F_OK) == 0;
}

// ---- The program on trial promotes itself ----

// Keeps the program in use as /APP/fw.bck: a second name for the same file, or, where the file
// system has no links, a copy; either way the backup is whole before it has its name.
bool KeepOldProgram()
{
    char fw[kSysPathMax], temp[kSysPathMax];
    if (SysPath(fw, sizeof fw, UPDATE_PROGRAM) != 0 || SysPath(temp, sizeof temp, UPDATE_BACKUP_PROGRAM ".tmp") != 0)
        return false;
    ::unlink(temp);
    if (::link(fw, temp) == 0) return SafeRename(UPDATE_BACKUP_PROGRAM ".tmp", UPDATE_BACKUP_PROGRAM) == kSafeFileOk;
    return SafeCopyFile(UPDATE_PROGRAM, UPDATE_BACKUP_PROGRAM, 0755) == kSafeFileOk;
}

bool Promote()
{
    if (!KeepOldProgram()) return false;
    UpdateCutPoint("promote_backed_up");
    if (SafeRename(UPDATE_TRIAL_PROGRAM, UPDATE_PROGRAM) != kSafeFileOk) return false;
    UpdateCutPoint("promote_renamed");
    // Written after the rename: a start that finds the record still on trial and no program
    // waiting tells a promotion from a rollback by its own build number.
    UpdateRecord r;
    UpdateRecordLoad(&r);
    r.state = UpdateState::Idle;
    r.version = kFirmwareBuild;
    std::snprintf(r.result, sizeof r.result, "ok");
    UpdateRecordSave(r);
    UpdateCutPoint("promote_recorded");
    std::printf("Update Promoted: Build %u\r\n", kFirmwareBuild);
    return true;
}

// ---- The old program runs the trial ----

// Ends the record's trial with a result and, unless the program is the one in use, removes it.
void EndTrial(UpdateRecord& r, const char* result, bool removeProgram)
{
    r.state = UpdateState::Idle;
    std::snprintf(r.result, sizeof r.result, "%s", result);
    UpdateRecordSave(r);
    UpdateCutPoint("rollback_recorded");
    if (removeProgram) SafeRemove(UPDATE_TRIAL_PROGRAM);
    UpdateCutPoint("rollback_removed");
    std::printf("Update Of Build %u Ended: %s\r\n", static_cast<unsigned>(r.version), result);
}

// The child: the program on trial, with this process's command line and the window.
[[noreturn]] void ExecTrial(int argc, char** argv, const sigset_t& mask, pid_t parent, unsigned windowS)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a program on trial never runs without its supervisor
    if (getppid() != parent) _exit(127);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    char path[kSysPathMax];
    char window[16];
    std::snprintf(window, sizeof window, "%u", windowS);
    setenv(kTrialEnv, window, 1);
    char* args[kArgsMax + 1];
    int n = 0;
    if (SysPath(path, sizeof path, UPDATE_TRIAL_PROGRAM) == 0) args[n++] = path;
    for (int i = 1; i < argc && n < kArgsMax; i++) args[n++] = argv[i];
    args[n] = nullptr;
    if (args[0] == path) execv(path, args);
    _exit(127);
}

void ExitText(int status, char* out, std::size_t outLen)
{
    if (WIFSIGNALED(status))
        std::snprintf(out, outLen, "crashed (signal %d)", WTERMSIG(status));
    else
        std::snprintf(out, outLen, "exited (status %d)", WEXITSTATUS(status));
}

// Waits for the child to end until deadlineMs (monotonic; < 0: without end). True when it ended.
bool WaitChild(pid_t child, const sigset_t& chld, int64_t deadlineMs, int* status)
{
    for (;;) {
        pid_t w = waitpid(child, status, WNOHANG);
        if (w == child || (w < 0 && errno != EINTR)) return true;
        struct timespec ts = {3600, 0};
        if (deadlineMs >= 0) {
            int64_t left = deadlineMs - NowMs();
            if (left <= 0) return false;
            ts = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        }
        sigtimedwait(&chld, nullptr, &ts);  // a child's end, or the deadline
    }
}

// The promoted child runs on; when it ends, the module restarts into it.
[[noreturn]] void WatchPromoted(pid_t child, const sigset_t& chld, bool ended, int status)
{
    if (!ended) WaitChild(child, chld, -1, &status);
    char how[48];
    ExitText(status, how, sizeof how);
    std::printf("Promoted Program Ended, %s: Rebooting\r\n", how);
    ResetSIM7100();
    for (;;) SleepMs(10000);  // the reboot stops the process
}

// One try. Returns only when the try failed, with why filled; a promotion does not return.
void RunTry(int argc, char** argv, unsigned windowS, char* why, std::size_t whyLen)
{
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    std::fflush(nullptr);
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) ExecTrial(argc, argv, old, parent, windowS);
    if (child < 0) {
        std::snprintf(why, whyLen, "not started (%s)", std::strerror(errno));
        sigprocmask(SIG_SETMASK, &old, nullptr);
        return;
    }
    int status = 0;
    bool ended = WaitChild(child, chld, NowMs() + (int64_t{windowS} + kWindowGraceS) * 1000, &status);
    // Its program gone from beside /APP/fw means the child promoted itself.
    if (!SysExists(UPDATE_TRIAL_PROGRAM)) WatchPromoted(child, chld, ended, status);
    if (ended) {
        ExitText(status, why, whyLen);
    } else {
        kill(child, SIGTERM);
        if (!WaitChild(child, chld, NowMs() + kTermGraceS * 1000, &status)) {
            kill(child, SIGKILL);
            WaitChild(child, chld, -1, &status);
        }
        std::snprintf(why, whyLen, "not healthy within %u s", windowS);
        // A promotion that was under way when the window closed has still put the program in place.
        if (!SysExists(UPDATE_TRIAL_PROGRAM)) WatchPromoted(child, chld, true, status);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

unsigned UpdateTrialWindowS()
{
    const char* text = std::getenv("LIRN_TRIAL_WINDOW_S");
    long s = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return s >= 1 && s <= 86400 ? static_cast<unsigned>(s) : kTrialWindowDefaultS;
}

void UpdateRunPendingTrial(int argc, char** argv)
{
    if (const char* window = std::getenv(kTrialEnv)) {
        long s = std::strtol(window, nullptr, 10);
        gTrial = {GetTimeTicks(), s >= 1 && s <= 86400 ? static_cast<unsigned>(s) : kTrialWindowDefaultS, false};
        SharedSet(gOnTrial, 1);
        std::printf("Update Trial Of Build %u: Healthy Within %u s Or Rolled Back\r\n", kFirmwareBuild, gTrial.windowS);
        UpdateCutPoint("trial_started");
        return;
    }
    UpdateRecord r;
    UpdateRecordLoad(&r);
    if (r.state != UpdateState::Trial) {
        if (SysExists(UPDATE_TRIAL_PROGRAM)) SafeRemove(UPDATE_TRIAL_PROGRAM);  // written, never staged
        return;
    }
    // A trial whose program is gone was promoted (this is that program) or cut short in its rollback.
    if (!SysExists(UPDATE_TRIAL_PROGRAM)) {
        EndTrial(r, r.version == kFirmwareBuild ? "ok" : "rolled back: pending program missing", false);
        return;
    }
    if (r.version <= kFirmwareBuild) {
        char result[64];
        std::snprintf(result, sizeof result, "superseded by build %u", kFirmwareBuild);
        EndTrial(r, result, true);
        return;
    }
    const unsigned windowS = UpdateTrialWindowS();
    while (r.tries < kTrialTries) {
        r.tries++;
        std::snprintf(r.lastTry, sizeof r.lastTry, "cut short");  // until the try says otherwise
        UpdateRecordSave(r);
        UpdateCutPoint("trial_counted");
        std::printf("Update Trial: Build %u, Try %d Of %d\r\n", static_cast<unsigned>(r.version), r.tries, kTrialTries);
        RunTry(argc, argv, windowS, r.lastTry, sizeof r.lastTry);
        UpdateRecordSave(r);
        UpdateCutPoint("trial_ended");
        std::printf("Update Trial: Try %d %s\r\n", r.tries, r.lastTry);
    }
    char result[96];
    std::snprintf(result, sizeof result, "rolled back: %s", r.lastTry);
    EndTrial(r, result, true);
}

bool UpdateOnTrial()
{
    return gOnTrial.load() != 0;
}

void UpdateTrialPass()
{
    if (gOnTrial.load() == 0 || lirnDialup != 1 || lirnConnect != 1) return;
    if (GetTimeTicks() - gTrial.startTick >= gTrial.windowS * 1000u) return;  // too late: the parent decides
    if (Promote()) {
        SharedSet(gOnTrial, 0);
    } else if (!gTrial.promoteFailedSaid) {
        gTrial.promoteFailedSaid = true;
        std::puts("Update Promotion Failed, Tried Again\r");
    }
}

void UpdateCutPoint(const char* step)
{
    const char* at = std::getenv("LIRN_CUT_AT");
    if (at == nullptr || !SysrootActive() || std::strcmp(at, step) != 0) return;
    std::printf("Cut At %s\r\n", step);
    std::fflush(nullptr);
    kill(0, SIGKILL);
}
