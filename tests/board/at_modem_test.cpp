// The simulated module's AT interpreter: answers byte for byte in each state, PIN entry down to
// the PUK lock, the radio reset, answer delays, line splitting and joining, read-and-delete, the
// SMS-DELIVER builder, bad input, the control verbs, and the answers as the firmware's own serial
// layer reads them through a pty.
#include "at_modem.h"
#include "board_test_support.h"
#include "sms_deliver.h"

#include "platform/sysroot.h"
#include "serial/uart.h"

#include <string>
#include <vector>

namespace {

// Drives the modem as the firmware's exchange does: write a command, wait, take what has come.
struct Host {
    AtModem modem;
    int64_t now = 10000;

    std::string Ask(const std::string& command, int waitMs = 100)
    {
        modem.Input(command.data(), command.size(), now);
        return Wait(waitMs);
    }
    std::string Wait(int ms)
    {
        now += ms;
        std::string out;
        modem.Output(out, now);
        return out;
    }
    std::string Ctl(const std::string& line) { return modem.Control(SplitWords(line)); }
};

// The answer to "<cmd>\r\n" with echo: the line up to its carriage return, then the answer.
std::string Echoed(const std::string& cmd, const std::string& answer)
{
    return cmd + "\r" + answer;
}

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

std::string Info(const std::string& text)
{
    return "\r\n" + text + "\r\n" + kOk;
}

// A received message worked out by hand: service centre +3141592653, originator +4981726354,
// 2024-03-15 08:30:05 (zone characters 40), text "hello".
const std::string kHelloPdu = "06911314956235040A91941827364500004230518003500405E8329BFD06";

// ---------------------------------------------------------------------------------------------

TEST(AtModemAnswers, EveryFirmwareCommandByteForByteOnAReadyModule)
{
    Host x;
    EXPECT_EQ(x.Ask("ATI\r\n"), Echoed("ATI",
                                       "\r\nManufacturer: SIMCOM INCORPORATED\r\nModel: SIMCOM_SIM7100E\r\n"
                                       "Revision: 4534B05SIM7100E\r\nIMEI: 862631039274815\r\n"
                                       "+GCAP: +CGSM,+DS,+ES\r\n\r\nOK\r\n"));
    EXPECT_EQ(x.Ask("AT+GMM\r\n"), Echoed("AT+GMM", Info("SIMCOM_SIM7100E")));
    EXPECT_EQ(x.Ask("AT+SIMEI?\r\n"), Echoed("AT+SIMEI?", Info("+SIMEI: 862631039274815")));
    EXPECT_EQ(x.Ask("AT+CGPS?\r\n"), Echoed("AT+CGPS?", Info("+CGPS: 0,1")));
    EXPECT_EQ(x.Ask("AT+CGPS=1\r\n"), Echoed("AT+CGPS=1", kOk));
    EXPECT_EQ(x.Ask("AT+CMGD=4,4\r\n"), Echoed("AT+CMGD=4,4", kOk));
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: READY")));
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 0,1")));
    EXPECT_EQ(x.Ask("AT+CSQ\r\n"), Echoed("AT+CSQ", Info("+CSQ: 20,99")));
    EXPECT_EQ(x.Ask("AT+CNSMOD?\r\n"), Echoed("AT+CNSMOD?", Info("+CNSMOD: 0,8")));
    EXPECT_EQ(x.Ask("AT+CGPSINFO\r\n"), Echoed("AT+CGPSINFO", Info("+CGPSINFO: ,,,,,,,,")));
    EXPECT_EQ(x.Ask("AT+CPMS?\r\n"), Echoed("AT+CPMS?", Info("+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30")));
    EXPECT_EQ(x.Ask("AT+CMGRD=0\r\n"), Echoed("AT+CMGRD=0", kOk));
    EXPECT_EQ(x.Ask("AT+CFUN=0\r\n", 500), Echoed("AT+CFUN=0", kOk));
    EXPECT_EQ(x.Ask("AT+CFUN=1\r\n", 2000), Echoed("AT+CFUN=1", kOk));
}

TEST(AtModemAnswers, GpsSessionAndFix)
{
    Host x;
    ASSERT_EQ(x.Ctl("fix 3113.343286 S 12107.655000 W 150324 083005.0 44.1 0.0 -"), "ok");
    // The receiver is off until the session starts: no fix, whatever it could see.
    EXPECT_EQ(x.Ask("AT+CGPSINFO\r\n"), Echoed("AT+CGPSINFO", Info("+CGPSINFO: ,,,,,,,,")));
    EXPECT_EQ(x.Ask("AT+CGPS=1\r\n"), Echoed("AT+CGPS=1", kOk));
    EXPECT_EQ(x.Ask("AT+CGPS=1\r\n"), Echoed("AT+CGPS=1", kError)) << "already running";
    EXPECT_EQ(x.Ask("AT+CGPS?\r\n"), Echoed("AT+CGPS?", Info("+CGPS: 1,1")));
    EXPECT_EQ(x.Ask("AT+CGPSINFO\r\n"),
              Echoed("AT+CGPSINFO", Info("+CGPSINFO: 3113.343286,S,12107.655000,W,150324,083005.0,44.1,0.0,")));
    ASSERT_EQ(x.Ctl("fix none"), "ok");
    EXPECT_EQ(x.Ask("AT+CGPSINFO\r\n"), Echoed("AT+CGPSINFO", Info("+CGPSINFO: ,,,,,,,,")));
    EXPECT_EQ(x.Ask("AT+CGPS=0\r\n"), Echoed("AT+CGPS=0", kOk));
    EXPECT_EQ(x.Ask("AT+CGPS=0\r\n"), Echoed("AT+CGPS=0", kError)) << "already stopped";
}

TEST(AtModemAnswers, SimWaitingForPinRefusesStorageAndIsNotRegistered)
{
    Host x;
    ASSERT_EQ(x.Ctl("sim pin 4321"), "ok");
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: SIM PIN")));
    EXPECT_EQ(x.Ask("AT+CPMS?\r\n"), Echoed("AT+CPMS?", "\r\n+CME ERROR: 11\r\n"));
    EXPECT_EQ(x.Ask("AT+CMGRD=0\r\n"), Echoed("AT+CMGRD=0", "\r\n+CME ERROR: 11\r\n"));
    EXPECT_EQ(x.Ask("AT+CMGD=4,4\r\n"), Echoed("AT+CMGD=4,4", "\r\n+CME ERROR: 11\r\n"));
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 0,0")));
    EXPECT_EQ(x.Ask("AT+CNSMOD?\r\n"), Echoed("AT+CNSMOD?", Info("+CNSMOD: 0,0")));
    // The radio still measures the signal without a usable SIM.
    EXPECT_EQ(x.Ask("AT+CSQ\r\n"), Echoed("AT+CSQ", Info("+CSQ: 20,99")));
    // The module's identity does not depend on the SIM.
    EXPECT_EQ(x.Ask("AT+SIMEI?\r\n"), Echoed("AT+SIMEI?", Info("+SIMEI: 862631039274815")));
}

TEST(AtModemAnswers, AbsentAndPukLockedSim)
{
    Host x;
    ASSERT_EQ(x.Ctl("sim absent"), "ok");
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", "\r\n+CME ERROR: 10\r\n"));
    EXPECT_EQ(x.Ask("AT+CPIN=1234\r\n", 3000), Echoed("AT+CPIN=1234", "\r\n+CME ERROR: 10\r\n"));
    EXPECT_EQ(x.Ask("AT+CPMS?\r\n"), Echoed("AT+CPMS?", "\r\n+CME ERROR: 10\r\n"));
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 0,0")));

    ASSERT_EQ(x.Ctl("sim puk"), "ok");
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: SIM PUK")));
    EXPECT_EQ(x.Ask("AT+CMGRD=3\r\n"), Echoed("AT+CMGRD=3", "\r\n+CME ERROR: 12\r\n"));
}

// The control channel's registration, signal and mode reaching the answers is shown end to end
// (e2e Modem: the transcript's CREG, CSQ and CNSMOD answers as the module changes).
TEST(AtModemAnswers, LocationReportingAndModeWhenDenied)
{
    Host x;
    ASSERT_EQ(x.Ctl("creg 5"), "ok");
    // With location reporting on, a registered module names its area and cell after the status.
    EXPECT_EQ(x.Ask("AT+CREG=2\r\n"), Echoed("AT+CREG=2", kOk));
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 2,5,\"1A2B\",\"0B3C4D5E\"")));
    ASSERT_EQ(x.Ctl("creg 3"), "ok");  // denied: a mode but no service
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 2,3")));
    EXPECT_EQ(x.Ask("AT+CNSMOD?\r\n"), Echoed("AT+CNSMOD?", Info("+CNSMOD: 0,0")));
}

