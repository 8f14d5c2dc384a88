// GPIO lines, status LEDs and the LED pattern thread.
//
// The board's discrete lines are Linux GPIO lines under /sys/class/gpio. InitGPIO sets up the
// fourteen lines once at start-up; every operation opens the line's sysfs file, does one read or
// write and closes it. thread_led turns the pattern numbers sta_led_step (status LED) and gps_flag
// (GPS LED) into blink patterns.
#pragma once

#include <atomic>
#include <cstdint>

#define GPIO_SYSFS_DIR "/sys/class/gpio"

constexpr int kGpioInitPin = 5;    // INIT pin, active low
constexpr int kGpioGpsLed = 92;    // GPS LED, active high
constexpr int kGpioStatusLed = 77; // status LED, active high

// Status LED pattern number, written by the supervisor (0 to 4) or the update road (5, 6).
extern std::atomic<int> sta_led_step;
// Copy of gps_flag taken once per LED pass, so that one pass tests one value.
extern std::atomic<int> gps_led_step;

int GPIO_open(int gpio);
int GPIO_set_dir(int gpio, int dir);
int GPIO_set_active(int gpio, int activeLow);
int GPIO_set_value(int gpio, int value);
int GPIO_get_value(int gpio);
int GPIO_io_init(int gpio, int dir, int activeLow, int value);
void InitGPIO();

int STA_LED_ON();
int STA_LED_OFF();
int GPS_LED_ON();
int GPS_LED_OFF();
int STA_LED_V();
int GPS_LED_V();
int PIN_INIT_V();

// Period starts of the two LEDs, carried from one pass of the LED thread to the next.
struct LedState {
    uint32_t staStart;
    uint32_t gpsStart;
};

// One pass of the LED thread: the status part, then the GPS part. Returns how long the thread may
// pause before the next pass (until the next phase switch is due, at most an idle pause).
unsigned LedPass(LedState& state);

void* thread_led(void* arg);
