// The board's I2C bus as the register image file dev/i2c-0.
//
// 128 devices of 256 registers: the byte of register R of 7-bit address A is at offset A * 256 + R.
// The firmware reads and writes the file in place of bus transfers. Two devices answer:
// - a real-time clock at 0x32, BCD time registers 0x10 to 0x16 (second, minute, hour, weekday as
//   one bit per day with bit 0 for Sunday, day, month, year within the century), kept running by
//   the board once a second; when the firmware writes them, the board takes the written time as
//   the clock's new setting;
// - a converter at 0x48, conversion result at 0x00 (16 bits, high byte first), configuration at
//   0x01 (16 bits, high byte first). In a flat image the result's low byte is the configuration's
//   high byte, so a configuration write shows in the next result read; the board records every
//   configuration the firmware writes.
// Faults: a short image makes every transfer to these devices fail, a missing one every open.
//
// Clock times are calendar seconds (see board_util.h): broken-down local time counted as UTC.
#pragma once

#include "board_loop.h"
#include "dir_watch.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

constexpr int kI2cDevices = 128;
constexpr int kI2cRegisters = 256;
constexpr int kI2cImageBytes = kI2cDevices * kI2cRegisters;
constexpr int kRtcAddress = 0x32;
constexpr int kRtcFirstRegister = 0x10;
constexpr int kRtcRegisterCount = 7;
constexpr int kAdcAddress = 0x48;
constexpr int kAdcResultRegister = 0x00;
constexpr int kAdcConfigRegister = 0x01;

using RtcRegisters = std::array<uint8_t, kRtcRegisterCount>;

uint8_t ToBcd(int value);
int FromBcd(uint8_t bcd);
// The clock's register bytes for a calendar time (years 2000 to 2099).
RtcRegisters RtcEncode(int64_t calendarSeconds);
// The calendar time the registers hold, read with the clock's masks; nothing when it is no time.
std::optional<int64_t> RtcDecode(const RtcRegisters& regs);

enum class ImageFault { None, Short, Missing };
const char* ImageFaultName(ImageFault fault);
std::optional<ImageFault> ParseImageFault(const std::string& word);

class I2cImage {
public:
    // Creates the image at path with the clock at clockBase and a conversion result of 0.
    I2cImage(const std::string& path, int64_t clockBase);
    ~I2cImage();
    I2cImage(const I2cImage&) = delete;
    I2cImage& operator=(const I2cImage&) = delete;

    void Start();
    void Stop();

    // The clock now, in calendar seconds, after taking in any time the firmware wrote.
    int64_t ClockNow();
    void SetClock(int64_t calendarSeconds);
    // Times the firmware wrote to the clock, in calendar seconds, oldest first.
    std::vector<int64_t> ClockWrites();

    void SetAdcResult(uint16_t value);
    // The converter registers as the image holds them now.
    uint16_t AdcResult();
    // Configurations the firmware wrote, oldest first.
    std::vector<uint16_t> AdcConfigWrites();

    // Register access for the control channel. Read gives nothing when the image cannot serve it.
    std::optional<std::vector<uint8_t>> Read(int address, int reg, int count);
    bool Write(int address, int reg, const std::vector<uint8_t>& bytes);

    void SetFault(ImageFault fault);
    ImageFault Fault();

private:
    // Takes in the firmware's writes, then, when a second has turned, advances the clock registers.
    // Both under lock_.
    void Sync();
    void TakeInWrites();
    void WriteClock();
    bool ReadBytes(int offset, uint8_t* out, int count);
    bool WriteBytes(int offset, const uint8_t* in, int count);
    int MsToNextSecond();
    void Run();

    std::string path_;
    DirWatch dir_;  // the image's directory: the firmware's writes are taken in at once
    BoardLoop loop_;

    std::mutex lock_;
    ImageFault fault_ = ImageFault::None;
    int64_t clockBase_;    // calendar seconds at clockBaseMs_
    int64_t clockBaseMs_;  // BoardNowMs
    RtcRegisters rtcShadow_{};                 // what the board last wrote to the clock
    std::array<uint8_t, 3> adcShadow_{};       // result high, result low / config high, config low
    std::vector<int64_t> clockWrites_;
    std::vector<uint16_t> adcConfigWrites_;
};
