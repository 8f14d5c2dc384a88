// The command stand-ins as the firmware's shell finds them: a date setting is recorded, not made.
// df and init 6 are shown end to end (card space, reboots).
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
}  // namespace
