// Board support on the simulated board: the status LED's pattern from the start until the first
// evaluation (the patterns of the modem's and the data call's states are read in their own
// end-to-end tests), the real-time clock at start-up before the date road, and the SD card
// update with the firmware-update road and the reboot into the installed firmware. Which files
// an update moves, keeps and backs up, with and without a card, is the unit tests' (sdcard_test).
// Blink phases are checked with the tolerance of led_history.h.
#include "board.h"
#include "led_history.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace {

const Millis kStartTimeout(20000);

const char kBanner[] = "-- LIRN_V1.00_2020-12-18 --\r\n";
const char kConsoleRoad[] = "===== Utility\r\n";
// The supervisor's first evaluation comes this long after the loop is entered.
constexpr long long kFirstEvaluationMs = 2000;
// The update road shows its result this long before it reboots.
constexpr long long kUpdateRebootMs = 10000;

// What the firmware printed after its n-th start (from 1).
std::string OutputOfStart(const Board& board, int n)
{
    std::string out = board.Output();
    std::size_t at = 0;
    for (int i = 0; i < n; ++i) {
        at = out.find(kBanner, i == 0 ? 0 : at + 1);
        if (at == std::string::npos) return "";
    }
    std::size_t next = out.find(kBanner, at + 1);
    return out.substr(at, next == std::string::npos ? std::string::npos : next - at);
}

// ---- LED patterns driven through the board

TEST(LedPatterns, PatternOneFromStartUntilTheFirstEvaluation)
{
    Board board;
    // Not registered, no PIN wanted, no data call from the first exchange on: the first evaluation
    // chooses pattern 0.
    ASSERT_TRUE(board.Run({.settings = {"at creg 3", "qmi connect never"}, .ready = kConsoleRoad})) << board.Output();
    long long entry = BoardNowMs(board);
    long long evaluation = entry + kFirstEvaluationMs;
    ASSERT_TRUE(WaitUntil([&] { return BoardNowMs(board) > evaluation + 3000; }, Millis(10000)));

    std::vector<LedChange> h = LedHistory(board, "status");
    // From the LED thread's first switch on to the evaluation: 900 ms on, 100 ms off. The phase the
    // evaluation cuts short is left out (the estimate of its time is a little late).
    std::size_t rise = 0;
    while (rise < h.size() && h[rise].level != 1) ++rise;
    std::vector<LedChange> blinking;
    for (std::size_t i = rise; i < h.size() && h[i].atMs < evaluation - 150; ++i) blinking.push_back(h[i]);
    std::vector<LedPhase> phases = LedPhases(blinking);
    ASSERT_GE(phases.size(), 2u) << LedPhasesText(phases);
    std::string why;
    EXPECT_TRUE(PhasesMatch(phases, 900, 100, &why)) << why;
    // Still blinking while the supervisor waits for its first evaluation...
    EXPECT_GT(blinking.back().atMs, entry + 100) << LedPhasesText(phases);
    // ...then steadily lit.
    EXPECT_EQ(h.back().level, 1);
    EXPECT_LE(h.back().atMs, evaluation + kPhaseLongSlackMs) << "last change " << h.back().atMs << ", evaluation " << evaluation;
}

// ---- Real-time clock and converter

// Start-up gives the clock's time to the date stand-in and configures the converter; the date
// road's setting comes after it. Its write of the clock and the read-back are startup_test's.
TEST(Clock, StartUpGivesTheClockToTheDateStandInThenTheDateRoadsSettingFollows)
{
    Board board;
    ASSERT_TRUE(board.Run(
        {.options = {"--clock", "2031-07-09 14:05:33"}, .firmwareArgs = {"2024-05-06", "07:08:09"}, .ready = kConsoleRoad}));
    std::string last = board.WaitForControl(
        "date", [](const std::string& r) { return r.compare(0, 5, "ok 2 ") == 0; }, kStartTimeout);
    EXPECT_EQ(last, "ok 2 2024-05-06 07:08:09");
    std::string reply = board.Control("date 1");
    ASSERT_EQ(reply.size(), 22u) << reply;
    EXPECT_EQ(reply.substr(3, 17), "2031-07-09 14:05:") << reply;
    int second = std::stoi(reply.substr(20));
    EXPECT_GE(second, 33) << reply;  // the clock runs on from its setting while the firmware starts
    EXPECT_LE(second, 50) << reply;
    EXPECT_TRUE(board.OutputHasLinesInOrder({"CMD: date -s \"2024-05-06 07:08:09\"", "Had Set System Time: 0"}));
    std::string adc = board.Control("adc");
    EXPECT_NE(adc.find(" config=0x0473 writes=1"), std::string::npos) << adc;
    EXPECT_EQ(board.CountOutput("I2C_"), 0) << board.Output();
    EXPECT_EQ(board.CountOutput("ADC"), 0) << board.Output();
}

// ---- SD card update

