// Event ring and AT/QMI transcripts.
//
// The ring is filled by LogPush from several threads; each push claims its slot under one lock.
// Transcript records go to day files /media/card/<tree>/YYYY/MM/DD.txt, one open-append-close
// per record, after a "mkdir -p" of the month directory. Both transcripts are written by one
// writer; each has its own lock, held from formatting the record to closing the file, so records
// from two threads never mix.
#include "logging/log.h"

#include "platform/shell.h"
#include "platform/sysroot.h"
#include "platform/text.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

std::atomic<int> logEnable{0};

namespace {

// The event ring: pushes fill slot logInIdx; logOutIdx is where the oldest event is.
std::mutex gRingLock;
LogEvent logBuffer[kLogRingSlots];
std::atomic<int> logInIdx{0};
std::atomic<int> logOutIdx{0};

// Longest text of either half of a transcript record, and the record sized for two of them.
constexpr std::size_t kLogTextMax = 1023;
constexpr std::size_t kLogRecordSize = 2 * kLogTextMax + 64;

// One transcript: its tree on the card, how its record names the request, what stands between
// "Response=>" and the answer, and the lock that keeps its records whole.
struct Transcript {
    const char* tree;
    const char* requestLabel;
    const char* answerBreak;
    std::mutex lock;
    bool failing;  // the last record did not reach its day file
};

Transcript gAtTranscript{AT_CMD_LOG, "Cmmand", "\r\n", {}, false};
Transcript gQmiTranscript{QMI_LOG, "API", "", {}, false};

const char* const kLogTrees[] = {USR_LOG, AT_CMD_LOG, QMI_LOG};

int RingCount()
{
    int in = logInIdx.load();
    int out = logOutIdx.load();
    return in >= out ? in - out : in + kLogRingSlots - out;
}

// Appends a staged record to today's day file of a tree. False on any failure: a missing, full or
// read-only card must never stop the caller.
bool DumpRecord(const char* tree, const char* record)
{
    char date[11];
    getTimeStr(date, 'd');
    // "YYYY/MM/DD": the part before the last slash is the month directory, the rest the file.
    char* slash = std::strrchr(date, '/');
    if (slash == nullptr) return false;
    char filePart[16];
    std::snprintf(filePart, sizeof filePart, "%s.txt", slash);
    *slash = '\0';

    char dir[kSysPathMax];
    if (std::snprintf(dir, sizeof dir, "%s/%s/%s", LOG_ROOT_DIR, tree, date) >= static_cast<int>(sizeof dir)) return false;
    char dirArg[kSysPathMax + 16];
    char cmd[kSysPathMax + 32];
    if (ShellPath(dirArg, sizeof dirArg, dir) != 0) return false;
    std::snprintf(cmd, sizeof cmd, "mkdir -p %s", dirArg);
    FILE* p = ShellPopen(cmd);
    if (p == nullptr) return false;
    ShellPclose(p);

    char path[kSysPathMax];
    if (std::snprintf(path, sizeof path, "%s%s", dir, filePart) >= static_cast<int>(sizeof path)) return false;
    FILE* f = SysFopen(path, "a+");
    if (f == nullptr) return false;
    bool ok = std::fputs(record, f) >= 0;
    return std::fclose(f) == 0 && ok;  // a full card fails when the record is flushed
}

// Says once when a transcript stops reaching its day file and once when it reaches it again.
void NoteDump(const char* tree, bool ok, bool* failing)
{
    if (ok != *failing) return;
    *failing = !ok;
    if (ok)
        std::printf("%s transcript written again\n", tree);
    else
        std::printf("%s transcript cannot be written (card missing or full)\n", tree);
}

// Formats one record of a transcript and appends it to today's day file, under its lock.
void WriteTranscript(Transcript& t, const char* request, const char* answer)
{
    if (logEnable.load() != 1) return;
    std::lock_guard<std::mutex> hold(t.lock);
    char now[9];
    getTimeStr(now, 't');
    char record[kLogRecordSize];
    std::snprintf(record, sizeof record, "Time=>%s\r\n%s=>%.*s\r\nResponse=>%s%.*s\r\n", now, t.requestLabel,
                  static_cast<int>(kLogTextMax), request, t.answerBreak, static_cast<int>(kLogTextMax), answer);
    NoteDump(t.tree, DumpRecord(t.tree, record), &t.failing);
}

}  // namespace

