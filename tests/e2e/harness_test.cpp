// The end-to-end harness itself: the serial helpers through the board's cable, free ports,
// a board that cannot start.
#include "board.h"

#include "pty_link.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool CanBind(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 1) == 0;
    close(fd);
    return ok;
}

TEST(Harness, PcHelpersCarryBytesThroughTheBoardsCable)
{
    Board board;
    ASSERT_TRUE(board.Start({"--no-firmware"}));
    // The test plays the firmware's side of the port here.
    int module = open(board.Path("dev/ttyHSL3").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(module, 0);
    SetRaw(module);
    ASSERT_GE(board.OpenPc(), 0);

    std::string big(20000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(board.PcWrite("@HELLO\r\n" + big));
    std::string got;
    WaitUntil(
        [&] {
            char buf[4096];
            ssize_t n = read(module, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            return got.size() >= 8 + big.size();
        },
        Millis(10000), Millis(1));
    EXPECT_TRUE(got == "@HELLO\r\n" + big) << got.size() << " bytes";

    ASSERT_EQ(write(module, "!OK\r\nrest", 9), 9);
    EXPECT_EQ(board.PcReadUntil("\r\n", Millis(5000)), "!OK\r\n");
    EXPECT_EQ(board.PcRead(4, Millis(5000)), "rest");
    EXPECT_EQ(board.PcRead(1, Millis(100)), "");
    EXPECT_EQ(board.Control("serial"), "ok to_pc=9 to_board=" + std::to_string(8 + big.size()));
    close(module);
}

TEST(Harness, FreePortsAreHeldUntilHandedOver)
{
    FreePorts pair(2, true);
    EXPECT_EQ(pair.Port(1), pair.Port(0) + 1);
    EXPECT_FALSE(CanBind(pair.Port(0)));
    EXPECT_FALSE(CanBind(pair.Port(1)));
    pair.Release();
    EXPECT_TRUE(CanBind(pair.Port(0)));
    EXPECT_TRUE(CanBind(pair.Port(1)));

    FreePorts three(3);
    EXPECT_NE(three.Port(0), three.Port(1));
    EXPECT_NE(three.Port(1), three.Port(2));
}

TEST(Harness, ABoardThatCannotStartIsNotWaitedFor)
{
    Board board;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(board.Start({"--init", "sideways"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(5000));
    EXPECT_NE(board.ErrorOutput().find("--init takes low, high or missing"), std::string::npos) << board.ErrorOutput();
}

}  // namespace
