// GPIO lines on a temporary sysfs tree, and single passes of the LED pattern thread. The GPS LED
// with a fix and the two update patterns switching both LEDs together are measured end to end
// (e2e Modem, SdUpdate).
#include "board/gpio.h"
#include "board/ticks.h"
#include "leds/leds.h"
#include "modem/modem.h"
#include "temp_sysroot.h"

#include "output_capture.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <string>


namespace {

class GpioTest : public testing::Test {
protected:
    void SetUp() override { root.MakeDirs("/sys/class/gpio"); }
    void TearDown() override
    {
        LedShowPattern(1);
        gps_flag = 0;
    }
    // An exported line as the kernel shows it.
    void Line(int gpio, const std::string& value)
    {
        std::string dir = "/sys/class/gpio/gpio" + std::to_string(gpio);
        root.WriteFile(dir + "/value", value);
        root.WriteFile(dir + "/direction", "in");
        root.WriteFile(dir + "/active_low", "0");
    }
    std::string Attr(int gpio, const char* name)
    {
        return root.ReadFile("/sys/class/gpio/gpio" + std::to_string(gpio) + "/" + name);
    }
    TempSysroot root;
};

TEST_F(GpioTest, ExportedLineIsNotExportedAgainButItsAttributesAreWritten)
{
    Line(77, "1");
    EXPECT_EQ(GPIO_io_init(77, 1, 0, 0), 0);
    EXPECT_FALSE(root.Exists("/sys/class/gpio/export"));
    EXPECT_EQ(Attr(77, "direction"), std::string("out\0", 4));
    EXPECT_EQ(Attr(77, "active_low"), std::string("0\0", 2));
    EXPECT_EQ(Attr(77, "value"), std::string("0\0", 2));
}

TEST_F(GpioTest, InputsGetNoInitialValue)
{
    Line(5, "0");
    EXPECT_EQ(GPIO_io_init(5, 0, 1, 0), 0);
    EXPECT_EQ(Attr(5, "direction"), std::string("in\0", 3));
    EXPECT_EQ(Attr(5, "active_low"), std::string("1\0", 2));
    EXPECT_EQ(Attr(5, "value"), "0");
}

TEST_F(GpioTest, ExportWritesTheDigitsAndFailsWhenNoLineAppears)
{
    root.WriteFile("/sys/class/gpio/export", "");
    OutputCapture printed, errors(STDERR_FILENO);
    EXPECT_EQ(GPIO_io_init(92, 1, 0, 0), -1);
    std::string out = printed.Release();
    std::string err = errors.Release();
    EXPECT_EQ(root.ReadFile("/sys/class/gpio/export"), "92");
    EXPECT_NE(err.find("create fail"), std::string::npos) << err;
    EXPECT_EQ(out, "[92]gpio init error\r\n");
}

TEST_F(GpioTest, MissingExportFileStopsTheLineSetUp)
{
    OutputCapture printed, errors(STDERR_FILENO);
    EXPECT_LT(GPIO_open(4), 0);
    EXPECT_NE(errors.Release().find("open fail"), std::string::npos);
}

TEST_F(GpioTest, ValueReadIsOneOnlyForACharacterOne)
{
    Line(5, "1\n");
    EXPECT_EQ(GPIO_get_value(5), 1);
    EXPECT_EQ(PIN_INIT_V(), 1);
    Line(5, "0");
    EXPECT_EQ(PIN_INIT_V(), 0);
    Line(5, "x");
    EXPECT_EQ(PIN_INIT_V(), 0);
    Line(5, "");
    EXPECT_EQ(Printed([] { EXPECT_EQ(PIN_INIT_V(), 0); }),  // an empty file: the read returns 0 bytes
              "usr_gpio_get_value read /sys/class/gpio/gpio5/value error 0\n");
    root.WriteFile("/sys/class/gpio/gpio5/value", "1");
    std::filesystem::remove(root.Path("/sys/class/gpio/gpio5/value"));
    EXPECT_EQ(Printed([] { EXPECT_LT(PIN_INIT_V(), 0); }), "usr_gpio_get_value open /sys/class/gpio/gpio5/value error -1\n");
}

TEST_F(GpioTest, WritesToMissingFilesFailWithTheirMessages)
{
    OutputCapture printed, errors(STDERR_FILENO);
    EXPECT_LT(GPIO_set_dir(3, 1), 0);
    EXPECT_LT(GPIO_set_active(3, 1), 0);
    EXPECT_LT(GPIO_set_value(3, 1), 0);
    EXPECT_EQ(printed.Release(), "gpio(3)/directiongpio(3)/active_low");
    EXPECT_NE(errors.Release().find("gpio/set-value"), std::string::npos);
}

// One LED pass with the LEDs in given states and period starts the given time ago.
class LedTest : public GpioTest {
protected:
    void SetUp() override
    {
        GpioTest::SetUp();
        Line(kGpioStatusLed, "0");
        Line(kGpioGpsLed, "0");
    }
    unsigned Pass(const char* sta, uint32_t staAgoMs, const char* gps, uint32_t gpsAgoMs)
    {
        Line(kGpioStatusLed, sta);
        Line(kGpioGpsLed, gps);
        uint32_t now = GetTimeTicks();
        state.staStart = now - staAgoMs;
        state.gpsStart = now - gpsAgoMs;
        return LedPass(state);
    }
    std::string Sta() { return Attr(kGpioStatusLed, "value").substr(0, 1); }
    std::string Gps() { return Attr(kGpioGpsLed, "value").substr(0, 1); }
    LedState state{};
};

TEST_F(LedTest, SteadyPatternsKeepTheLedOn)
{
    for (int step : {0, 7, -1, 100}) {
        LedShowPattern(step);
        gps_flag = 0;
        Pass("0", 5000, "0", 5000);
        EXPECT_EQ(Sta(), "1") << step;
        EXPECT_EQ(Gps(), "1") << step;  // no fix: steadily on
    }
    gps_flag = 2;
    Pass("0", 0, "0", 0);
    EXPECT_EQ(Gps(), "1");
}

TEST_F(LedTest, BlinkPhasesFollowTheStatusPatternTable)
{
    struct {
        int step;
        uint32_t on, off;
    } table[] = {{1, 900, 100}, {2, 500, 500}, {3, 200, 200}, {4, 100, 900}};
    // "Still within" checks leave at least 100 ms of margin for a slow machine.
    auto within = [](uint32_t phase) { return phase > 200 ? phase - 150 : 0u; };
    for (const auto& p : table) {
        LedShowPattern(p.step);
        Pass("1", within(p.on), "1", 0);
        EXPECT_EQ(Sta(), "1") << "still within the on time of " << p.step;
        Pass("1", p.on + 20, "1", 0);
        EXPECT_EQ(Sta(), "0") << "on time over for " << p.step;
        Pass("0", within(p.off), "1", 0);
        EXPECT_EQ(Sta(), "0") << "still within the off time of " << p.step;
        Pass("0", p.off + 20, "1", 0);
        EXPECT_EQ(Sta(), "1") << "off time over for " << p.step;
    }
}

TEST_F(LedTest, PatternChangeActsOnTheTimeAlreadyElapsed)
{
    LedShowPattern(1);
    Pass("1", 600, "1", 0);
    EXPECT_EQ(Sta(), "1");  // 600 ms of 900 ms on
    LedShowPattern(2);
    Pass("1", 600, "1", 0);
    EXPECT_EQ(Sta(), "0");  // already past 500 ms on
}

TEST_F(LedTest, PassWaitsUntilTheNextSwitchOrForAChangeWhenNothingBlinks)
{
    LedShowPattern(1);
    gps_flag = 0;
    unsigned pause = Pass("1", 895, "1", 0);
    if (Sta() == "1") {  // a stalled machine may already have switched it
        EXPECT_LE(pause, 5u);
    }
    EXPECT_GE(pause, 1u);
    pause = Pass("1", 0, "1", 0);
    EXPECT_GT(pause, 700u);  // 900 ms on, less what a slow machine took
    EXPECT_LE(pause, 900u);
    LedShowPattern(0);
    EXPECT_EQ(Pass("1", 0, "1", 0), kWaitForever);
}

}  // namespace
