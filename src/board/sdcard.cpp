// SD card detection and the start-up update of configuration and firmware (see sdcard.h).
//
// The listing, the configuration's install and its backup are shell commands whose paths are
// mapped into the sysroot. Command output is read in pieces of at most 127 characters (a 128-byte
// buffer), each piece keeping its line end when it has one. The results of cp, mv and rm are not
// examined: a move that failed shows up only in the verification listing, which leaves the update
// file behind and selects the failure pattern. The firmware is written by the firmware itself, so
// that a power cut can never leave /APP/fw cut short.
#include "board/sdcard.h"

#include "board/ticks.h"
#include "platform/elf.h"
#include "platform/safefile.h"
#include "platform/shell.h"
#include "platform/sysroot.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<int> if_sd_card{0};
std::atomic<int> if_fw_exist{0};
std::atomic<int> if_fw_update{0};
std::atomic<int> if_fw_update_error{0};

#define APP_CONFIG "/APP/config.ini"
#define APP_FW "/APP/fw"
#define UPDATE_CONFIG SD_UPDATE_DIR "/config.ini"
#define UPDATE_FW SD_UPDATE_DIR "/fw"
#define UPDATE_CONFIG_BACKUP SD_UPDATE_DIR "/config.ini.bck"
#define UPDATE_FW_BACKUP SD_UPDATE_DIR "/fw.bck"
#define UPDATE_FW_BAD SD_UPDATE_DIR "/fw.bad"

namespace {

std::atomic<int> if_config_exist{0};  // a new configuration file was found and installed

// Command output is read into a buffer of this size, one piece at a time.
constexpr int kPieceSize = 128;

// Pauses after the file commands, milliseconds: let the card settle before the next step.
constexpr unsigned kAfterBackupMs = 10;
constexpr unsigned kAfterInstallMs = 100;
constexpr unsigned kAfterFwInstallMs = 10;
constexpr unsigned kAfterConfigBackupMs = 100;
constexpr unsigned kAfterRemoveMs = 10;

// A mapped path inside a command text may be quoted, which can add a few characters.
constexpr std::size_t kShellArgSize = kSysPathMax + 64;
constexpr std::size_t kCommandSize = 2 * kShellArgSize + 16;

// Builds "verb path [path]" with the paths mapped. Returns false when a path does not fit.
bool BuildCommand(char* cmd, const char* verb, const char* path1, const char* path2)
{
    char a[kShellArgSize];
    char b[kShellArgSize] = "";
    if (ShellPath(a, sizeof a, path1) != 0) return false;
    if (path2 != nullptr && ShellPath(b, sizeof b, path2) != 0) return false;
    int n = path2 != nullptr ? std::snprintf(cmd, kCommandSize, "%s %s %s", verb, a, b)
                             : std::snprintf(cmd, kCommandSize, "%s %s", verb, a);
    return n > 0 && static_cast<std::size_t>(n) < kCommandSize;
}

// Runs a file command, waits for it to end (discarding its output), then pauses. Returns true
// when the command ran and succeeded.
bool RunFileCommand(const char* verb, const char* path1, const char* path2, unsigned pauseMs)
{
    char cmd[kCommandSize];
    bool ok = BuildCommand(cmd, verb, path1, path2) && ShellRunQuiet(cmd) == 0;
    SleepMs(pauseMs);
    return ok;
}

// Starts a command whose output is read; prints the system's message when it cannot be started.
FILE* OpenOutput(const char* verb, const char* path)
{
    char cmd[kCommandSize];
    FILE* p = BuildCommand(cmd, verb, path, nullptr) ? ShellPopen(cmd) : nullptr;
    if (p == nullptr) std::puts("popen() error!");
    return p;
}

// True when some line of the output contains text, also when the line came in two pieces and the
// text straddles them. Reads the output to its end.
bool OutputContains(FILE* p, const char* text)
{
    constexpr std::size_t kCarryMax = 32;
    const std::size_t keep = std::min(std::strlen(text) - 1, kCarryMax);
    char piece[kPieceSize];
    char joined[kCarryMax + kPieceSize];
    std::size_t carry = 0;
    bool found = false;
    while (std::fgets(piece, sizeof piece, p) != nullptr) {
        std::snprintf(joined + carry, sizeof joined - carry, "%s", piece);
        found = found || std::strstr(joined, text) != nullptr;
        std::size_t len = std::strlen(joined);
        bool lineEnded = len > 0 && joined[len - 1] == '\n';
        carry = lineEnded ? 0 : std::min(keep, len);
        std::memmove(joined, joined + len - carry, carry);
    }
    return found;
}

// What a listing of the update directory holds.
struct UpdateListing {
    bool config;    // a new configuration file "config.ini"
    bool firmware;  // a new firmware file "fw"
};

// A listing line names an update file only as the whole name with its line end, so
// "config.ini.bck", "fw.bck", "FW" or "fw.bin" are not update files. The name counts only when
// that file is really there: the last piece of a long name, or a name holding a line end, must
// not pass for "fw" and restart a failing update at every boot.
bool ListsUpdateFile(const char* line, const char* name, const char* path)
{
    std::size_t n = std::strlen(name);
    return std::strncmp(line, name, n) == 0 && line[n] == '\n' && line[n + 1] == '\0' && SysAccess(path, F_OK) == 0;
}

// Lists the update directory ("ls"). Returns false, after "popen() error!", when it cannot start.
bool ListUpdateDir(UpdateListing& found)
{
    found = {false, false};
    FILE* p = OpenOutput("ls", SD_UPDATE_DIR);
    if (p == nullptr) return false;
    char line[kPieceSize];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        found.config = found.config || ListsUpdateFile(line, "config.ini", UPDATE_CONFIG);
        found.firmware = found.firmware || ListsUpdateFile(line, "fw", UPDATE_FW);
    }
    ShellPclose(p);
    return true;
}

}  // namespace

