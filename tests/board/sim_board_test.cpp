// The assembled board: reboots that end the old process group, and a control channel that stays
// bounded. Its tree (every e2e test starts on one), the control verbs, booting into an installed
// update, the first start's arguments, fw restart, a firmware killed and started again and the
// settings in place before the first exchange are used end to end (tests/e2e).
#include "sim_board.h"

#include "board_test_support.h"
#include "control_client.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace {

// A firmware stand-in: tells how it was started, asks for one reboot on its first start only.
const char kFirstFirmware[] =
    "#!/bin/sh\n"
    "echo \"first start: $*\"\n"
    "echo \"root=$LIRN_SYSROOT path=${PATH%%:*}\"\n"
    "if [ ! -e \"$LIRN_SYSROOT/once\" ]; then touch \"$LIRN_SYSROOT/once\"; init 6; fi\n"
    "sleep 1000\n";  // a child in the firmware's process group

// Board options without the simulated devices of the table: these tests are about the board
// itself, whatever devices it carries.
BoardOptions Bare()
{
    BoardOptions o;
    o.devices.clear();
    return o;
}

class SimBoardTest : public ::testing::Test {
protected:
    ~SimBoardTest() override
    {
        Stop();
        if (out_ >= 0) close(out_);
    }

    // The firmware's standard output goes to a file of the test (appended to, so a restarted
    // firmware adds to it).
    void Start(BoardOptions o)
    {
        out_ = open((dir / "fw.out").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        ASSERT_GE(out_, 0);
        o.root = dir.Path();
        o.firmwareStdout = out_;
        o.clock = ParseCalendar("2024-05-06 07:08:09");
        board = std::make_unique<SimBoard>(o);
        loop = std::thread([this] { board->Run(); });
    }

    void Stop()
    {
        if (!board) return;
        board->RequestStop();
        loop.join();
        board.reset();
    }

    std::string Output() { return dir.ReadFile("fw.out"); }

    bool WaitForOutput(const std::string& text, int occurrences = 1)
    {
        return WaitUntil([&] { return Occurrences(Output(), text) >= occurrences; }, Millis(10000));
    }

    std::string Control(const std::string& line)
    {
        return ControlRequest(dir / "board.sock", line).value_or("err no board");
    }

    void WriteScript(const std::string& relative, const char* text)
    {
        std::string path = dir / relative;
        MakeDirs(path.substr(0, path.rfind('/')));
        ASSERT_TRUE(WriteTextFile(path, text, 0755)) << path;
    }

    pid_t FirmwarePid()
    {
        std::string fw = ControlField(Control("pids"), "fw");
        return fw.empty() ? -1 : static_cast<pid_t>(std::atoi(fw.c_str()));
    }

    TempDir dir;
    std::unique_ptr<SimBoard> board;
    std::thread loop;
    int out_ = -1;
};

TEST_F(SimBoardTest, RebootWithoutAnUpdateRestartsTheFirmwareAndEndsTheOldGroup)
{
    WriteScript("first.sh", kFirstFirmware);
    BoardOptions o = Bare();
    o.firmware = dir / "first.sh";
    o.firstArgs = {"2024-01-01", "00:00:00"};
    Start(o);
    ASSERT_TRUE(WaitForOutput("first start: 2024-01-01 00:00:00\n"));
    ASSERT_TRUE(WaitForOutput("first start: \n")) << Output();
    EXPECT_EQ(Control("reboots"), "ok 1");
    pid_t pid = FirmwarePid();
    ASSERT_GT(pid, 0);

    // A stop takes the firmware's whole group: the script's sleep too.
    EXPECT_EQ(Control("fw stop"), "ok");
    EXPECT_EQ(kill(-pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(Control("fw"), "ok killed 15");
    EXPECT_EQ(Control("pids"), "ok board=" + std::to_string(getpid()) + " fw=-");
}

// A raw connection to the board's control socket; -1 when it cannot be made.
int ConnectControl(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// What the board sends on a connection until it has sent lines line ends, closes it, or is quiet
// for 5 s.
std::string ReceiveLines(int fd, std::size_t lines)
{
    std::string reply;
    char buf[256];
    ssize_t n;
    struct pollfd pfd = {fd, POLLIN, 0};
    while (static_cast<std::size_t>(std::count(reply.begin(), reply.end(), '\n')) < lines &&
           poll(&pfd, 1, 5000) == 1 && (n = recv(fd, buf, sizeof buf, 0)) > 0)
        reply.append(buf, static_cast<std::size_t>(n));
    return reply;
}

TEST_F(SimBoardTest, ControlDropsAnEndlessRequestAndServesOthers)
{
    Start(Bare());
    int fd = ConnectControl(dir / "board.sock");
    ASSERT_GE(fd, 0);
    // A second client meanwhile is not held up by the first one's unfinished line.
    ASSERT_EQ(send(fd, "pi", 2, MSG_NOSIGNAL), 2);
    EXPECT_EQ(Control("ping"), "ok pong");
    std::string endless(8000, 'x');
    send(fd, endless.data(), endless.size(), MSG_NOSIGNAL);
    EXPECT_EQ(ReceiveLines(fd, 2), "err request longer than 4096 bytes\n");  // and then the close
    close(fd);

    // Several requests on one connection are answered in order.
    fd = ConnectControl(dir / "board.sock");
    ASSERT_GE(fd, 0);
    const std::string requests = "ping\nnow later\nreboots\n";
    ASSERT_EQ(send(fd, requests.data(), requests.size(), MSG_NOSIGNAL), static_cast<ssize_t>(requests.size()));
    EXPECT_EQ(ReceiveLines(fd, 3), "ok pong\nerr usage: now\nok 0\n");
    close(fd);
}

// Descriptors of this process that are inotify instances.
int InotifyInstances()
{
    int count = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(fd.path(), ec).string() == "anon_inode:inotify") ++count;
    }
    return count;
}

// Boards run as one user, who has 128 inotify instances by default: a fleet of boards must take
// none of them while no fault is on (the LED record and the clock watch without).
TEST_F(SimBoardTest, TakesNoInotifyInstanceUnlessANodeIsRemoved)
{
    const int before = InotifyInstances();
    Start(BoardOptions{});
    EXPECT_EQ(Control("ping"), "ok pong");
    EXPECT_EQ(InotifyInstances(), before);
    EXPECT_EQ(Control("node remove dev/smd8"), "ok removed");
    EXPECT_EQ(InotifyInstances(), before + 1);
    EXPECT_EQ(Control("node restore dev/smd8"), "ok present");
    EXPECT_EQ(InotifyInstances(), before);
}

}  // namespace
