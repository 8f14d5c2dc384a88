// Reading the board's LEDs in end-to-end tests: the level changes the board recorded for a LED,
// and whether they blink in a given pattern or show a steadily lit LED.
#pragma once

#include "board.h"

#include <string>
#include <vector>

struct LedChange {
    long long atMs;  // board milliseconds
    int level;
};

// The changes of LED "status" or "gps" from sinceMs on (all of them, the export first, by default).
std::vector<LedChange> LedHistory(Board& board, const std::string& led, long long sinceMs = -1);

// The board's clock now, in the milliseconds of the LED history; -1 when the board does not answer.
long long BoardNowMs(Board& board);

// A blink pattern: lit for onMs, then dark for offMs.
struct Blink {
    int onMs;
    int offMs;
};

// True when the last complete lit phase of the changes, and the dark phase after it, last as long
// as the pattern's (give or take what a busy machine adds).
bool BlinksLately(const std::vector<LedChange>& changes, Blink pattern);
// True when any lit phase of the changes, with the dark phase after it, has the pattern's lengths.
bool BlinkedOnce(const std::vector<LedChange>& changes, Blink pattern);
// True when the LED is lit now and has not changed for quietMs: no blink pattern stays lit that long.
bool SteadilyLit(Board& board, const std::string& led, long long quietMs = 2000);