void sd_card_init()
{
    FILE* p = OpenOutput("df -h", SD_CARD_DIR);
    if (p == nullptr) return;
    if (OutputContains(p, SD_CARD_DIR)) if_sd_card = 1;
    ShellPclose(p);
}

void check_if_config_update()
{
    if_config_exist = 0;
    if (if_sd_card == 0) return;
    // ls lists in name order, so the messages come as the listing shows the files.
    UpdateListing found;
    if (ListUpdateDir(found)) {
        if (found.config) {
            if_config_exist = 1;
            std::puts("Got the new config.ini!!\r");
        }
        if (found.firmware) {
            if_fw_exist = 1;
            std::puts("Got the new fw!!\r");
        }
    }
    if (if_config_exist == 1) {
        RunFileCommand("cp", APP_CONFIG, UPDATE_CONFIG_BACKUP, kAfterBackupMs);
        RunFileCommand("mv", UPDATE_CONFIG, APP_CONFIG, kAfterInstallMs);
    }
}

bool sd_config_installed()
{
    return if_config_exist == 1;
}

namespace {

// Whatever is still in the update directory was not installed: said, and the update failed.
void ReportLeftovers()
{
    UpdateListing left;
    if (!ListUpdateDir(left)) return;
    if (left.config) {
        if_fw_update_error = 1;
        std::puts("config.ini still exist!!\r");
    }
    if (left.firmware) {
        if_fw_update_error = 1;
        std::puts("fw still exist!!\r");
    }
}

// Whether the card's firmware file is a program for this module. Prints why when it is not.
bool CardFirmwareRunsHere()
{
    int fd = SysOpen(UPDATE_FW, O_RDONLY | O_CLOEXEC);
    ElfVerdict v = fd >= 0 ? ElfCheckProgram(fd, ElfSelf()) : ElfVerdict::NotProgram;
    if (fd >= 0) ::close(fd);
    if (v == ElfVerdict::Whole) return true;
    std::printf("fw is %s, renamed fw.bad\r\n", ElfVerdictText(v));
    return false;
}

// True when the two open files hold the same bytes.
bool SameContent(int a, int b)
{
    char pa[4096], pb[4096];
    for (off_t at = 0;;) {
        ssize_t na = ::pread(a, pa, sizeof pa, at);
        ssize_t nb = ::pread(b, pb, sizeof pb, at);
        if (na < 0 || na != nb || std::memcmp(pa, pb, static_cast<std::size_t>(na)) != 0) return false;
        if (na == 0) return true;
        at += na;
    }
}

// The copy beside /APP/fw is whole and is exactly the card's file.
bool StagedFirmwareChecks()
{
    int staged = SafeOpenStaged(APP_FW);
    int card = SysOpen(UPDATE_FW, O_RDONLY | O_CLOEXEC);
    bool ok = staged >= 0 && card >= 0 && ElfCheckProgram(staged, ElfSelf()) == ElfVerdict::Whole && SameContent(staged, card);
    if (staged >= 0) ::close(staged);
    if (card >= 0) ::close(card);
    return ok;
}

// Copies the card's program beside /APP/fw as fw.tmp, flushes it, checks the copy and renames it
// over /APP/fw, flushing the directory. A power cut at any moment leaves the old program or the
// new one whole in /APP/fw. True when the new one is in place.
bool InstallFirmware()
{
    if (SafeStageCopy(UPDATE_FW, APP_FW, 0755) != kSafeFileOk) return false;
    if (!StagedFirmwareChecks()) {
        SafeDiscard(APP_FW);
        std::puts("fw copy differs from the card, not installed\r");
        return false;
    }
    return SafeCommit(APP_FW) == kSafeFileOk;
}

}  // namespace

