// sysfs GPIO of the board: a line exported as the firmware exports it. The INIT pin's levels and
// the LED record are read by every end-to-end test of the start and the LEDs.
#include "gpio_bank.h"

#include "board_test_support.h"
#include "sim_device.h"

#include <cstring>
#include <sys/ioctl.h>

namespace {

const std::vector<int> kLines = {27, 5, 77, 92};
const std::vector<int> kObserved = {77, 92};

// Writes a text the way the firmware does: open, one write (with the given length), close.
// Into the export FIFO it waits until the board has taken the text, as the firmware's pacing
// does: writes that met in the FIFO would be read as one.
bool FirmwareWrite(const std::string& path, const char* text, std::size_t len)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = write(fd, text, len);
    int waiting = 0;
    WaitUntil([&] { return ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0; }, Millis(2000), Millis(1));
    close(fd);
    return n == static_cast<ssize_t>(len);
}

// An attribute write of the firmware: the text with its terminating NUL.
bool WriteAttribute(const std::string& path, const char* text)
{
    return FirmwareWrite(path, text, std::strlen(text) + 1);
}

class GpioBankTest : public ::testing::Test {
protected:
    void Make(PinLevel init, bool preExported)
    {
        bank = std::make_unique<GpioBank>(gpio, dir / "board/gpio", init, preExported, kLines, kObserved);
        bank->Start();
    }

    bool Export(int line)
    {
        std::string digits = std::to_string(line);
        return FirmwareWrite(gpio + "/export", digits.c_str(), digits.size());
    }

    TempDir dir;
    std::string gpio = dir / "sys/class/gpio";
    std::unique_ptr<GpioBank> bank;
};

TEST_F(GpioBankTest, ExportMakesTheWholeLineAppear)
{
    Make(PinLevel::High, false);
    EXPECT_FALSE(PathExists(gpio + "/gpio27"));
    ASSERT_TRUE(Export(27));
    ASSERT_TRUE(WaitUntil([&] { return PathExists(gpio + "/gpio27/value"); }, Millis(2000), Millis(1)));
    // The value file shows last: the others are already there.
    EXPECT_EQ(ReadWholeFile(gpio + "/gpio27/direction"), "in\n");
    EXPECT_EQ(ReadWholeFile(gpio + "/gpio27/active_low"), "0\n");
    EXPECT_EQ(ReadWholeFile(gpio + "/gpio27/value"), "0\n");
    EXPECT_EQ(bank->Exported(), std::vector<int>{27});

    // Exporting an exported line changes nothing.
    ASSERT_TRUE(WriteAttribute(gpio + "/gpio27/direction", "out"));
    ASSERT_TRUE(Export(27));
    ASSERT_TRUE(Export(26));
    ASSERT_TRUE(WaitUntil([&] { return PathExists(gpio + "/gpio26/value"); }, Millis(2000), Millis(1)));
    EXPECT_EQ(bank->Line(27)->direction, "out");
}

}  // namespace
