// lirnhub end to end: masters and terminals on the hub's ports -> lirnhub -> a real mosquitto -> a
// gateway in the MQTT mode on the simulated board -> a libmodbus RTU slave or the test at the PC
// end of the board's serial port.
#include "board.h"
#include "control_client.h"
#include "hub_support.h"
#include "mqtt_broker.h"
#include "tunnel_loopback.h"

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>

namespace {

const char kImei[] = "862631039274815";  // the simulated module's
const Millis kOnline(30000);

// The gateway in the MQTT mode with a 5 ms quiet gap, the data call up.
void StartGateway(Board& board, int brokerPort)
{
    Scenario s;
    s.init = "low";
    s.files = {{"APP/config.ini", "@LIRNMODE;0\r\n@LIRNGAP;5\r\n@MQTTHOST;127.0.0.1\r\n@MQTTPORT;" +
                                      std::to_string(brokerPort) + "\r\n"}};
    s.settings = {"qmi call up"};
    s.ready = "Create ThreadMqtt Successfully\r\n";
    ASSERT_TRUE(board.Run(s)) << board.Output();
}

struct Fleet {
    MqttBroker broker;
    Board board;
    HubProcess hub;
    int port = tunneltest::FreePortRun(1);

    // The broker, the gateway and the hub with the gateway mapped as given (after "ID=PORT").
    void Start(const std::string& face, const std::vector<std::string>& more = {})
    {
        ASSERT_TRUE(broker.Start());
        StartGateway(board, broker.Port());
        std::vector<std::string> args = {"--broker", "127.0.0.1:" + std::to_string(broker.Port()), "--map",
                                         std::string(kImei) + "=" + std::to_string(port) + face};
        args.insert(args.end(), more.begin(), more.end());
        ASSERT_TRUE(hub.Start(args));
        ASSERT_TRUE(hub.WaitOnline(kImei, kOnline)) << hub.Log() << board.Output();
    }
};

// One request written by hand on a Modbus TCP connection: read 10 holding registers from 0.
std::string ReadRequest(uint16_t transaction)
{
    return {static_cast<char>(transaction >> 8), static_cast<char>(transaction), 0, 0, 0, 6, 1, 3, 0, 0, 0, 10};
}

// A command with its standard input and output as pipes of the test.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;
    explicit Child(const std::vector<std::string>& args)
    {
        int i[2], o[2];
        if (pipe2(i, O_CLOEXEC) != 0 || pipe2(o, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(i[0], 0);
            dup2(o[1], 1);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(i[0]);
        close(o[1]);
        in = i[1];
        out = o[0];
    }
    ~Child()
    {
        close(in);
        close(out);
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

}  // namespace

// 200 polls of one master, then two masters at once on different registers: every reply is the
// one to its request (libmodbus checks the transaction id, the test the values); mbpoll, as a
// SCADA tool would, reads the same registers.
TEST(LirnHub, ModbusPollsCrossTheFleetAndMastersAtOnceAreNeverMixed)
{
    Fleet f;
    f.Start(",modbus");
    RtuSlave slave(f.board.Path("pc/ttyS0"));
    ASSERT_TRUE(slave.Serving());

    modbus_t* master = ModbusMaster(f.port);
    ASSERT_NE(master, nullptr);
    int failed = 0;
    for (int i = 0; i < 200; ++i) failed += PollChecked(master, i % 200, 10) ? 0 : 1;
    EXPECT_EQ(failed, 0);
    modbus_free(master);

    std::atomic<int> wrong{0};
    auto poller = [&](int base) {
        modbus_t* m = ModbusMaster(f.port);
        for (int i = 0; m != nullptr && i < 50; ++i) wrong += PollChecked(m, base + i % 50, 7) ? 0 : 1;
        if (m == nullptr) wrong += 50;
        modbus_free(m);
    };
    std::thread a(poller, 0), b(poller, 100);
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);

    // mbpoll (tools/ensure-deps installs it) reads registers 1 to 3, which it names 2 to 4.
    Child mbpoll({"mbpoll", "-m", "tcp", "-a", "1", "-r", "2", "-c", "3", "-t", "4", "-1", "-p", std::to_string(f.port),
                  "127.0.0.1"});
    std::string out = ReadUpTo(mbpoll.out, 4096, Millis(10000));
    EXPECT_NE(out.find("[2]: \t512\n[3]: \t3\n[4]: \t0"), std::string::npos) << out;
    // The status table counts them (it is written at most once a second).
    EXPECT_TRUE(WaitUntil([&] { return f.hub.Gateway(kImei).value("requests", 0) >= 300; }, Millis(3000)));
    EXPECT_EQ(f.hub.Gateway(kImei).value("timeouts", -1), 0);
}

// The slave silent: each poll is answered with exception 0x0B once the timeout has passed (and
// within 100 ms more). Requests beyond the queue are answered 0x06 at once. The gateway offline:
// 0x0B at once.
TEST(LirnHub, SilentSlaveBusyLineAndOfflineGatewayGetTheirExceptions)
{
    Fleet f;
    f.Start(",modbus,timeout=300,queue=2");
    modbus_t* master = ModbusMaster(f.port);
    ASSERT_NE(master, nullptr);
    for (int i = 0; i < 3; ++i) {
        auto start = std::chrono::steady_clock::now();
        int error = 0;
        EXPECT_FALSE(PollChecked(master, 0, 10, &error));
        long long ms = MsSince(start);
        EXPECT_EQ(error, EMBXGTAR);
        EXPECT_GE(ms, 300);
        EXPECT_LE(ms, 400);
    }

    // One on the line, two waiting, the fourth refused at once.
    int raw = tunneltest::ConnectTo(f.port);
    ASSERT_GE(raw, 0);
    std::string burst = ReadRequest(1) + ReadRequest(2) + ReadRequest(3) + ReadRequest(4);
    ASSERT_EQ(send(raw, burst.data(), burst.size(), 0), static_cast<ssize_t>(burst.size()));
    auto start = std::chrono::steady_clock::now();
    std::string busy = ReadUpTo(raw, 9, Millis(1000));
    EXPECT_LT(MsSince(start), 200);
    EXPECT_EQ(busy, std::string("\0\x04\0\0\0\x03\x01\x83\x06", 9));
    // Then the three time out in turn, in order.
    std::string rest = ReadUpTo(raw, 27, Millis(3000));
    ASSERT_EQ(rest.size(), 27u);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(rest.substr(k * 9, 9), std::string("\0", 1) + char(k + 1) + std::string("\0\0\0\x03\x01\x83\x0B", 7));
    close(raw);

    modbus_free(master);

    // A master that comes while the gateway is offline is served, each request answered at once.
    ASSERT_TRUE(ControlOk(f.board.Control("fw stop")));
    ASSERT_TRUE(f.hub.WaitOnline(kImei, Millis(10000), false)) << f.hub.Log();
    master = ModbusMaster(f.port);
    ASSERT_NE(master, nullptr);
    start = std::chrono::steady_clock::now();
    int error = 0;
    EXPECT_FALSE(PollChecked(master, 0, 10, &error));
    EXPECT_EQ(error, EMBXGTAR);
    EXPECT_LT(MsSince(start), 100);
    modbus_free(master);
    EXPECT_EQ(f.hub.Stop(), 0) << f.hub.Log();
}

// A terminal (socat) on the raw port and a program on the pty both talk to the gateway's serial
// port both ways; a second client is refused while the first is on, every client once the
// gateway is offline.
TEST(LirnHub, RawPortAndPtyCarryTheSerialLineBothWays)
{
    Fleet f;
    TempDir ptys("lirn-pty");
    f.Start(",raw", {"--pty", ptys.Path()});
    f.board.OpenPc();
    {
        Child socat({"socat", "-", "TCP:127.0.0.1:" + std::to_string(f.port)});
        // socat is on once the hub counts it as the client.
        ASSERT_TRUE(WaitUntil([&] { return f.hub.Gateway(kImei).value("clients", 0) == 1; }, Millis(5000)));
        ASSERT_EQ(write(socat.in, "hello\r\n", 7), 7);
        EXPECT_EQ(f.board.PcRead(7, Millis(5000)), "hello\r\n");
        ASSERT_TRUE(f.board.PcWrite(std::string("\0back\xff", 6)));
        EXPECT_EQ(ReadUpTo(socat.out, 6, Millis(5000)), std::string("\0back\xff", 6));

        int second = tunneltest::ConnectTo(f.port);
        EXPECT_EQ(ReadUpTo(second, 1, Millis(2000)), "");  // closed at once, nothing said
        close(second);
    }

    const std::string pty = ptys.Path(kImei);
    int fd = open(pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << pty;
    ASSERT_TRUE(WaitUntil([&] { return f.hub.Gateway(kImei).value("pty_open", false); }, Millis(5000)));
    ASSERT_EQ(write(fd, "to line", 7), 7);
    EXPECT_EQ(f.board.PcRead(7, Millis(5000)), "to line");
    ASSERT_TRUE(f.board.PcWrite("from line"));
    EXPECT_EQ(ReadUpTo(fd, 9, Millis(5000)), "from line");
    close(fd);

    ASSERT_TRUE(ControlOk(f.board.Control("fw stop")));
    ASSERT_TRUE(f.hub.WaitOnline(kImei, Millis(10000), false)) << f.hub.Log();
    int refused = tunneltest::ConnectTo(f.port);
    char c;
    EXPECT_LE(recv(refused, &c, 1, 0), 0);
    close(refused);
    EXPECT_EQ(f.hub.Stop(), 0) << f.hub.Log();
    EXPECT_FALSE(PathExists(pty));
}
