// Modem supervision end to end: build/lirn on the simulated board, its AT poll against the board's
// module, whose state the tests change while the firmware runs. What the poll made of it is read
// from what the firmware shows: the AT transcript on the card, the module's record of the command
// lines it received, the firmware's console lines and the two LEDs.
#include "board.h"
#include "led_history.h"
#include "transcripts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

// The firmware's start, up to the end of its first poll cycle (the once-per-run commands add
// 600 ms).
const Millis kFirstCycleTimeout(20000);
// A few poll cycles (about 1.6 s each; a radio reset adds 4.5 s), with room for
// the supervisor's 2 s evaluation and a LED period on a loaded machine.
const Millis kChangeTimeout(15000);

// Status LED patterns of the supervisor, and the GPS LED's with a fix.
const Blink kRegistered{900, 100};
const Blink kGpsFix{900, 100};

// A board with the firmware on the console road, transcripts on, the data call kept down (so
// that the status LED shows the modem's state rather than the call's) and the module set up by
// the settings before the firmware's first exchange.
void StartModemBoard(Board& board, const std::vector<std::string>& settings)
{
    Scenario s{.files = {{"APP/log.ini", "@LOGEN;1\r\n"}}, .settings = {"qmi connect never"}};
    s.settings.insert(s.settings.end(), settings.begin(), settings.end());
    ASSERT_TRUE(board.Run(s));
}

void Set(Board& board, const std::string& request)
{
    std::string reply = board.Control(request);
    ASSERT_TRUE(ControlOk(reply)) << request << " -> " << reply;
}

// The command lines the module received, in order, without their line ends.
std::vector<std::string> ModuleLines(Board& board)
{
    std::istringstream in(board.Control("at log"));
    std::vector<std::string> lines;
    std::string word;
    in >> word >> word;  // "ok" and the count
    while (in >> word) lines.push_back(word.substr(word.find(':') + 1));
    return lines;
}

