// The I2C register image with its running clock and converter (see i2c_image.h).
#include "i2c_image.h"

#include "board_util.h"
#include "sim_device.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// A short image ends where the clock's registers would begin: no transfer to either device fits.
constexpr int kShortImageBytes = kRtcAddress * kI2cRegisters;
constexpr int kRtcOffset = kRtcAddress * kI2cRegisters + kRtcFirstRegister;
constexpr int kAdcOffset = kAdcAddress * kI2cRegisters + kAdcResultRegister;

// Masks the clock applies to its registers on reading (the bits above are control bits).
constexpr uint8_t kRtcMasks[kRtcRegisterCount] = {0x7F, 0x7F, 0x3F, 0xFF, 0x3F, 0x1F, 0xFF};

// Registers a control request may reach: those of one device.
bool WithinDevice(int address, int reg, int count)
{
    return address >= 0 && address < kI2cDevices && reg >= 0 && count >= 1 && reg + count <= kI2cRegisters;
}

}  // namespace

uint8_t ToBcd(int value)
{
    return static_cast<uint8_t>(((value / 10) % 10) << 4 | (value % 10));
}

int FromBcd(uint8_t bcd)
{
    return (bcd >> 4) * 10 + (bcd & 0x0F);
}

RtcRegisters RtcEncode(int64_t calendarSeconds)
{
    time_t t = static_cast<time_t>(calendarSeconds);
    struct tm tm;
    gmtime_r(&t, &tm);
    return {ToBcd(tm.tm_sec), ToBcd(tm.tm_min), ToBcd(tm.tm_hour), static_cast<uint8_t>(1u << tm.tm_wday),
            ToBcd(tm.tm_mday), ToBcd(tm.tm_mon + 1), ToBcd(tm.tm_year % 100)};
}

std::optional<int64_t> RtcDecode(const RtcRegisters& regs)
{
    int f[kRtcRegisterCount];
    for (int i = 0; i < kRtcRegisterCount; ++i) f[i] = FromBcd(regs[i] & kRtcMasks[i]);
    // The weekday register (f[3]) follows from the date; the clock keeps no weekday of its own.
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + f[6], f[5], f[4], f[2], f[1], f[0]);
    return ParseCalendar(text);
}

const char* ImageFaultName(ImageFault fault)
{
    switch (fault) {
    case ImageFault::None: return "none";
    case ImageFault::Short: return "short";
    case ImageFault::Missing: return "missing";
    }
    return "?";
}

std::optional<ImageFault> ParseImageFault(const std::string& word)
{
    for (ImageFault f : {ImageFault::None, ImageFault::Short, ImageFault::Missing})
        if (word == ImageFaultName(f)) return f;
    return std::nullopt;
}

I2cImage::I2cImage(const std::string& path, int64_t clockBase)
    : path_(path), clockBase_(clockBase), clockBaseMs_(BoardNowMs())
{
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    if (!WriteTextFile(path, std::string(kI2cImageBytes, '\0'), 0666))
        throw std::runtime_error("cannot create " + path);
    if (dir_.Add(dir) < 0)
        throw std::runtime_error("cannot watch " + path);
    std::lock_guard<std::mutex> hold(lock_);
    WriteClock();
}

I2cImage::~I2cImage()
{
    Stop();
}

void I2cImage::Start()
{
    loop_.Start([this] {
        dir_.BindToThisThread();
        Run();
    });
}

void I2cImage::Stop()
{
    loop_.Stop();
}

bool I2cImage::ReadBytes(int offset, uint8_t* out, int count)
{
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = pread(fd, out, static_cast<std::size_t>(count), offset);
    close(fd);
    return n == count;
}

bool I2cImage::WriteBytes(int offset, const uint8_t* in, int count)
{
    // Never past the end: a short image must stay short.
    int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    off_t size = lseek(fd, 0, SEEK_END);
    ssize_t n = size >= offset + count ? pwrite(fd, in, static_cast<std::size_t>(count), offset) : -1;
    close(fd);
    return n == count;
}

void I2cImage::TakeInWrites()
{
    RtcRegisters regs;
    if (ReadBytes(kRtcOffset, regs.data(), kRtcRegisterCount) && regs != rtcShadow_) {
        rtcShadow_ = regs;
        if (std::optional<int64_t> t = RtcDecode(regs)) {
            clockBase_ = *t;
            clockBaseMs_ = BoardNowMs();
            clockWrites_.push_back(*t);
            BoardLog("clock set to %s", FormatCalendar(*t).c_str());
        } else {
            BoardLog("clock write holds no valid time; the clock keeps running");
        }
    }
    std::array<uint8_t, 3> adc;
    if (ReadBytes(kAdcOffset, adc.data(), 3) && adc != adcShadow_) {
        if (adc[1] != adcShadow_[1] || adc[2] != adcShadow_[2])
            adcConfigWrites_.push_back(static_cast<uint16_t>(adc[1] << 8 | adc[2]));
        adcShadow_ = adc;
    }
}

