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
// 600 ms, a PIN entry 3 s).
const Millis kFirstCycleTimeout(20000);
// A few poll cycles (about 1.6 s each; a radio reset adds 4.5 s, a PIN entry 3 s), with room for
// the supervisor's 2 s evaluation and a LED period on a loaded machine.
const Millis kChangeTimeout(15000);

// Status LED patterns of the supervisor, and the GPS LED's with a fix.
const Blink kRegistered{900, 100};
const Blink kSimWaitsForPin{100, 900};
const Blink kGpsFix{900, 100};

const char* const kOncePerRun[] = {"ATI", "AT+GMM", "AT+SIMEI?", "AT+CGPS?", "AT+CGPS=1", "AT+CMGD=4,4"};

// A board with the firmware on the console road, transcripts on, the data call kept down (so
// that the status LED shows the modem's state rather than the call's) and the module set up by
// the settings before the firmware's first exchange.
void StartModemBoard(Board& board, const std::vector<std::string>& settings, const std::string& config = "")
{
    Scenario s{.files = {{"APP/log.ini", "@LOGEN;1\r\n"}}, .settings = {"qmi connect never"}};
    if (!config.empty()) s.files.push_back({"APP/config.ini", config});
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

bool AnyHolds(const std::vector<std::string>& texts, const std::string& part)
{
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != std::string::npos; });
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
    StartModemBoard(board, {"at creg 2", "at csq 9"});
    WaitForLine(board, "AT+CPMS?", 1, kFirstCycleTimeout);  // the first cycle's order is unit-tested

    // Not registered and no call: the status LED is steadily lit; without a fix so is the GPS LED.
    EXPECT_TRUE(WaitUntil([&] { return SteadilyLit(board, "status"); }, kChangeTimeout, Millis(100)));
    EXPECT_TRUE(SteadilyLit(board, "gps"));

    // Registered while roaming, a stronger signal, LTE, and a fix.
    long long since = BoardNowMs(board);
    Set(board, "at creg 5");
    Set(board, "at csq 23");
    Set(board, "at cnsmod 8");
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
    std::vector<AtTranscriptRecord> records = Transcript(board);
    for (const char* command : kOncePerRun) EXPECT_EQ(AnswersTo(records, command).size(), 1u) << command;
    // The answers the poll took its values from, as the module changed.
    for (const char* answer : {"+CREG: 0,2\r", "+CREG: 0,5\r", "+CREG: 0,3\r"})
        EXPECT_TRUE(AnyHolds(AnswersTo(records, "AT+CREG?"), answer)) << answer;
    for (const char* answer : {"+CSQ: 9,99\r", "+CSQ: 23,99\r"})
        EXPECT_TRUE(AnyHolds(AnswersTo(records, "AT+CSQ"), answer)) << answer;
    for (const char* answer : {"+CNSMOD: 0,0\r", "+CNSMOD: 0,8\r"})
        EXPECT_TRUE(AnyHolds(AnswersTo(records, "AT+CNSMOD?"), answer)) << answer;
    EXPECT_TRUE(AnyHolds(AnswersTo(records, "AT+CGPSINFO"),
                         "+CGPSINFO: 4807.038000,N,01131.000000,E,150324,083005.0,545.4,0.0,0.0\r"));
    EXPECT_TRUE(AnyHolds(AnswersTo(records, "AT+CGPSINFO"), "+CGPSINFO: ,,,,,,,,\r"));
}

// The configured PIN goes to a SIM that asks for it; once more when the SIM asks again (now with
// another PIN), and never a third time in the run.
TEST(Modem, SimWaitingForItsPinGetsTheConfiguredPinAtMostTwicePerRun)
{
    Board board;
    StartModemBoard(board, {"at sim pin 1234"}, "@PINCODE;1234\r\n");
    WaitForLine(board, "AT+CPIN=1234", 1, kFirstCycleTimeout);
    std::string state = board.WaitForControl(
        "at state", [](const std::string& r) { return r.find(" sim=ready ") != std::string::npos; }, Millis(5000));
    EXPECT_NE(state.find(" sim=ready "), std::string::npos) << state;
    // Pattern 4 while the SIM waited, then the registered pattern once it is ready.
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::vector<LedChange> h = LedHistory(board, "status");
            return BlinkedOnce(h, kSimWaitsForPin) && BlinksLately(h, kRegistered);
        },
        kChangeTimeout, Millis(100)))
        << board.Control("led status history");

    // The SIM asks again, for a PIN other than the configured one: the second entry is the last.
    Set(board, "at sim pin 4321");
    std::vector<std::string> lines = WaitForLine(board, "AT+CPIN=1234", 2, kChangeTimeout);
    ASSERT_EQ(Count(lines, "AT+CPIN=1234"), 2);
    int asked = Count(lines, "AT+CPIN?");
    long long since = BoardNowMs(board);
    lines = WaitForLine(board, "AT+CPIN?", asked + 3, kChangeTimeout);
    EXPECT_EQ(Count(lines, "AT+CPIN=1234"), 2);
    EXPECT_NE(board.Control("at state").find(" sim=pin pinlock=1 pin=4321 tries=2 "), std::string::npos)
        << board.Control("at state");
    EXPECT_TRUE(WaitUntil([&] { return BlinksLately(LedHistory(board, "status", since), kSimWaitsForPin); },
                          kChangeTimeout, Millis(100)))
        << board.Control("led status history");

    ExpectTranscriptHoldsEveryExchange(board);
    std::vector<AtTranscriptRecord> records = Transcript(board);
    // The very first SIM check already met the SIM of the settings.
    std::vector<std::string> checks = AnswersTo(records, "AT+CPIN?");
    ASSERT_FALSE(checks.empty());
    EXPECT_NE(checks.front().find("+CPIN: SIM PIN\r"), std::string::npos) << checks.front();
    std::vector<std::string> entries = AnswersTo(records, "AT+CPIN=1234");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_NE(entries[0].find("\r\nOK\r\n"), std::string::npos) << entries[0];
    EXPECT_NE(entries[1].find("+CME ERROR: 16\r\n"), std::string::npos) << entries[1];
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
    std::string pdu = stored.substr(stored.rfind(' ') + 1);
    EXPECT_NE(reads[0].find("\r\n" + pdu + "\r\n"), std::string::npos) << reads[0];
    // The markers of the parse and the length field of the header, on one line.
    std::size_t header = reads[0].find("+CMGRD: 0,,");
    ASSERT_NE(header, std::string::npos) << reads[0];
    std::string length = reads[0].substr(header + 11, reads[0].find('\r', header) - header - 11);
    EXPECT_NE(board.Output().find("1>2>3>4>5>len=" + length + "\n"), std::string::npos) << board.Output();
}

}  // namespace
