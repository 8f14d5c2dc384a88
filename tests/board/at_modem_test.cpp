// The simulated module's AT interpreter: every command the firmware sends answered byte for byte,
// and a late answer as the firmware's own serial layer reads it through a pty. The module's states
// (SIM, registration, messages) are exercised end to end by the modem tests; the firmware's PDU
// decoder is checked against PDUs of its own test builder and the worked example (pdu_test).
#include "at_modem.h"
#include "board_test_support.h"

#include "platform/sysroot.h"
#include "serial/uart.h"

#include <string>

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

std::string Info(const std::string& text)
{
    return "\r\n" + text + "\r\n" + kOk;
}

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
