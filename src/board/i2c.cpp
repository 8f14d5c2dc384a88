// I2C transfers, the real-time clock and the converter (see i2c.h).
//
// A transfer is a list of i2c-dev messages. On the module the list goes to the adapter with
// I2C_RDWR; on the simulated board the same list is played against the register image, where a
// write message's first byte sets the device's register pointer and the rest are stored from
// there, and a read message reads from the pointer, as the two devices on the bus behave.
#include "board/i2c.h"

#include "logging/log.h"
#include "platform/shell.h"
#include "platform/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

RtcTime Sysrtc;

namespace {

// Descriptor of the bus device opened last.
int i2c_fd = -1;

// Bus addresses in their 8-bit form.
constexpr uint8_t kRtcAddress = 0x64;  // real-time clock, 7-bit 0x32
constexpr uint8_t kAdcAddress = 0x90;  // converter, 7-bit 0x48

constexpr uint8_t kRtcFirstRegister = 0x10;  // seconds; the seven time registers follow it
constexpr int kRtcRegisterCount = 7;
constexpr uint8_t kAdcResultRegister = 0x00;  // 16 bits, most significant byte first
constexpr uint8_t kAdcConfigRegister = 0x01;  // 16 bits, most significant byte first

// Adapter settings for every transfer: time-out in units of 10 ms, and the retry count.
constexpr unsigned long kI2cTimeout10Ms = 1;
constexpr unsigned long kI2cRetries = 2;

// Event codes of the bus.
constexpr int kLogOpenFailed = 0;
constexpr int kLogWriteFailed = 2;
constexpr int kLogReadFailed = 3;

// The clock's seconds, minutes and hours registers carry flag bits above their digits.
constexpr uint8_t kRtcSecondMask = 0x7F;
constexpr uint8_t kRtcMinuteMask = 0x7F;
constexpr uint8_t kRtcHourMask = 0x3F;
constexpr uint8_t kRtcDayMask = 0x3F;
constexpr uint8_t kRtcMonthMask = 0x1F;

// Clock register order from kRtcFirstRegister.
enum RtcRegister { kRegSecond, kRegMinute, kRegHour, kRegWeekday, kRegDay, kRegMonth, kRegYear };

// A clock that cannot be read gives this time: 2000-01-01 00:00:00, a Saturday.
constexpr RtcTime kRtcUnreadable = {0, 0, 0, 1, 1, 2000, 6};

// Opens the bus for one operation; who names it in the failure message ("I2C_W", "I2C_R").
int OpenBus(const char* who)
{
    int fd = SysOpen(I2C_DEVICE, O_RDWR);
    i2c_fd = fd;
    if (fd < 0) {
        std::printf("%s>> open %s error %d\n", who, I2C_DEVICE, fd);
        LogPush(kLogClassI2c, kLogOpenFailed, nullptr);
    }
    return fd;
}

// The simulated board's bus is a plain file under the sysroot; size is then the image's size.
bool IsRegisterImage(int fd, off_t* size)
{
    struct stat st;
    if (!SysrootActive() || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = st.st_size;
    return true;
}

// Plays one message against the image. pointer is the device's register pointer.
bool ImageMessage(int fd, off_t imageSize, const i2c_msg& m, int& pointer)
{
    uint8_t* data = m.buf;
    int len = m.len;
    if ((m.flags & I2C_M_RD) == 0) {
        if (len == 0) return true;
        pointer = data[0];
        ++data;
        --len;
    }
    // One device owns 256 registers; a transfer never runs on into the next device's.
    if (pointer + len > kI2cImageRegisters) {
        errno = EINVAL;
        return false;
    }
    off_t offset = static_cast<off_t>(m.addr) * kI2cImageRegisters + pointer;
    if (offset + len > imageSize) {
        errno = ENXIO;  // nothing answers there: the image is too short
        return false;
    }
    ssize_t n = (m.flags & I2C_M_RD) != 0 ? pread(fd, data, static_cast<size_t>(len), offset)
                                          : pwrite(fd, data, static_cast<size_t>(len), offset);
    if (n != len) {
        if (n >= 0) errno = EIO;
        return false;
    }
    pointer += len;
    return true;
}

// The I2C_RDWR request, or its image stand-in. Returns the number of messages, or -1 with errno.
int BusTransfer(int fd, i2c_msg* msgs, int count)
{
    off_t imageSize = 0;
    if (!IsRegisterImage(fd, &imageSize)) {
        ioctl(fd, I2C_TIMEOUT, kI2cTimeout10Ms);
        ioctl(fd, I2C_RETRIES, kI2cRetries);
        i2c_rdwr_ioctl_data request = {msgs, static_cast<__u32>(count)};
        return ioctl(fd, I2C_RDWR, &request);
    }
    int pointer = 0;
    for (int i = 0; i < count; ++i) {
        if (msgs[i].addr >= kI2cImageDevices) {
            errno = ENXIO;
            return -1;
        }
        if (!ImageMessage(fd, imageSize, msgs[i], pointer)) return -1;
    }
    return count;
}

// Closes the bus without losing the transfer's error for the report that follows.
void CloseBus(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

int Bcd(const uint8_t* regs, RtcRegister r, uint8_t mask)
{
    return bcd2bin(regs[r] & mask);
}

}  // namespace

bool InitI2C()
{
    return OpenBus("I2C_W") >= 0;
}

int I2C_Write(uint8_t address, uint8_t reg, uint8_t count, const uint8_t* data)
{
    int fd = OpenBus("I2C_W");
    if (fd < 0) return -1;
    uint8_t buf[1 + UINT8_MAX];
    buf[0] = reg;
    if (count > 0) std::memcpy(buf + 1, data, count);
    i2c_msg msg = {static_cast<__u16>(address >> 1), 0, static_cast<__u16>(count + 1), buf};
    int ret = BusTransfer(fd, &msg, 1);
    CloseBus(fd);
    if (ret < 0) {
        std::perror("ioctl error");
        std::printf("I2C_W>> Write error, ret=%d\r\n", ret);
        LogPush(kLogClassI2c, kLogWriteFailed, nullptr);
        return -3;
    }
    return 1;
}

int I2C_Read(uint8_t address, uint8_t reg, uint8_t count, uint8_t* dest)
{
    int fd = OpenBus("I2C_R");
    if (fd < 0) return -1;
    uint8_t regBuf[1] = {reg};
    uint8_t buf[UINT8_MAX];
    __u16 addr7 = static_cast<__u16>(address >> 1);
    i2c_msg msgs[2] = {
        {addr7, 0, 1, regBuf},
        {addr7, I2C_M_RD, count, buf},
    };
    int ret = BusTransfer(fd, msgs, 2);
    CloseBus(fd);
    if (ret < 0) {
        std::perror("ioctl error");
        std::printf("I2C_R>> Read error, ret=%d(0x%X)\r\n", ret, static_cast<unsigned>(ret));
        LogPush(kLogClassI2c, kLogReadFailed, nullptr);
        return -3;
    }
    if (count > 0) std::memcpy(dest, buf, count);
    return 1;
}

uint8_t bin2bcd(int value)
{
    unsigned v = static_cast<unsigned>(value) & 0xFF;
    return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}

int bcd2bin(uint8_t bcd)
{
    return (bcd >> 4) * 10 + (bcd & 0x0F);
}

int wday_rtc2sys(uint8_t reg)
{
    for (int bit = 0; bit < 7; ++bit)
        if (reg & (1u << bit)) return bit;
    return 0;
}

bool RTC_Read(RtcTime* rtc)
{
    uint8_t regs[kRtcRegisterCount];
    if (I2C_Read(kRtcAddress, kRtcFirstRegister, kRtcRegisterCount, regs) != 1) {
        *rtc = kRtcUnreadable;
        return false;
    }
    rtc->second = Bcd(regs, kRegSecond, kRtcSecondMask);
    rtc->minute = Bcd(regs, kRegMinute, kRtcMinuteMask);
    rtc->hour = Bcd(regs, kRegHour, kRtcHourMask);
    rtc->day = Bcd(regs, kRegDay, kRtcDayMask);
    rtc->month = Bcd(regs, kRegMonth, kRtcMonthMask);
    rtc->year = 2000 + bcd2bin(regs[kRegYear]);
    rtc->weekday = wday_rtc2sys(regs[kRegWeekday]);
    return true;
}

bool RTC_Write(RtcTime rtc)
{
    uint8_t regs[kRtcRegisterCount];
    regs[kRegSecond] = bin2bcd(rtc.second);
    regs[kRegMinute] = bin2bcd(rtc.minute);
    regs[kRegHour] = bin2bcd(rtc.hour);
    // One-hot weekday; a weekday beyond the register's bits sets none (and never shifts too far).
    regs[kRegWeekday] = rtc.weekday >= 0 && rtc.weekday < 8 ? static_cast<uint8_t>(1u << rtc.weekday) : 0;
    regs[kRegDay] = bin2bcd(rtc.day);
    regs[kRegMonth] = bin2bcd(rtc.month);
    // 2000 + 0x30 is 0x800: the low 8 bits of year + 0x30 are year - 2000 for 2000 to 2099.
    regs[kRegYear] = bin2bcd(rtc.year + 0x30);
    int ret = I2C_Write(kRtcAddress, kRtcFirstRegister, kRtcRegisterCount, regs);
    if (ret != 1) {
        std::printf("RTC>> Write Error, ret=%d\r\n", ret);
        return false;
    }
    return true;
}

int tm2rtc(const struct tm* tm, RtcTime* rtc)
{
    struct tm now;
    if (tm == nullptr) {
        time_t t = std::time(nullptr);
        localtime_r(&t, &now);
        tm = &now;
    }
    rtc->second = tm->tm_sec;
    rtc->minute = tm->tm_min;
    rtc->hour = tm->tm_hour;
    rtc->day = tm->tm_mday;
    rtc->month = tm->tm_mon + 1;
    rtc->year = tm->tm_year + 1900;
    rtc->weekday = tm->tm_wday;
    return 0;
}

int RTC_Read2sys()
{
    RTC_Read(&Sysrtc);
    char cmd[64];
    int n = std::snprintf(cmd, sizeof cmd, "date -s \"%04d-%02d-%02d %02d:%02d:%02d\"", Sysrtc.year, Sysrtc.month,
                          Sysrtc.day, Sysrtc.hour, Sysrtc.minute, Sysrtc.second);
    // A time read from the clock always fits; a record set otherwise is never run cut short.
    if (n > 0 && static_cast<std::size_t>(n) < sizeof cmd) ShellSystem(cmd);
    return 0;
}

bool InitADC()
{
    // Configuration value 0x0473, most significant byte first.
    const uint8_t config[2] = {0x04, 0x73};
    int ret = I2C_Write(kAdcAddress, kAdcConfigRegister, sizeof config, config);
    if (ret != 1) {
        std::printf("Set ADC ERROR, ret=%d\r\n", ret);
        return false;
    }
    return true;
}

unsigned ReadADCRegister()
{
    uint8_t result[2];
    int ret = I2C_Read(kAdcAddress, kAdcResultRegister, sizeof result, result);
    if (ret != 1) {
        std::printf("ADC>> Read Error, ret=%d\r\n", ret);
        return 0;
    }
    return result[0] * 256u + result[1];
}

void RtcTimeText(char* out, std::size_t outLen, const RtcTime& rtc)
{
    std::snprintf(out, outLen, "%04d-%02d-%02d %02d:%02d:%02d [%d]", rtc.year, rtc.month, rtc.day, rtc.hour,
                  rtc.minute, rtc.second, rtc.weekday);
}
