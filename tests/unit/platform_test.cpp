// Sysroot mapping, shell quoting and the guard that keeps a development run off the host's clock
// and reboot; the tick arithmetic every wait relies on.
#include "board/ticks.h"
#include "platform/shell.h"
#include "platform/sysroot.h"
#include "platform/text.h"
#include "temp_sysroot.h"

#include "output_capture.h"

#include <gtest/gtest.h>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <time.h>


namespace {

TEST(Sysroot, MapsAbsolutePathsOnlyWhenSet)
{
    char out[kSysPathMax];
    SysrootSet("");
    ASSERT_EQ(SysPath(out, sizeof out, "/APP/config.ini"), 0);
    EXPECT_STREQ(out, "/APP/config.ini");
    SysrootSet("/tmp/board/");
    ASSERT_EQ(SysPath(out, sizeof out, "/APP/config.ini"), 0);
    EXPECT_STREQ(out, "/tmp/board/APP/config.ini");
    ASSERT_EQ(SysPath(out, sizeof out, "relative"), 0);
    EXPECT_STREQ(out, "relative");
    char small[8];
    EXPECT_EQ(SysPath(small, sizeof small, "/APP/config.ini"), -1);
    EXPECT_STREQ(small, "");
    SysrootSet("");
}

TEST(Shell, QuotesAnyTextAsOneWord)
{
    char out[64];
    ASSERT_EQ(ShellQuote(out, sizeof out, "a b"), 0);
    EXPECT_STREQ(out, "'a b'");
    ASSERT_EQ(ShellQuote(out, sizeof out, "x';rm -rf /;'"), 0);
    EXPECT_STREQ(out, "'x'\\'';rm -rf /;'\\'''");
    char small[4];
    EXPECT_EQ(ShellQuote(small, sizeof small, "abcdef"), -1);
    EXPECT_STREQ(small, "");
    // Plain names stay as they are, so an ordinary command reads as the system's own.
    ASSERT_EQ(ShellWordIfNeeded(out, sizeof out, "2024-05_x.txt"), 0);
    EXPECT_STREQ(out, "2024-05_x.txt");
    ASSERT_EQ(ShellWordIfNeeded(out, sizeof out, "a;b"), 0);
    EXPECT_STREQ(out, "'a;b'");
    EXPECT_EQ(ShellWordIfNeeded(small, sizeof small, "abcd"), -1);
    EXPECT_STREQ(small, "");
}

TEST(Shell, PathsAreTheSystemsOwnWithoutSysrootAndQuotedWhenOdd)
{
    char out[kSysPathMax];
    SysrootSet("");
    ASSERT_EQ(ShellPath(out, sizeof out, "/media/card/update"), 0);
    EXPECT_STREQ(out, "/media/card/update");
    SysrootSet("/tmp/my board");
    ASSERT_EQ(ShellPath(out, sizeof out, "/media/card/update"), 0);
    EXPECT_STREQ(out, "'/tmp/my board/media/card/update'");
    SysrootSet("/tmp/board");
    ASSERT_EQ(ShellPath(out, sizeof out, "/media/card/update"), 0);
    EXPECT_STREQ(out, "/tmp/board/media/card/update");
    SysrootSet("");
}

TEST(Shell, InitAndDateRunOnlyWithTheSysrootsStandIns)
{
    TempSysroot root;
    std::string out = Printed([] {
        EXPECT_EQ(ShellSystem("init 6"), -1);
        EXPECT_EQ(ShellSystem("date -s \"2024-01-01 00:00:00\""), -1);
    });
    EXPECT_NE(out.find("no bin/init stand-in"), std::string::npos) << out;
    EXPECT_NE(out.find("no bin/date stand-in"), std::string::npos) << out;
    // Other commands are not guarded; a name that merely starts like a guarded one is not either.
    EXPECT_TRUE(ShellCommandAllowed("mkdir -p /x"));
    EXPECT_TRUE(ShellCommandAllowed("initialise"));

    root.WriteFile("/bin/init", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/../init.called\"\n");
    chmod(root.Path("/bin/init").c_str(), 0755);
    ShellInit();
    EXPECT_EQ(ShellSystem("init 6"), 0);
    EXPECT_EQ(root.ReadFile("/init.called"), "6\n");
}

TEST(Ticks, ElapsedIsRightAcrossTheWrap)
{
    uint32_t start = 0xFFFFFF00u;
    uint32_t later = 0x00000010u;
    EXPECT_EQ(TickElapsed(start, later), 0x110u);
    EXPECT_TRUE(TickDue(start, later, 0x110u));
    EXPECT_FALSE(TickDue(start, later, 0x111u));
    EXPECT_FALSE(TickDue(later, later, 1));  // no time passed ends no wait
    EXPECT_TRUE(TickDue(later, later, 0));
}

TEST(Ticks, SecondsToMillisecondsNeverOverflows)
{
    EXPECT_EQ(TickSecondsToMs(10), 10000u);
    EXPECT_EQ(TickSecondsToMs(0), 0u);
    EXPECT_EQ(TickSecondsToMs(-5), 0u);
    EXPECT_EQ(TickSecondsToMs(4294967), 4294967000u);
    EXPECT_EQ(TickSecondsToMs(4294968), 0xFFFFFFFFu);
    EXPECT_EQ(TickSecondsToMs(INT_MAX), 0xFFFFFFFFu);
}

TEST(Ticks, FollowTheWallClockInMilliseconds)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint32_t wall = static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u + now.tv_nsec / 1000000);
    EXPECT_LT(TickElapsed(wall, GetTimeTicks()), 1000u);
    uint32_t start = GetTimeTicks();
    TickWaitUntil(start, 30);
    EXPECT_GE(TickElapsed(start, GetTimeTicks()), 30u);
}

TEST(Text, DecimalValueReadsLikeTheSystem)
{
    EXPECT_EQ(DecimalValue("  42abc"), 42);
    EXPECT_EQ(DecimalValue("-7"), -7);
    EXPECT_EQ(DecimalValue("+3"), 3);
    EXPECT_EQ(DecimalValue("abc"), 0);
    EXPECT_EQ(DecimalValue(""), 0);
    EXPECT_EQ(DecimalValue("99999999999999"), INT_MAX);
    EXPECT_EQ(DecimalValue("-99999999999999"), INT_MIN);
}

}  // namespace
