// Serial layer on real ptys: raw attributes read back from the device, the baud and parity tables,
// the pending-byte count, complete writes and the AT channel's write-wait-read step. An answer cut
// to the area and terminated is at_channel_fuzz's, the rest kept for the next read modem_poll's.
#include "serial/uart.h"

#include "output_capture.h"
#include "temp_dir.h"
#include "test_pty.h"
#include "wait_until.h"

#include <gtest/gtest.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>


namespace {

struct termios Attributes(int fd)
{
    struct termios t;
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

// A port opened at 115200 8N1 on a pty whose master the test holds.
class UartPty : public testing::Test {
protected:
    void SetUp() override { ASSERT_GE(fd = uart_open(pty.SlavePath().c_str(), 115200, 8, 'N', 1), 0); }
    void TearDown() override
    {
        if (fd >= 0) uart_close(fd);
    }
    TestPty pty;
    int fd = -1;
};

TEST_F(UartPty, OpenSetsRawEightNoneOneWithReadTimers)
{
    struct termios t = Attributes(fd);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_iflag & (ICRNL | IXON | INPCK));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 30);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
}

TEST(Uart, BaudTableFallsBackTo115200)
{
    TestPty pty;
    const struct {
        int baud;
        speed_t speed;
    } cases[] = {{2400, B2400}, {9600, B9600}, {57600, B57600}, {230400, B230400},
                 {460800, B460800}, {1200, B115200}, {100000, B115200}, {0, B115200}};
    for (const auto& c : cases) {
        int fd = uart_open(pty.SlavePath().c_str(), c.baud, 8, 'N', 1);
        ASSERT_GE(fd, 0);
        struct termios t = Attributes(fd);
        EXPECT_EQ(cfgetispeed(&t), c.speed) << c.baud;
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.baud;
        uart_close(fd);
    }
}

// A pty keeps its own character size and parity (it forces CS8, no parity), so the complete record
// is checked as built, and the bits a pty does keep are checked as read back.
TEST(Uart, ParityStopAndDataBitsAsBuilt)
{
    struct termios t;
    UartLineAttributes(&t, 9600, 7, 'O', 2);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CLOCAL | CREAD),
              static_cast<tcflag_t>(PARENB | PARODD | CSTOPB | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(INPCK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);

    UartLineAttributes(&t, 9600, 8, 'E', 1);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(INPCK));

    // Lower-case letters are not parity names; 9 data bits leave the size bits at zero.
    UartLineAttributes(&t, 9600, 9, 'n', 3);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 30);
}

TEST(Uart, OpenFailureAndNotATerminal)
{
    int fd = 0;
    std::string out = Printed([&] { fd = uart_open("/nonexistent/tty", 115200, 8, 'N', 1); });
    EXPECT_LT(fd, 0);
    EXPECT_EQ(out, "open /nonexistent/tty error: -1\n");

    TempDir dir;
    ASSERT_TRUE(dir.WriteFile("notatty", ""));
    out = Printed([&] { fd = uart_open(dir.Path("notatty").c_str(), 115200, 8, 'N', 1); });
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(out.rfind("setupserial 1\nerrno=", 0), 0u) << out;
    EXPECT_NE(out.find("set opt error: -1\n"), std::string::npos);
}

TEST_F(UartPty, PendingByteCount)
{
    EXPECT_EQ(uart_datasize_in_com(fd), 0);
    ASSERT_EQ(write(pty.Master(), "hello", 5), 5);
    EXPECT_TRUE(WaitUntil([&] { return uart_datasize_in_com(fd) == 5; }, Millis(2000), Millis(1)));
    char buf[8] = {};
    EXPECT_EQ(uart_read(fd, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(uart_datasize_in_com(-1), -1);
    uart_close(fd);
    EXPECT_EQ(uart_datasize_in_com(std::exchange(fd, -1)), -2);
}

TEST_F(UartPty, WriteDeliversEveryByteEvenWhenTheDeviceTakesThemInPieces)
{
    // Non-blocking, so the device accepts only what fits and the writer must come back for the rest.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string data;
    for (int i = 0; i < 200000; ++i) data.push_back(static_cast<char>(i * 7));
    std::string got;
    std::thread reader([&] { got = pty.Read(data.size(), Millis(5000)); });
    EXPECT_EQ(uart_write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    reader.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

TEST_F(UartPty, WriteReadGivesAnEmptyAnswerWhenTheDeviceStaysSilent)
{
    char response[kUartResponseSize];
    std::memset(response, 'z', sizeof response);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(uart_write_read(fd, "AT\r\n", 4, response, 10), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_STREQ(response, "");
    EXPECT_GE(waited, std::chrono::milliseconds(kUartFirstByteWaitMs));
    EXPECT_EQ(pty.Read(4), "AT\r\n");
}

// A wait that fails (here: a descriptor limit below one) must not become a read that could block:
// the step reports -1 and the answer stays in the device.
TEST_F(UartPty, WriteReadReportsAFailedWaitWithoutReading)
{
    ASSERT_EQ(write(pty.Master(), "OK\r\n", 4), 4);
    ASSERT_TRUE(WaitUntil([&] { return uart_datasize_in_com(fd) == 4; }, Millis(2000), Millis(1)));
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit none = {0, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    char response[kUartResponseSize];
    ssize_t n = uart_write_read(fd, "AT\r\n", 4, response, 0);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(uart_datasize_in_com(fd), 4);
}

// Standard output whose first write fails with EIO: the number set_opt reports must still be the
// one of its failed attribute read (ENOTTY for a plain file).
TEST(Uart, SetOptReportsTheErrorOfTheFailedStepNotOfAFailedPrint)
{
    static std::string printed;
    static int writes = 0;
    cookie_io_functions_t io = {};
    io.write = [](void*, const char* buf, size_t n) -> ssize_t {
        if (writes++ == 0) return errno = EIO, -1;
        printed.append(buf, n);
        return static_cast<ssize_t>(n);
    };
    TempDir dir;
    int fd = open((dir.Path() + "/plain").c_str(), O_RDWR | O_CREAT, 0644);
    FILE* saved = stdout;
    stdout = fopencookie(nullptr, "w", io);
    setvbuf(stdout, nullptr, _IONBF, 0);
    int rc = set_opt(fd, 115200, 8, 'N', 1);
    fclose(stdout);
    stdout = saved;
    close(fd);
    EXPECT_EQ(rc, -1);
    EXPECT_NE(printed.find("errno=" + std::to_string(ENOTTY)), std::string::npos) << printed;
}

}  // namespace
