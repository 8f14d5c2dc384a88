// The trial of a new program, and its promotion or its rollback.
//
// A checked program does not replace the running one at once: it waits as /APP/fw.trial and the
// module restarts. At the start the old program (/APP/fw) sees it pending and runs it as a child,
// opening no device itself, for up to three tries. The child promotes itself only once healthy
// (the data call up and the link reached) within the window: it keeps the old program as
// /APP/fw.bck and renames itself over /APP/fw. A try that exits, crashes or is not healthy in time
// counts; after the third, the old program removes the pending one, records why and starts the
// gateway itself. The update record (record.h) carries the tries and the outcome across restarts,
// so a power cut at any moment leaves a program that starts.
#pragma once

#include <cstdint>

// ---- Our helpers ----

constexpr int kTrialTries = 3;
// How long a program on trial has to become healthy, seconds; LIRN_TRIAL_WINDOW_S (1 to 86400)
// sets another.
constexpr unsigned kTrialWindowDefaultS = 600;

// Called by main right after its banner, before anything is opened. Returns when this process is
// to start the gateway itself: no trial is waiting, this process is the program on trial, or the
// trial ended without a promotion. While a promoted child runs it does not return; when that child
// ends it reboots the module, so that the promoted program starts on its own.
void UpdateRunPendingTrial(int argc, char** argv);

// True in a program started on trial until it has promoted itself.
bool UpdateOnTrial();
// In a program on trial, one look from the supervisor: once the data call is up and the link
// reached, within the window, the program promotes itself.
void UpdateTrialPass();

// The window of a trial in seconds: LIRN_TRIAL_WINDOW_S when set and within range, else the default.
unsigned UpdateTrialWindowS();

// With a sysroot (the simulated board) and LIRN_CUT_AT naming this step, the whole process group
// is killed here, as by a power cut. Nothing on the module.
void UpdateCutPoint(const char* step);
