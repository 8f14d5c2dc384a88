// Data call: published state.
#include "cellular/datacall.h"

std::atomic<int> net_status{-1};
std::atomic<int> netStat{0};
