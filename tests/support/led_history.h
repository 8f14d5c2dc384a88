// Reading the board's LEDs in end-to-end tests: the level changes the board recorded for a LED
// ("led status|gps history"), the blink phases measured from them, and whether they show a given
// pattern or a steadily lit LED.
#pragma once

#include "board.h"

#include <string>
#include <vector>

struct LedChange {
    long long atMs;  // board milliseconds
    int level;       // 1 lit, 0 dark
};

// "ok MS:LEVEL MS:LEVEL ..." into changes; nothing for an error reply.
std::vector<LedChange> ParseLedHistory(const std::string& reply);

// The changes of LED "status" or "gps" from sinceMs on (all of them, the export first, by default).
std::vector<LedChange> LedHistory(Board& board, const std::string& led, long long sinceMs = -1);

// The board's clock now, in the milliseconds of the LED history; -1 when the board does not answer.
long long BoardNowMs(Board& board);

// One whole phase between two changes: the level held and for how long.
struct LedPhase {
    int level;
    long long ms;
};

// The whole phases of a history (the time before its first change is not one).
std::vector<LedPhase> LedPhases(const std::vector<LedChange>& changes);

// Blink tolerance. The board stamps a level when inotify tells it, a little after the write, and
// the firmware times its phases with another clock, so a phase may measure a little short; on a
// shared, busy machine a single phase may run long. The typical (median) phase must be close.
constexpr long long kPhaseShortSlackMs = 50;   // any phase at least its time minus this
constexpr long long kPhaseLongSlackMs = 400;   // any phase at most its time plus this
constexpr long long kMedianShortSlackMs = 20;  // the median lit and dark phases within these
constexpr long long kMedianLongSlackMs = 50;

// True when the phases blink onMs lit and offMs dark within the tolerance. why names the first
// phase, or the median, that does not.
bool PhasesMatch(const std::vector<LedPhase>& phases, long long onMs, long long offMs, std::string* why);

// "MS:LEVEL" pairs, for failure messages.
std::string LedPhasesText(const std::vector<LedPhase>& phases);

// A blink pattern: lit for onMs, then dark for offMs.
struct Blink {
    int onMs;
    int offMs;
};

// True when the last complete lit phase of the changes, and the dark phase after it, last as long
// as the pattern's (within the phase slack).
bool BlinksLately(const std::vector<LedChange>& changes, Blink pattern);
// True when the LED is lit now and has not changed for quietMs: no blink pattern stays lit that long.
bool SteadilyLit(Board& board, const std::string& led, long long quietMs = 2000);