// ---------------------------------------------------------------------------------------------

TEST(AtModemPin, RightPinMakesTheSimReadyAndRegistered)
{
    Host x;
    ASSERT_EQ(x.Ctl("sim pin 4321"), "ok");
    EXPECT_EQ(x.Ask("AT+CPIN=4321\r\n", 3000), Echoed("AT+CPIN=4321", kOk));
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: READY")));
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 0,1")));
    // A PIN sent when none is asked for is refused.
    EXPECT_EQ(x.Ask("AT+CPIN=4321\r\n", 3000), Echoed("AT+CPIN=4321", "\r\n+CME ERROR: 3\r\n"));
    // A quoted PIN is the same text.
    ASSERT_EQ(x.Ctl("sim pin 4321"), "ok");
    EXPECT_EQ(x.Ask("AT+CPIN=\"4321\"\r\n", 3000), Echoed("AT+CPIN=\"4321\"", kOk));
}

TEST(AtModemPin, ThreeWrongPinsLockTheSimUntilItsPuk)
{
    Host x;
    ASSERT_EQ(x.Ctl("sim pin 4321"), "ok");
    const std::string wrong = Echoed("AT+CPIN=1111", "\r\n+CME ERROR: 16\r\n");
    EXPECT_EQ(x.Ask("AT+CPIN=1111\r\n", 3000), wrong);
    EXPECT_EQ(x.modem.State().pinTriesLeft, 2);
    EXPECT_EQ(x.Ask("AT+CPIN=1111\r\n", 3000), wrong);
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: SIM PIN")));
    EXPECT_EQ(x.Ask("AT+CPIN=1111\r\n", 3000), wrong);
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: SIM PUK")));
    // The right PIN no longer helps; the PUK with a new PIN does.
    EXPECT_EQ(x.Ask("AT+CPIN=4321\r\n", 3000), Echoed("AT+CPIN=4321", "\r\n+CME ERROR: 16\r\n"));
    EXPECT_EQ(x.Ask("AT+CPIN=87654321,9999\r\n", 3000), Echoed("AT+CPIN=87654321,9999", "\r\n+CME ERROR: 16\r\n"));
    EXPECT_EQ(x.Ask("AT+CPIN=12345678,9999\r\n", 3000), Echoed("AT+CPIN=12345678,9999", kOk));
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: READY")));
    EXPECT_EQ(x.modem.State().pin, "9999");
    EXPECT_EQ(x.modem.State().pinTriesLeft, 3);
}

