// The data call end to end: build/lirn on the simulated board, with the board's QMI modem set to
// each scenario before the firmware starts: the call found up, brought up, and dialled again on
// the main loop's pace. The cycle's lines, refusals, texts and transcript records byte for byte
// are the unit tests' (unit/datacall_test.cpp).
#include "board.h"
#include "control_client.h"
#include "led_history.h"

#include <gtest/gtest.h>

namespace {

const Millis kStartTimeout(20000);
// One dial-up cycle that never sees the call: a start, 3 s, fifty polls 100 ms apart.
const Millis kFailedCycle(3000 + 50 * 100);

// Board times (ms) of the start requests received so far.
std::vector<long long> StartTimes(Board& board)
{
    std::vector<long long> times;
    int count = std::stoi(board.Control("qmi requests").substr(3));
    for (int i = 0; i < count; i++) {
        std::string r = board.Control("qmi request " + std::to_string(i));
        if (r.find(" start ") != std::string::npos) times.push_back(std::stoll(ControlField(r, "at")));
    }
    return times;
}

// True when the status LED's latest blink is the 500 ms on, 500 ms off of "data call up".
bool StatusLedShowsCallUp(Board& board)
{
    return BlinksLately(LedHistory(board, "status"), Blink{500, 500});
}

TEST(Datacall, CallAlreadyUpAtStartNeedsNoStartRequest)
{
    Board board;
    ASSERT_TRUE(board.Run({.settings = {"qmi call up"}}));
    EXPECT_TRUE(WaitUntil([&] { return StatusLedShowsCallUp(board); }, Millis(15000)));
    EXPECT_GE(board.QmiStateCount("queries"), 1);
    EXPECT_EQ(board.QmiStateCount("starts"), 0);
    EXPECT_EQ(board.CountOutput("(QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start."), 0);
}

TEST(Datacall, CallComesUpAfterThreeStatusQueries)
{
    Board board;
    ASSERT_TRUE(board.Run({.settings = {"qmi connect after 3"}}));
    ASSERT_TRUE(board.WaitForOutput("dialup ready\n", kStartTimeout + kFailedCycle));
    EXPECT_TRUE(board.OutputHasLinesInOrder({"main(): (QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start.", "APN: ",
                                             "Username: ", "Password: ", "Dialup result=1\r", "[0:1]", "[1:1]",
                                             "[2:1]", "dialup ready"}));
    EXPECT_EQ(board.QmiStateCount("starts"), 1);
    EXPECT_TRUE(WaitUntil([&] { return StatusLedShowsCallUp(board); }, Millis(15000)));
}

// Fifty polls without the call, -1, and the next cycle's start about 9 s after the first.
TEST(Datacall, CallThatNeverComesUpIsDialledAgainAboutNineSecondsLater)
{
    Board board;
    ASSERT_TRUE(board.Run({.settings = {"qmi connect never"}}));
    std::string polls;
    for (int n = 0; n < 50; n++) polls += "[" + std::to_string(n) + ":1]\n";
    ASSERT_TRUE(board.WaitForOutput(polls, kStartTimeout + kFailedCycle + Millis(10000)));
    ASSERT_TRUE(WaitUntil([&] { return StartTimes(board).size() >= 2; }, Millis(15000)));
    std::vector<long long> starts = StartTimes(board);
    long long gap = starts[1] - starts[0];
    EXPECT_GE(gap, 9000);
    EXPECT_LT(gap, 9000 + 5000);
    EXPECT_EQ(board.CountOutput("dialup ready"), 0);
}

}  // namespace
