// The I2C register image: BCD clock registers, the running clock, writes taken in, the converter,
// and the image faults. The firmware's clock write taken in and a clock set before the start are
// shown end to end (e2e Clock: "clock writes", --clock).
#include "i2c_image.h"

#include "board_test_support.h"

#include <sys/stat.h>

namespace {

constexpr int kRtcOffset = 0x32 * 256 + 0x10;
constexpr int kAdcOffset = 0x48 * 256;

// 2024-02-29 23:59:58, a Thursday.
const int64_t kLeapEvening = *ParseCalendar("2024-02-29 23:59:58");

// The image's bytes as the firmware would read them.
std::vector<uint8_t> ImageBytes(const std::string& path, int offset, int count)
{
    std::vector<uint8_t> bytes(static_cast<std::size_t>(count));
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    ssize_t n = pread(fd, bytes.data(), bytes.size(), offset);
    close(fd);
    if (n != count) return {};
    return bytes;
}

bool ImageWrite(const std::string& path, int offset, const std::vector<uint8_t>& bytes)
{
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = pwrite(fd, bytes.data(), bytes.size(), offset);
    close(fd);
    return n == static_cast<ssize_t>(bytes.size());
}

std::vector<uint8_t> Registers(int64_t t)
{
    RtcRegisters r = RtcEncode(t);
    return std::vector<uint8_t>(r.begin(), r.end());
}

TEST(RtcRegisters, EncodeAsBcdWithOneHotWeekday)
{
    EXPECT_EQ(Registers(kLeapEvening), (std::vector<uint8_t>{0x58, 0x59, 0x23, 0x10, 0x29, 0x02, 0x24}));
    EXPECT_EQ(Registers(*ParseCalendar("2000-01-01 00:00:00")),
              (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x40, 0x01, 0x01, 0x00}));  // a Saturday
    EXPECT_EQ(Registers(*ParseCalendar("2099-12-31 12:34:56")),
              (std::vector<uint8_t>{0x56, 0x34, 0x12, 0x10, 0x31, 0x12, 0x99}));  // a Thursday
    EXPECT_EQ(ToBcd(45), 0x45);
    EXPECT_EQ(FromBcd(0x45), 45);
}

TEST(RtcRegisters, DecodeWithTheClockMasks)
{
    EXPECT_EQ(RtcDecode(RtcEncode(kLeapEvening)), kLeapEvening);
    // Control bits above the masks do not count: seconds 0xD9 read 59, month 0x92 reads 12.
    RtcRegisters r = {0xD9, 0x59, 0x23, 0x00, 0x31, 0x92, 0x24};
    EXPECT_EQ(RtcDecode(r), ParseCalendar("2024-12-31 23:59:59"));
    EXPECT_EQ(RtcDecode({0x00, 0x00, 0x00, 0x01, 0x31, 0x02, 0x24}), std::nullopt);  // 31 February
    EXPECT_EQ(RtcDecode({0x60, 0x00, 0x00, 0x01, 0x01, 0x01, 0x24}), std::nullopt);  // second 60
    EXPECT_EQ(RtcDecode({0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x24}), std::nullopt);  // month 0
}

class I2cImageTest : public ::testing::Test {
protected:
    void Make(int64_t base)
    {
        MakeDirs(dir / "dev");
        image = std::make_unique<I2cImage>(path, base);
        image->Start();
    }

    TempDir dir;
    std::string path = dir / "dev/i2c-0";
    std::unique_ptr<I2cImage> image;
};

TEST_F(I2cImageTest, HoldsTheClockAndKeepsItRunning)
{
    Make(kLeapEvening);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 128 * 256);
    EXPECT_EQ(ImageBytes(path, kRtcOffset, 7), Registers(kLeapEvening));
    // Two seconds on it is a new day, a month and a weekday further.
    std::vector<uint8_t> later = Registers(kLeapEvening + 2);
    EXPECT_EQ(later, (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x20, 0x01, 0x03, 0x24}));
    EXPECT_TRUE(WaitUntil([&] { return ImageBytes(path, kRtcOffset, 7) == later; }, Millis(5000)));
    EXPECT_GE(image->ClockNow(), kLeapEvening + 2);
    EXPECT_TRUE(image->ClockWrites().empty());
}

TEST_F(I2cImageTest, RecordsConverterConfigurationsAndServesTheResult)
{
    Make(kLeapEvening);
    image->SetAdcResult(0x1234);
    EXPECT_EQ(ImageBytes(path, kAdcOffset, 2), (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_EQ(image->AdcResult(), 0x1234);
    EXPECT_TRUE(image->AdcConfigWrites().empty());

    // The firmware's configuration write: register 0x01, high byte first.
    ASSERT_TRUE(ImageWrite(path, kAdcOffset + 1, {0x04, 0x73}));
    ASSERT_TRUE(WaitUntil([&] { return image->AdcConfigWrites().size() == 1; }, Millis(3000)));
    EXPECT_EQ(image->AdcConfigWrites()[0], 0x0473);
    // One image byte is both the result's low byte and the configuration's high byte.
    EXPECT_EQ(image->AdcResult(), 0x1204);
}

TEST_F(I2cImageTest, ControlReadAndWriteOfRegisters)
{
    Make(kLeapEvening);
    ASSERT_TRUE(image->Write(0x10, 0xFE, {0xAB, 0xCD}));
    EXPECT_EQ(image->Read(0x10, 0xFE, 2), (std::vector<uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(ImageBytes(path, 0x10 * 256 + 0xFE, 2), (std::vector<uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(image->Read(0x7F, 0xFF, 2), std::nullopt);  // past the end of the image
    EXPECT_EQ(image->Read(0x10, 0xFF, 2), std::nullopt);  // past the end of the device
    EXPECT_EQ(image->Read(0x80, 0, 1), std::nullopt);
    EXPECT_FALSE(image->Write(0x7F, 0xFF, {1, 2}));
    // A write to the clock's registers sets the clock, as a bus write would.
    int64_t t = *ParseCalendar("2040-04-04 04:04:04");
    ASSERT_TRUE(image->Write(0x32, 0x10, Registers(t)));
    EXPECT_EQ(image->ClockWrites().back(), t);
}

TEST_F(I2cImageTest, ShortAndMissingImagesAndTheirRepair)
{
    Make(kLeapEvening);
    image->SetAdcResult(0xBEEF);
    image->SetFault(ImageFault::Short);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LT(st.st_size, kRtcOffset + 7);
    EXPECT_LT(st.st_size, kAdcOffset + 2);
    EXPECT_TRUE(ImageBytes(path, kRtcOffset, 7).empty());
    EXPECT_EQ(image->Read(0x32, 0x10, 7), std::nullopt);
    EXPECT_EQ(image->Fault(), ImageFault::Short);

    image->SetFault(ImageFault::Missing);
    EXPECT_FALSE(PathExists(path));

    image->SetFault(ImageFault::None);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 128 * 256);
    EXPECT_EQ(ImageBytes(path, kAdcOffset, 2), (std::vector<uint8_t>{0xBE, 0xEF}));
    std::vector<uint8_t> clock = *image->Read(0x32, 0x10, 7);
    RtcRegisters regs;
    std::copy(clock.begin(), clock.end(), regs.begin());
    std::optional<int64_t> shown = RtcDecode(regs);
    ASSERT_TRUE(shown);
    EXPECT_LE(image->ClockNow() - *shown, 1);
}

}  // namespace
