// Field faults on the simulated board: each test starts the gateway as its scenario record says,
// puts one fault on it through the board's control channel (a device node removed, the modem mute,
// a peer that accepts and closes, the card out or full, APP refusing saves, SIGKILL during a save)
// and waits, with deadlines, for the recovery. Rates and CPU are counted from what the board and
// the kernel record, never timed by pauses. LIRN_FAULTS_FULL=1 runs the long scenarios at full
// length (a minute of silence, 100 kills) instead of their shortened ctest form.
#include "board.h"
#include "control_client.h"
#include "../common/tunnel_loopback.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace tl = tunneltest;

namespace {

const Millis kStartTimeout(20000);
const Millis kStatusTimeout(60000);  // a modem poll cycle meeting mute exchanges takes long

bool FullLength()
{
    const char* full = std::getenv("LIRN_FAULTS_FULL");
    return full != nullptr && std::string(full) == "1";
}

// How the gateway starts: the console road (mode -1) or the tunnel in a mode against port.
struct Scenario {
    int mode = -1;
    int port = 0;
    bool transcripts = false;
};

// The numbers of an "ok N N ..." reply.
std::vector<long long> Numbers(const std::string& reply)
{
    std::istringstream in(reply.substr(reply.rfind("ok", 0) == 0 ? 2 : reply.size()));
    std::vector<long long> out;
    for (long long n; in >> n;) out.push_back(n);
    return out;
}

class Faults : public testing::Test {
protected:
    void Start(const Scenario& s)
    {
        if (s.transcripts) board.WriteFile("APP/log.ini", "@LOGEN;1\r\n");
        if (s.mode >= 0)
            board.WriteFile("APP/config.ini", "@LIRNMODE;" + std::to_string(s.mode) + "\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;" +
                                                  std::to_string(s.port) + "\r\n@LIRNHB;2\r\n");
        ASSERT_TRUE(board.Start({"--init", s.mode >= 0 ? "low" : "high"}));
        ASSERT_TRUE(board.WaitForOutput(s.mode >= 0 ? "Create ThreadLirnHb" : "Open Utility Port Successfully",
                                        kStartTimeout));
        ASSERT_GE(board.OpenPc(), 0);
    }
    void Ctl(const std::string& line) { ASSERT_TRUE(ControlOk(board.Control(line))) << line; }
    long long Now() { return Numbers(board.Control("now")).at(0); }
    // Board times of the opens of a removed node (the reply's first number is their count).
    std::vector<long long> Opens(const std::string& node)
    {
        std::vector<long long> n = Numbers(board.Control("node opens " + node));
        return n.empty() ? n : std::vector<long long>(n.begin() + 1, n.end());
    }
    std::string FwPid() { return ControlField(board.Control("pids"), "fw"); }
    // User and system time of the firmware, in clock ticks.
    long long FwCpuTicks()
    {
        std::ifstream stat("/proc/" + FwPid() + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
        return f.size() > 12 ? std::stoll(f[11]) + std::stoll(f[12]) : -1;
    }
    std::string Ask(const std::string& line)
    {
        EXPECT_TRUE(board.PcWrite(line + "\r\n"));
        return board.PcReadUntil("\r\n", Millis(5000));
    }
    bool AskUntil(const std::string& line, const std::string& reply)
    {
        return WaitUntil([&] { return Ask(line) == reply; }, kStatusTimeout, Millis(200));
    }

    // A peer that accepts and closes at once, counted by its own accepts: after the first few tries,
    // at most one try a second and few console lines; in mode 0 a link that then stays up is good,
    // and its single drop is rebuilt at once.
    void StormThenGoodLink(int mode)
        {
        int port = tl::FreePortRun(2);
        int listener = tl::ListenOn(mode == 1 ? port + 1 : port);
        std::vector<long long> accepts;
        std::vector<int> lines;  // console lines printed by each accept
        auto begin = std::chrono::steady_clock::now();
        std::thread server([&] {
            for (int n = 0; n < 5; n++) {
                int fd = tl::AcceptWithin(listener, 30000);
                if (fd < 0) return;
                accepts.push_back(MsSince(begin));
                lines.push_back(board.CountOutput("\n"));
                close(fd);
            }
        });
        Start({.mode = mode, .port = port});
        server.join();
        ASSERT_EQ(accepts.size(), 5u);
        EXPECT_GE(accepts[4] - accepts[2], 2 * 1000) << "tries 3 to 5 came faster than one a second";
        EXPECT_LE((lines[4] - lines[2]) * 1000 / (accepts[4] - accepts[2] + 1), 3) << board.Output();
        if (mode != 0) return;
        int peer = tl::AcceptWithin(listener, 20000);
        ASSERT_GE(peer, 0);
        // Up 10.5 s without a close: a good link. Its drop is rebuilt at once.
        EXPECT_EQ(ReadUpTo(peer, 1, Millis(10500)), "");
        close(peer);
        auto drop = std::chrono::steady_clock::now();
        peer = tl::AcceptWithin(listener, 5000);
        EXPECT_GE(peer, 0);
        EXPECT_LT(MsSince(drop), 2000);
        close(peer);
        close(listener);
    }

    Board board;
};

TEST_F(Faults, QmiDeviceAwayIsReopenedAtMostOnceASecondAndTheCallAndTunnelComeBack)
{
    int port = tl::FreePortRun(1);
    int listener = tl::ListenOn(port);
    Start({.mode = 0, .port = port});
    int peer = tl::AcceptWithin(listener, 20000);
    ASSERT_GE(peer, 0);
    long long cpuBefore = FwCpuTicks();
    auto outageStart = std::chrono::steady_clock::now();
    long long removed = Now();
    Ctl("node remove dev/cdc-wdm0");
    // The device stays away until the firmware has tried ten times to open it (about 10 s).
    ASSERT_TRUE(WaitUntil([&] { return Opens("dev/cdc-wdm0").size() >= 10; }, Millis(30000)));
    long long restored = Now();
    Ctl("node restore dev/cdc-wdm0");
    std::vector<long long> opens = Opens("dev/cdc-wdm0");
    for (std::size_t i = 1; i < opens.size(); i++) EXPECT_GE(opens[i] - opens[i - 1], 900) << "open " << i;
    EXPECT_LE(static_cast<long long>(opens.size()), (restored - removed) / 1000 + 1);

    std::string start;
    ASSERT_TRUE(WaitUntil([&] { return std::stoll(ControlField(start = board.Control("qmi last start"), "at")) > restored; },
                          Millis(15000), Millis(100)));
    long long redial = std::stoll(ControlField(start, "at")) - restored;
    EXPECT_LE(redial, 5000);
    EXPECT_TRUE(WaitUntil([&] { return board.Control("qmi state").find("call=up") != std::string::npos; }, Millis(15000)));
    long long cpuMs = (FwCpuTicks() - cpuBefore) * 1000 / sysconf(_SC_CLK_TCK);
    double cpuPercent = 100.0 * static_cast<double>(cpuMs) / static_cast<double>(MsSince(outageStart));
    std::printf("QMI outage: %zu opens in %lld ms, start %lld ms after the return, CPU %.2f %%\n", opens.size(),
                restored - removed, redial, cpuPercent);
    // The firmware's idle pauses alone cost about 1 %; a spinning reopen would cost a whole core.
    EXPECT_LT(cpuPercent, 5.0);
    std::string block = "back";
    block.resize(128, '\0');
    EXPECT_EQ(board.PcSendUntilPeerReads(peer, "back", 128), block);
    EXPECT_EQ(board.CountOutput("QMI device lost"), 1);
    EXPECT_EQ(board.CountOutput("QMI device back"), 1);
    close(peer);
    close(listener);
}

TEST_F(Faults, AtDeviceAwayAndBackResumesThePollWithCurrentValues)
{
    Start({});
    ASSERT_TRUE(AskUntil("@CREG", "!QRV-715M;CREG;OK;1\r\n"));
    std::string pid = FwPid();
    Ctl("node remove dev/smd8");
    ASSERT_TRUE(WaitUntil([&] { return Opens("dev/smd8").size() >= 2; }, Millis(20000)));
    Ctl("at creg 5");
    Ctl("node restore dev/smd8");
    EXPECT_TRUE(AskUntil("@CREG", "!QRV-715M;CREG;OK;5\r\n"));
    EXPECT_EQ(FwPid(), pid);
}

TEST_F(Faults, ModemSilentForAWhileIsPolledAgainWithoutARestart)
{
    Start({});
    ASSERT_TRUE(AskUntil("@CREG", "!QRV-715M;CREG;OK;1\r\n"));
    std::string pid = FwPid();
    Ctl("at mute on");
    // Each unanswered command waits 5 s: three are 15 s of silence, twelve a minute.
    long long lines = Numbers(board.Control("at log count")).at(0) + (FullLength() ? 12 : 3);
    ASSERT_TRUE(WaitUntil([&] { return Numbers(board.Control("at log count")).at(0) >= lines; }, Millis(120000),
                          Millis(200)));
    Ctl("at creg 5");
    Ctl("at mute off");
    EXPECT_TRUE(AskUntil("@CREG", "!QRV-715M;CREG;OK;5\r\n"));
    EXPECT_EQ(FwPid(), pid);
}

TEST_F(Faults, PlainClientAgainstAPeerThatAcceptsAndClosesIsPaced) { StormThenGoodLink(0); }
TEST_F(Faults, HeartbeatClientAgainstAServerThatAcceptsAndClosesIsPaced) { StormThenGoodLink(1); }

TEST_F(Faults, CardRemovedOrFullIsReportedAndTranscriptsResumeInTheDayFile)
{
    Start({.transcripts = true});
    char today[16];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    std::strftime(today, sizeof today, "%Y/%m/%d", &local);
    std::string day = "media/card/AT_CMD_LOG/" + std::string(today) + ".txt";
    ASSERT_TRUE(WaitUntil([&] { return board.FileExists(day); }, Millis(15000)));
    std::string pid = FwPid();
    Ctl("card remove");
    ASSERT_TRUE(board.WaitForOutput("AT_CMD_LOG transcript cannot be written", Millis(15000)));
    Ctl("card insert");
    ASSERT_TRUE(board.WaitForOutput("AT_CMD_LOG transcript written again", Millis(15000)));
    std::size_t size = board.ReadFile(day).size();
    EXPECT_TRUE(WaitUntil([&] { return board.ReadFile(day).size() > size; }, Millis(15000)));
    Ctl("card full on");
    EXPECT_TRUE(board.WaitForOutput("AT_CMD_LOG transcript cannot be written", Millis(15000), 2));
    Ctl("card full off");
    EXPECT_TRUE(board.WaitForOutput("AT_CMD_LOG transcript written again", Millis(15000), 2));
    EXPECT_EQ(FwPid(), pid);
}

TEST_F(Faults, SaveIntoAnAppThatRefusesFilesRepliesErrorAndKeepsTheOldFile)
{
    board.WriteFile("APP/config.ini", "@APN;OLDAPN\r\n");
    Start({});
    Ctl("app readonly");
    EXPECT_EQ(Ask("@APN;NEWAPN"), "!QRV-715M;APN;OK\r\n");
    EXPECT_EQ(Ask("@SAVE"), "!QRV-715M;SAVE;ER\r\n");
    EXPECT_EQ(board.ReadFile("APP/config.ini"), "@APN;OLDAPN\r\n");
}

// SIGKILL at random moments of repeated saves: the file is always one whole save, old or new.
TEST_F(Faults, KilledDuringSavesLeavesAWholeConfigFile)
{
    Start({});
    std::string whole[2];
    for (int i = 0; i < 2; i++) {
        Ask("@APN;APN" + std::to_string(i));
        ASSERT_EQ(Ask("@SAVE"), "!QRV-715M;SAVE;OK\r\n");
        whole[i] = board.ReadFile("APP/config.ini");
    }
    unsigned seed = static_cast<unsigned>(time(nullptr));
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    int kills = FullLength() ? 100 : 10;
    for (int k = 0; k < kills; k++) {
        Ask("@APN;APN" + std::to_string(k % 2));
        ASSERT_TRUE(board.PcWrite("@SAVE\r\n"));
        // The reply's wait is the random moment: before, during or just after the save.
        board.PcReadUntil("\r\n", Millis(60 + rng() % 120));
        std::string pid = FwPid();
        kill(std::stoi(pid), SIGKILL);
        ASSERT_TRUE(WaitUntil([&] { return board.Control("fw") == "ok killed 9"; }, Millis(5000)));
        std::string config = board.ReadFile("APP/config.ini");
        ASSERT_TRUE(config == whole[0] || config == whole[1]) << "kill " << k << ":\n" << config;
        Ctl("fw start");
        ASSERT_TRUE(board.WaitForOutput("Open Utility Port Successfully", kStartTimeout, k + 2));
    }
}

}  // namespace
