// The data call end to end: build/lirn on the simulated board, with the board's QMI modem set to
// each scenario before the firmware starts. What the firmware does is read from its console lines,
// the modem's record of the requests it received, the status LED and the QMI transcript.
#include "board.h"
#include "control_client.h"
#include "led_history.h"
#include "../common/transcripts.h"

#include <gtest/gtest.h>

namespace {

const Millis kStartTimeout(20000);
// One dial-up cycle that never sees the call: a start, 3 s, fifty polls 100 ms apart.
const Millis kFailedCycle(3000 + 50 * 100);

// Starts the board with the modem's scenario set before the firmware starts, so that the very
// first status query already meets it.
void StartWith(Board& board, const std::vector<std::string>& scenario)
{
    std::vector<std::string> settings;
    for (const std::string& line : scenario) settings.push_back("qmi " + line);
    board.SetBeforeStart(settings);
    ASSERT_TRUE(board.Start({"--init", "high"}));
}

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
    StartWith(board, {"call up"});
    EXPECT_TRUE(WaitUntil([&] { return StatusLedShowsCallUp(board); }, Millis(15000)));
    EXPECT_GE(board.QmiStateCount("queries"), 1);
    EXPECT_EQ(board.QmiStateCount("starts"), 0);
    EXPECT_EQ(board.CountOutput("(QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start."), 0);
}

TEST(Datacall, CallComesUpAfterThreeStatusQueries)
{
    Board board;
    StartWith(board, {"connect after 3"});
    ASSERT_TRUE(board.WaitForOutput("dialup ready\n", kStartTimeout + kFailedCycle));
    EXPECT_TRUE(board.OutputHasLinesInOrder({"main(): (QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start.", "APN: ",
                                             "Username: ", "Password: ", "Dialup result=1\r", "[0:1]", "[1:1]",
                                             "[2:1]", "dialup ready"}));
    EXPECT_EQ(board.QmiStateCount("starts"), 1);
    EXPECT_TRUE(WaitUntil([&] { return StatusLedShowsCallUp(board); }, Millis(15000)));
    // Without a configuration file the start carries the three texts, empty.
    std::string start = board.Control("qmi last start");
    for (const char* key : {"apn", "user", "password"}) EXPECT_EQ(ControlField(start, key), "\"\"") << start;
}

// Fifty polls without the call, -1, and the next cycle's start about 9 s after the first.
TEST(Datacall, CallThatNeverComesUpIsDialledAgainAboutNineSecondsLater)
{
    Board board;
    StartWith(board, {"connect never"});
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

TEST(Datacall, RefusedStartThatStillComesUp)
{
    Board board;
    StartWith(board, {"start refuse 14 1005", "connect never"});
    std::string start =
        board.WaitForControl("qmi last start", ControlOk, kStartTimeout);
    ASSERT_TRUE(ControlOk(start)) << start;
    ASSERT_TRUE(ControlOk(board.Control("qmi call up")));
    ASSERT_TRUE(board.WaitForOutput("dialup ready\n", kFailedCycle));
    EXPECT_TRUE(board.OutputHasLinesInOrder({"main(): Error value=14.", "Dialup result=0\r"}));
    EXPECT_TRUE(WaitUntil([&] { return StatusLedShowsCallUp(board); }, Millis(15000)));
}

TEST(Datacall, CallThatDropsIsDialledAgainWithinOneCycle)
{
    Board board;
    StartWith(board, {"call up"});
    ASSERT_TRUE(WaitUntil([&] { return StatusLedShowsCallUp(board); }, Millis(15000)));
    ASSERT_TRUE(ControlOk(board.Control("qmi connect never")));
    ASSERT_TRUE(ControlOk(board.Control("qmi call down")));
    EXPECT_TRUE(board.WaitForOutput("(QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start.", Millis(5000)));
    // The cycle ends with -1 and the supervisor drops the call-up pattern at its next evaluation.
    ASSERT_TRUE(board.WaitForOutput("[49:1]\n", kFailedCycle + Millis(5000)));
    EXPECT_TRUE(WaitUntil([&] { return !StatusLedShowsCallUp(board); }, Millis(6000)));
}

TEST(Datacall, TranscriptHoldsTheRecordsInOrder)
{
    Board board;
    board.WriteFile("APP/log.ini", "@LOGEN;1\r\n");
    StartWith(board, {"connect after 1", "start refuse 14", "status refuse 3 1"});
    ASSERT_TRUE(ControlOk(board.WaitForControl("qmi last start", ControlOk, kStartTimeout)));
    ASSERT_TRUE(ControlOk(board.Control("qmi call up")));
    ASSERT_TRUE(board.WaitForOutput("dialup ready\n", kFailedCycle));
    std::vector<std::pair<std::string, std::string>> want = {
        {"qmi_init", "1"},
        {"QMI_nas_getObj <nas_get_service_object_v01>", "Not NULL"},
        {"QMI_nas_getObj <qmi_client_init>", "0"},
        {"QMI_wds_getObj <qmi_client_init>", "0"},
        {"QMI_wds_CheckDialupStatus <qmi_client_send_msg_sync>", "0"},
        {"=> connection_status", "0"},
        {"QMI_wds_dialup <qmi_client_send_msg_sync>", "0"},
        {"=> resp.error", "14"},
        {"QMI_wds_CheckDialupStatus <qmi_client_send_msg_sync>", "0"},
    };
    std::vector<std::pair<std::string, std::string>> got;
    ASSERT_TRUE(WaitUntil([&] { return (got = QmiTranscriptRecords(board.Path("media/card"))).size() >= want.size(); }, Millis(5000)));
    got.resize(want.size());
    EXPECT_EQ(got, want);
}

}  // namespace
