// Console log and storage commands: the transcript switch and its file, card space and presence,
// and the day files under /media/card: listing (also with hostile names on the card), sending and
// deleting, with good dates and with requests that try to name other files. Listing, sending and
// deleting through lirnctl (tool/lirnctl_test), card presence and the listing without a card are
// shown end to end.
#include "console/console.h"
#include "logging/log.h"
#include "platform/shell.h"
#include "console_sink.h"
#include "temp_sysroot.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

class ConsoleLogs : public testing::Test {
protected:
    void SetUp() override
    {
        root.MakeDirs("/APP");
        root.MakeDirs("/media/card/USR_LOG");
        logEnable = 0;
        ShellInit();
    }
    std::string Ask(const std::string& line) { return sink.Ask(line); }
    void StandIn(const std::string& name, const std::string& script)
    {
        ASSERT_TRUE(root.WriteFile("/bin/" + name, "#!/bin/sh\n" + script, 0755));
    }
    void DayFile(const std::string& tree, const std::string& date, const std::string& content = "x\r\n")
    {
        root.WriteFile("/media/card/" + tree + "/" + date + ".txt", content);
    }

    TempSysroot root;
    ReplySink sink;
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST_F(ConsoleLogs, SwitchTakesAnyNumberAndNoValueChangesNothing)
{
    EXPECT_EQ(Ask("@LOGEN;2"), "!QRV-715M;LOGEN;OK\r\n");
    EXPECT_EQ(logEnable.load(), 2);
    EXPECT_EQ(Ask("@LOGST"), "!QRV-715M;LOGST;OK;2\r\n");
    EXPECT_EQ(Ask("@LOGEN"), "!QRV-715M;LOGEN;OK\r\n");
    EXPECT_EQ(logEnable.load(), 2);
    EXPECT_EQ(Ask("@LOGEN; 1x"), "!QRV-715M;LOGEN;OK\r\n");
    EXPECT_EQ(Ask("@LOGST"), "!QRV-715M;LOGST;OK;1\r\n");
    EXPECT_EQ(Ask("@LOGEN;"), "!QRV-715M;LOGEN;OK\r\n");
    EXPECT_EQ(logEnable.load(), 0);
    EXPECT_EQ(Ask("@LOGENABLE;1"), "!QRV-715M;LOGEN;OK\r\n");  // the text after the first ";"
    EXPECT_EQ(logEnable.load(), 1);
}

TEST_F(ConsoleLogs, SwitchIsSavedAsOneLineByReplacingTheFile)
{
    root.WriteFile("/APP/log.ini", "@LOGEN;1\r\n# kept by nobody\r\n");
    // A second name of the old file shows whether it was rewritten in place or replaced.
    ASSERT_EQ(link(root.Path("/APP/log.ini").c_str(), root.Path("/APP/log.old").c_str()), 0);
    Ask("@LOGEN;2");
    EXPECT_EQ(Ask("@LOGSAVE"), "!QRV-715M;LOGSAVE;OK\r\n");
    EXPECT_EQ(root.ReadFile("/APP/log.ini"), "@LOGEN;2\r\n");
    EXPECT_EQ(root.ReadFile("/APP/log.old"), "@LOGEN;1\r\n# kept by nobody\r\n");
    EXPECT_FALSE(root.Exists("/APP/log.ini.tmp"));
    logEnable = 0;
    ReadLogConfig();
    EXPECT_EQ(logEnable.load(), 2);
}

TEST_F(ConsoleLogs, SwitchSaveFailsWithoutItsDirectory)
{
    std::filesystem::remove_all(root.Path("/APP"));
    Ask("@LOGEN;1");
    EXPECT_EQ(Ask("@LOGSAVE"), "!QRV-715M;LOGSAVE;ER\r\n");
    EXPECT_EQ(logEnable.load(), 1);
}

// The third, second and fifth column of df's second line, read with 31 characters each, and the
// line feed of the last kept; no figures is an error.
TEST_F(ConsoleLogs, CardSpaceIsUsedSizeAndPercentFromTheDfLine)
{
    const std::pair<const char*, const char*> cases[] = {
        {"echo 'Filesystem      Size  Used Avail Use% Mounted on'\n"
         "echo '/dev/mmcblk0p1  7.4G  1.2G  6.2G  17% /media/card'\n",
         "!QRV-715M;LOGSD;OK;1.2G;7.4G;17%\n\r\n"},
        {"echo header\necho 'dev 123456789012345 123456789012345 123456789012345 99% /m'\n",
         "!QRV-715M;LOGSD;OK;123456789012345;123456789012345\r\n"},
        {"echo 'df: cannot read table of mounted file systems' >&2\nexit 1\n", "!QRV-715M;LOGSD;ER\r\n"},
    };
    for (const auto& [script, reply] : cases) {
        StandIn("df", std::string("echo \"$@\" > \"$(dirname \"$0\")/../df.args\"\n") + script);
        EXPECT_EQ(Ask("@LOGSD"), reply) << script;
        EXPECT_EQ(root.ReadFile("/df.args"), "-h " + root.Path("/media/card") + "\n");
    }
}

TEST_F(ConsoleLogs, ListingNamesArriveInPiecesOfSevenCutAtTheFirstDot)
{
    DayFile("USR_LOG", "2024/03/notes.backup");      // cut at its first dot
    DayFile("USR_LOG", "2024/04/abcdefghij");        // ten characters: two pieces
    DayFile("USR_LOG", "2024/05/abcdefg");           // exactly seven: one piece, nothing empty
    EXPECT_EQ(Ask("@LOGFILE"), "2024;03;notes\r\n2024;04;abcdefg\r\n2024;04;hij\r\n2024;05;abcdefg\r\n");
}

TEST_F(ConsoleLogs, HostileNamesOnTheCardRunNothingAndAreStillListed)
{
    // Each name fits one 7-character piece, so an unquoted command would run it.
    std::string marker = root.Path("/ran");
    setenv("Q", marker.c_str(), 1);
    DayFile("USR_LOG", "2024/$(:>$Q)/01");
    DayFile("USR_LOG", ";:>$Q/02/03");
    DayFile("USR_LOG", "2024/`:>$Q`/04");
    DayFile("USR_LOG", "2024/it's/05");
    DayFile("USR_LOG", "2024/a b\"c/06");
    DayFile("USR_LOG", "2024/03/$(:>$Q)");
    std::string listing = Ask("@LOGFILE");
    unsetenv("Q");
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(Lines(listing),
              (std::vector<std::string>{"2024;$(:>$Q);01\r", "2024;03;$(:>$Q)\r", "2024;`:>$Q`;04\r", "2024;a b\"c;06\r",
                                        "2024;it's;05\r", ";:>$Q;02;03\r"}));
}

TEST_F(ConsoleLogs, DayFileIsSentWholeInPieces)
{
    std::string content = "Time=>08:00:00\r\n" + std::string(300, 'z') + "\r\nlast line without end";
    DayFile("USR_LOG", "2024/03/05", content);
    EXPECT_EQ(Ask("@LOGDATA;2024;03;05"), content);
    EXPECT_EQ(Ask("@LOGDATA;2024;03;05x"), content);  // the day is its first two characters
    EXPECT_EQ(Ask("@LOGDATA;2024;03;06"), "");
    EXPECT_EQ(Ask("@LOGDATA;2024;03"), "");
    EXPECT_EQ(Ask("@LOGDATA"), "");
}

TEST_F(ConsoleLogs, DayFileRequestsNameNothingOutsideTheTrees)
{
    // "../." and ".." would lead from USR_LOG to /media/ab.txt.
    root.WriteFile("/media/ab.txt", "secret\r\n");
    DayFile("USR_LOG", "2024/3;/05");
    EXPECT_EQ(Ask("@LOGDATA;../.;..;ab"), "");
    EXPECT_EQ(Ask("@LOGDATA;2024;3;05"), "");  // a one-digit month
    EXPECT_EQ(Ask("@LOGDATA;abcd;ef;gh"), "");
    EXPECT_EQ(Ask("@LOGDEL;../.;..;ab"), "!QRV-715M;LOGDEL;ER\r\n");
    EXPECT_EQ(Ask("@LOGDEL;2024;3;05"), "!QRV-715M;LOGDEL;ER\r\n");
    EXPECT_EQ(Ask("@LOGDEL;20x4;03;05"), "!QRV-715M;LOGDEL;ER\r\n");
    EXPECT_TRUE(root.Exists("/media/ab.txt"));
    EXPECT_TRUE(root.Exists("/media/card/USR_LOG/2024/3;/05.txt"));
}

// A day is deleted from the three trees, but only when it has a user file.
TEST_F(ConsoleLogs, DeletingADayTakesItsTranscriptsOnlyWithItsUserFile)
{
    DayFile("AT_CMD_LOG", "2024/03/05");
    DayFile("QMI_LOG", "2024/03/05");
    EXPECT_EQ(Ask("@LOGDEL;2024;03;05"), "!QRV-715M;LOGDEL;ER\r\n");
    EXPECT_TRUE(root.Exists("/media/card/AT_CMD_LOG/2024/03/05.txt"));
    EXPECT_TRUE(root.Exists("/media/card/QMI_LOG/2024/03/05.txt"));
    EXPECT_EQ(Ask("@LOGDEL;2024;03"), "");  // too few ";": no reply at all
    DayFile("USR_LOG", "2024/03/05");
    EXPECT_EQ(Ask("@LOGDEL;2024;03;05"), "!QRV-715M;LOGDEL;OK\r\n");
    for (const char* tree : {"USR_LOG", "AT_CMD_LOG", "QMI_LOG"})
        EXPECT_FALSE(root.Exists(std::string("/media/card/") + tree + "/2024/03/05.txt")) << tree;
}

}  // namespace