TEST(AtModemPin, ARightPinRestoresTheTries)
{
    Host x;
    ASSERT_EQ(x.Ctl("sim pin 4321"), "ok");
    x.Ask("AT+CPIN=1111\r\n", 3000);
    x.Ask("AT+CPIN=1111\r\n", 3000);
    EXPECT_EQ(x.Ask("AT+CPIN=4321\r\n", 3000), Echoed("AT+CPIN=4321", kOk));
    EXPECT_EQ(x.modem.State().pinTriesLeft, 3);
    // After a power-up the locked card asks again and has its three tries.
    ASSERT_EQ(x.Ctl("restart"), "ok");
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: SIM PIN")));
    EXPECT_EQ(x.Ask("AT+CPIN=1111\r\n", 3000), Echoed("AT+CPIN=1111", "\r\n+CME ERROR: 16\r\n"));
    EXPECT_EQ(x.Ask("AT+CPIN=1111\r\n", 3000), Echoed("AT+CPIN=1111", "\r\n+CME ERROR: 16\r\n"));
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: SIM PIN")));
}

// ---------------------------------------------------------------------------------------------

TEST(AtModemRadio, RadioOffLosesRegistrationSignalAndModeUntilItComesBack)
{
    Host x;
    EXPECT_EQ(x.Ask("AT+CFUN=0\r\n", 500), Echoed("AT+CFUN=0", kOk));
    EXPECT_EQ(x.Ask("AT+CFUN?\r\n"), Echoed("AT+CFUN?", Info("+CFUN: 0")));
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 0,0")));
    EXPECT_EQ(x.Ask("AT+CSQ\r\n"), Echoed("AT+CSQ", Info("+CSQ: 99,99")));
    EXPECT_EQ(x.Ask("AT+CNSMOD?\r\n"), Echoed("AT+CNSMOD?", Info("+CNSMOD: 0,0")));
    // The SIM and the GPS receiver do not depend on the radio.
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), Echoed("AT+CPIN?", Info("+CPIN: READY")));
    EXPECT_EQ(x.Ask("AT+CGPS=1\r\n"), Echoed("AT+CGPS=1", kOk));
    EXPECT_EQ(x.Ask("AT+CFUN=1\r\n", 2000), Echoed("AT+CFUN=1", kOk));
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 0,1")));
    EXPECT_EQ(x.Ask("AT+CSQ\r\n"), Echoed("AT+CSQ", Info("+CSQ: 20,99")));
    EXPECT_EQ(x.Ask("AT+CNSMOD?\r\n"), Echoed("AT+CNSMOD?", Info("+CNSMOD: 0,8")));
}

TEST(AtModemRadio, RegistrationTakesItsDelayAfterTheRadioComesOn)
{
    Host x;
    ASSERT_EQ(x.Ctl("regdelay 3000"), "ok");
    x.Ask("AT+CFUN=0\r\n", 500);
    EXPECT_EQ(x.Ask("AT+CFUN=1\r\n", 2000), Echoed("AT+CFUN=1", kOk));
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 0,2")));  // searching
    EXPECT_EQ(x.Ask("AT+CNSMOD?\r\n"), Echoed("AT+CNSMOD?", Info("+CNSMOD: 0,0")));
    x.Wait(1000);
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Echoed("AT+CREG?", Info("+CREG: 0,1")));
}

