// The I2C clock and converter against a register image in a temporary sysroot: BCD and masks, the
// one-hot weekday, round trips with exact image bytes, and the open and transfer failure paths
// with their messages and event-log entries. The clock given to the date command at start-up, and
// the date road's write of the host's local time and its read-back, are shown end to end (e2e
// Clock).
#include "board/i2c.h"
#include "logging/log.h"
#include "platform/shell.h"
#include "temp_sysroot.h"
#include "output_capture.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>


namespace {

constexpr uint8_t kRtcBus = 0x64;  // the clock's 8-bit bus address
constexpr uint8_t kAdcBus = 0x90;  // the converter's
constexpr std::size_t kImageSize = kI2cImageDevices * kI2cImageRegisters;
constexpr std::size_t kRtcOffset = 0x32 * 256 + 0x10;
constexpr std::size_t kAdcOffset = 0x48 * 256;

std::string Hex(const std::string& bytes)
{
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    return out;
}

std::string Text(const RtcTime& t)
{
    char buf[kRtcTextSize];
    RtcTimeText(buf, sizeof buf, t);
    return buf;
}

class I2cTest : public testing::Test {
protected:
    void SetUp() override
    {
        savedPath = std::getenv("PATH");
        LogInit();
    }
    void TearDown() override { setenv("PATH", savedPath.c_str(), 1); }

    void Image(std::size_t size = kImageSize) { root.WriteFile("/dev/i2c-0", std::string(size, '\0')); }
    void Poke(std::size_t offset, const std::string& bytes)
    {
        std::string img = root.ReadFile("/dev/i2c-0");
        img.replace(offset, bytes.size(), bytes);
        root.WriteFile("/dev/i2c-0", img);
    }
    std::string Peek(std::size_t offset, std::size_t n) { return root.ReadFile("/dev/i2c-0").substr(offset, n); }

    // A date stand-in that records its arguments, on PATH as the firmware puts it.
    void DateStandIn()
    {
        ASSERT_TRUE(root.WriteFile("/bin/date", "#!/bin/sh\nprintf '%s|' \"$@\" > \"$(dirname \"$0\")/../date.args\"\n", 0755));
        ShellInit();
    }

    void ExpectLogged(int slot, const char* code)
    {
        EXPECT_STREQ(LogEventAt(slot).eventClass, "0");
        EXPECT_STREQ(LogEventAt(slot).code, code);
        EXPECT_EQ(LogEventAt(slot).withModem, 0);
    }

