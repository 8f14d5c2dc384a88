// The board's record of LED levels, as "led status|gps history" replies it, and the blink phases
// measured from it.
#pragma once

#include <string>
#include <vector>

struct LedChange {
    long long atMs;  // board milliseconds
    int level;       // 1 lit, 0 dark
};

// "ok MS:LEVEL MS:LEVEL ..." into changes; nothing for an error reply.
std::vector<LedChange> ParseLedHistory(const std::string& reply);

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
constexpr long long kPhaseShortSlackMs = 40;   // any phase at least its time minus this
constexpr long long kPhaseLongSlackMs = 250;   // any phase at most its time plus this
constexpr long long kMedianShortSlackMs = 20;  // the median lit and dark phases within these
constexpr long long kMedianLongSlackMs = 50;

// True when the phases blink onMs lit and offMs dark within the tolerance. why names the first
// phase, or the median, that does not.
bool PhasesMatch(const std::vector<LedPhase>& phases, long long onMs, long long offMs, std::string* why);

// "MS:LEVEL" pairs, for failure messages.
std::string LedPhasesText(const std::vector<LedPhase>& phases);