class SdUpdate : public testing::Test {
protected:
    void InstallableFirmware(const std::string& relative)
    {
        board.WriteFile(relative, ReadWholeFile(LIRN_BUILD_DIR "/lirn"), 0755);
    }
    // Waits until the firmware takes the update road, after what it printed before it.
    void WaitForUpdateRoad(const std::string& before = "")
    {
        ASSERT_TRUE(board.WaitForOutput(before + "FW Update\r\n", kStartTimeout)) << board.Output();
        roadSeen = std::chrono::steady_clock::now();
    }
    // Waits for the update road to end in a reboot into the next start; checks the 10 seconds.
    void ExpectRebootAfterTenSeconds()
    {
        ASSERT_TRUE(WaitUntil([&] { return board.Control("reboots") == "ok 1"; }, Millis(kUpdateRebootMs + 10000)));
        auto waited = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - roadSeen).count();
        EXPECT_GE(waited, kUpdateRebootMs - 500);
        ASSERT_TRUE(board.WaitForOutput(kBanner, kStartTimeout, 2)) << board.Output();
    }
    // Both LEDs blink the update pattern together. The LED thread's first pass may come before
    // the pattern is set, so the window opens a little later.
    void ExpectUpdatePattern(long long onMs, long long offMs)
    {
        long long since = BoardNowMs(board) + 300;
        std::vector<LedChange> status, gps;
        WaitUntil(
            [&] {
                status = LedHistory(board, "status", since);
                return status.size() >= 7;
            },
            Millis(9000), Millis(50));
        // The GPS LED is written right after the status LED: give its last change time to land. Its
        // whole history is read, so its level is known also where it did not change.
        WaitUntil(
            [&] {
                gps = LedHistory(board, "gps", -1);
                return !gps.empty() && gps.back().atMs + 50 >= status.back().atMs;
            },
            Millis(2000), Millis(20));
        std::vector<LedPhase> phases = LedPhases(status);
        ASSERT_GE(phases.size(), 6u) << LedPhasesText(phases);
        std::string why;
        EXPECT_TRUE(PhasesMatch(phases, onMs, offMs, &why)) << why;
        // Both LEDs show the same level just after every switch of the status LED.
        for (const LedChange& s : status) {
            int gpsLevel = -1;
            for (const LedChange& g : gps)
                if (g.atMs <= s.atMs + 50) gpsLevel = g.level;
            EXPECT_EQ(gpsLevel, s.level) << "status LED to " << s.level << " at " << s.atMs << " without the GPS LED";
        }
    }

    Board board;
    std::chrono::steady_clock::time_point roadSeen;
};

TEST_F(SdUpdate, OnlyConfigIsInstalledAndTheStartGoesOn)
{
    board.WriteFile("APP/config.ini", "@LIRNPORT;7000\r\n");
    board.WriteFile("media/card/update/config.ini", "@LIRNPORT;9001\r\n");
    ASSERT_TRUE(board.Run({.ready = kConsoleRoad})) << board.Output();
    std::string out = board.Output();
    EXPECT_NE(out.find("///////////////SD///////////////\r\nGot the new config.ini!!\r\n"
                       "///////////////SD OVER///////////////\r\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Content Of Config File:\r\n@LIRNPORT;9001\r\n"), std::string::npos) << out;
    EXPECT_EQ(board.CountOutput("FW Update"), 0);
    EXPECT_EQ(board.Control("reboots"), "ok 0");
}

TEST_F(SdUpdate, OnlyFirmwareIsInstalledAndRunsOnTheDefaults)
{
    board.WriteFile("APP/config.ini", "@LIRNPORT;7000\r\n");
    board.WriteFile("APP/fw", "the old firmware\n", 0755);
    InstallableFirmware("media/card/update/fw");
    ASSERT_TRUE(board.Start({"--init", "high"}));
    ASSERT_NO_FATAL_FAILURE(WaitForUpdateRoad());
    ExpectUpdatePattern(100, 100);
    ASSERT_NO_FATAL_FAILURE(ExpectRebootAfterTenSeconds());

    std::string first = OutputOfStart(board, 1);
    EXPECT_NE(first.find("Got the new fw!!\r\n///////////////SD OVER"), std::string::npos) << first;
    EXPECT_EQ(first.find("still exist"), std::string::npos) << first;
    EXPECT_EQ(first.find("Content Of Config File"), std::string::npos) << first;  // nothing else on that road

    std::string fw = board.Control("fw");
    EXPECT_NE(fw.find(" " + board.Path("APP/fw")), std::string::npos) << fw;
    ASSERT_TRUE(board.WaitForOutput(kConsoleRoad, kStartTimeout)) << board.Output();
    std::string second = OutputOfStart(board, 2);
    EXPECT_NE(second.find("Open Config File Error\r\nReset Config\r\n"), std::string::npos) << second;
    EXPECT_EQ(second.find("Got the new"), std::string::npos) << second;  // not installed twice
}

TEST_F(SdUpdate, FailingMoveShowsPatternSixAndTriesAgainAfterTheReboot)
{
    // Tests run as root, so a read-only APP cannot be made with permissions. APP/fw is a directory
    // that already holds a non-empty directory "fw": mv cannot put the file there.
    board.WriteFile("APP/fw/fw/keep", "x");
    InstallableFirmware("media/card/update/fw");
    ASSERT_TRUE(board.Start({"--init", "high"}));
    ASSERT_NO_FATAL_FAILURE(WaitForUpdateRoad("fw still exist!!\r\n///////////////SD OVER///////////////\r\n"));
    ExpectUpdatePattern(100, 900);
    ASSERT_NO_FATAL_FAILURE(ExpectRebootAfterTenSeconds());
    // The card still holds fw, so the board's own firmware finds it again.
    EXPECT_TRUE(board.WaitForOutput("Got the new fw!!\r\n", kStartTimeout, 2)) << board.Output();
    EXPECT_TRUE(board.FileExists("media/card/update/fw"));
}

}  // namespace
