// I2C bus: the real-time clock and the analog-to-digital converter.
//
// Both devices sit on /dev/i2c-0. At start-up main probes the bus (InitI2C), configures the
// converter and takes one reading (InitADC, ReadADCRegister), and sets the system clock from the
// real-time clock (RTC_Read2sys); the date road writes the system clock back into the clock
// (tm2rtc, RTC_Write, RTC_Read). Every transfer opens and closes the bus device itself. Everything
// here runs on the main thread before any other thread exists.
//
// On the simulated board (a sysroot in effect and its dev/i2c-0 a regular file) a transfer reads
// and writes a register image instead of the bus: 128 devices of 256 registers, register R of the
// 7-bit address A at offset A * 256 + R.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#define I2C_DEVICE "/dev/i2c-0"

// Calendar record of the clock operations.
struct RtcTime {
    int32_t second;   // 0 to 59
    int32_t minute;   // 0 to 59
    int32_t hour;     // 0 to 23
    int32_t day;      // 1 to 31
    int32_t month;    // 1 to 12
    int32_t year;     // 2000 to 2099
    int32_t weekday;  // 0 to 6, Sunday is 0
};

// The system's one clock record, used by main and RTC_Read2sys.
extern RtcTime Sysrtc;

// Probe: true when the bus device could be opened read-write (it then stays open).
bool InitI2C();

// Transfers take the bus address in its 8-bit form (the 7-bit address shifted left by one): the
// clock is 0x64, the converter 0x90.

// One write transfer of the register number followed by count bytes.
// 1 on success, -1 when the device cannot be opened, -3 when the transfer fails.
int I2C_Write(uint8_t address, uint8_t reg, uint8_t count, const uint8_t* data);

// Writes the register number and reads count bytes without a stop between the two.
// 1 on success, -1 / -3 as I2C_Write; on failure dest is untouched.
int I2C_Read(uint8_t address, uint8_t reg, uint8_t count, uint8_t* dest);

uint8_t bin2bcd(int value);
int bcd2bin(uint8_t bcd);
// Weekday 0 to 6 of the clock's one-hot weekday register: the lowest set bit of bits 0 to 6.
int wday_rtc2sys(uint8_t reg);

// Reads the clock; on failure the record holds 2000-01-01 00:00:00, Saturday.
bool RTC_Read(RtcTime* rtc);
bool RTC_Write(RtcTime rtc);

// Calendar time (as localtime gives it) into the record; with nullptr, the current local time.
int tm2rtc(const struct tm* tm, RtcTime* rtc);

// Reads the clock into Sysrtc and sets the system clock from it ("date -s").
int RTC_Read2sys();

bool InitADC();
unsigned ReadADCRegister();

// ---- Our helpers ----

// Register image of the simulated board: devices x registers, one byte each.
constexpr int kI2cImageDevices = 128;
constexpr int kI2cImageRegisters = 256;

// "YYYY-MM-DD hh:mm:ss [weekday]", as main prints the clock on the date road.
constexpr std::size_t kRtcTextSize = 64;
void RtcTimeText(char* out, std::size_t outLen, const RtcTime& rtc);
