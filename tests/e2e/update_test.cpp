// Firmware updates on the simulated board. The card road: the install's order of system calls
// (strace), and kills of the firmware's whole process group at random moments of it. Which file
// the card road refuses, renames or keeps is the unit tests' (sdcard_test). The trial of a staged
// program (build/lirn-next, one build number up, or a program that crashes at once): promotion,
// the rollbacks, and a cut at each of their steps.
// LIRN_FAULTS_FULL=1 runs 100 kills instead of a handful (the recovery benchmark runs 100 too).
#include "board.h"
#include "card_install.h"
#include "tunnel_loopback.h"

#include "board/module.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <ostream>
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

// ---- Trial, promotion and rollback

namespace {

const std::string kOld = LIRN_BUILD_DIR "/lirn";
const std::string kNext = LIRN_BUILD_DIR "/lirn-next";
const std::string kCrash = LIRN_BUILD_DIR "/crash-program";
const unsigned kNextBuild = kFirmwareBuild + 1;

// A gateway in mode 0 whose peer listens (or not), with build/lirn as APP/fw and a program staged
// for its trial, as a checked update leaves them; the board starts nothing until Go.
struct TrialSite {
    void Stage(const std::string& program, bool peerListens = true)
    {
        int port = tunneltest::FreePortRun();
        if (peerListens) listener = tunneltest::ListenOn(port);
        board.WriteFile("APP/config.ini", "@LIRNMODE;0\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;" + std::to_string(port) + "\r\n");
        board.WriteFile("APP/fw", ReadWholeFile(kOld), 0755);
        board.WriteFile("APP/fw.trial", ReadWholeFile(program), 0755);
        board.WriteFile("APP/update.ini", "@UPDSTATE;trial\r\n@UPDVERSION;" + std::to_string(kNextBuild) + "\r\n@UPDTRIES;0\r\n");
    }
    // Starts the board, then the firmware from APP/fw with the trial window and these variables.
    bool Go(int windowS, const std::string& env = "")
    {
        return board.Start({"--init", "low", "--no-firmware", "--set", "fw env LIRN_TRIAL_WINDOW_S=" + std::to_string(windowS)}) &&
               (env.empty() || ControlOk(board.Control("fw env " + env))) && ControlOk(board.Control("fw start"));
    }
    std::string Record() { return board.ReadFile("APP/update.ini"); }
    bool Holds(const std::string& path, const std::string& program) { return board.ReadFile(path) == ReadWholeFile(program); }
    // Takes the connections of starts that have ended, so that they do not pass for a new one.
    void DropStaleConnections()
    {
        for (int stale; (stale = tunneltest::AcceptWithin(listener, 0)) >= 0;) close(stale);
    }
    // The gateway's tunnel reached its peer (a connection accepted) within ms.
    bool PeerReached(int ms)
    {
        int c = tunneltest::AcceptWithin(listener, ms);
        if (c >= 0) close(c);
        return c >= 0;
    }
    ~TrialSite()
    {
        if (listener >= 0) close(listener);
    }