void getTimeStr(char* buf, char mode)
{
    time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    if (mode == 'd')
        std::strftime(buf, 11, "%Y/%m/%d", &local);
    else
        std::strftime(buf, 9, "%H:%M:%S", &local);
}

int FileExist(const char* dir, const char* name)
{
    char path[kSysPathMax];
    if (std::snprintf(path, sizeof path, "%s/%s", dir, name) >= static_cast<int>(sizeof path)) return -1;
    FILE* f = SysFopen(path, "r");
    if (f == nullptr) return -1;
    std::fclose(f);
    return 0;
}

void LogInit()
{
    logEnable = 0;
    LogRingClear();
    for (const char* tree : kLogTrees) {
        char dir[kSysPathMax];
        char dirArg[kSysPathMax + 16];
        char cmd[kSysPathMax + 32];
        std::snprintf(dir, sizeof dir, "%s/%s", LOG_ROOT_DIR, tree);
        if (ShellPath(dirArg, sizeof dirArg, dir) != 0) continue;
        std::snprintf(cmd, sizeof cmd, "mkdir -p %s", dirArg);
        ShellSystem(cmd);
    }
}

int ReadLogConfig()
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/%s", LOG_CFG_DIR, LOG_CFG_FILE);
    FILE* f = SysFopen(path, "r");
    if (f == nullptr) return -1;
    ReadLogConfigFrom(f);
    std::fclose(f);
    return 0;
}

void ReadLogConfigFrom(FILE* f)
{
    char line[128];
    static const char kKey[] = "@LOGEN;";
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, kKey, sizeof kKey - 1) != 0) continue;
        char* value = line + sizeof kKey - 1;
        value[std::strcspn(value, "\r\n")] = '\0';
        // An empty value reads as 0, like any value without digits: transcripts off.
        logEnable = DecimalValue(value);
    }
}

void LogPush(int eventClass, int code, const LogModemState* modem)
{
    LogPushCount(eventClass, code, modem, 0);
}

void LogPushCount(int eventClass, int code, const LogModemState* modem, int32_t count)
{
    std::lock_guard<std::mutex> hold(gRingLock);
    if (RingCount() > kLogRingSlots - 2) return;  // full: one slot stays free
    LogEvent& e = logBuffer[logInIdx.load()];
    std::snprintf(e.eventClass, sizeof e.eventClass, "%d", eventClass);
    std::snprintf(e.code, sizeof e.code, "%d", code);
    getTimeStr(e.time, 't');
    if (modem != nullptr) {
        e.creg = modem->creg;
        e.csq = modem->csq;
    }
    e.withModem = modem != nullptr ? 1 : 0;
    e.count = count;
    logInIdx = (logInIdx.load() + 1) % kLogRingSlots;
}

int LogPushIdx()
{
    std::lock_guard<std::mutex> hold(gRingLock);
    return RingCount();
}

LogEvent LogEventAt(int i)
{
    if (i < 0 || i >= kLogRingSlots) return LogEvent{};
    std::lock_guard<std::mutex> hold(gRingLock);
    return logBuffer[(logOutIdx.load() + i) % kLogRingSlots];
}

void LogRingClear()
{
    std::lock_guard<std::mutex> hold(gRingLock);
    logInIdx = 0;
    logOutIdx = 0;
    std::memset(logBuffer, 0, sizeof logBuffer);
}

void AtCmdLog(const char* cmd, const char* answer)
{
    WriteTranscript(gAtTranscript, cmd, answer);
}

void QmiLog(const char* api, const char* value)
{
    WriteTranscript(gQmiTranscript, api, value);
}
