// The data call's shared words (see datacall.h).
//
// They sit in a file of their own: the tunnel and the LED policy read and write them, and linking
// them must not pull in the QMI calls, which tests of those modules replace with their own.
#include "cellular/datacall.h"

std::atomic<int> net_status{-1};
std::atomic<int> netStat{0};
std::atomic<int> lirnDialup{0};