void I2cImage::WriteClock()
{
    int64_t elapsedMs = BoardNowMs() - clockBaseMs_;
    RtcRegisters regs = RtcEncode(clockBase_ + elapsedMs / 1000);
    if (regs == rtcShadow_) return;
    rtcShadow_ = regs;
    WriteBytes(kRtcOffset, regs.data(), kRtcRegisterCount);
}

void I2cImage::Sync()
{
    TakeInWrites();
    WriteClock();
}

int I2cImage::MsToNextSecond()
{
    int64_t elapsedMs = BoardNowMs() - clockBaseMs_;
    return static_cast<int>(1000 - elapsedMs % 1000);
}

void I2cImage::Run()
{
    while (!loop_.Stopping()) {
        int timeout;
        {
            std::lock_guard<std::mutex> hold(lock_);
            timeout = MsToNextSecond();
        }
        struct pollfd pfd[2] = {{dir_.Fd(), POLLIN, 0}, {loop_.WakeFd(), POLLIN, 0}};
        if (poll(pfd, 2, timeout) < 0 && errno != EINTR) break;
        if (pfd[1].revents & POLLIN) loop_.Drain();
        // The watch only says that something in dev/ was written; the image is compared anyway.
        dir_.Take();
        std::lock_guard<std::mutex> hold(lock_);
        Sync();
    }
}

int64_t I2cImage::ClockNow()
{
    std::lock_guard<std::mutex> hold(lock_);
    Sync();
    return clockBase_ + (BoardNowMs() - clockBaseMs_) / 1000;
}

void I2cImage::SetClock(int64_t calendarSeconds)
{
    std::lock_guard<std::mutex> hold(lock_);
    TakeInWrites();
    clockBase_ = calendarSeconds;
    clockBaseMs_ = BoardNowMs();
    WriteClock();
}

std::vector<int64_t> I2cImage::ClockWrites()
{
    std::lock_guard<std::mutex> hold(lock_);
    Sync();
    return clockWrites_;
}

void I2cImage::SetAdcResult(uint16_t value)
{
    std::lock_guard<std::mutex> hold(lock_);
    TakeInWrites();
    adcShadow_[0] = static_cast<uint8_t>(value >> 8);
    adcShadow_[1] = static_cast<uint8_t>(value & 0xFF);
    WriteBytes(kAdcOffset, adcShadow_.data(), 2);
}

uint16_t I2cImage::AdcResult()
{
    std::lock_guard<std::mutex> hold(lock_);
    TakeInWrites();
    return static_cast<uint16_t>(adcShadow_[0] << 8 | adcShadow_[1]);
}

std::vector<uint16_t> I2cImage::AdcConfigWrites()
{
    std::lock_guard<std::mutex> hold(lock_);
    TakeInWrites();
    return adcConfigWrites_;
}

std::optional<std::vector<uint8_t>> I2cImage::Read(int address, int reg, int count)
{
    if (!WithinDevice(address, reg, count)) return std::nullopt;
    std::lock_guard<std::mutex> hold(lock_);
    Sync();
    std::vector<uint8_t> bytes(static_cast<std::size_t>(count));
    if (!ReadBytes(address * kI2cRegisters + reg, bytes.data(), count)) return std::nullopt;
    return bytes;
}

bool I2cImage::Write(int address, int reg, const std::vector<uint8_t>& bytes)
{
    int count = static_cast<int>(bytes.size());
    if (!WithinDevice(address, reg, count)) return false;
    std::lock_guard<std::mutex> hold(lock_);
    Sync();
    bool ok = WriteBytes(address * kI2cRegisters + reg, bytes.data(), count);
    // A write to the devices' registers counts like any bus write: the clock takes it in.
    TakeInWrites();
    return ok;
}

void I2cImage::SetFault(ImageFault fault)
{
    std::lock_guard<std::mutex> hold(lock_);
    TakeInWrites();
    fault_ = fault;
    switch (fault) {
    case ImageFault::Missing:
        unlink(path_.c_str());
        return;
    case ImageFault::Short:
        if (truncate(path_.c_str(), kShortImageBytes) != 0)
            WriteTextFile(path_, std::string(kShortImageBytes, '\0'), 0666);
        return;
    case ImageFault::None:
        // Registers of other devices do not survive a fault; the clock and converter do.
        if (truncate(path_.c_str(), kI2cImageBytes) != 0)
            WriteTextFile(path_, std::string(kI2cImageBytes, '\0'), 0666);
        WriteBytes(kAdcOffset, adcShadow_.data(), 3);
        WriteBytes(kRtcOffset, rtcShadow_.data(), kRtcRegisterCount);
        return;
    }
}

ImageFault I2cImage::Fault()
{
    std::lock_guard<std::mutex> hold(lock_);
    return fault_;
}
