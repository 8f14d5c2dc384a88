// The command stand-ins as the firmware's shell finds them: date, df, init. A card-less df and
// init 6 are also shown end to end (tests/e2e: card space, reboots); here are the date settings,
// the pass-through of other uses and paths, and the refusals.
#include "stand_ins.h"

#include "board_test_support.h"

namespace {

class StandInsTest : public ::testing::Test {
protected:
    StandInsTest()
    {
        MakeDirs(dir / "media/card");
        standIns = std::make_unique<StandIns>(dir.Path());
    }

    // A command as the firmware runs it: through the shell, with the stand-ins first on PATH.
    ShellResult Run(const std::string& command)
    {
        return RunShell("PATH=" + ShellWord(dir / "bin") + ":\"$PATH\"; " + command);
    }

    TempDir dir;
    std::unique_ptr<StandIns> standIns;
};

TEST_F(StandInsTest, DateSetIsRecordedAndShownNotSet)
{
    ShellResult r = Run("date -s \"2024-05-06 07:08:09\"");
    EXPECT_EQ(r.status, 0);
    // Shown as the real command shows a time: in its default format.
    EXPECT_EQ(r.output, RunShell("date -d '2024-05-06 07:08:09'").output);
    EXPECT_NE(r.output.find("2024"), std::string::npos) << r.output;
    EXPECT_EQ(Run("date --set='2030-01-02 03:04:05'").status, 0);
    EXPECT_EQ(standIns->DateSettings(), (std::vector<std::string>{"2024-05-06 07:08:09", "2030-01-02 03:04:05"}));
    // The host clock was left alone.
    EXPECT_NE(RunShell("date +%Y").output, "2024\n");
}

// The firmware only sets the date; any other use is the real command's.
TEST_F(StandInsTest, DateWithoutSetIsTheRealDate)
{
    ShellResult r = Run("date -d '2001-02-03 04:05:06' +%F_%T");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "2001-02-03_04:05:06\n");
    EXPECT_TRUE(standIns->DateSettings().empty());
}

TEST_F(StandInsTest, ABadDateIsRecordedAndFailsAsTheRealOneWould)
{
    ShellResult r = Run("date -s 'next blursday' 2>/dev/null");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(standIns->DateSettings(), std::vector<std::string>{"next blursday"});
}

TEST_F(StandInsTest, DfReportsTheMountedCard)
{
    standIns->SetCard(CardSizes{"15G", "3.1G", "12G", "21%"});
    std::string card = dir / "media/card";
    ShellResult r = Run("df -h " + card);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find(card), std::string::npos) << r.output;
    EXPECT_EQ(Run("df -h " + card + " | awk 'NR==2 {print$3\";\"$2\";\"$5}'").output, "3.1G;15G;21%\n");
    EXPECT_EQ(standIns->Card()->size, "15G");
    // Another path is the real df's business.
    EXPECT_EQ(Run("df -h / | grep -c media/card").output, "0\n");
}

TEST_F(StandInsTest, InitRefusesEverythingElse)
{
    for (const char* command : {"init 0", "init", "init 6 6", "init 5"}) {
        EXPECT_EQ(Run(std::string(command) + " 2>/dev/null").status, 1) << command;
    }
    EXPECT_EQ(standIns->TakeInitRequests(), 0);
}

}  // namespace
