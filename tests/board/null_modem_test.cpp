// The null-modem cable between the board's serial port and the PC side.
#include "null_modem.h"

#include "board_test_support.h"

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <random>
#include <thread>

namespace {

// Reads count bytes, chunk bytes at a time with a pause after each read, giving up when nothing
// comes for idleMs.
std::string ReadCount(int fd, std::size_t count, std::size_t chunk, int pauseUs, int idleMs = 5000)
{
    std::string got;
    std::vector<char> buf(chunk);
    while (got.size() < count) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, idleMs) <= 0) break;
        ssize_t n = read(fd, buf.data(), std::min(chunk, count - got.size()));
        if (n > 0) got.append(buf.data(), static_cast<std::size_t>(n));
        if (pauseUs > 0) usleep(static_cast<useconds_t>(pauseUs));
    }
    return got;
}

std::string RandomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

class NullModemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MakeDirs(dir / "dev");
        MakeDirs(dir / "pc");
        cable = std::make_unique<NullModem>(dir / "dev/ttyHSL3", dir / "pc/ttyS0");
        cable->Start();
    }

    TempDir dir;
    std::unique_ptr<NullModem> cable;
};

TEST_F(NullModemTest, CarriesEveryByteBothWaysAtOnceWithASlowReader)
{
    constexpr std::size_t kBytes = 256 * 1024;
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::string toPc = RandomBytes(kBytes, seed);
    std::string toBoard = RandomBytes(kBytes, seed + 1);

    int board = OpenRaw(dir / "dev/ttyHSL3");
    int pc = OpenRaw(dir / "pc/ttyS0");
    ASSERT_GE(board, 0);
    ASSERT_GE(pc, 0);

    std::atomic<bool> boardWrote{false}, pcWrote{false};
    std::thread boardWriter([&] { boardWrote = WriteAll(board, toPc); });
    std::thread pcWriter([&] { pcWrote = WriteAll(pc, toBoard); });
    std::string gotOnBoard;
    // The board side reads briskly; the PC side reads small pieces with pauses, so that the
    // cable has to hold the board's writer back instead of dropping bytes.
    std::thread boardReader([&] { gotOnBoard = ReadCount(board, kBytes, 4096, 0); });
    std::string gotOnPc = ReadCount(pc, kBytes, 1024, 1000);
    boardReader.join();
    boardWriter.join();
    pcWriter.join();

    EXPECT_TRUE(boardWrote);
    EXPECT_TRUE(pcWrote);
    ASSERT_EQ(gotOnPc.size(), kBytes);
    ASSERT_EQ(gotOnBoard.size(), kBytes);
    EXPECT_TRUE(gotOnPc == toPc) << "bytes to the PC differ";
    EXPECT_TRUE(gotOnBoard == toBoard) << "bytes to the board differ";
    EXPECT_EQ(cable->BytesToPc(), kBytes);
    EXPECT_EQ(cable->BytesToBoard(), kBytes);
    close(board);
    close(pc);
}

}  // namespace
