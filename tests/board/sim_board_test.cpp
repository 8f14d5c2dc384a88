// The assembled board: its tree, reboots and firmware that ends, the control channel's answers and
// refusals. Booting into an installed update, the first start's arguments, fw restart and the
// settings in place before the first exchange are shown end to end (tests/e2e).
#include "sim_board.h"

#include "board_test_support.h"
#include "control_client.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <csignal>
#include <cstring>
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

// A device as the table plugs them in: answers each byte in upper case, and says what the control
// channel asks it to.
class ShoutingDevice : public SimDevice {
public:
    void Input(const char* data, std::size_t len, int64_t) override
    {
        for (std::size_t i = 0; i < len; ++i) pending_ += static_cast<char>(std::toupper(static_cast<unsigned char>(data[i])));
    }
    void Output(std::string& out, int64_t) override
    {
        out += pending_;
        pending_.clear();
    }
    int64_t NextDue() const override { return pending_.empty() ? -1 : 0; }
    std::string Control(const std::vector<std::string>& words) override
    {
        if (words.size() != 2 || words[0] != "say") return "err usage: shout say WORD";
        pending_ += words[1];
        return "ok said";
    }

private:
    std::string pending_;
};

std::unique_ptr<SimDevice> MakeShoutingDevice()
{
    return std::make_unique<ShoutingDevice>();
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

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

    std::string WaitForControl(const std::string& line, const std::string& want)
    {
        std::string reply;
        WaitUntil([&] { return (reply = Control(line)) == want; }, Millis(10000));
        return reply;
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

TEST_F(SimBoardTest, BuildsTheSysrootTree)
{
    Start(Bare());
    for (const char* path : {"APP", "media/card", "sys/class/gpio/export", "dev/ttyHSL3", "dev/i2c-0", "pc/ttyS0",
                             "bin/date", "bin/init", "bin/df", "board.sock"})
        EXPECT_TRUE(PathExists(dir / path)) << path;
    EXPECT_FALSE(PathExists(dir / "dev/smd8")) << "a node without a device must not exist";
    EXPECT_EQ(Control("fw"), "ok stopped");
    Stop();
    for (const char* path : {"board.sock", "dev/ttyHSL3", "pc/ttyS0", "sys/class/gpio/export", "board/init"})
        EXPECT_FALSE(PathExists(dir / path)) << path;
}

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

TEST_F(SimBoardTest, FirmwareThatEndsIsReportedNotRestarted)
{
    // It leaves a child behind in its process group, which the board clears away.
    WriteScript("ends.sh", "#!/bin/sh\necho $$ > \"$LIRN_SYSROOT/pid\"\nsleep 1000 >/dev/null 2>&1 &\necho bye\nexit 3\n");
    BoardOptions o = Bare();
    o.firmware = dir / "ends.sh";
    Start(o);
    EXPECT_EQ(WaitForControl("fw", "ok exited 3"), "ok exited 3");
    pid_t pid = static_cast<pid_t>(std::atoi(ReadWholeFile(dir / "pid").c_str()));
    ASSERT_GT(pid, 0);
    bool groupGone = kill(-pid, 0) == -1;
    if (!groupGone) kill(-pid, SIGKILL);  // the board should have; without it the test would hang
    EXPECT_TRUE(groupGone);
    EXPECT_EQ(Control("reboots"), "ok 0");
    EXPECT_TRUE(StartsWith(Control("fw start"), "ok running "));
    EXPECT_TRUE(WaitForOutput("bye\n", 2));
}

TEST_F(SimBoardTest, ControlShowsAndChangesTheBoard)
{
    BoardOptions o = Bare();
    o.exported = true;
    o.init = PinLevel::High;
    Start(o);
    EXPECT_EQ(Control("ping"), "ok pong");
    EXPECT_EQ(Control("init"), "ok high");
    EXPECT_EQ(Control("gpio 5"), "ok direction=in active_low=0 value=1");
    EXPECT_EQ(Control("init low"), "ok low");
    EXPECT_EQ(Control("gpio 5"), "ok direction=in active_low=0 value=0");
    EXPECT_EQ(Control("init missing"), "ok missing");
    EXPECT_EQ(Control("gpio 5"), "ok direction=in active_low=0 value=none");
    EXPECT_EQ(Control("led status"), "ok 0 1");
    EXPECT_TRUE(StartsWith(Control("led gps history"), "ok ")) << Control("led gps history");

    EXPECT_EQ(Control("card"), "ok mounted 7.4G 1.2G 6.2G 17%");
    EXPECT_EQ(Control("card mount 32G 1G 31G 3%"), "ok mounted 32G 1G 31G 3%");
    EXPECT_EQ(Control("card unmount"), "ok unmounted");

    EXPECT_EQ(Control("clock set 2023-11-12 13:14:15"), "ok 2023-11-12 13:14:15 0");
    EXPECT_EQ(Control("i2c read 0x32 0x13 4"), "ok 0x01 0x12 0x11 0x23");
    EXPECT_EQ(Control("i2c write 0x32 0x10 0x00 0x30 0x08 0x02 0x01 0x01 0x30"), "ok");
    EXPECT_EQ(Control("clock writes"), "ok 1 2030-01-01 08:30:00");
    EXPECT_EQ(Control("adc result 0x0abc"), "ok result=0x0ABC config=none writes=0");
    EXPECT_EQ(Control("i2c fault short"), "ok fault=short");
    EXPECT_EQ(Control("i2c"), "ok fault=short");
    EXPECT_EQ(Control("i2c fault none"), "ok fault=none");

    EXPECT_EQ(Control("date"), "ok 0");
    ASSERT_EQ(RunShell(ShellWord(dir / "bin/date") + " -s '2022-02-02 02:02:02' >/dev/null").status, 0);
    EXPECT_EQ(Control("date"), "ok 1 2022-02-02 02:02:02");
    EXPECT_EQ(Control("date 1"), "ok 2022-02-02 02:02:02");

    EXPECT_EQ(Control("serial"), "ok to_pc=0 to_board=0");
    EXPECT_EQ(Control("help"), "ok ping help pids fw reboots init gpio led now date clock adc i2c card serial node app");
}

TEST_F(SimBoardTest, DeviceTableEntriesGetANodeAndTheirControlRequests)
{
    BoardOptions o = Bare();
    o.devices = {{"shout", "dev/shout0", MakeShoutingDevice}};
    Start(o);
    int fd = OpenRaw(dir / "dev/shout0");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hello", 5), 5);
    EXPECT_EQ(ReadUpTo(fd, 5, Millis(5000)), "HELLO");
    EXPECT_EQ(Control("shout say hi"), "ok said");
    EXPECT_EQ(ReadUpTo(fd, 2, Millis(5000)), "hi");
    EXPECT_EQ(Control("shout"), "err usage: shout say WORD");
    EXPECT_EQ(Control("help").substr(Control("help").size() - 6), " shout");
    close(fd);
    Stop();
    EXPECT_FALSE(PathExists(dir / "dev/shout0"));
}

TEST_F(SimBoardTest, RefusedSettingStopsTheBoardBeforeItStarts)
{
    struct Refused {
        std::vector<std::string> settings;
        const char* why;
    };
    const Refused kRefused[] = {
        {{"init high", "at sim sideways"}, "--set \"at sim sideways\": err usage: sim "},
        {{"bogus"}, "--set \"bogus\": err unknown request \"bogus\""},
        {{"fw start"}, "--set \"fw start\": fw is not a setting"},
    };
    for (const Refused& r : kRefused) {
        BoardOptions o = Bare();
        o.devices = DeviceTable();
        o.root = dir.Path();
        o.settings = r.settings;
        try {
            SimBoard refused(o);
            ADD_FAILURE() << "built with " << r.settings.back();
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(StartsWith(e.what(), r.why)) << e.what();
        }
        EXPECT_FALSE(PathExists(dir / "board.sock"));
        EXPECT_FALSE(PathExists(dir / "dev/smd8"));
    }
}

struct BadRequest {
    const char* request;
    const char* reply;
};

// Every refusal names what was wrong; none changes the board.
const BadRequest kBadRequests[] = {
    {"", "err empty request"},
    {"   ", "err empty request"},
    {"bogus", "err unknown request \"bogus\" (try help)"},
    {"at AT+CSQ", "err unknown request \"at\" (try help)"},
    {"ping me", "err usage: ping"},
    {"init sideways", "err usage: init [low|high|missing]"},
    {"gpio x", "err usage: gpio [N]"},
    {"gpio 3", "err gpio 3 not exported"},
    {"led blue", "err usage: led status|gps [history [SINCE_MS]]"},
    {"led status history soon", "err usage: led status|gps [history [SINCE_MS]]"},
    {"date 0", "err no date setting 0"},
    {"date x", "err usage: date [N]"},
    {"clock set 2024-13-01 00:00:00", "err not a time: 2024-13-01 00:00:00"},
    {"clock set 2023-02-29 00:00:00", "err not a time: 2023-02-29 00:00:00"},
    {"clock stop", "err usage: clock [set YYYY-MM-DD HH:MM:SS | writes]"},
    {"adc result 70000", "err result must be 0 to 65535"},
    {"adc result -1", "err result must be 0 to 65535"},
    {"i2c read 0x32 0x10 999", "err no such registers in the image"},
    {"i2c read 0x80 0 1", "err no such registers in the image"},
    {"i2c read zz 0", "err not a number: zz"},
    {"i2c write 0x32 0x10 0x100", "err not a byte: 0x100"},
    {"i2c fault sometimes", "err usage: i2c [fault none|short|missing | read ADDR REG [COUNT] | write ADDR REG BYTE...]"},
    {"card mount 1G 2G", "err usage: card [mount [SIZE USED AVAIL USE%] | unmount | remove | insert | full on|off]"},
    {"fw jump", "err usage: fw [start|stop|restart|usage]"},
    {"fw start", "err no firmware to start"},
};

TEST_F(SimBoardTest, ControlRefusesBadRequests)
{
    Start(Bare());
    for (const BadRequest& b : kBadRequests) EXPECT_EQ(Control(b.request), b.reply) << "request: " << b.request;
    EXPECT_EQ(Control("init"), "ok low");
    EXPECT_EQ(Control("i2c"), "ok fault=none");
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

}  // namespace