TEST(AtModemRadio, RadioOffOverTheControlChannelIsTheSameAsCfun0)
{
    Host x;
    ASSERT_EQ(x.Ctl("radio off"), "ok");
    EXPECT_EQ(x.Ask("AT+CFUN?\r\n"), Echoed("AT+CFUN?", Info("+CFUN: 0")));
    EXPECT_EQ(x.Ask("AT+CSQ\r\n"), Echoed("AT+CSQ", Info("+CSQ: 99,99")));
    ASSERT_EQ(x.Ctl("radio on"), "ok");
    EXPECT_EQ(x.Ask("AT+CSQ\r\n"), Echoed("AT+CSQ", Info("+CSQ: 20,99")));
}

// ---------------------------------------------------------------------------------------------

TEST(AtModemTiming, AnAnswerLaterThanTheWaitArrivesAtTheFrontOfTheNextRead)
{
    Host x;
    ASSERT_EQ(x.Ctl("delay 150"), "ok");
    // The echo comes at once, the answer 150 ms later: after this 100 ms wait.
    EXPECT_EQ(x.Ask("AT+CSQ\r\n"), "AT+CSQ\r");
    EXPECT_EQ(x.modem.NextDue(), x.now + 50);
    EXPECT_EQ(x.Ask("AT+CREG?\r\n"), Info("+CSQ: 20,99") + "AT+CREG?\r");
    EXPECT_EQ(x.Wait(100), Info("+CREG: 0,1"));
    EXPECT_EQ(x.modem.NextDue(), -1);
}

TEST(AtModemTiming, NothingIsReleasedBeforeItsTime)
{
    Host x;
    ASSERT_EQ(x.Ctl("delay 2500"), "ok");
    ASSERT_EQ(x.Ctl("echo off"), "ok");
    EXPECT_EQ(x.Ask("AT+CPIN?\r\n"), "");
    EXPECT_EQ(x.modem.NextDue(), x.now + 2400);
    EXPECT_EQ(x.Wait(2399), "");
    EXPECT_EQ(x.Wait(1), Info("+CPIN: READY"));
}

TEST(AtModemTiming, MuteModuleSendsNothingAndRunsNothing)
{
    Host x;
    ASSERT_EQ(x.Ctl("mute on"), "ok");
    EXPECT_EQ(x.Ask("AT+CGPS=1\r\n"), "");
    EXPECT_EQ(x.modem.NextDue(), -1);
    EXPECT_FALSE(x.modem.State().gpsOn);
    ASSERT_EQ(x.modem.Log().size(), 1u);
    EXPECT_EQ(x.modem.Log().back().line, "AT+CGPS=1");
    ASSERT_EQ(x.Ctl("mute off"), "ok");
    EXPECT_EQ(x.Ask("AT+CGPS=1\r\n"), Echoed("AT+CGPS=1", kOk));
}

// ---------------------------------------------------------------------------------------------

TEST(AtModemLine, ACommandInPiecesIsAnsweredAtItsCarriageReturn)
{
    Host x;
    EXPECT_EQ(x.Ask("AT+C"), "AT+C");  // echoed as it comes
    EXPECT_EQ(x.Ask("SQ"), "SQ");
    EXPECT_EQ(x.modem.NextDue(), -1);
    EXPECT_EQ(x.Ask("\r"), "\r" + Info("+CSQ: 20,99"));
    // The line feed of "\r\n" arriving on its own is not a second line.
    EXPECT_EQ(x.Ask("\n"), "");
    EXPECT_EQ(x.modem.Log().size(), 1u);
}

TEST(AtModemLine, SeveralCommandsInOneReadAreAnsweredInOrder)
{
    Host x;
    EXPECT_EQ(x.Ask("AT+CREG?\r\nAT+CSQ\r\nAT+CNSMOD?\r\n"),
              Echoed("AT+CREG?", Info("+CREG: 0,1")) + Echoed("AT+CSQ", Info("+CSQ: 20,99")) +
                  Echoed("AT+CNSMOD?", Info("+CNSMOD: 0,8")));
    EXPECT_EQ(x.modem.Log().size(), 3u);
}

TEST(AtModemLine, CommandsJoinedBySemicolonShareOneFinalResult)
{
    Host x;
    EXPECT_EQ(x.Ask("AT+CSQ;+CREG?\r"), "AT+CSQ;+CREG?\r\r\n+CSQ: 20,99\r\n\r\n+CREG: 0,1\r\n" + kOk);
    // The first failing command ends the line.
    EXPECT_EQ(x.Ask("AT+CSQ;+NOPE;+CREG?\r"), "AT+CSQ;+NOPE;+CREG?\r\r\n+CSQ: 20,99\r\n" + kError);
}

TEST(AtModemLine, LowerCaseBlanksAndEchoOff)
{
    Host x;
    EXPECT_EQ(x.Ask("at+csq\r"), Echoed("at+csq", Info("+CSQ: 20,99")));
    EXPECT_EQ(x.Ask("AT + CSQ\r"), Echoed("AT + CSQ", Info("+CSQ: 20,99")));
    EXPECT_EQ(x.Ask("ATE0\r\n"), Echoed("ATE0", kOk));
    EXPECT_EQ(x.Ask("AT+CSQ\r\n"), Info("+CSQ: 20,99"));
    EXPECT_EQ(x.Ask("ATE1\r\n"), kOk);
    EXPECT_EQ(x.Ask("AT\r\n"), Echoed("AT", kOk));
}

