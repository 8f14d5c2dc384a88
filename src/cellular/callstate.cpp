// The data call's shared words (see datacall.h).
//
// They sit in a file of their own: the tunnel, the MQTT session and the LED policy use them, and
// linking them must not pull in the QMI calls, which tests of those modules replace with their own.
#include "cellular/datacall.h"

#include "board/ticks.h"

std::atomic<int> net_status{-1};
std::atomic<int> netStat{0};

namespace {
std::atomic<int> gDialup{0};
}

const std::atomic<int>& lirnDialup = gDialup;

void DialupRaise()
{
    SharedSet(gDialup, 1);
}

void DialupLower()
{
    SharedSet(gDialup, 0);
}
