// Cellular data call over QMI: the published state of the dial-up thread.
#pragma once

#include <atomic>

// Result of the last dial-up cycle: 0 the data call is up, -1 it is not (initially -1).
extern std::atomic<int> net_status;
// net_status as it was before the current cycle ran (the previous cycle's result).
extern std::atomic<int> netStat;

// Stops the data call (used by the tunnel's link manager when its peer cannot be reached).
// Always returns 1.
int hangup_actions();
