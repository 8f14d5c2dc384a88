// The update record: where an update stands and how the last one ended, kept across restarts in
// /APP/update.ini (one "@KEY;value" line each, rewritten safely), beside the programs it speaks of.
//
//   /APP/fw          the program in use
//   /APP/fw.trial    a checked program waiting for, or in, its trial
//   /APP/fw.bck      the program a promotion replaced
//   /APP/fw.part     the program of an image still arriving
//   /APP/update.hdr  that image's header
#pragma once

#include <cstdint>

// ---- Our helpers ----

#define UPDATE_RECORD_FILE "/APP/update.ini"
#define UPDATE_PROGRAM "/APP/fw"
#define UPDATE_TRIAL_PROGRAM "/APP/fw.trial"
#define UPDATE_BACKUP_PROGRAM "/APP/fw.bck"
#define UPDATE_PART_PROGRAM "/APP/fw.part"
#define UPDATE_HEADER_FILE "/APP/update.hdr"

enum class UpdateState {
    Idle,       // nothing under way
    Receiving,  // an image is arriving
    Trial,      // a checked program waits for, or runs, its trial
};

struct UpdateRecord {
    UpdateState state;
    uint32_t version;  // the build number the record speaks of; 0 none
    int tries;         // starts of the program on trial so far
    char lastTry[64];  // how the last of them ended ("cut short" until it says)
    char result[96];   // how the last update ended: "" none yet, "ok", "refused: ...", "rolled back: ..."
    uint32_t offset;   // receiving: the image's bytes safely stored, header included
    uint32_t size;     // receiving: the whole image's size
};

// Reads the record; a missing or unreadable file reads as idle with nothing to say.
void UpdateRecordLoad(UpdateRecord* r);
// Writes the record safely. False when it could not be written (the old one then stands).
bool UpdateRecordSave(const UpdateRecord& r);
// The record as last read or written by this process (read once at the first call): what the
// state document shows, without a file read at each look. Any thread.
void UpdateRecordShown(UpdateRecord* r);
// "idle", "receiving", "trial".
const char* UpdateStateText(UpdateState s);
