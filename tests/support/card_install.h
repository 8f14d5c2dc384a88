// The card's firmware install under kills of the firmware's whole process group at random
// moments, on one board started with --no-firmware (every start runs APP/fw). Shared by the
// end-to-end test (a handful of kills) and the recovery benchmark (a hundred).
#pragma once

#include "board.h"

#include <string>

// A whole old program and a whole new one: the built firmware, and the same with bytes appended.
struct ProgramPair {
    std::string oldProgram;
    std::string newProgram;
};
ProgramPair CardInstallPrograms();

// What the kills left.
struct CardInstallKills {
    int oldWhole = 0;       // APP/fw was the whole old program
    int newWhole = 0;       // the whole new one
    int broken = 0;         // anything else
    int cardGoneEarly = 0;  // the card's file was gone while APP/fw was not yet the new program
    int tempLeft = 0;       // APP/fw.tmp was there: the kill came while the copy was written
    long long windowMs = 0; // the kills came within this long after the card's file was found
};

// Each round: APP/fw the old program, the card's update/fw the new one, a start, the kill of the
// whole group at a random moment from the message that the card's file was found up to the time
// the install took in two whole starts, and a look at the files. Nothing is reset but those two files, so a temporary file a kill left stays for the
// next start, as after a power cut.
CardInstallKills KillDuringCardInstall(Board& board, int kills, unsigned seed);
