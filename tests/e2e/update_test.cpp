// Firmware updates on the simulated board. The card road: the install's order of system calls
// (strace), and kills of the firmware's whole process group at random moments of it. Which file
// the card road refuses, renames or keeps is the unit tests' (sdcard_test).
// LIRN_FAULTS_FULL=1 runs 100 kills instead of a handful (the recovery benchmark runs 100 too).
#include "board.h"
#include "card_install.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

namespace {

const Millis kStartTimeout(20000);
const bool kFullLength = std::getenv("LIRN_FAULTS_FULL") != nullptr;
const char kSdOver[] = "///////////////SD OVER///////////////";

// The index of the first line at or after from that holds every one of the texts; -1 when none.
long FindLine(const std::vector<std::string>& lines, std::initializer_list<std::string> texts, long from = 0)
{
    for (long i = std::max(from, 0L); i < static_cast<long>(lines.size()); i++) {
        bool all = true;
        for (const std::string& t : texts) all = all && lines[i].find(t) != std::string::npos;
        if (all) return i;
    }
    return -1;
}

// A kill is no power cut: what lasts after one is the order of the system calls. The new program
// is written beside the old one and flushed, renamed over it, the directory flushed, and only then
// is the card's file removed.
TEST(CardInstall, WritesFlushesRenamesFlushesTheDirectoryThenRemovesTheCardsFile)
{
    Board board;
    std::string log = board.Path("strace.log");
    board.WriteFile("traced-lirn", "#!/bin/sh\nexec strace -f -y -qq -o '" + log +
                                      "' -e trace=write,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat '" +
                                      LIRN_BUILD_DIR "/lirn' \"$@\"\n", 0755);
    ProgramPair p = CardInstallPrograms();
    board.WriteFile("APP/fw", p.oldProgram, 0755);
    board.WriteFile("media/card/update/fw", p.newProgram);
    ASSERT_TRUE(board.Start({"--init", "high", "--firmware", board.Path("traced-lirn")}));
    ASSERT_TRUE(board.WaitForOutput(kSdOver, kStartTimeout)) << board.Output();
    std::vector<std::string> lines;
    std::istringstream in(board.ReadFile("strace.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);

    const std::string temp = board.Path("APP/fw.tmp"), app = board.Path("APP"), card = board.Path("media/card/update/fw");
    long firstWrite = FindLine(lines, {"write(", temp + ">"});
    long flush = FindLine(lines, {"fsync(", temp + ">"});
    long rename = FindLine(lines, {"rename", "\"" + temp + "\"", "\"" + app + "/fw\""});
    long dirFlush = FindLine(lines, {"fsync(", app + ">)"}, rename);
    long removal = FindLine(lines, {"unlink", "\"" + card + "\""});
    ASSERT_GE(firstWrite, 0);
    EXPECT_EQ(FindLine(lines, {"write(", temp + ">"}, flush), -1) << "a write to fw.tmp after its flush";
    EXPECT_LT(firstWrite, flush);
    EXPECT_LT(flush, rename);
    EXPECT_LT(rename, dirFlush);
    EXPECT_LT(dirFlush, removal);
    EXPECT_TRUE(board.ReadFile("APP/fw") == p.newProgram);
}

// Whatever moment a kill of the whole group comes at, APP/fw is the whole old program or the whole
// new one, and the card keeps its file until the new one is in place; the next start finishes.
TEST(CardInstall, KilledAtRandomMomentsLeavesAWholeProgramAndTheNextStartFinishes)
{
    Board board;
    ASSERT_TRUE(board.Start({"--init", "high", "--no-firmware"}));
    unsigned seed = static_cast<unsigned>(time(nullptr));
    SCOPED_TRACE("seed " + std::to_string(seed));
    int kills = kFullLength ? 100 : 6;
    CardInstallKills r = KillDuringCardInstall(board, kills, seed);
    std::printf("%d kills within the install's %lld ms: old %d, new %d, fw.tmp left %d\n", kills, r.windowMs, r.oldWhole,
                r.newWhole, r.tempLeft);
    EXPECT_EQ(r.broken, 0);
    EXPECT_EQ(r.cardGoneEarly, 0);
    EXPECT_EQ(r.oldWhole + r.newWhole, kills);

    int before = board.CountOutput(kSdOver);
    ASSERT_TRUE(ControlOk(board.Control("fw restart")));
    ASSERT_TRUE(board.WaitForOutput(kSdOver, kStartTimeout, before + 1)) << board.Output();
    EXPECT_TRUE(board.ReadFile("APP/fw") == CardInstallPrograms().newProgram);
    EXPECT_FALSE(board.FileExists("media/card/update/fw"));
    EXPECT_FALSE(board.FileExists("APP/fw.tmp"));
}

}  // namespace
