// Console dispatch: the keyword table with its compared lengths, the twelve settings with their
// cut lengths, ranges and reply texts (one table of exchanges), the record actions and the status
// queries. A save refused by the file system is e2e faults_test's (an APP that refuses files).
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

// Replies: a set that took ("OK"), a refused value ("ER": stored all the same unless said), and a
// query with the stored value.
std::string Ok(const std::string& key)
{
    return "!QRV-715M;" + key + ";OK\r\n";
}
std::string Er(const std::string& key)
{
    return "!QRV-715M;" + key + ";ER\r\n";
}
std::string Is(const std::string& key, const std::string& value)
{
    return "!QRV-715M;" + key + ";OK;" + value + "\r\n";
}

// Each request line in order, with the exact reply it gets ("" for none). What a set stored is
// read back through the query, so the table also pins the cut lengths and the kept values.
TEST_F(ConsoleDispatch, EveryKeywordWithItsCutLengthRangeAndReplyTexts)
{
    modem_creg = 5;
    const std::string apn(70, 'a'), user(40, 'u');
    const std::pair<std::string, std::string> talk[] = {
        // The mode takes one character; out-of-range values are stored; "-" alone reads as 0.
        {"@LIRNMODE;1", Ok("LIRNMODE")}, {"@LIRNMODE", Is("LIRNMODE", "1")},
        {"@LIRNMODE;12", Ok("LIRNMODE")}, {"@LIRNMODE", Is("LIRNMODE", "1")},
        {"@LIRNMODE;7", Er("LIRNMODE")}, {"@LIRNMODE", Is("LIRNMODE", "7")},
        {"@LIRNMODE;2", Ok("LIRNMODE")}, {"@LIRNMODE;0", Ok("LIRNMODE")},
        {"@LIRNMODE;-1", Ok("LIRNMODE")}, {"@LIRNMODE", Is("LIRNMODE", "0")},
        // Queries with trailing characters are still queries.
        {"@LIRNMODEX", Is("LIRNMODE", "0")}, {"@LIRNIPabc", Is("LIRNIP", "127.0.0.1")},
        {"@LIRNHB?", Is("LIRNHB", "10")}, {"@UARTBR ", Is("UARTBR", "115200")},
        {"@FWVERSION", Is("FWVER", "LIRN_V1.00_2020-12-18")},
        // The heartbeat takes four characters, 10 to 3600.
        {"@LIRNHB;36001", Ok("LIRNHB")}, {"@LIRNHB", Is("LIRNHB", "3600")},
        {"@LIRNHB;9", Er("LIRNHB")}, {"@LIRNHB", Is("LIRNHB", "9")},
        {"@LIRNHB;10", Ok("LIRNHB")}, {"@LIRNHB;3601", Er("LIRNHB")}, {"@LIRNHB", Is("LIRNHB", "3601")},
        // The port takes five characters.
        {"@LIRNPORT;655351", Ok("LIRNPORT")}, {"@LIRNPORT", Is("LIRNPORT", "65535")},
        {"@LIRNPORT;700001", Er("LIRNPORT")}, {"@LIRNPORT", Is("LIRNPORT", "70000")},
        {"@LIRNPORT;-1", Er("LIRNPORT")}, {"@LIRNPORT", Is("LIRNPORT", "-1")}, {"@LIRNPORT;0", Ok("LIRNPORT")},
        // The baud rate takes six characters and only the console's rates (not 230400, which the
        // serial layer could run).
        {"@UARTBR;1152001", Ok("UARTBR")}, {"@UARTBR", Is("UARTBR", "115200")},
        {"@UARTBR;2400", Ok("UARTBR")}, {"@UARTBR;4800", Ok("UARTBR")}, {"@UARTBR;9600", Ok("UARTBR")},
        {"@UARTBR;19200", Ok("UARTBR")}, {"@UARTBR;38400", Ok("UARTBR")}, {"@UARTBR;57600", Ok("UARTBR")},
        {"@UARTBR;1200", Er("UARTBR")}, {"@UARTBR", Is("UARTBR", "1200")}, {"@UARTBR;230400", Er("UARTBR")},
        // Parity replies name the baud keyword; one character only; an empty value stores the
        // terminator, sent as a byte of its own before the line end.
        {"@UARTPB;E", Ok("UARTBR")}, {"@UARTPB", Is("UARTBR", "E")}, {"@UARTPB;O", Ok("UARTBR")},
        {"@UARTPB;N", Ok("UARTBR")}, {"@UARTPB;e", Er("UARTBR")}, {"@UARTPB", Is("UARTBR", "e")},
        {"@UARTPB;Nx", Ok("UARTBR")}, {"@UARTPB;", Er("UARTBR")}, {"@UARTPB", Is("UARTBR", std::string(1, '\0'))},
        // Data and stop bits take one character; the stop-bit query names the data-bit keyword.
        {"@UARTDB;7", Ok("UARTDB")}, {"@UARTDB", Is("UARTDB", "7")}, {"@UARTDB;9", Er("UARTDB")},
        {"@UARTDB;81", Ok("UARTDB")}, {"@UARTDB", Is("UARTDB", "8")},
        {"@UARTSB;2", Ok("UARTSB")}, {"@UARTSB", Is("UARTDB", "2")}, {"@UARTSB;3", Er("UARTSB")},
        {"@UARTSB", Is("UARTDB", "3")}, {"@UARTSB;0", Er("UARTSB")},
        // The PIN is cut to four; its query names the heartbeat keyword.
        {"@PINCODE;123456", Ok("PINCODE")}, {"@PINCODE", Is("LIRNHB", "1234")},
        {"@PINCODE;12", Ok("PINCODE")}, {"@PINCODE", Is("LIRNHB", "12")},
        // Texts are cut to their fields without further tests.
        {"@LIRNIP;192.168.100.200.300", Ok("LIRNIP")}, {"@LIRNIP", Is("LIRNIP", "192.168.100.200")},
        {"@LIRNIP;not an address", Ok("LIRNIP")}, {"@LIRNIP", Is("LIRNIP", "not an address")},
        {"@MODEMUSR;" + user, Ok("MODEMUSR")}, {"@MODEMUSR", Is("MODEMUSR", user.substr(0, 31))},
        {"@MODEMPWD;se cret;x", Ok("MODEMPWD")}, {"@MODEMPWD", Is("MODEMPWD", "se cret;x")},
        // The APN query is the exact line only; the longest reply (82 bytes) fits the reply buffer.
        {"@APN;", Ok("APN")}, {"@APN", Is("APN", "")}, {"@APN ", ""}, {"@APNX", ""},
        {"@APN;" + apn, Ok("APN")}, {"@APN", Is("APN", apn.substr(0, 63))},
        // Every line beginning with "@CRE" is the registration query.
        {"@CREG", Is("CREG", "5")}, {"@CRE", Is("CREG", "5")}, {"@CREX", Is("CREG", "5")},
        {"@CREATE;1", Is("CREG", "5")}, {"@CR", ""},
        // Unrecognised lines get no reply and change nothing.
        {"", ""}, {"@", ""}, {"LIRNMODE;1", ""}, {"@lirnmode;1", ""}, {"@LIRN", ""}, {"@XYZ", ""},
        {" @LIRNMODE;1", ""}, {"@UART", ""}, {"@LIRNMODE", Is("LIRNMODE", "0")},
    };
    for (const auto& [line, reply] : talk) EXPECT_EQ(Ask(line), reply) << line;
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

TEST_F(ConsoleDispatch, TunnelExtensionsRefuseOutOfRangeValuesWithoutStoringThem)
{
    EXPECT_EQ(Ask("@LIRNGAP"), "!QRV-715M;LIRNGAP;OK;100\r\n");
    EXPECT_EQ(Ask("@LIRNGAP;5"), "!QRV-715M;LIRNGAP;OK\r\n");
    for (const char* bad : {"@LIRNGAP;0", "@LIRNGAP;10001", "@LIRNGAP;100000"})
        EXPECT_EQ(Ask(bad), "!QRV-715M;LIRNGAP;ER\r\n") << bad;
    EXPECT_EQ(Ask("@LIRNGAP"), "!QRV-715M;LIRNGAP;OK;5\r\n");
    EXPECT_EQ(Ask("@LIRNRAW;10"), "!QRV-715M;LIRNRAW;ER\r\n");
    EXPECT_EQ(Ask("@LIRNRAW;1"), "!QRV-715M;LIRNRAW;OK\r\n");
    EXPECT_EQ(Ask("@LIRNRAW"), "!QRV-715M;LIRNRAW;OK;1\r\n");
    EXPECT_EQ(Ask("@LIRNBUF;65537"), "!QRV-715M;LIRNBUF;ER\r\n");
    EXPECT_EQ(Ask("@LIRNBUF;65536"), "!QRV-715M;LIRNBUF;OK\r\n");
    EXPECT_EQ(Ask("@LIRNBUF"), "!QRV-715M;LIRNBUF;OK;65536\r\n");
    // The keep-alive is off (0) or 10 to 7200 seconds.
    for (const char* bad : {"@LIRNKA;9", "@LIRNKA;7201", "@LIRNKA;10000"})
        EXPECT_EQ(Ask(bad), "!QRV-715M;LIRNKA;ER\r\n") << bad;
    EXPECT_EQ(Ask("@LIRNKA;7200"), "!QRV-715M;LIRNKA;OK\r\n");
    EXPECT_EQ(Ask("@LIRNKA;0"), "!QRV-715M;LIRNKA;OK\r\n");
    EXPECT_EQ(Ask("@LIRNKA;60"), "!QRV-715M;LIRNKA;OK\r\n");
    EXPECT_EQ(Ask("@LIRNKA"), "!QRV-715M;LIRNKA;OK;60\r\n");
    Printed([&] { EXPECT_EQ(Ask("@RESET"), "!QRV-715M;RESET;OK\r\n"); });
    EXPECT_EQ(Ask("@LIRNBUF"), "!QRV-715M;LIRNBUF;OK;0\r\n");
    EXPECT_EQ(Ask("@LIRNRAW"), "!QRV-715M;LIRNRAW;OK;0\r\n");
    EXPECT_EQ(Ask("@LIRNKA"), "!QRV-715M;LIRNKA;OK;0\r\n");
    EXPECT_EQ(root.ReadFile("/APP/config.ini").find("LIRNBUF"), std::string::npos);
    EXPECT_EQ(root.ReadFile("/APP/config.ini").find("LIRNKA"), std::string::npos);
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
