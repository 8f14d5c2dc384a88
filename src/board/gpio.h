// GPIO lines and the two LEDs on them: line I/O and the timing of one blink.
//
// The board's discrete lines are Linux GPIO lines under /sys/class/gpio. InitGPIO sets up the
// fourteen lines once at start-up; every operation opens the line's sysfs file, does one read or
// write and closes it. Which pattern an LED shows is decided above, in leds/.
#pragma once

#include <cstdint>

#define GPIO_SYSFS_DIR "/sys/class/gpio"

constexpr int kGpioInitPin = 5;    // INIT pin, active low
constexpr int kGpioGpsLed = 92;    // GPS LED, active high
constexpr int kGpioStatusLed = 77; // status LED, active high

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

// ---- Our helpers ----

// A blink: lit for onMs, then dark for offMs, again and again.
struct BlinkPattern {
    uint32_t onMs;
    uint32_t offMs;
};

// One blink step of the LEDs on lines[0..count), as the first one reads back (a failed read
// counts as lit): once the phase that began at start is over, switches them all (in line order)
// and starts the next phase now. Returns the time until the next switch, milliseconds.
uint32_t GpioBlinkStep(const int* lines, int count, uint32_t& start, const BlinkPattern& pattern);
