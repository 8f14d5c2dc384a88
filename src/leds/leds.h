// LED policy: which pattern each of the two LEDs shows, and the thread that blinks them.
//
// The status LED shows the SIM, data-call and registration state (chosen by the supervisor every
// 2 s) or, on the firmware-update road, the update's result; the GPS LED shows whether the modem
// has a position fix, or blinks together with the status LED on the update road. board/gpio does
// the line writes and the timing of one blink; this module decides what blinks.
#pragma once

#include <atomic>
#include <cstdint>

void* thread_led(void* arg);

// ---- Our helpers ----

// The status LED pattern for the current state: PIN wanted (4), else data call up (2), else
// registered at home or roaming (1), else 0 (steadily on).
int SupervisorPattern(int cpinStatus, int netStatus, int creg);

// The status LED's pattern number (sta_led_step): the supervisor's 0 to 4, the update road's 5
// and 6; any other number keeps the LED steadily on.
void LedShowPattern(int pattern);
// One supervisor step: the status LED pattern from the modem and data-call status words.
void LedShowModemState();

// Opt-in (the MQTT mode): while the data call is up (pattern 2), the status LED shows a link that
// is down (lirnConnect 0) with pattern 3 instead.
void LedShowLink(bool on);
// The supervisor's pattern with the link shown: 3 for pattern 2 while the link is down.
int LinkPattern(int supervisorPattern, int linkUp);

// The update road's result on both LEDs: pattern 6 when the update failed, else 5.
void LedShowUpdateResult(bool failed);

// Period starts of the two LEDs, carried from one pass of the LED thread to the next.
struct LedState {
    uint32_t staStart;
    uint32_t gpsStart;
};

// One pass of the LED thread: the status part, then the GPS part. Returns how long the thread may
// wait before the next pass unless a pattern changes: until the next phase switch is due, or
// kWaitForever when neither LED blinks.
unsigned LedPass(LedState& state);
