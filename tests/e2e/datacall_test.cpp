// The data call end to end: build/lirn on the simulated board, with the board's QMI modem set to
// each scenario before the firmware starts: the call found up, and dialled again on the main
// loop's pace. The cycle's lines, refusals, texts and transcript records byte for byte are the
// unit tests' (unit/datacall_test.cpp); a call brought up by dialling, the tunnel's
// (e2e/tunnel_test.cpp FiveFailedConnects).
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

TEST(Datacall, CallAlreadyUpAtStartNeedsNoStartRequest)
{
    Board board;
    ASSERT_TRUE(board.Run({.settings = {"qmi call up"}}));
    // The status LED blinks "data call up": 500 ms on, 500 ms off.
    EXPECT_TRUE(WaitUntil([&] { return BlinksLately(LedHistory(board, "status"), Blink{500, 500}); }, Millis(15000)));
    EXPECT_GE(board.QmiStateCount("queries"), 1);
    EXPECT_EQ(board.QmiStateCount("starts"), 0);
    EXPECT_EQ(board.CountOutput("(QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start."), 0);
}

// Fifty polls without the call (their lines are the unit tests'), -1, and the next cycle's start
// about 9 s after the first.
TEST(Datacall, CallThatNeverComesUpIsDialledAgainAboutNineSecondsLater)
{
    Board board;
    ASSERT_TRUE(board.Run({.settings = {"qmi connect never"}}));
    ASSERT_TRUE(WaitUntil([&] { return StartTimes(board).size() >= 2; }, kStartTimeout + kFailedCycle + Millis(25000),
                          Millis(250)));
    std::vector<long long> starts = StartTimes(board);
    long long gap = starts[1] - starts[0];
    EXPECT_GE(gap, 9000);
    EXPECT_LT(gap, 9000 + 5000);
    EXPECT_EQ(board.CountOutput("dialup ready"), 0);
}

}  // namespace
