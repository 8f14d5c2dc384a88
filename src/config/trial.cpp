// Settings saved over the broker, on trial until the next start reaches the broker (see config.h).
//
// Two files beside config.ini carry the trial across restarts: config.ini.prev, the file the
// gateway ran with before the save, and config.trial, one word:
//   pending    config.ini is on trial; config.ini.prev is the file to go back to
//   reverting  config.ini.prev is being put back (a power cut stopped it: the next start finishes)
//   reverted   config.ini is the file put back; the state document says so
// A save over the broker writes prev, then "pending", then the new config.ini; a revert writes
// "reverting", copies prev over config.ini, writes "reverted", then removes prev. Each write is a
// safe replacement, so at every moment config.ini is whole, and whenever it is the file on trial
// the marker says pending or reverting and prev is whole. The state here is changed by the
// console's runner (a save), the session thread (the broker reached) and the supervisor (the
// window), under one lock; it is read without it, so that a save's flushes never hold up the
// session thread's look at it.
#include "config/config.h"
#include "config/internal.h"

#include "board/ticks.h"
#include "platform/safefile.h"
#include "platform/sysroot.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

enum class Trial {
    None,       // nothing on trial
    Pending,    // this start runs a file on trial; its window runs when watched
    Saved,      // a file saved over the broker waits for the next start
    Confirmed,  // this start's trial ended well
    Reverting,  // the kept file is being put back
    Reverted,   // this start runs the kept file after a failed trial
};

std::mutex gLock;
std::atomic<Trial> gTrial{Trial::None};
bool gWatched;
uint32_t gWindowStart, gWindowMs;

void ConfigDirPath(char* out, std::size_t n, const char* name)
{
    std::snprintf(out, n, "%s/%s", CONFIG_DIR, name);
}

// The marker's word; "" without a marker.
void ReadMarker(char* word, std::size_t n)
{
    char path[64];
    ConfigDirPath(path, sizeof path, CONFIG_TRIAL_FILE);
    word[0] = '\0';
    FILE* f = SysFopen(path, "r");
    if (f == nullptr) return;
    if (std::fgets(word, static_cast<int>(n), f) == nullptr) word[0] = '\0';
    std::fclose(f);
    word[std::strcspn(word, "\r\n")] = '\0';
}

bool WriteMarker(const char* word)
{
    char path[64], text[16];
    ConfigDirPath(path, sizeof path, CONFIG_TRIAL_FILE);
    int n = std::snprintf(text, sizeof text, "%s\n", word);
    return SaveFileAtomically(path, text, static_cast<std::size_t>(n)) == 0;
}

void RemoveFile(const char* name)
{
    char path[64];
    ConfigDirPath(path, sizeof path, name);
    SysRemove(path);
}

bool PrevExists()
{
    char path[64];
    ConfigDirPath(path, sizeof path, CONFIG_PREV_FILE);
    return SysAccess(path, F_OK) == 0;
}

// Puts the kept file back (the marker says reverting). Should the copy fail, the marker stays
// and the next start tries again.
void FinishRevert()
{
    char prev[64], config[64];
    ConfigDirPath(prev, sizeof prev, CONFIG_PREV_FILE);
    ConfigDirPath(config, sizeof config, CONFIG_FILE);
    gTrial = Trial::Reverted;
    if (SafeCopyFile(prev, config, 0644) != 0) {
        std::puts("Config Not Reverted: config.ini.prev Cannot Be Copied\r");
        return;
    }
    if (WriteMarker("reverted")) RemoveFile(CONFIG_PREV_FILE);  // else the next start copies again
}

// Keeps the running file for a trial, once per trial. False when it could not be kept.
bool KeepForTrial()
{
    if (gTrial == Trial::Pending || gTrial == Trial::Saved) {
        gTrial = Trial::Saved;  // prev already holds the file to go back to
        return true;
    }
    char prev[64], config[64];
    ConfigDirPath(prev, sizeof prev, CONFIG_PREV_FILE);
    ConfigDirPath(config, sizeof config, CONFIG_FILE);
    if (SafeCopyFile(config, prev, 0644) != 0 || !WriteMarker("pending")) {
        RemoveFile(CONFIG_PREV_FILE);
        return false;
    }
    gTrial = Trial::Saved;
    return true;
}

}  // namespace

void ConfigTrialStart()
{
    std::lock_guard<std::mutex> hold(gLock);
    char word[16];
    ReadMarker(word, sizeof word);
    gTrial = Trial::None;
    gWatched = false;
    if (std::strcmp(word, "reverting") == 0) {
        FinishRevert();
        std::puts("Config Reverted To config.ini.prev\r");
    } else if (std::strcmp(word, "pending") == 0 && PrevExists()) {
        gTrial = Trial::Pending;
    } else if (std::strcmp(word, "reverted") == 0) {
        gTrial = Trial::Reverted;
    } else {
        // A trial without its kept file, or a kept file without its marker: a power cut between
        // the two steps. Nothing can be put back; what remains goes.
        if (word[0] != '\0') RemoveFile(CONFIG_TRIAL_FILE);
        RemoveFile(CONFIG_PREV_FILE);
    }
}

void ConfigTrialWatch(uint32_t windowMs)
{
    std::lock_guard<std::mutex> hold(gLock);
    if (gTrial != Trial::Pending) return;
    gWatched = true;
    gWindowStart = GetTimeTicks();
    gWindowMs = windowMs;
    std::printf("Config On Trial: Broker To Be Reached Within %u s\r\n", windowMs / 1000);
}

int SaveLirnConfigOnTrial()
{
    std::lock_guard<std::mutex> hold(gLock);
    if (!KeepForTrial()) {
        std::puts("Config Not Saved: config.ini.prev Cannot Be Kept\r");
        return -1;
    }
    return WriteLirnConfig();
}

void ConfigTrialReached()
{
    if (gTrial != Trial::Pending) return;  // the common case, without waiting for a save
    std::lock_guard<std::mutex> hold(gLock);
    if (gTrial != Trial::Pending) return;
    RemoveFile(CONFIG_TRIAL_FILE);  // first: without its marker the kept file is only a leftover
    RemoveFile(CONFIG_PREV_FILE);
    gTrial = Trial::Confirmed;
    std::puts("Config Confirmed\r");
}

bool ConfigTrialRevertIfDue(uint32_t now)
{
    std::lock_guard<std::mutex> hold(gLock);
    if (gTrial != Trial::Pending || !gWatched || !TickDue(gWindowStart, now, gWindowMs)) return false;
    std::printf("Config Reverted: Broker Not Reached Within %u s\r\n", gWindowMs / 1000);
    gTrial = Trial::Reverting;
    if (!WriteMarker("reverting")) std::puts("Config Trial Marker Not Written\r");
    FinishRevert();
    return true;
}

void ConfigTrialEnd()
{
    std::lock_guard<std::mutex> hold(gLock);
    RemoveFile(CONFIG_TRIAL_FILE);
    RemoveFile(CONFIG_PREV_FILE);
    gTrial = Trial::None;
}

bool ConfigTrialAwaiting()
{
    Trial t = gTrial;
    return t == Trial::Pending || t == Trial::Saved;
}

const char* ConfigTrialShown()
{
    switch (gTrial.load()) {
    case Trial::Confirmed: return "confirmed";
    case Trial::Reverting:
    case Trial::Reverted: return "reverted";
    default: return nullptr;
    }
}
