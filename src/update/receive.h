// A signed image arriving in pieces, stored as it comes, checked whole before anything of it runs.
//
// The image's header comes first (and again whenever the sender resumes): it is checked at once
// (image.h), so an image that would be refused costs no transfer. Then its bytes come in order,
// each piece named by its offset in the image. The program goes to /APP/fw.part as it arrives;
// every 64 KiB and at the end the file is flushed and the offset written to the update record, so
// a lost link or a restart loses at most the bytes since, and the transfer resumes at the recorded
// offset. A piece that reaches back over bytes already taken (a redelivery after a lost link) gives
// only its new bytes; a piece beyond the awaited offset is not taken, and the sender goes on from
// the offset the gateway tells it (UpdateReceiveWhere). Once whole, the image is checked again, header and program (size, SHA-256, a whole
// executable), and the program is renamed /APP/fw.trial with the record saying trial: the caller
// restarts the module into the trial (trial.h).
#pragma once

#include "update/record.h"

#include <cstddef>
#include <cstdint>

// ---- Our helpers ----

// Bytes between two flushes of the program arriving.
constexpr uint32_t kUpdateSyncBytes = 64u << 10;

enum class UpdateStep {
    Ignored,   // nothing changed: not the piece awaited (the record tells the sender where things stand)
    Progress,  // taken: the transfer begins, resumes or moves on
    Refused,   // the image was refused; the record says why and the transfer is over
    Staged,    // the whole image checked, its program waits for its trial: restart the module
    Held,      // not taken: settings saved over the broker await their confirmation (the record's
               // result says so); a transfer under way is kept and resumes once they are confirmed
};

// Where the transfer stands, for the sender.
struct UpdateWhere {
    UpdateState state;
    uint32_t version;
    uint32_t offset;  // receiving: the image's bytes held in order, header included (the next awaited)
    uint32_t stored;  // receiving: of those, the bytes flushed and recorded (what a restart keeps)
    uint32_t size;    // receiving: the whole image's size
    char result[sizeof UpdateRecord::result];
};

// The image's header. A new transfer starts, or the one under way with this very header resumes.
// Refused while a trial waits or runs, and when the header does not pass its checks.
UpdateStep UpdateReceiveBegin(const uint8_t* data, std::size_t len);
// The image's bytes from offset on (the header's bytes included in the count).
UpdateStep UpdateReceiveData(uint32_t offset, const uint8_t* data, std::size_t len);
// Closes the program file, as a restart does; the next piece reopens it at the recorded offset.
void UpdateReceiveClose();
// Where the transfer stands: this process's own when it holds one, else the record's.
UpdateWhere UpdateReceiveWhere();
// True once (the first call) after an image was staged: the supervisor restarts the module into
// the trial.
bool UpdateStagedForTrial();