void check_if_fw_update()
{
    if (if_sd_card == 0) return;
    // A file that is no whole program for this module is never installed. Renamed, it is not
    // tried again at every start; the configuration stays, and the update counts as failed.
    if (!CardFirmwareRunsHere()) {
        SafeRename(UPDATE_FW, UPDATE_FW_BAD);
        if_fw_update = 1;
        if_fw_update_error = 1;
        ReportLeftovers();
        return;
    }
    if (SysAccess(APP_FW, F_OK) == 0) SafeCopyFile(APP_FW, UPDATE_FW_BACKUP, 0755);
    SleepMs(kAfterBackupMs);
    bool installed = InstallFirmware();
    SleepMs(kAfterFwInstallMs);
    if_fw_update = 1;
    // The new firmware starts on the defaults unless a new configuration came with it.
    // The settings are removed only once their backup is safely on the card: a full or failing
    // card must not cost the user the only copy of them.
    if (if_config_exist != 1 && SysAccess(APP_CONFIG, F_OK) == 0) {
        if (RunFileCommand("cp", APP_CONFIG, UPDATE_CONFIG_BACKUP, kAfterConfigBackupMs))
            RunFileCommand("rm", APP_CONFIG, nullptr, kAfterRemoveMs);
        else
            std::puts("Backup of config.ini failed, config.ini kept\r");
    }
    // The card's file goes last: until then a cut start installs it again at the next one.
    if (installed) SafeRemove(UPDATE_FW);
    ReportLeftovers();
}

namespace {

// The MQTT mode's files and the update key the card may bring, and the permission bits each gets
// in /APP.
struct CertFile {
    const char* name;
    unsigned mode;
};
const CertFile kCertFiles[] = {{"ca.pem", 0644}, {"client.pem", 0644}, {"client.key", 0600}, {"update.pub", 0644}};

// True when the update directory holds a regular file of exactly this name (a card's file system
// may ignore case when a name is opened; the listing does not). The 64-bit calls, so that a 32-bit
// build reads a file system with large inode numbers too.
bool OnCardExactly(const char* name)
{
    char dir[kSysPathMax];
    if (SysPath(dir, sizeof dir, SD_UPDATE_DIR) != 0) return false;
    DIR* d = opendir(dir);
    if (d == nullptr) return false;
    bool found = false;
    for (struct dirent64* e = readdir64(d); e != nullptr && !found; e = readdir64(d)) found = std::strcmp(e->d_name, name) == 0;
    closedir(d);
    struct stat64 st;
    return found && std::snprintf(dir + std::strlen(dir), sizeof dir - std::strlen(dir), "/%s", name) > 0 &&
           stat64(dir, &st) == 0 && S_ISREG(st.st_mode);
}

void InstallCertFile(const CertFile& f)
{
    char card[kSysPathMax], backup[kSysPathMax], app[kSysPathMax];
    std::snprintf(card, sizeof card, "%s/%s", SD_UPDATE_DIR, f.name);
    std::snprintf(backup, sizeof backup, "%s/%s.bck", SD_UPDATE_DIR, f.name);
    std::snprintf(app, sizeof app, "/APP/%s", f.name);
    if (!OnCardExactly(f.name)) return;
    std::printf("Got the new %s!!\r\n", f.name);
    // The old file is kept on the card first: a card that cannot take it keeps the new one too.
    if (SysAccess(app, F_OK) == 0 && SafeCopyFile(app, backup, f.mode) != kSafeFileOk) {
        std::printf("Backup of %s failed, %s not installed\r\n", f.name, f.name);
        return;
    }
    if (SafeCopyFile(card, app, f.mode) != kSafeFileOk) {
        std::printf("%s not installed\r\n", f.name);
        return;
    }
    SysRemove(card);  // consumed, as a moved file is, so it is not installed again
}

}  // namespace

void check_if_cert_update()
{
    if (if_sd_card == 0) return;
    for (const CertFile& f : kCertFiles) InstallCertFile(f);
}