TEST(AtModemLine, UnknownCommandsAndWrongFormsAreErrors)
{
    Host x;
    EXPECT_EQ(x.Ask("AT+FOO\r\n"), Echoed("AT+FOO", kError));
    EXPECT_EQ(x.Ask("AT+CSQ?\r\n"), Echoed("AT+CSQ?", kError));
    EXPECT_EQ(x.Ask("AT+CPIN\r\n"), Echoed("AT+CPIN", kError));
    EXPECT_EQ(x.Ask("AT+CPIN=\r\n"), Echoed("AT+CPIN=", kError));
    EXPECT_EQ(x.Ask("AT+CFUN=2\r\n"), Echoed("AT+CFUN=2", kError));
    EXPECT_EQ(x.Ask("AT+CMGRD=x\r\n"), Echoed("AT+CMGRD=x", kError));
    EXPECT_EQ(x.Ask("ATQX\r\n"), Echoed("ATQX", kError));
    EXPECT_EQ(x.Ask("AT+CSQ=?\r\n"), Echoed("AT+CSQ=?", kOk));
}

TEST(AtModemLine, OverlongLineIsCutAndFailsWithoutGrowingTheBuffer)
{
    Host x;
    std::string longLine = "AT+CSQ" + std::string(5000, '1');
    std::string echo = x.Ask(longLine);
    EXPECT_EQ(echo.size(), AtModem::kMaxLineBytes) << "bytes past the line buffer are dropped, not echoed";
    EXPECT_EQ(x.Ask(std::string(100000, 'Z')), "");
    EXPECT_EQ(x.Ask("\r\n"), "\r" + kError);
    EXPECT_EQ(x.modem.Log().back().line.size(), AtModem::kMaxLineBytes);
    // The next line is served normally.
    EXPECT_EQ(x.Ask("AT+CSQ\r\n"), Echoed("AT+CSQ", Info("+CSQ: 20,99")));
}

TEST(AtModemLine, GarbageBeforeThePrefixIsSkippedAndLinesWithoutItGetNoAnswer)
{
    Host x;
    const std::string noise("\x00\xff\x1b[0m", 6);
    EXPECT_EQ(x.Ask(noise + "AT+CSQ\r\n"), Echoed(noise + "AT+CSQ", Info("+CSQ: 20,99")));
    EXPECT_EQ(x.Ask("hello\r\n"), "hello\r");
    EXPECT_EQ(x.Ask("\r\n"), "\r");
    EXPECT_EQ(x.modem.NextDue(), -1);
    // Backspace takes back the character before it.
    EXPECT_EQ(x.Ask("AT+CSQX\b\r"), Echoed("AT+CSQX\b", Info("+CSQ: 20,99")));
}

TEST(AtModemLine, UnreadAnswersAreBoundedLikeAFullUartBuffer)
{
    Host x;
    std::string many;
    for (int i = 0; i < 5000; ++i) many += "ATI\r";
    x.modem.Input(many.data(), many.size(), x.now);
    std::string out;
    x.modem.Output(out, x.now + 1);
    EXPECT_LE(out.size(), AtModem::kMaxPendingBytes);
    EXPECT_GT(out.size(), AtModem::kMaxPendingBytes / 2);
    EXPECT_EQ(x.modem.NextDue(), -1);
}

// ---------------------------------------------------------------------------------------------

TEST(AtModemStorage, ReadAndDeleteReturnsThePduOnceAndFreesTheSlot)
{
    Host x;
    ASSERT_EQ(x.Ctl("sms add " + kHelloPdu), "ok 0");
    ASSERT_EQ(x.Ctl("sms add " + kHelloPdu), "ok 1");
    EXPECT_EQ(x.Ask("AT+CPMS?\r\n"), Echoed("AT+CPMS?", Info("+CPMS: \"SM\",2,30,\"SM\",2,30,\"SM\",2,30")));
    // 30 octets in all, of which 1 + 6 are the service centre.
    EXPECT_EQ(x.Ask("AT+CMGRD=0\r\n"), Echoed("AT+CMGRD=0", "\r\n+CMGRD: 0,,23\r\n" + kHelloPdu + "\r\n" + kOk));
    EXPECT_EQ(x.Ask("AT+CMGRD=0\r\n"), Echoed("AT+CMGRD=0", kOk)) << "the message left the storage";
    EXPECT_EQ(x.Ask("AT+CPMS?\r\n"), Echoed("AT+CPMS?", Info("+CPMS: \"SM\",1,30,\"SM\",1,30,\"SM\",1,30")));
    EXPECT_EQ(x.Ask("AT+CMGRD=29\r\n"), Echoed("AT+CMGRD=29", kOk));
    EXPECT_EQ(x.Ask("AT+CMGRD=30\r\n"), Echoed("AT+CMGRD=30", "\r\n+CMS ERROR: 321\r\n"));
    EXPECT_EQ(x.Ctl("sms count"), "ok 1 30");
}