    Board board;
    int listener = -1;
};

class Trial : public testing::Test, public TrialSite {};

// The first child of a process: the program the old one runs on trial.
pid_t ChildOf(pid_t parent)
{
    std::string children = ReadWholeFile("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    return children.empty() ? -1 : static_cast<pid_t>(std::stoi(children));
}

TEST_F(Trial, AHealthyProgramPromotesItselfAndThePromotedOneStartsAloneAfterItEnds)
{
    Stage(kNext);
    ASSERT_TRUE(Go(60));
    const std::string promoted = "Update Promoted: Build " + std::to_string(kNextBuild);
    ASSERT_TRUE(board.WaitForOutput(promoted, Millis(60000))) << board.Output();
    EXPECT_TRUE(board.OutputHasLinesInOrder({"Update Trial: Build " + std::to_string(kNextBuild) + ", Try 1 Of 3\r",
                                             "Update Trial Of Build " + std::to_string(kNextBuild) +
                                                 ": Healthy Within 60 s Or Rolled Back\r",
                                             promoted + "\r"}));
    EXPECT_TRUE(Holds("APP/fw", kNext));
    EXPECT_TRUE(Holds("APP/fw.bck", kOld));
    EXPECT_FALSE(board.FileExists("APP/fw.trial"));
    EXPECT_NE(Record().find("@UPDSTATE;idle\r\n@UPDVERSION;" + std::to_string(kNextBuild)), std::string::npos) << Record();
    EXPECT_NE(Record().find("@UPDRESULT;ok\r\n"), std::string::npos) << Record();

    // The old program only watches its promoted child; when that ends, the module restarts.
    pid_t parent = std::stoi(board.Control("fw").substr(11));
    pid_t child = ChildOf(parent);
    ASSERT_GT(child, 0);
    DropStaleConnections();
    kill(child, SIGKILL);
    ASSERT_TRUE(board.WaitForOutput("Promoted Program Ended, crashed (signal 9): Rebooting", Millis(10000))) << board.Output();
    ASSERT_TRUE(WaitUntil([&] { return board.Control("reboots") == "ok 1"; }, Millis(10000)));
    EXPECT_TRUE(PeerReached(30000));
    EXPECT_EQ(board.CountOutput("Update Trial:"), 1) << board.Output();
}

TEST_F(Trial, AProgramThatCrashesAtStartIsRolledBackAfterThreeTries)
{
    Stage(kCrash);
    ASSERT_TRUE(Go(60));
    ASSERT_TRUE(board.WaitForOutput("Update Of Build " + std::to_string(kNextBuild) +
                                        " Ended: rolled back: crashed (signal 6)",
                                    Millis(20000)))
        << board.Output();
    EXPECT_EQ(board.CountOutput("Update Trial: Try"), 3);
    EXPECT_TRUE(PeerReached(30000));  // the old program starts the gateway itself
    EXPECT_TRUE(Holds("APP/fw", kOld));
    EXPECT_FALSE(board.FileExists("APP/fw.trial"));
    EXPECT_NE(Record().find("@UPDTRIES;3\r\n@UPDLAST;crashed (signal 6)\r\n@UPDRESULT;rolled back: crashed (signal 6)\r\n"),
              std::string::npos)
        << Record();
}

TEST_F(Trial, AProgramThatNeverReachesItsPeerIsRolledBackAfterTheWindow)
{
    Stage(kNext, false);
    ASSERT_TRUE(Go(2));
    ASSERT_TRUE(board.WaitForOutput("Ended: rolled back: not healthy within 2 s", Millis(40000))) << board.Output();
    EXPECT_EQ(board.CountOutput("Update Trial: Try"), 3);
    EXPECT_TRUE(Holds("APP/fw", kOld));
    EXPECT_FALSE(board.FileExists("APP/fw.bck"));
    EXPECT_EQ(board.CountOutput("Update Promoted"), 0);
}

// A power cut at each step of the trial, the promotion and the rollback (the whole group killed
// there): the next start runs a program that works and finishes the update one way or the other.
struct Cut {
    const char* step;
    const std::string* program;  // staged for the trial
    const std::string* ends;     // in APP/fw at the end
    const char* result;          // how the record says it ended
};
void PrintTo(const Cut& c, std::ostream* out)
{
    *out << c.step;
}

class CutDuringTrial : public testing::TestWithParam<Cut> {};

TEST_P(CutDuringTrial, TheNextStartRunsAProgramThatWorks)
{
    const Cut& c = GetParam();
    TrialSite site;
    site.Stage(*c.program);
    ASSERT_TRUE(site.Go(60, std::string("LIRN_CUT_AT=") + c.step));
    ASSERT_TRUE(WaitUntil([&] { return site.board.Control("fw") == "ok killed 9"; }, Millis(60000))) << site.board.Output();
    EXPECT_EQ(site.board.CountOutput(std::string("Cut At ") + c.step), 1);
    ASSERT_TRUE(ControlOk(site.board.Control("fw env LIRN_CUT_AT=")));
    site.DropStaleConnections();
    ASSERT_TRUE(ControlOk(site.board.Control("fw start")));
    EXPECT_TRUE(site.PeerReached(60000)) << site.board.Output();
    EXPECT_TRUE(WaitUntil([&] { return site.Record().find("@UPDSTATE;idle") != std::string::npos; }, Millis(30000)))
        << site.Record();
    EXPECT_NE(site.Record().find(std::string("@UPDRESULT;") + c.result), std::string::npos) << site.Record();
    EXPECT_TRUE(site.Holds("APP/fw", *c.ends));
    EXPECT_FALSE(site.board.FileExists("APP/fw.trial"));
}

INSTANTIATE_TEST_SUITE_P(Steps, CutDuringTrial,
                         testing::Values(Cut{"trial_counted", &kNext, &kNext, "ok"}, Cut{"trial_started", &kNext, &kNext, "ok"},
                                         Cut{"promote_backed_up", &kNext, &kNext, "ok"},
                                         Cut{"promote_renamed", &kNext, &kNext, "ok"},
                                         Cut{"promote_recorded", &kNext, &kNext, "ok"},
                                         Cut{"trial_ended", &kCrash, &kOld, "rolled back: crashed (signal 6)"},
                                         Cut{"rollback_recorded", &kCrash, &kOld, "rolled back: crashed (signal 6)"},
                                         Cut{"rollback_removed", &kCrash, &kOld, "rolled back: crashed (signal 6)"}),
                         [](const testing::TestParamInfo<Cut>& i) { return std::string(i.param.step); });

}  // namespace
