// LED policy: the pattern table, the state each pattern stands for, and the LED thread.
#include "leds/leds.h"

#include "board/gpio.h"
#include "board/ticks.h"
#include "cellular/datacall.h"
#include "modem/modem.h"
#include "tunnel/tunnel.h"

namespace {

// Status LED pattern number, written by the supervisor (0 to 4) or the update road (5, 6).
std::atomic<int> sta_led_step{1};
// GPS LED pattern number, taken once per LED pass, so that one pass tests one value.
std::atomic<int> gps_led_step{0};

// Pattern numbers of the firmware-update road, for both LEDs.
constexpr int kLedUpdateInstalled = 5;
constexpr int kLedUpdateFailed = 6;

// The update road's pattern (5 or 6) once it is shown; 0 on every other road.
std::atomic<int> gUpdatePattern{0};
// Pattern 3, which the supervisor's state patterns (SupervisorPattern: 0, 1, 2, 4) leave unused,
// shows a link that is down where one is shown: in place of pattern 2, the data call up.
constexpr int kLedCallUp = 2;
constexpr int kLedLinkDown = 3;
std::atomic<bool> gShowLink{false};

// Status LED patterns 1 to 6; 0 and every other value keep the LED steadily on.
const BlinkPattern kStatusPatterns[] = {
    {900, 100}, {500, 500}, {200, 200}, {100, 900}, {100, 100}, {100, 900},
};
constexpr BlinkPattern kGpsFixPattern = {900, 100};

const int kStatusLine[] = {kGpioStatusLed};
// Update road: the GPS LED blinks with the status LED, which decides the phase.
const int kBothLines[] = {kGpioStatusLed, kGpioGpsLed};
const int kGpsLine[] = {kGpioGpsLed};

// The GPS LED's pattern: the update road's, else the modem's fix flag (1 fix, 0 none).
int GpsPattern()
{
    int update = gUpdatePattern.load();
    return update != 0 ? update : gps_flag.load();
}

}  // namespace

int SupervisorPattern(int cpinStatus, int netStatus, int creg)
{
    if (cpinStatus == 1) return 4;
    if (netStatus == 0) return 2;
    if (creg == 1 || creg == 5) return 1;
    return 0;
}

void LedShowModemState()
{
    int pattern = SupervisorPattern(modem_cpin_status.load(), net_status.load(), modem_creg.load());
    if (gShowLink.load()) pattern = LinkPattern(pattern, lirnConnect.load());
    LedShowPattern(pattern);
}

void LedShowPattern(int pattern)
{
    SharedSet(sta_led_step, pattern);
}

void LedShowLink(bool on)
{
    gShowLink = on;
}

int LinkPattern(int supervisorPattern, int linkUp)
{
    return supervisorPattern == kLedCallUp && linkUp != 1 ? kLedLinkDown : supervisorPattern;
}

void LedShowUpdateResult(bool failed)
{
    int pattern = failed ? kLedUpdateFailed : kLedUpdateInstalled;
    gUpdatePattern = pattern;
    LedShowPattern(pattern);
}

unsigned LedPass(LedState& state)
{
    uint32_t pause = kWaitForever;  // nothing blinks: until a pattern changes

    int step = sta_led_step.load();
    if (step >= 1 && step <= 6) {
        bool both = step >= kLedUpdateInstalled;
        uint32_t left = both ? GpioBlinkStep(kBothLines, 2, state.staStart, kStatusPatterns[step - 1])
                             : GpioBlinkStep(kStatusLine, 1, state.staStart, kStatusPatterns[step - 1]);
        if (left < pause) pause = left;
    } else {
        STA_LED_ON();
    }

    gps_led_step = GpsPattern();
    int gps = gps_led_step.load();
    if (gps == 1) {
        uint32_t left = GpioBlinkStep(kGpsLine, 1, state.gpsStart, kGpsFixPattern);
        if (left < pause) pause = left;
    } else if (gps != kLedUpdateInstalled && gps != kLedUpdateFailed) {
        GPS_LED_ON();
    }
    return pause < kPollPauseMs ? kPollPauseMs : pause;
}

namespace {

// One pass of the LED thread with its wait: until the next phase switch, or a pattern change.
void LedPassAndWait(LedState& state)
{
    uint32_t seen = SharedSeq();
    SharedWait(seen, LedPass(state));
}

}  // namespace

void* thread_led(void*)
{
    ThreadName("lirn-led");
    LedState state;
    state.staStart = state.gpsStart = GetTimeTicks();
    for (;;) LedPassAndWait(state);
}