TEST(AtModemStorage, DeleteFlagsFollowTheMessageStatus)
{
    Host x;
    AtModemState s;
    s.sms[0] = AtStoredSms{0, kHelloPdu};  // unread
    s.sms[1] = AtStoredSms{1, kHelloPdu};  // read
    s.sms[2] = AtStoredSms{3, kHelloPdu};  // sent
    s.sms[3] = AtStoredSms{2, kHelloPdu};  // unsent
    x.modem.SetState(s);
    EXPECT_EQ(x.Ask("AT+CMGD=0,1\r\n"), Echoed("AT+CMGD=0,1", kOk));
    EXPECT_EQ(x.Ctl("sms count"), "ok 3 30");
    EXPECT_EQ(x.Ask("AT+CMGD=0,2\r\n"), Echoed("AT+CMGD=0,2", kOk));
    EXPECT_EQ(x.Ctl("sms count"), "ok 2 30");
    EXPECT_EQ(x.Ask("AT+CMGD=3\r\n"), Echoed("AT+CMGD=3", kOk));
    EXPECT_EQ(x.Ctl("sms count"), "ok 1 30");
    EXPECT_EQ(x.Ask("AT+CMGD=31\r\n"), Echoed("AT+CMGD=31", "\r\n+CMS ERROR: 321\r\n"));
    // Flag 4 deletes everything; the index in front of it is ignored, even beyond the storage.
    EXPECT_EQ(x.Ask("AT+CMGD=99,4\r\n"), Echoed("AT+CMGD=99,4", kOk));
    EXPECT_EQ(x.Ctl("sms count"), "ok 0 30");
}

TEST(AtModemStorage, FullStorageAndSmallerSizes)
{
    Host x;
    ASSERT_EQ(x.Ctl("sms size 2"), "ok");
    ASSERT_EQ(x.Ctl("sms add " + kHelloPdu), "ok 0");
    ASSERT_EQ(x.Ctl("sms add " + kHelloPdu), "ok 1");
    EXPECT_EQ(x.Ctl("sms add " + kHelloPdu), "err storage full");
    EXPECT_EQ(x.Ctl("sms size 1"), "err slot 1 holds a message");
    EXPECT_EQ(x.Ask("AT+CPMS?\r\n"), Echoed("AT+CPMS?", Info("+CPMS: \"SM\",2,2,\"SM\",2,2,\"SM\",2,2")));
    EXPECT_EQ(x.Ask("AT+CMGRD=2\r\n"), Echoed("AT+CMGRD=2", "\r\n+CMS ERROR: 321\r\n"));
    EXPECT_EQ(x.Ctl("sms add 0G"), "err not a PDU in hexadecimal");
    EXPECT_EQ(x.Ctl("sms add 0791"), "err not a PDU in hexadecimal");
}

TEST(AtModemStorage, DeliverBuildsStoresAndListsAMessage)
{
    Host x;
    EXPECT_EQ(x.Ctl("sms deliver +3141592653 +4981726354 24031508300540 hello"), "ok 0 " + kHelloPdu);
    EXPECT_EQ(x.Ctl("sms list"), "ok 1 0:0:23:" + kHelloPdu);
    EXPECT_EQ(x.Ctl("sms deliver - 12345 2403150830054 hi"),
              "err bad time stamp (YYMMDDhhmmss and two zone characters)");
    EXPECT_EQ(x.Ctl("sms deliver - 12345 24031508300540 \xe4\xb8\xad"),
              "err text has a character outside the GSM default alphabet");
}

// ---------------------------------------------------------------------------------------------
// The builder, checked against PDUs taken apart by hand here.