int Count(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// Waits until the module has received line at least n times; returns the lines then.
std::vector<std::string> WaitForLine(Board& board, const std::string& line, int n, Millis timeout)
{
    std::vector<std::string> lines;
    WaitUntil([&] { return Count(lines = ModuleLines(board), line) >= n; }, timeout, Millis(50));
    return lines;
}

std::vector<AtTranscriptRecord> Transcript(Board& board)
{
    return AtTranscriptRecords(board.Path("media/card"));
}

std::vector<std::string> TranscriptCommands(const std::vector<AtTranscriptRecord>& records)
{
    std::vector<std::string> commands;
    for (const AtTranscriptRecord& r : records) commands.push_back(r.command.substr(0, r.command.find("\r\n")));
    return commands;
}

// The answers the transcript holds for a command, in order.
std::vector<std::string> AnswersTo(const std::vector<AtTranscriptRecord>& records, const std::string& command)
{
    std::vector<std::string> answers;
    for (const AtTranscriptRecord& r : records)
        if (r.command == command + "\r\n") answers.push_back(r.answer);
    return answers;
}

// The transcript holds every exchange the module saw, in order, each with its own answer (which
// starts with the module's echo of the command). Between two cycles the poll rests for a second,
// so the two records meet while it does.
void ExpectTranscriptHoldsEveryExchange(Board& board)
{
    std::vector<AtTranscriptRecord> records;
    std::vector<std::string> lines;
    bool same = WaitUntil(
        [&] {
            records = Transcript(board);
            lines = ModuleLines(board);
            return TranscriptCommands(records) == lines;
        },
        Millis(10000), Millis(50));
    ASSERT_TRUE(same) << ::testing::PrintToString(TranscriptCommands(records)) << "\nmodule: "
                      << ::testing::PrintToString(lines);
    for (const AtTranscriptRecord& r : records)
        EXPECT_EQ(r.answer.rfind(r.command.substr(0, r.command.size() - 1), 0), 0u)
            << ::testing::PrintToString(r.command) << " answered " << ::testing::PrintToString(r.answer);
}

TEST(Modem, PollFollowsTheModuleAndTheTranscriptHoldsEveryExchange)
{
    Board board;
    // Searching for a network at start: registered neither at home nor roaming.
    StartModemBoard(board, {"at creg 2"});
    WaitForLine(board, "AT+CPMS?", 1, kFirstCycleTimeout);  // the first cycle's order is unit-tested

    // Not registered and no call: the status LED is steadily lit; without a fix so is the GPS LED.
    EXPECT_TRUE(WaitUntil([&] { return SteadilyLit(board, "status"); }, kChangeTimeout, Millis(100)));
    EXPECT_TRUE(SteadilyLit(board, "gps"));

    // Registered while roaming, and a fix.
    long long since = BoardNowMs(board);
    Set(board, "at creg 5");
    Set(board, "at fix 4807.038000 N 01131.000000 E 150324 083005.0 545.4 0.0 0.0");
    EXPECT_TRUE(WaitUntil([&] { return BlinksLately(LedHistory(board, "status", since), kRegistered); },
                          kChangeTimeout, Millis(100)))
        << board.Control("led status history");
    EXPECT_TRUE(WaitUntil([&] { return BlinksLately(LedHistory(board, "gps", since), kGpsFix); }, kChangeTimeout,
                          Millis(100)))
        << board.Control("led gps history");

    // Registration denied and the fix lost: both LEDs steadily lit again.
    Set(board, "at creg 3");
    Set(board, "at fix none");
    EXPECT_TRUE(WaitUntil([&] { return SteadilyLit(board, "status") && SteadilyLit(board, "gps"); }, kChangeTimeout,
                          Millis(100)))
        << board.Control("led status history") << "\n" << board.Control("led gps history");

    ExpectTranscriptHoldsEveryExchange(board);
}

TEST(Modem, StoredMessageIsReadOnceAndTheLatchEndsTheStorageQueries)
{
    Board board;
    // A message stored before the start goes unread: the first cycle deletes the storage.
    StartModemBoard(board, {"at sms deliver - +4915112345678 24031508300504 left from before"});
    WaitForLine(board, "AT+CPMS?", 1, kFirstCycleTimeout);
    EXPECT_EQ(board.Control("at sms count"), "ok 0 30");

    std::string stored = board.Control("at sms deliver +491710760000 +4915112345678 24031508300504 Hello board");
    ASSERT_TRUE(ControlOk(stored)) << stored;
    ASSERT_TRUE(board.WaitForOutput("gmSMS_getReadMsg enter\n", kChangeTimeout)) << board.Output();
    EXPECT_EQ(board.Control("at sms count"), "ok 0 30");
    EXPECT_EQ(board.CountOutput("--> new SMS coming (1/30)\n"), 1);
    std::vector<std::string> lines = ModuleLines(board);
    EXPECT_EQ(Count(lines, "AT+CMGRD=0"), 1);
    int queries = Count(lines, "AT+CPMS?");

    // Later messages stay where they are for the rest of the run.
    ASSERT_TRUE(ControlOk(board.Control("at sms deliver - +4915112345678 24031508310004 second")));
    int asked = Count(lines, "AT+CPIN?");
    lines = WaitForLine(board, "AT+CPIN?", asked + 3, kChangeTimeout);
    EXPECT_EQ(Count(lines, "AT+CPMS?"), queries);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("AT+CMGRD=", 0) == 0; }),
              1);
    EXPECT_EQ(board.Control("at sms count"), "ok 1 30");
    EXPECT_EQ(board.CountOutput("gmSMS_getReadMsg enter"), 1);

    ExpectTranscriptHoldsEveryExchange(board);
    std::vector<std::string> reads = AnswersTo(Transcript(board), "AT+CMGRD=0");
    ASSERT_EQ(reads.size(), 1u);
    // The parse's markers and the header's length field printed are sms_test's.
    std::string pdu = stored.substr(stored.rfind(' ') + 1);
    EXPECT_NE(reads[0].find("\r\n" + pdu + "\r\n"), std::string::npos) << reads[0];
}

}  // namespace
