// Console dispatch: the keyword table with its compared lengths, the twelve settings with their
// cut lengths, ranges and reply texts, the record actions and the status queries.
#include "board/module.h"
#include "config/config.h"
#include "console/console.h"
#include "modem/modem.h"
#include "platform/shell.h"
#include "console_sink.h"
#include "temp_sysroot.h"

#include "output_capture.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace std::string_literals;

namespace {

class ConsoleDispatch : public testing::Test {
protected:
    void SetUp() override
    {
        root.MakeDirs("/APP");
        InitLirnConfig();
    }
    std::string Ask(const std::string& line) { return sink.Ask(line); }

    TempSysroot root;
    ReplySink sink;
};

TEST_F(ConsoleDispatch, ModeTakesOneCharacterAndStoresOutOfRangeValues)
{
    EXPECT_EQ(Ask("@LIRNMODE;1"), "!QRV-715M;LIRNMODE;OK\r\n");
    EXPECT_EQ(Ask("@LIRNMODE"), "!QRV-715M;LIRNMODE;OK;1\r\n");
    EXPECT_EQ(Ask("@LIRNMODE;12"), "!QRV-715M;LIRNMODE;OK\r\n");
    EXPECT_EQ(lirnSet.mode, 1);
    EXPECT_EQ(Ask("@LIRNMODE;7"), "!QRV-715M;LIRNMODE;ER\r\n");
    EXPECT_EQ(Ask("@LIRNMODE"), "!QRV-715M;LIRNMODE;OK;7\r\n");
    EXPECT_EQ(Ask("@LIRNMODE;2"), "!QRV-715M;LIRNMODE;OK\r\n");
    EXPECT_EQ(Ask("@LIRNMODE;0"), "!QRV-715M;LIRNMODE;OK\r\n");
    EXPECT_EQ(Ask("@LIRNMODE;-1"), "!QRV-715M;LIRNMODE;OK\r\n");  // "-" alone reads as 0
    EXPECT_EQ(lirnSet.mode, 0);
}

TEST_F(ConsoleDispatch, HeartbeatTakesFourCharacters)
{
    EXPECT_EQ(Ask("@LIRNHB;36001"), "!QRV-715M;LIRNHB;OK\r\n");
    EXPECT_EQ(lirnSet.hbInterval, 3600);
    EXPECT_EQ(Ask("@LIRNHB;9"), "!QRV-715M;LIRNHB;ER\r\n");
    EXPECT_EQ(Ask("@LIRNHB"), "!QRV-715M;LIRNHB;OK;9\r\n");
    EXPECT_EQ(Ask("@LIRNHB;10"), "!QRV-715M;LIRNHB;OK\r\n");
    EXPECT_EQ(Ask("@LIRNHB;3601"), "!QRV-715M;LIRNHB;ER\r\n");
    EXPECT_EQ(lirnSet.hbInterval, 3601);
}

TEST_F(ConsoleDispatch, PortTakesFiveCharacters)
{
    EXPECT_EQ(Ask("@LIRNPORT;655351"), "!QRV-715M;LIRNPORT;OK\r\n");
    EXPECT_EQ(lirnSet.port, 65535);
    EXPECT_EQ(Ask("@LIRNPORT;700001"), "!QRV-715M;LIRNPORT;ER\r\n");
    EXPECT_EQ(lirnSet.port, 70000);
    EXPECT_EQ(Ask("@LIRNPORT;-1"), "!QRV-715M;LIRNPORT;ER\r\n");
    EXPECT_EQ(Ask("@LIRNPORT"), "!QRV-715M;LIRNPORT;OK;-1\r\n");
    EXPECT_EQ(Ask("@LIRNPORT;0"), "!QRV-715M;LIRNPORT;OK\r\n");
}

TEST_F(ConsoleDispatch, BaudTakesSixCharactersAndOnlyTheConsoleRates)
{
    EXPECT_EQ(Ask("@UARTBR;1152001"), "!QRV-715M;UARTBR;OK\r\n");
    EXPECT_EQ(lirnSet.uartBaud, 115200);
    for (int rate : {2400, 4800, 9600, 19200, 38400, 57600})
        EXPECT_EQ(Ask("@UARTBR;" + std::to_string(rate)), "!QRV-715M;UARTBR;OK\r\n") << rate;
    EXPECT_EQ(Ask("@UARTBR;1200"), "!QRV-715M;UARTBR;ER\r\n");
    EXPECT_EQ(Ask("@UARTBR"), "!QRV-715M;UARTBR;OK;1200\r\n");
    // The serial layer could run 230400, but the console does not accept it.
    EXPECT_EQ(Ask("@UARTBR;230400"), "!QRV-715M;UARTBR;ER\r\n");
}

TEST_F(ConsoleDispatch, ParityRepliesNameTheBaudKeyword)
{
    EXPECT_EQ(Ask("@UARTPB;E"), "!QRV-715M;UARTBR;OK\r\n");
    EXPECT_EQ(Ask("@UARTPB"), "!QRV-715M;UARTBR;OK;E\r\n");
    EXPECT_EQ(Ask("@UARTPB;O"), "!QRV-715M;UARTBR;OK\r\n");
    EXPECT_EQ(Ask("@UARTPB;N"), "!QRV-715M;UARTBR;OK\r\n");
    EXPECT_EQ(Ask("@UARTPB;e"), "!QRV-715M;UARTBR;ER\r\n");
    EXPECT_EQ(lirnSet.uartParity, 'e');
    EXPECT_EQ(Ask("@UARTPB;Nx"), "!QRV-715M;UARTBR;OK\r\n");  // one character only
    EXPECT_EQ(Ask("@UARTPB;"), "!QRV-715M;UARTBR;ER\r\n");
    EXPECT_EQ(lirnSet.uartParity, '\0');
    // The stored terminator is sent as a byte of its own; the reply line still ends.
    EXPECT_EQ(Ask("@UARTPB"), "!QRV-715M;UARTBR;OK;\0\r\n"s);
}

TEST_F(ConsoleDispatch, DataAndStopBitsTakeOneCharacter)
{
    EXPECT_EQ(Ask("@UARTDB;7"), "!QRV-715M;UARTDB;OK\r\n");
    EXPECT_EQ(Ask("@UARTDB"), "!QRV-715M;UARTDB;OK;7\r\n");
    EXPECT_EQ(Ask("@UARTDB;9"), "!QRV-715M;UARTDB;ER\r\n");
    EXPECT_EQ(Ask("@UARTDB;81"), "!QRV-715M;UARTDB;OK\r\n");
    EXPECT_EQ(lirnSet.uartDataBits, 8);

    EXPECT_EQ(Ask("@UARTSB;2"), "!QRV-715M;UARTSB;OK\r\n");
    // The stop-bit query names the data-bit keyword.
    EXPECT_EQ(Ask("@UARTSB"), "!QRV-715M;UARTDB;OK;2\r\n");
    EXPECT_EQ(Ask("@UARTSB;3"), "!QRV-715M;UARTSB;ER\r\n");
    EXPECT_EQ(Ask("@UARTSB"), "!QRV-715M;UARTDB;OK;3\r\n");
    EXPECT_EQ(Ask("@UARTSB;0"), "!QRV-715M;UARTSB;ER\r\n");
}

TEST_F(ConsoleDispatch, PinIsCutToFourAndItsQueryNamesTheHeartbeat)
{
    EXPECT_EQ(Ask("@PINCODE;123456"), "!QRV-715M;PINCODE;OK\r\n");
    EXPECT_STREQ(lirnSet.pinCode, "1234");
    EXPECT_EQ(Ask("@PINCODE;12"), "!QRV-715M;PINCODE;OK\r\n");
    EXPECT_EQ(Ask("@PINCODE"), "!QRV-715M;LIRNHB;OK;12\r\n");
}

TEST_F(ConsoleDispatch, TextsAreCutToTheirFieldsWithoutTests)
{
    EXPECT_EQ(Ask("@LIRNIP;192.168.100.200.300"), "!QRV-715M;LIRNIP;OK\r\n");
    EXPECT_STREQ(lirnSet.serverIp, "192.168.100.200");
    EXPECT_EQ(Ask("@LIRNIP;not an address"), "!QRV-715M;LIRNIP;OK\r\n");
    EXPECT_EQ(Ask("@LIRNIP"), "!QRV-715M;LIRNIP;OK;not an address\r\n");

    std::string user(40, 'u');
    EXPECT_EQ(Ask("@MODEMUSR;" + user), "!QRV-715M;MODEMUSR;OK\r\n");
    EXPECT_EQ(Ask("@MODEMUSR"), "!QRV-715M;MODEMUSR;OK;" + user.substr(0, 31) + "\r\n");
    EXPECT_EQ(Ask("@MODEMPWD;se cret;x"), "!QRV-715M;MODEMPWD;OK\r\n");
    EXPECT_EQ(Ask("@MODEMPWD"), "!QRV-715M;MODEMPWD;OK;se cret;x\r\n");
}

TEST_F(ConsoleDispatch, ApnQueryIsTheExactLineOnly)
{
    EXPECT_EQ(Ask("@APN;"), "!QRV-715M;APN;OK\r\n");
    EXPECT_STREQ(lirnSet.apn, "");
    EXPECT_EQ(Ask("@APN"), "!QRV-715M;APN;OK;\r\n");
    EXPECT_EQ(Ask("@APN "), "");
    EXPECT_EQ(Ask("@APNX"), "");

    std::string apn(70, 'a');
    EXPECT_EQ(Ask("@APN;" + apn), "!QRV-715M;APN;OK\r\n");
    std::string reply = Ask("@APN");
    EXPECT_EQ(reply, "!QRV-715M;APN;OK;" + apn.substr(0, 63) + "\r\n");
    EXPECT_EQ(reply.size(), 82u);  // the longest reply fits the reply buffer
}

TEST_F(ConsoleDispatch, QueriesWithTrailingCharactersAreStillQueries)
{
    EXPECT_EQ(Ask("@LIRNMODEX"), "!QRV-715M;LIRNMODE;OK;0\r\n");
    EXPECT_EQ(Ask("@LIRNIPabc"), "!QRV-715M;LIRNIP;OK;127.0.0.1\r\n");
    EXPECT_EQ(Ask("@LIRNHB?"), "!QRV-715M;LIRNHB;OK;10\r\n");
    EXPECT_EQ(Ask("@UARTBR "), "!QRV-715M;UARTBR;OK;115200\r\n");
    EXPECT_EQ(Ask("@FWVERSION"), "!QRV-715M;FWVER;OK;LIRN_V1.00_2020-12-18\r\n");
}

TEST_F(ConsoleDispatch, EveryLineBeginningWithCreIsTheRegistrationQuery)
{
    modem_creg = 5;
    for (const char* line : {"@CREG", "@CRE", "@CREX", "@CREATE;1"})
        EXPECT_EQ(Ask(line), "!QRV-715M;CREG;OK;5\r\n") << line;
    EXPECT_EQ(Ask("@CR"), "");
}

TEST_F(ConsoleDispatch, UnrecognisedLinesGetNoReplyAndChangeNothing)
{
    for (const char* line : {"", "@", "LIRNMODE;1", "@lirnmode;1", "@LIRN", "@XYZ", " @LIRNMODE;1", "@UART"})
        EXPECT_EQ(Ask(line), "") << line;
    EXPECT_EQ(lirnSet.mode, 0);
    EXPECT_FALSE(root.Exists("/APP/config.ini"));
}

TEST_F(ConsoleDispatch, OutOfRangeValuesAreSavedAsStored)
{
    EXPECT_EQ(Ask("@LIRNMODE;7"), "!QRV-715M;LIRNMODE;ER\r\n");
    EXPECT_EQ(Ask("@LIRNHB;5"), "!QRV-715M;LIRNHB;ER\r\n");
    Printed([&] { EXPECT_EQ(Ask("@SAVE"), "!QRV-715M;SAVE;OK\r\n"); });
    std::string file = root.ReadFile("/APP/config.ini");
    EXPECT_EQ(file.substr(0, 13), "@LIRNMODE;7\r\n");
    EXPECT_NE(file.find("@LIRNHB;5\r\n"), std::string::npos);
    InitLirnConfig();
    ASSERT_EQ(ReadLirnConfig(), 0);
    EXPECT_EQ(lirnSet.mode, 7);
}

TEST_F(ConsoleDispatch, SaveFailsWhenTheFileCannotBeWritten)
{
    root.WriteFile("/APP/config.ini", "@LIRNPORT;9000\r\n");
    std::filesystem::remove_all(root.Path("/APP"));
    EXPECT_EQ(Ask("@LIRNPORT;1234"), "!QRV-715M;LIRNPORT;OK\r\n");
    EXPECT_EQ(Ask("@SAVE"), "!QRV-715M;SAVE;ER\r\n");
    EXPECT_EQ(lirnSet.port, 1234);
}

// The reset saves the defaults (their twelve lines are the configuration test's), and still
// answers OK and restores memory when the file cannot be written.
TEST_F(ConsoleDispatch, ResetAnswersOkAndRestoresDefaultsEvenWithoutTheDirectory)
{
    Ask("@LIRNPORT;1234");
    Printed([&] { EXPECT_EQ(Ask("@RESET"), "!QRV-715M;RESET;OK\r\n"); });
    EXPECT_NE(root.ReadFile("/APP/config.ini").find("@LIRNPORT;8080\r\n"), std::string::npos);

    std::filesystem::remove_all(root.Path("/APP"));
    Ask("@LIRNPORT;1234");
    Ask("@APN;private.apn");
    Printed([&] { EXPECT_EQ(Ask("@RESET"), "!QRV-715M;RESET;OK\r\n"); });
    EXPECT_EQ(lirnSet.port, 8080);
    EXPECT_STREQ(lirnSet.apn, "INTERNET");
}

TEST_F(ConsoleDispatch, RebootAnswersBeforeTheModuleReboots)
{
    // The stand-in records the console's output as it was when the reboot began.
    std::string seen = root.Path("/reply.seen");
    setenv("LIRN_TEST_REPLY", ("/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(sink.Fd())).c_str(), 1);
    ASSERT_TRUE(root.WriteFile("/bin/init",
                               "#!/bin/sh\n/bin/cat \"$LIRN_TEST_REPLY\" > '" + seen + "'\necho \"$@\" >> '" + seen + "'\n",
                               0755));
    ShellInit();
    EXPECT_EQ(Ask("@REBOOT"), "!QRV-715M;REBOOT;OK\r\n");
    EXPECT_EQ(root.ReadFile("/reply.seen"), "!QRV-715M;REBOOT;OK\r\n6\n");
    unsetenv("LIRN_TEST_REPLY");
}

TEST_F(ConsoleDispatch, SignalIsReportedAsAPercentageOf32)
{
    const std::pair<int, int> cases[] = {{0, 0}, {16, 50}, {31, 96}, {99, 309}, {1, 3}};
    for (auto [csq, shown] : cases) {
        modem_csq = csq;
        EXPECT_EQ(Ask("@CSQ"), "!QRV-715M;CSQ;OK;" + std::to_string(shown) + "\r\n") << csq;
    }
}

}  // namespace
