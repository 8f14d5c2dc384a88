// GPIO lines over sysfs, the LED helpers and the blink step.
#include "board/gpio.h"

#include "board/ticks.h"
#include "platform/sysroot.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Paths are built in a 64-byte buffer, as the system names them; SysOpen maps them.
constexpr int kGpioPathSize = 64;

struct LineSetup {
    int gpio;
    int dir;       // 0 in, 1 out
    int activeLow;
    int value;     // initial value of outputs
};

// The board's lines, in set-up order.
const LineSetup kLines[] = {
    {27, 0, 1, 0}, {26, 0, 1, 0}, {28, 0, 1, 0}, {30, 0, 1, 0}, {7, 0, 1, 0},  // digital inputs 0 to 4
    {kGpioInitPin, 0, 1, 0},                                                  // INIT pin
    {80, 0, 0, 0},                                                            // input
    {29, 1, 0, 0}, {4, 1, 0, 0},                                              // digital outputs 0, 1
    {25, 1, 0, 0}, {6, 1, 0, 0},                                              // ADC multiplexer select
    {kGpioGpsLed, 1, 0, 0}, {kGpioStatusLed, 1, 0, 0},                        // LEDs
    {0, 1, 0, 0},                                                             // output
};

// The system path of one attribute file of a line.
void LinePath(char (&path)[kGpioPathSize], int gpio, const char* attribute)
{
    std::snprintf(path, sizeof path, GPIO_SYSFS_DIR "/gpio%d/%s", gpio, attribute);
}

bool ValueFileExists(int gpio)
{
    char path[kGpioPathSize];
    LinePath(path, gpio, "value");
    return SysAccess(path, F_OK) == 0;
}

// Writes one attribute text (with its terminating NUL in the count). Returns 0, or -1 when the
// file cannot be opened.
int WriteAttribute(const char* path, const char* text)
{
    int fd = SysOpen(path, O_WRONLY);
    if (fd < 0) return -1;
    ssize_t n = write(fd, text, std::strlen(text) + 1);
    (void)n;
    close(fd);
    return 0;
}

// Writes one attribute of a line; a failure is named "gpio(N)/attribute", without a line end.
int SetLineAttribute(int gpio, const char* attribute, const char* text)
{
    char path[kGpioPathSize];
    LinePath(path, gpio, attribute);
    if (WriteAttribute(path, text) != 0) {
        std::printf("gpio(%d)/%s", gpio, attribute);
        return -1;
    }
    return 0;
}

// Time left until a phase of durationMs that began at start is over; 0 when it is over.
uint32_t TimeLeft(uint32_t start, uint32_t now, uint32_t durationMs)
{
    uint32_t elapsed = TickElapsed(start, now);
    return elapsed >= durationMs ? 0 : durationMs - elapsed;
}

}  // namespace

int GPIO_open(int gpio)
{
    if (ValueFileExists(gpio)) return 0;
    int fd = SysOpen(GPIO_SYSFS_DIR "/export", O_WRONLY);
    if (fd < 0) {
        std::perror("open fail\n");
        return fd;
    }
    char digits[16];
    int len = std::snprintf(digits, sizeof digits, "%d", gpio);
    ssize_t n = write(fd, digits, static_cast<size_t>(len));
    if (n < len) {
        std::perror("write fail");
        close(fd);
        return static_cast<int>(n);
    }
    SleepMs(1);
    int rc = ValueFileExists(gpio) ? 0 : -1;
    if (rc != 0) std::perror("create fail\n");
    close(fd);
    return rc;
}

int GPIO_set_dir(int gpio, int dir)
{
    return SetLineAttribute(gpio, "direction", dir != 0 ? "out" : "in");
}

int GPIO_set_active(int gpio, int activeLow)
{
    return SetLineAttribute(gpio, "active_low", activeLow != 0 ? "1" : "0");
}

int GPIO_set_value(int gpio, int value)
{
    char path[kGpioPathSize];
    LinePath(path, gpio, "value");
    if (WriteAttribute(path, value != 0 ? "1" : "0") != 0) {
        std::perror("gpio/set-value");
        return -1;
    }
    return 0;
}

int GPIO_get_value(int gpio)
{
    char path[kGpioPathSize];
    LinePath(path, gpio, "value");
    int fd = SysOpen(path, O_RDONLY);
    if (fd < 0) {
        std::printf("usr_gpio_get_value open %s error %d\n", path, fd);
        return fd;
    }
    off_t off = lseek(fd, 0, SEEK_SET);
    if (off < 0) {
        std::printf("usr_gpio_get_value lseek %s error %d\n", path, static_cast<int>(off));
        close(fd);
        return static_cast<int>(off);
    }
    char c = 0;
    ssize_t n = read(fd, &c, 1);
    close(fd);
    if (n < 1) {
        std::printf("usr_gpio_get_value read %s error %d\n", path, static_cast<int>(n));
        return static_cast<int>(n);
    }
    return c == '1' ? 1 : 0;
}

int GPIO_io_init(int gpio, int dir, int activeLow, int value)
{
    if (GPIO_open(gpio) < 0) {
        std::printf("[%d]gpio init error\r\n", gpio);
        return -1;
    }
    SleepMs(1);
    GPIO_set_dir(gpio, dir);
    GPIO_set_active(gpio, activeLow);
    if (dir != 0) GPIO_set_value(gpio, value);
    return 0;
}

void InitGPIO()
{
    SleepMs(1000);
    for (const LineSetup& l : kLines) GPIO_io_init(l.gpio, l.dir, l.activeLow, l.value);
}

int STA_LED_ON() { return GPIO_set_value(kGpioStatusLed, 1); }
int STA_LED_OFF() { return GPIO_set_value(kGpioStatusLed, 0); }
int GPS_LED_ON() { return GPIO_set_value(kGpioGpsLed, 1); }
int GPS_LED_OFF() { return GPIO_set_value(kGpioGpsLed, 0); }
int STA_LED_V() { return GPIO_get_value(kGpioStatusLed); }
int GPS_LED_V() { return GPIO_get_value(kGpioGpsLed); }
int PIN_INIT_V() { return GPIO_get_value(kGpioInitPin); }

uint32_t GpioBlinkStep(const int* lines, int count, uint32_t& start, const BlinkPattern& pattern)
{
    int litValue = GPIO_get_value(lines[0]);
    uint32_t now = GetTimeTicks();
    uint32_t phase = litValue == 0 ? pattern.offMs : pattern.onMs;
    uint32_t left = TimeLeft(start, now, phase);
    if (left > 0) return left;
    for (int i = 0; i < count; ++i) GPIO_set_value(lines[i], litValue == 0 ? 1 : 0);  // lit, or a failed read: off
    start = now;
    return litValue == 0 ? pattern.onMs : pattern.offMs;
}
