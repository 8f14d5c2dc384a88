// The I2C register image: the running clock in its BCD registers. The firmware's clock write,
// the converter's configuration and a clock set before the start are shown end to end (e2e Clock).
#include "i2c_image.h"

#include "board_test_support.h"

#include <sys/stat.h>

namespace {

constexpr int kRtcOffset = 0x32 * 256 + 0x10;

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

std::vector<uint8_t> Registers(int64_t t)
{
    RtcRegisters r = RtcEncode(t);
    return std::vector<uint8_t>(r.begin(), r.end());
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

}  // namespace
