// Console framing: the quiet time, the read limit and the remembered count as decisions of one
// poll, the request line of a burst, and the whole console loop on a real pty linked as
// /dev/ttyHSL3 in a temporary sysroot, with the test holding the PC's end.
#include "board/ticks.h"
#include "config/config.h"
#include "console/console.h"
#include "serial/uart.h"
#include "temp_sysroot.h"
#include "output_capture.h"
#include "test_pty.h"

#include <gtest/gtest.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// The console's rule; the tunnel's differs only in reading a full block at once.
SerialGatherStep Poll(SerialGather& g, int waiting, uint32_t now)
{
    return SerialGatherPoll(&g, waiting, now, kUtilityGather);
}

TEST(SerialGather, NothingWaitingOrAFailedQueryLeavesTheState)
{
    SerialGather g{0, 1000};
    for (int waiting : {0, -1, -2}) {
        SerialGatherStep p = Poll(g, waiting, 5000);
        EXPECT_EQ(p.readCount, 0);
        EXPECT_EQ(p.gapLeftMs, 0u);
    }
    EXPECT_EQ(g.count, 0);
    EXPECT_EQ(g.changeTick, 1000u);
}

TEST(SerialGather, BurstIsReadOnceItsCountWasStillForTheGap)
{
    SerialGather g{0, 0};
    SerialGatherStep p = Poll(g, 5, 1000);
    EXPECT_EQ(p.readCount, 0);
    EXPECT_EQ(p.gapLeftMs, 100u);
    EXPECT_EQ(Poll(g, 9, 1050).readCount, 0);  // more came: the quiet time restarts
    p = Poll(g, 9, 1149);
    EXPECT_EQ(p.readCount, 0);
    EXPECT_EQ(p.gapLeftMs, 1u);
    EXPECT_EQ(Poll(g, 9, 1150).readCount, 9);
}

TEST(SerialGather, AFullChunkIsReadAtOnce)
{
    SerialGather g{0, 0};
    EXPECT_EQ(Poll(g, 1200, 500).readCount, 1000);
    EXPECT_EQ(g.count, 1000);
    // The rest is a count of its own and waits for its quiet time.
    EXPECT_EQ(Poll(g, 200, 501).readCount, 0);
    EXPECT_EQ(Poll(g, 200, 601).readCount, 200);
    EXPECT_EQ(Poll(g, 1000, 700).readCount, 0);  // exactly 1000 keeps the console's quiet time
    const SerialGatherRule block = {100, 128, 128};
    SerialGather t{0, 0};
    EXPECT_EQ(SerialGatherPoll(&t, 128, 10, block).readCount, 128);  // a full tunnel block does not
    EXPECT_EQ(SerialGatherPoll(&t, 300, 11, block).readCount, 128);
}

TEST(SerialGather, RememberedCountOutlivesTheRead)
{
    SerialGather g{0, 0};
    Poll(g, 10, 100);
    ASSERT_EQ(Poll(g, 10, 200).readCount, 10);
    EXPECT_EQ(Poll(g, 0, 300).readCount, 0);
    // A new burst whose first poll shows the same count is read at that very poll.
    EXPECT_EQ(Poll(g, 10, 5000).readCount, 10);
    // One of another size waits its quiet time.
    EXPECT_EQ(Poll(g, 11, 9000).readCount, 0);
}

TEST(SerialGather, QuietTimeIsRightAcrossTheTickWrap)
{
    SerialGather g{0, 0};
    EXPECT_EQ(Poll(g, 4, 0xFFFFFFF0u).readCount, 0);
    EXPECT_EQ(Poll(g, 4, 0x00000053u).readCount, 0);  // 99 ms later
    EXPECT_EQ(Poll(g, 4, 0x00000054u).readCount, 4);
}

std::string Line(std::string burst)
{
    burst.resize(burst.size() + 1);
    char* line = UtilityRequestLine(burst.data(), burst.size() - 1);
    return line ? line : "<none>";
}

