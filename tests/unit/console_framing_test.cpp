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
#include <vector>

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

// Polls of one gathering in order: bytes waiting, the tick, the read due and (where not kAny) the
// time left to the gap's end. Each run starts from nothing counted at tick 0.
constexpr uint32_t kAny = 0xFFFFFFFFu;
struct GatherPoll {
    int waiting;
    uint32_t now;
    int readCount;
    uint32_t gapLeftMs;
};

TEST(SerialGather, QuietGapReadLimitAndRememberedCount)
{
    const std::vector<std::vector<GatherPoll>> runs = {
        // A burst is read once its count was still for the gap; more bytes restart the quiet time.
        {{5, 1000, 0, 100}, {9, 1050, 0, kAny}, {9, 1149, 0, 1}, {9, 1150, 9, kAny}},
        // A full chunk is read at once; the rest is a count of its own and waits for the gap;
        // exactly 1000 keeps the console's quiet time.
        {{1200, 500, 1000, kAny}, {200, 501, 0, kAny}, {200, 601, 200, kAny}, {1000, 700, 0, kAny}},
        // The remembered count outlives the read: a new burst whose first poll shows the same
        // count is read at that very poll; one of another size waits its quiet time.
        {{10, 100, 0, kAny}, {10, 200, 10, kAny}, {0, 300, 0, kAny}, {10, 5000, 10, kAny}, {11, 9000, 0, kAny}},
        // The quiet time is right across the tick wrap (99 ms, then 100 ms later).
        {{4, 0xFFFFFFF0u, 0, kAny}, {4, 0x00000053u, 0, kAny}, {4, 0x00000054u, 4, kAny}},
    };
    for (std::size_t run = 0; run < std::size(runs); ++run) {
        SerialGather g{0, 0};
        for (const GatherPoll& p : runs[run]) {
            SerialGatherStep step = Poll(g, p.waiting, p.now);
            EXPECT_EQ(step.readCount, p.readCount) << "run " << run << " at " << p.now;
            if (p.gapLeftMs != kAny) {
                EXPECT_EQ(step.gapLeftMs, p.gapLeftMs) << "run " << run << " at " << p.now;
            }
        }
    }
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
        SharedChanged();  // wakes the console's wait for input
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
            SerialArrivals a = {-1, -1};
            SerialArrivalsInit(&a);
            while (!stop) UtilityPass(fd, &g, &a);
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
