// Start-up decisions: the supervisor's pattern choice and the command line. The road taken for an
// INIT pin asserted, not asserted or unreadable is shown end to end (tunnel_test, console_test,
// board_start_test).
#include "app/app.h"
#include "board/i2c.h"
#include "config/config.h"
#include "leds/leds.h"
#include "logging/log.h"
#include "platform/shell.h"
#include "temp_sysroot.h"

#include "output_capture.h"

#include <gtest/gtest.h>
#include <ctime>
#include <string>
#include <vector>
#include <sys/stat.h>


namespace {

TEST(Supervisor, PriorityIsPinThenDataCallThenRegistration)
{
    EXPECT_EQ(SupervisorPattern(1, 0, 1), 4);   // PIN wins over an up data call
    EXPECT_EQ(SupervisorPattern(0, 0, 0), 2);
    EXPECT_EQ(SupervisorPattern(2, 0, 5), 2);   // a missing SIM does not select 4
    EXPECT_EQ(SupervisorPattern(0, -1, 1), 1);
    EXPECT_EQ(SupervisorPattern(0, -1, 5), 1);
    for (int creg : {0, 2, 3, 4, 99}) EXPECT_EQ(SupervisorPattern(0, -1, creg), 0) << creg;
    EXPECT_EQ(SupervisorPattern(2, -1, 0), 0);
}

class CommandLineTest : public testing::Test {
protected:
    void SetUp() override
    {
        root.MakeDirs("/APP");
        // A date stand-in that records its arguments.
        root.WriteFile("/bin/date", "#!/bin/sh\nprintf '%s|' \"$@\" > \"$(dirname \"$0\")/../date.args\"\nexit 3\n");
        chmod(root.Path("/bin/date").c_str(), 0755);
        ShellInit();
        InitLirnConfig();
    }
    std::string Run(std::vector<std::string> args)
    {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        return Printed([&] { HandleCommandLine(static_cast<int>(argv.size()), argv.data()); });
    }
    TempSysroot root;
};

// The date road: the date command with its result, then the real-time clock written from the
// system clock (which the stand-in leaves alone) and read back from the register image.
TEST_F(CommandLineTest, DateRoadRunsTheDateCommandThenWritesTheClockAndReadsItBack)
{
    root.WriteFile("/dev/i2c-0", std::string(kI2cImageDevices * kI2cImageRegisters, '\0'));
    std::string out = Run({"lirn", "2024-03-15", "08:30:05"});
    EXPECT_EQ(out.rfind("CMD: date -s \"2024-03-15 08:30:05\"\n", 0), 0u) << out;
    EXPECT_NE(out.find("Had Set System Time: 768\n"), std::string::npos) << out;  // exit 3, as system() reports it
    EXPECT_EQ(root.ReadFile("/date.args"), "-s|2024-03-15 08:30:05|");
    char now[32];
    time_t t = time(nullptr);
    std::strftime(now, sizeof now, "%Y-%m-%d %H:", localtime(&t));
    std::size_t written = out.find("before RTC Time= "), read = out.find("\nRTC Time= ");
    ASSERT_NE(read, std::string::npos) << out;
    EXPECT_EQ(out.substr(written + 17, 14), std::string(now, 14)) << out;  // the host's local time, to the hour
    EXPECT_EQ(out.substr(read + 11, 23), out.substr(written + 17, 23)) << out;
}

TEST_F(CommandLineTest, OverlongDateIsRefusedAndNothingRuns)
{
    std::string out = Run({"lirn", std::string(50, '2'), "08:30:05"});
    EXPECT_EQ(out, "Date And Time Too Long, Not Set\r\n");
    EXPECT_FALSE(root.Exists("/date.args"));
}

TEST_F(CommandLineTest, OtherArgumentsAreIgnoredSilently)
{
    EXPECT_EQ(Run({"lirn"}), "");
    EXPECT_EQ(Run({"lirn", "-reset"}), "");
    EXPECT_EQ(Run({"lirn", "a", "b", "c"}), "");
    EXPECT_FALSE(root.Exists("/APP/config.ini"));
    EXPECT_FALSE(root.Exists("/date.args"));
}

}  // namespace