TEST(ConsoleRequestLine, FirstLineOfTheBurstOnly)
{
    EXPECT_EQ(Line("@LIRNHB;30\r\n@SAVE\r\n"), "@LIRNHB;30");
    EXPECT_EQ(Line("\r\n\n\r@CSQ\r"), "@CSQ");
    EXPECT_EQ(Line("@CSQ"), "@CSQ");
    EXPECT_EQ(Line("@APN\n"), "@APN");
    EXPECT_EQ(Line("\r\n\r\n"), "<none>");
    EXPECT_EQ(Line(""), "<none>");
    // The text ends where the read ended, whatever the buffer held beyond it.
    char burst[kUtilityRecvSize];
    std::memset(burst, 'x', sizeof burst);
    std::memcpy(burst, "@CSQ", 4);
    EXPECT_STREQ(UtilityRequestLine(burst, 4), "@CSQ");
}

// A pty linked as /dev/ttyHSL3 in a temporary sysroot; the test holds the master (the PC's end)
// while the console loop runs on the slave in a thread of its own.
class ConsolePty : public testing::Test {
protected:
    void SetUp() override
    {
        root.MakeDirs("/APP");
        InitLirnConfig();
    }
    void TearDown() override
    {
        stop = true;
        if (loop.joinable()) loop.join();
        if (fd >= 0) close(fd);
    }
    void StartConsole()
    {
        opened = Printed([&] { fd = UtilityOpenPort(); });
        ASSERT_GE(fd, 0) << opened;
        loop = std::thread([this] {
            SerialGather g;
            SerialGatherInit(&g, GetTimeTicks());
            while (!stop) UtilityPass(fd, &g);
        });
    }
    void Send(const std::string& bytes) { ASSERT_TRUE(pty.Write(bytes)); }
    std::string Receive(size_t expected, int timeoutMs = 3000) { return pty.Read(expected, Millis(timeoutMs)); }

    TempSysroot root;
    TestPty pty{root.Path("/dev/ttyHSL3")};
    int fd = -1;
    std::string opened;
    std::atomic<bool> stop{false};
    std::thread loop;
};

TEST_F(ConsolePty, PortRunsAt115200EightNoneOneWhateverTheRecordSays)
{
    lirnSet.uartBaud = 9600;
    lirnSet.uartParity = 'E';
    lirnSet.uartDataBits = 7;
    lirnSet.uartStopBits = 2;
    StartConsole();
    EXPECT_EQ(opened, "Open Utility Port Successfully\r\n");
    EXPECT_EQ(uartFd.load(), fd);
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
}

TEST_F(ConsolePty, BurstOver1000BytesIsReadAs1000AndTheRest)
{
    StartConsole();
    // The second request starts exactly at byte 1000: one byte more or less in the first read
    // and it would not be recognised.
    std::string first = "@LIRNMODE\r\n";
    first.resize(1000, 'x');
    std::string rest = "@LIRNPORT\r\n" + std::string(189, 'y');
    Send(first + rest);
    std::string expected = "!QRV-715M;LIRNMODE;OK;0\r\n!QRV-715M;LIRNPORT;OK;8080\r\n";
    EXPECT_EQ(Receive(expected.size()), expected);
}

TEST_F(ConsolePty, UnrecognisedLineIsOnlyPrinted)
{
    StartConsole();
    OutputCapture printed;
    Send("\r\n@HELLO\r\n");
    std::string first = Receive(1, 400);  // silence, well past the quiet time
    Send("@LIRNMODE\r\n");
    std::string reply = Receive(25);
    std::string out = printed.Release();
    EXPECT_EQ(first + reply, "!QRV-715M;LIRNMODE;OK;0\r\n");
    EXPECT_NE(out.find("Utility Command: \"@HELLO\"\r\n"), std::string::npos) << out;
}

TEST(ConsoleThread, EndsWhenThePortCannotBeOpened)
{
    TempSysroot root;  // no /dev/ttyHSL3
    void* rc = nullptr;
    std::string out = Printed([&] { rc = ThreadUtility(nullptr); });
    EXPECT_EQ(rc, nullptr);
    EXPECT_NE(out.find("Open Utility Port Failed\r\n"), std::string::npos) << out;
}

}  // namespace