    TempSysroot root;
    std::string savedPath;
};

TEST(Tm2rtc, TakesLocalTimeFieldsWithYearAndMonthOffsets)
{
    struct tm t = {};
    t.tm_sec = 1;
    t.tm_min = 2;
    t.tm_hour = 3;
    t.tm_mday = 4;
    t.tm_mon = 0;
    t.tm_year = 124;
    t.tm_wday = 4;
    RtcTime r = {};
    EXPECT_EQ(tm2rtc(&t, &r), 0);
    EXPECT_EQ(Text(r), "2024-01-04 03:02:01 [4]");
}

TEST_F(I2cTest, ReadingMasksTheFlagBitsAndTakesTheYearWhole)
{
    Image();
    // second, minute, hour, weekday, day, month, year
    Poke(kRtcOffset, std::string("\xD9\xB0\xE3\x48\xF1\x92\x99", 7));
    RtcTime r = {};
    EXPECT_TRUE(RTC_Read(&r));
    EXPECT_EQ(Text(r), "2099-12-31 23:30:59 [3]");
}

TEST_F(I2cTest, WriteStoresBcdAndOneHotAndReadsBack)
{
    Image();
    RtcTime t = {5, 4, 3, 15, 6, 2024, 6};
    EXPECT_TRUE(RTC_Write(t));
    EXPECT_EQ(Hex(Peek(kRtcOffset, 7)), "05 04 03 40 15 06 24 ");
    EXPECT_EQ(Hex(Peek(kRtcOffset - 1, 1) + Peek(kRtcOffset + 7, 1)), "00 00 ");  // neighbours untouched
    RtcTime back = {};
    EXPECT_TRUE(RTC_Read(&back));
    EXPECT_EQ(Text(back), Text(t));
    // The year register holds the last two digits.
    for (int year : {2099, 2000}) {
        t.year = year;
        EXPECT_TRUE(RTC_Write(t));
        EXPECT_EQ(Hex(Peek(kRtcOffset + 6, 1)), year == 2000 ? "00 " : "99 ");
    }
}

TEST_F(I2cTest, ConverterIsConfiguredAndReadMostSignificantByteFirst)
{
    Image();
    EXPECT_TRUE(InitADC());
    EXPECT_EQ(Hex(Peek(kAdcOffset + 1, 2)), "04 73 ");
    Poke(kAdcOffset, "\x12\x34");
    EXPECT_EQ(ReadADCRegister(), 0x1234u);
    Poke(kAdcOffset, "\xFF\xFE");
    EXPECT_EQ(ReadADCRegister(), 0xFFFEu);
}

TEST_F(I2cTest, MissingBusTakesTheOpenFailurePath)
{
    std::string out = Printed([] {
        EXPECT_FALSE(InitI2C());
        EXPECT_EQ(I2C_Write(kRtcBus, 0x10, 0, nullptr), -1);
        EXPECT_FALSE(InitADC());
        EXPECT_EQ(ReadADCRegister(), 0u);
    });
    EXPECT_EQ(out,
              "I2C_W>> open /dev/i2c-0 error -1\n"
              "I2C_W>> open /dev/i2c-0 error -1\n"
              "I2C_W>> open /dev/i2c-0 error -1\n"
              "Set ADC ERROR, ret=-1\r\n"
              "I2C_R>> open /dev/i2c-0 error -1\n"
              "ADC>> Read Error, ret=-1\r\n");
    EXPECT_EQ(LogPushIdx(), 4);
    for (int slot = 0; slot < 4; ++slot) ExpectLogged(slot, "0");
}

TEST_F(I2cTest, ImageTooShortTakesTheTransferFailurePath)
{
    Image(kRtcOffset + 3);  // the clock's first three registers exist, the rest do not
    uint8_t dest[7] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    OutputCapture printed, errors(STDERR_FILENO);
    EXPECT_EQ(I2C_Read(kRtcBus, 0x10, 7, dest), -3);
    RtcTime t = {0, 0, 0, 1, 1, 2024, 1};
    EXPECT_FALSE(RTC_Write(t));
    std::string out = printed.Release();
    std::string err = errors.Release();
    EXPECT_EQ(out,
              "I2C_R>> Read error, ret=-1(0xFFFFFFFF)\r\n"
              "I2C_W>> Write error, ret=-1\r\n"
              "RTC>> Write Error, ret=-3\r\n");
    EXPECT_EQ(err.find("ioctl error: "), 0u) << err;
    EXPECT_NE(err.find("\nioctl error: "), std::string::npos) << err;
    for (uint8_t b : dest) EXPECT_EQ(b, 0xAA);  // untouched on failure
    EXPECT_EQ(LogPushIdx(), 2);
    ExpectLogged(0, "3");
    ExpectLogged(1, "2");
    // A failed write never grows or changes the image.
    EXPECT_EQ(root.ReadFile("/dev/i2c-0"), std::string(kRtcOffset + 3, '\0'));
}

TEST_F(I2cTest, TransferDoesNotRunIntoTheNextDevice)
{
    Image();
    uint8_t dest[4];
    OutputCapture printed, errors(STDERR_FILENO);
    EXPECT_EQ(I2C_Read(kRtcBus, 0xFE, 4, dest), -3);
}

TEST_F(I2cTest, BusThatIsNoPlainFileGetsTheRealRequest)
{
    // A character device that knows no I2C requests: the transfer must fail, not touch an image.
    root.MakeDirs("/dev");
    std::filesystem::create_symlink("/dev/null", root.Path("/dev/i2c-0"));
    uint8_t dest[2];
    OutputCapture printed, errors(STDERR_FILENO);
    EXPECT_TRUE(InitI2C());
    EXPECT_EQ(I2C_Read(kAdcBus, 0, 2, dest), -3);
    EXPECT_EQ(printed.Release(), "I2C_R>> Read error, ret=-1(0xFFFFFFFF)\r\n");
}

// An unreadable clock reads as the first Saturday of 2000, and the system clock is set to it.
TEST_F(I2cTest, UnreadableClockSetsTheSystemClockTo2000)
{
    RtcTime r = {1, 2, 3, 4, 5, 2024, 1};
    Printed([&] { EXPECT_FALSE(RTC_Read(&r)); });
    EXPECT_EQ(Text(r), "2000-01-01 00:00:00 [6]");
    DateStandIn();
    Printed(RTC_Read2sys);
    EXPECT_EQ(root.ReadFile("/date.args"), "-s|2000-01-01 00:00:00|");
}

}  // namespace
