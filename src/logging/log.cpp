// Event ring and AT/QMI transcripts.
//
// The ring is filled by LogPush from several threads; each push claims its slot under one lock.
// Transcript records go to day files /media/card/<tree>/YYYY/MM/DD.txt, one open-append-close
// per record, after a "mkdir -p" of the month directory. Each transcript has its own lock, held
// from formatting the record to closing the file, so records from two threads never mix.
#include "logging/log.h"

#include "modem/modem.h"
#include "platform/shell.h"
#include "platform/sysroot.h"
#include "platform/text.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

std::atomic<int> logEnable{0};
LogEvent logBuffer[kLogRingSlots];
std::atomic<int> logInIdx{0};
std::atomic<int> logOutIdx{0};
char atCmdLogData[kLogStagingSize];
char qmiLogData[kLogStagingSize];

namespace {

std::mutex gRingLock;
std::mutex gAtLogLock;
std::mutex gQmiLogLock;

const char* const kLogTrees[] = {USR_LOG, AT_CMD_LOG, QMI_LOG};

int RingCount()
{
    int in = logInIdx.load();
    int out = logOutIdx.load();
    return in >= out ? in - out : in + kLogRingSlots - out;
}

// Whether the last record of each transcript failed to reach its day file; guarded by the
// transcript's lock.
bool gAtDumpFailing = false;
bool gQmiDumpFailing = false;

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
    logInIdx = 0;
    logOutIdx = 0;
    std::memset(logBuffer, 0, sizeof logBuffer);
    std::memset(atCmdLogData, 0, sizeof atCmdLogData);
    std::memset(qmiLogData, 0, sizeof qmiLogData);
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
    char line[128];
    static const char kKey[] = "@LOGEN;";
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, kKey, sizeof kKey - 1) != 0) continue;
        char* value = line + sizeof kKey - 1;
        value[std::strcspn(value, "\r\n")] = '\0';
        // An empty value reads as 0, like any value without digits: transcripts off.
        logEnable = DecimalValue(value);
    }
    std::fclose(f);
    return 0;
}

void LogPush(int eventClass, int code, int withModem)
{
    std::lock_guard<std::mutex> hold(gRingLock);
    if (RingCount() > kLogRingSlots - 2) return;  // full: one slot stays free
    LogEvent& e = logBuffer[logInIdx.load()];
    std::snprintf(e.eventClass, sizeof e.eventClass, "%d", eventClass);
    std::snprintf(e.code, sizeof e.code, "%d", code);
    getTimeStr(e.time, 't');
    if (withModem == 1) {
        e.creg = modem_creg.load();
        e.csq = modem_csq.load();
    }
    e.withModem = withModem;
    logInIdx = (logInIdx.load() + 1) % kLogRingSlots;
}

int LogPushIdx()
{
    std::lock_guard<std::mutex> hold(gRingLock);
    return RingCount();
}

void AtCmdLogPush(const char* cmd, const char* answer)
{
    char now[9];
    getTimeStr(now, 't');
    std::memset(atCmdLogData, 0, sizeof atCmdLogData);
    std::snprintf(atCmdLogData, sizeof atCmdLogData, "Time=>%s\r\nCmmand=>%.*s\r\nResponse=>\r\n%.*s\r\n", now,
                  static_cast<int>(kLogTextMax), cmd, static_cast<int>(kLogTextMax), answer);
}

void AtCmdLogDump()
{
    NoteDump(AT_CMD_LOG, DumpRecord(AT_CMD_LOG, atCmdLogData), &gAtDumpFailing);
}

void QmiLogPush(const char* api, const char* value)
{
    char now[9];
    getTimeStr(now, 't');
    std::memset(qmiLogData, 0, sizeof qmiLogData);
    std::snprintf(qmiLogData, sizeof qmiLogData, "Time=>%s\r\nAPI=>%.*s\r\nResponse=>%.*s\r\n", now,
                  static_cast<int>(kLogTextMax), api, static_cast<int>(kLogTextMax), value);
}

void QmiLogDump()
{
    NoteDump(QMI_LOG, DumpRecord(QMI_LOG, qmiLogData), &gQmiDumpFailing);
}

void AtCmdLog(const char* cmd, const char* answer)
{
    if (logEnable.load() != 1) return;
    std::lock_guard<std::mutex> hold(gAtLogLock);
    AtCmdLogPush(cmd, answer);
    AtCmdLogDump();
}

void QmiLog(const char* api, const char* value)
{
    if (logEnable.load() != 1) return;
    std::lock_guard<std::mutex> hold(gQmiLogLock);
    QmiLogPush(api, value);
    QmiLogDump();
}
