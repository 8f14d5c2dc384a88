// sysfs GPIO of the board: export emulation, the INIT pin's level and polarity, the LED record.
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

    std::string Value(int line) { return AttributeText(ReadWholeFile(gpio + "/gpio" + std::to_string(line) + "/value")); }

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

TEST_F(GpioBankTest, ExportTakesLineEndsAndRefusesWhatIsNoLine)
{
    Make(PinLevel::High, false);
    ASSERT_TRUE(FirmwareWrite(gpio + "/export", "abc", 3));
    ASSERT_TRUE(FirmwareWrite(gpio + "/export", "99999", 5));
    ASSERT_TRUE(FirmwareWrite(gpio + "/export", "12\n", 3));
    ASSERT_TRUE(WaitUntil([&] { return PathExists(gpio + "/gpio12/value"); }, Millis(2000)));
    EXPECT_EQ(bank->Exported(), std::vector<int>{12});
}

TEST_F(GpioBankTest, InitPinValueFollowsLevelAndActiveLow)
{
    Make(PinLevel::Low, false);
    ASSERT_TRUE(Export(GpioBank::kInitPin));
    ASSERT_TRUE(WaitUntil([&] { return PathExists(gpio + "/gpio5/value"); }, Millis(2000)));
    // Low level, not yet active low: reads 0.
    EXPECT_EQ(Value(5), "0");
    // The firmware makes the line active low: the held-low pin now reads asserted.
    ASSERT_TRUE(WriteAttribute(gpio + "/gpio5/active_low", "1"));
    EXPECT_TRUE(WaitUntil([&] { return Value(5) == "1"; }, Millis(2000)));

    bank->SetInitLevel(PinLevel::High);
    EXPECT_EQ(Value(5), "0");
    bank->SetInitLevel(PinLevel::Missing);
    EXPECT_FALSE(PathExists(gpio + "/gpio5/value"));
    EXPECT_TRUE(PathExists(gpio + "/gpio5/direction"));
    bank->SetInitLevel(PinLevel::Low);
    EXPECT_EQ(Value(5), "1");
    EXPECT_EQ(bank->InitLevel(), PinLevel::Low);

    ASSERT_TRUE(WriteAttribute(gpio + "/gpio5/active_low", "0"));
    EXPECT_TRUE(WaitUntil([&] { return Value(5) == "0"; }, Millis(2000)));
}

TEST_F(GpioBankTest, ALevelChosenBeforeTheExportShowsAtTheExport)
{
    Make(PinLevel::Low, false);
    bank->SetInitLevel(PinLevel::Missing);
    ASSERT_TRUE(Export(GpioBank::kInitPin));
    ASSERT_TRUE(WaitUntil([&] { return PathExists(gpio + "/gpio5/direction"); }, Millis(2000)));
    EXPECT_FALSE(PathExists(gpio + "/gpio5/value"));
    bank->SetInitLevel(PinLevel::High);
    EXPECT_EQ(Value(5), "1");
    // What was prepared for the export is not left in the tree.
    EXPECT_EQ(bank->Exported(), std::vector<int>{5});
}

TEST_F(GpioBankTest, PreExportedLinesAreThereAndAMissingPinHasNoValue)
{
    Make(PinLevel::Missing, true);
    EXPECT_EQ(bank->Exported(), (std::vector<int>{5, 27, 77, 92}));
    EXPECT_TRUE(PathExists(gpio + "/gpio5/active_low"));
    EXPECT_FALSE(PathExists(gpio + "/gpio5/value"));
    // Asking for the export again does not make the value appear.
    ASSERT_TRUE(Export(GpioBank::kInitPin));
    ASSERT_TRUE(Export(27));  // a later export: once it is taken, the first was served
    EXPECT_FALSE(PathExists(gpio + "/gpio5/value"));
    EXPECT_EQ(bank->Line(5)->value, std::nullopt);
}

TEST_F(GpioBankTest, StaleLinesOfAnEarlierBoardAreRemoved)
{
    MakeDirs(gpio + "/gpio44");
    WriteTextFile(gpio + "/gpio44/value", "1\n");
    Make(PinLevel::High, false);
    EXPECT_FALSE(PathExists(gpio + "/gpio44"));
    EXPECT_TRUE(bank->Exported().empty());
}

TEST_F(GpioBankTest, RecordsEveryLedChangeWithItsTime)
{
    Make(PinLevel::High, true);
    std::string led = gpio + "/gpio77/value";
    int64_t start = BoardNowMs();
    EXPECT_EQ(bank->Level(77), 0);
    // Steady writes of one level are one level, not many changes. A change of the other LED after
    // each write shows that the board has seen it (it takes the events in order).
    std::string other = gpio + "/gpio92/value";
    for (const char* v : {"1", "0", "1"}) {
        ASSERT_TRUE(WriteAttribute(led, "1"));
        ASSERT_TRUE(WriteAttribute(other, v));
        ASSERT_TRUE(WaitUntil([&] { return bank->Level(92) == (v[0] == '1' ? 1 : 0); }, Millis(2000)));
    }
    ASSERT_EQ(bank->Level(77), 1);
    std::this_thread::sleep_for(Millis(60));
    ASSERT_TRUE(WriteAttribute(led, "0"));
    ASSERT_TRUE(WaitUntil([&] { return bank->Level(77) == 0; }, Millis(2000)));
    std::this_thread::sleep_for(Millis(60));
    ASSERT_TRUE(WriteAttribute(led, "1"));
    ASSERT_TRUE(WaitUntil([&] { return bank->History(77).size() == 4; }, Millis(2000)));

    std::vector<LevelChange> h = bank->History(77);
    ASSERT_EQ(h.size(), 4u);
    EXPECT_EQ(h[0].level, 0);  // at export
    EXPECT_EQ(h[1].level, 1);
    EXPECT_EQ(h[2].level, 0);
    EXPECT_EQ(h[3].level, 1);
    EXPECT_GE(h[1].atMs, start);
    EXPECT_GE(h[2].atMs - h[1].atMs, 55);
    EXPECT_GE(h[3].atMs - h[2].atMs, 55);
    EXPECT_EQ(bank->History(77, h[2].atMs).size(), 2u);
    EXPECT_EQ(bank->History(92).size(), 4u);
    // A line that is not observed has no record.
    EXPECT_EQ(bank->Level(27), -1);
}

}  // namespace