std::vector<int> Octets(const std::string& hex)
{
    std::vector<int> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Septets read bit by bit from the packed octets, least significant bit first.
std::vector<int> Unpack(const std::vector<int>& octets, std::size_t from, std::size_t count)
{
    std::vector<int> septets;
    for (std::size_t s = 0; s < count; ++s) {
        int v = 0;
        for (int b = 0; b < 7; ++b) {
            std::size_t bit = s * 7 + b;
            v |= ((octets[from + bit / 8] >> (bit % 8)) & 1) << b;
        }
        septets.push_back(v);
    }
    return septets;
}

TEST(SmsDeliverBuilder, PacksTheTextbookExamples)
{
    std::vector<uint8_t> septets;
    ASSERT_TRUE(GsmEncodeText("hellohello", septets));
    std::vector<uint8_t> packed = GsmPackSeptets(septets);
    EXPECT_EQ(packed, (std::vector<uint8_t>{0xE8, 0x32, 0x9B, 0xFD, 0x46, 0x97, 0xD9, 0xEC, 0x37}));
    ASSERT_TRUE(GsmEncodeText("How are you?", septets));
    EXPECT_EQ(GsmPackSeptets(septets),
              (std::vector<uint8_t>{0xC8, 0xF7, 0x1D, 0x14, 0x96, 0x97, 0x41, 0xF9, 0x77, 0xFD, 0x07}));
    // Eight septets fill exactly seven octets; nine need eight.
    ASSERT_TRUE(GsmEncodeText("12345678", septets));
    EXPECT_EQ(GsmPackSeptets(septets).size(), 7u);
    ASSERT_TRUE(GsmEncodeText("123456789", septets));
    EXPECT_EQ(GsmPackSeptets(septets).size(), 8u);
}

TEST(SmsDeliverBuilder, ExtensionAndNationalCharacters)
{
    std::vector<uint8_t> septets;
    ASSERT_TRUE(GsmEncodeText("a{b\xe2\x82\xac@$_", septets));  // a { b euro @ $ _
    EXPECT_EQ(septets, (std::vector<uint8_t>{0x61, 0x1B, 0x28, 0x62, 0x1B, 0x65, 0x00, 0x02, 0x11}));
    ASSERT_TRUE(GsmEncodeText("\xc3\xa9\xc3\x9c\xce\x94", septets));  // e-acute, U-umlaut, Delta
    EXPECT_EQ(septets, (std::vector<uint8_t>{0x05, 0x5E, 0x10}));
    EXPECT_FALSE(GsmEncodeText("\xc3", septets)) << "truncated UTF-8";
    EXPECT_FALSE(GsmEncodeText("`", septets)) << "no grave accent in the alphabet";
}

TEST(SmsDeliverBuilder, WholePduTakenApartByHand)
{
    std::string error;
    std::string pdu = BuildDeliverPdu(SmsDeliver{"+8613800200500", "123456789", "24123123595908", "Hi {x}"}, error);
    ASSERT_FALSE(pdu.empty()) << error;
    std::vector<int> o = Octets(pdu);
    // Service centre: 8 octets follow: international type and 13 digits swapped, F-padded.
    EXPECT_EQ(pdu.substr(0, 18), "0891683108200005F0");
    EXPECT_EQ(o[9], 0x04) << "SMS-DELIVER, no more messages";
    // Originator: 9 digits, unknown type, odd count padded with F.
    EXPECT_EQ(pdu.substr(20, 14), "098121436587F9");
    EXPECT_EQ(pdu.substr(34, 4), "0000") << "protocol identifier, 7-bit coding";
    EXPECT_EQ(pdu.substr(38, 14), "42211332959580") << "time stamp, pairs swapped";
    std::size_t udl = static_cast<std::size_t>(o[26]);
    EXPECT_EQ(udl, 8u) << "two extension characters count two septets each";
    EXPECT_EQ(o.size(), 27 + (udl * 7 + 7) / 8);
    EXPECT_EQ(Unpack(o, 27, udl), (std::vector<int>{'H', 'i', ' ', 0x1B, 0x28, 'x', 0x1B, 0x29}));
    EXPECT_EQ(PduTransferLength(pdu), static_cast<int>(o.size()) - 9);
}

TEST(SmsDeliverBuilder, NoServiceCentreAndAlphanumericOriginator)
{
    std::string error;
    std::string pdu = BuildDeliverPdu(SmsDeliver{"", "Bank", "24010100000000", "ok"}, error);
    ASSERT_FALSE(pdu.empty()) << error;
    std::vector<int> o = Octets(pdu);
    EXPECT_EQ(o[0], 0x00) << "no address, no type octet";
    EXPECT_EQ(o[1], 0x04);
    EXPECT_EQ(o[2], 7) << "four septets use seven semi-octets";
    EXPECT_EQ(o[3], 0xD0);
    EXPECT_EQ(Unpack(o, 4, 4), (std::vector<int>{'B', 'a', 'n', 'k'}));
    EXPECT_EQ(PduTransferLength(pdu), static_cast<int>(o.size()) - 1);
}

TEST(SmsDeliverBuilder, LimitsAreRefused)
{
    std::string error;
    EXPECT_FALSE(BuildDeliverPdu(SmsDeliver{"", "1", "24010100000000", std::string(160, 'a')}, error).empty());
    EXPECT_TRUE(BuildDeliverPdu(SmsDeliver{"", "1", "24010100000000", std::string(159, 'a') + "["}, error).empty());
    EXPECT_EQ(error, "text longer than 160 septets");
    EXPECT_TRUE(BuildDeliverPdu(SmsDeliver{"12a", "1", "24010100000000", "x"}, error).empty());
    EXPECT_TRUE(BuildDeliverPdu(SmsDeliver{"", "TwelveLetter", "24010100000000", "x"}, error).empty());
    EXPECT_TRUE(BuildDeliverPdu(SmsDeliver{"", std::string(21, '1'), "24010100000000", "x"}, error).empty());
}

// ---------------------------------------------------------------------------------------------

TEST(AtModemControl, StateSummaryLogAndUnsolicitedLines)
{
    Host x;
    EXPECT_EQ(x.Ctl("state"),
              "ok sim=ready pinlock=0 pin=1234 tries=3 puk=12345678 cfun=1 creg=1 reg=1 csq=20,99 mode=8 gps=0 fix=0 "
              "sms=0/30 delay=0 regdelay=0 mute=0 echo=1 lines=0");
    x.Ask("AT+CSQ\r\n");
    x.Ask("AT+CPIN=1 2\r\n");
    EXPECT_EQ(x.Ctl("log"), "ok 2 10000:AT+CSQ 10100:AT+CPIN=1\\x202");
    EXPECT_EQ(x.Ctl("log 1"), "ok 1 10100:AT+CPIN=1\\x202");
    EXPECT_EQ(x.Ctl("log count"), "ok 2");
    EXPECT_EQ(x.Ctl("log clear"), "ok");
    EXPECT_EQ(x.Ctl("log"), "ok 0");
    EXPECT_EQ(x.Ctl("log count"), "ok 2");

    EXPECT_EQ(x.Ctl("urc +CMTI: \"SM\",0"), "ok");
    EXPECT_EQ(x.Wait(1), "\r\n+CMTI: \"SM\",0\r\n");
    EXPECT_EQ(x.Ctl("raw \\x00AB\\r"), "ok");
    EXPECT_EQ(x.Wait(1), std::string("\0AB\r", 4));
}

TEST(AtModemControl, BadRequestsAreRefusedAndChangeNothing)
{
    Host x;
    EXPECT_EQ(x.Ctl("csq 40"), "err usage: csq <0..31|99> [<0..7|99>]");
    EXPECT_EQ(x.Ctl("creg 11"), "err usage: creg <0..10>");
    EXPECT_EQ(x.Ctl("delay -5"), "err usage: delay <0..600000>");
    EXPECT_EQ(x.Ctl("sim pin 12"), "err the PIN is 4 to 8 digits");
    EXPECT_EQ(x.Ctl("fix 1 X 2 E a b c d e"),
              "err usage: fix none | fix <lat> N|S <lon> E|W <date> <utc> <alt> <speed> <course>");
    EXPECT_EQ(x.Ctl("bogus"), "err unknown verb bogus");
    EXPECT_EQ(x.modem.Control({}), "err no verb");
    AtModemState fresh;
    EXPECT_EQ(x.modem.State().rssi, fresh.rssi);
    EXPECT_EQ(x.modem.State().cregStat, fresh.cregStat);
    EXPECT_EQ(x.modem.State().delayMs, fresh.delayMs);
    EXPECT_EQ(x.modem.State().sim, SimCard::Ready);
}

TEST(AtModemControl, RestartDropsPendingOutputAndKeepsMessages)
{
    Host x;
    ASSERT_EQ(x.Ctl("delay 1000"), "ok");
    ASSERT_EQ(x.Ctl("sms add " + kHelloPdu), "ok 0");
    x.Ask("AT+CGPS=1\r\n");
    x.Ask("ATE0\r\n");
    ASSERT_NE(x.modem.NextDue(), -1);
    ASSERT_EQ(x.Ctl("restart"), "ok");
    EXPECT_EQ(x.modem.NextDue(), -1);
    ASSERT_EQ(x.Ctl("delay 0"), "ok");
    EXPECT_EQ(x.Ask("AT+CGPS?\r\n"), Echoed("AT+CGPS?", Info("+CGPS: 0,1"))) << "echo back on, receiver off";
    EXPECT_EQ(x.Ctl("sms count"), "ok 1 30");
}

// ---------------------------------------------------------------------------------------------
// Through a real pty, read by the firmware's own serial layer: an answer later than the wait
// reaches the line, and opening the channel again, as the next cycle does, discards it.
std::string Exchange(int fd, const std::string& cmd)
{
    char reply[kUartResponseSize];
    ssize_t n = uart_write_read(fd, cmd.data(), cmd.size(), reply, 100);
    return n > 0 ? std::string(reply, static_cast<std::size_t>(n)) : std::string();
}

TEST(AtModemPty, ReopeningTheChannelDiscardsWhatWasPending)
{
    TempDir dir;
    dir.MakeDirs("dev");
    SysrootSet(dir.Path().c_str());
    AtModem modem;
    DevicePty pty(modem, dir / "dev/smd8");
    pty.Start();
    ASSERT_EQ(pty.Control({"delay", "150"}), "ok");
    int fd = uart_open(UART_AT_DEV, 115200, 8, 'N', 1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "AT+CSQ\r\n"), "AT+CSQ\r");
    EXPECT_TRUE(WaitUntil([&] { return uart_datasize_in_com(fd) > 0; }, Millis(5000)));
    ASSERT_EQ(pty.Control({"delay", "0"}), "ok");
    uart_close(fd);
    fd = uart_open(UART_AT_DEV, 115200, 8, 'N', 1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, "AT+CPIN?\r\n"), "AT+CPIN?\r" + Info("+CPIN: READY"));
    uart_close(fd);
    SysrootSet("");
}

}  // namespace
