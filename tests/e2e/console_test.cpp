// The utility console on the simulated board: the INIT pin not asserted, the PC tool's session on
// pc/ttyS0 with one request of each family (every keyword byte for byte, the cut lengths, ranges,
// prefixes and refusals are the unit tests' of the dispatch and the card listing; the day files and
// the status words through lirnctl are tool/lirnctl_test's): the network status that follows the
// data call, settings that survive a reboot and reach the data call, the reboot command, and the
// card queries without a card. The tunnel reads the same file at its start (tunnel_test) and the
// INIT pin chooses its road (tunnel_test AssertedInitPinStartsTheFourThreadsInOrder).
#include "board.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

const Millis kStartTimeout(20000);
const Millis kReplyTimeout(5000);
// Status words follow the modem poll (about 1.6 s) and the dial-up cycle (1 s, longer while down).
const Millis kStatusTimeout(30000);

struct Exchange {
    std::string request;
    std::string reply;
};

// A board on the console road with the PC end of its serial port open.
class Console : public testing::Test {
protected:
    void StartConsole(const std::vector<std::string>& options = {})
    {
        ASSERT_TRUE(board.Run({.options = options, .ready = "Open Utility Port Successfully\r\n"})) << board.Output();
        ASSERT_GE(board.OpenPc(), 0);
    }
    // Sends one request line and returns its reply line (up to and including "\r\n").
    std::string Ask(const std::string& line)
    {
        EXPECT_TRUE(board.PcWrite(line + "\r\n"));
        return board.PcReadUntil("\r\n", kReplyTimeout);
    }
    // Repeats a query until it gets the expected reply or the status timeout passes.
    std::string AskUntilReply(const std::string& line, const std::string& expected)
    {
        std::string reply;
        WaitUntil([&] { return (reply = Ask(line)) == expected; }, kStatusTimeout, Millis(200));
        return reply;
    }
    // A control request of the board that must be accepted.
    void Ctl(const std::string& line)
    {
        std::string reply = board.Control(line);
        EXPECT_TRUE(ControlOk(reply)) << line << ": " << reply;
    }
    void CheckSession(const std::vector<Exchange>& session)
    {
        for (const Exchange& e : session) EXPECT_EQ(Ask(e.request), e.reply) << e.request;
    }

    Board board;
};

// The version, signal and registration queries end to end are lirnctl_test's (status) and
// faults_test's (registration after a modem fault).
TEST_F(Console, NetStatFollowsTheDataCall)
{
    StartConsole();
    // The board's data call comes up at once: the previous cycle's result is then 0.
    EXPECT_EQ(AskUntilReply("@NETSTAT", "!QRV-715M;NETSTAT;OK;0\r\n"), "!QRV-715M;NETSTAT;OK;0\r\n");
    Ctl("qmi connect never");
    Ctl("qmi call down");
    EXPECT_EQ(AskUntilReply("@NETSTAT", "!QRV-715M;NETSTAT;OK;-1\r\n"), "!QRV-715M;NETSTAT;OK;-1\r\n");
}

TEST_F(Console, SavedSettingsSurviveARebootAndReachTheDataCall)
{
    StartConsole();
    CheckSession({
        {"@LIRNPORT;9000", "!QRV-715M;LIRNPORT;OK\r\n"},
        {"@APN;internet.example", "!QRV-715M;APN;OK\r\n"},
        {"@MODEMUSR;user", "!QRV-715M;MODEMUSR;OK\r\n"},
        {"@MODEMPWD;secret", "!QRV-715M;MODEMPWD;OK\r\n"},
        {"@SAVE", "!QRV-715M;SAVE;OK\r\n"},
        {"@LIRNHB;99", "!QRV-715M;LIRNHB;OK\r\n"},  // not saved: lost at the reboot
        {"@LOGEN;2", "!QRV-715M;LOGEN;OK\r\n"},
        {"@LOGSAVE", "!QRV-715M;LOGSAVE;OK\r\n"},
        {"@LOGEN;0", "!QRV-715M;LOGEN;OK\r\n"},
    });
    // The call is down and stays down, so the next start dials and its start request shows the
    // credentials it took from the file (this start never sent them).
    Ctl("qmi connect never");
    Ctl("qmi call down");

    EXPECT_EQ(Ask("@REBOOT"), "!QRV-715M;REBOOT;OK\r\n");
    EXPECT_EQ(board.WaitForControl("reboots", [](const std::string& r) { return r == "ok 1"; }, kStartTimeout),
              "ok 1");
    ASSERT_TRUE(board.WaitForOutput("Open Utility Port Successfully\r\n", kStartTimeout, 2)) << board.Output();
    EXPECT_EQ(board.CountOutput("-- LIRN_V1.00_2020-12-18 --\r\n"), 2);

    CheckSession({
        {"@LIRNPORT", "!QRV-715M;LIRNPORT;OK;9000\r\n"},
        {"@APN", "!QRV-715M;APN;OK;internet.example\r\n"},
        {"@LIRNHB", "!QRV-715M;LIRNHB;OK;10\r\n"},
        {"@LOGST", "!QRV-715M;LOGST;OK;2\r\n"},
    });
    std::string start = board.WaitForControl(
        "qmi last start",
        [](const std::string& r) { return r.find("apn=\"internet.example\"") != std::string::npos; },
        kStatusTimeout);
    EXPECT_NE(start.find("apn=\"internet.example\" user=\"user\" password=\"secret\""), std::string::npos)
        << start;
}

// With a card, space and presence end to end are lirnctl_test's (status).
TEST_F(Console, CardSpaceAndPresenceWithoutACard)
{
    StartConsole({"--card", "none"});
    // Without a card the figures are those of the file system that holds the mount point.
    std::string space = Ask("@LOGSD");
    EXPECT_EQ(space.rfind("!QRV-715M;LOGSD;OK;", 0), 0u) << space;
    EXPECT_EQ(Ask("@SDEXIST"), "!QRV-715M;SDEXIST;OK;0\r\n");
    ASSERT_TRUE(board.PcWrite("@LOGFILE\r\n"));
    EXPECT_EQ(board.PcRead(1, Millis(600)), "");  // no listing, and no reply
}

}  // namespace
