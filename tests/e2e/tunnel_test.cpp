// The serial tunnel end to end: build/lirn on the simulated board in tunnel mode (INIT pin
// asserted), its RS-232 port reached from the PC end of the null-modem cable, its TCP peer played by
// the test on loopback ports, or by a second board.
#include "board.h"
#include "control_client.h"
#include "tunnel_loopback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <fcntl.h>
#include <random>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tl = tunneltest;

namespace {

const Millis kStartTimeout(20000);
// The first link may wait for one look at a data call that was still down (5 s) on top of start-up.
constexpr int kFirstLinkMs = 20000;
constexpr int kBlock = 128;

std::string Block(const std::string& bytes)
{
    std::string b = bytes;
    b.resize(kBlock, '\0');
    return b;
}

std::string Config(int mode, int port, int hbInterval)
{
    char text[160];
    std::snprintf(text, sizeof text, "@LIRNMODE;%d\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;%d\r\n@LIRNHB;%d\r\n", mode, port,
                  hbInterval);
    return text;
}

// Starts the gateway in tunnel mode. With callUp the data call is up before the firmware starts
// (the tunnel may connect as soon as the dial-up thread has looked once), else the firmware dials.
// extra: further configuration lines. beforeFirmware runs once the board is up, before the
// firmware starts; the PC end of the port is then its business, else the test's.
void StartGateway(Board& board, int mode, int port, int hbInterval = 2, bool callUp = true,
                  const std::string& extra = "", const std::function<void()>& beforeFirmware = {})
{
    board.WriteFile("APP/config.ini", Config(mode, port, hbInterval) + extra);
    ASSERT_TRUE(board.Start({"--init", "low", "--no-firmware"}));
    if (callUp) {
        ASSERT_TRUE(ControlOk(board.Control("qmi call up")));
    }
    ASSERT_EQ(symlink(LIRN_BUILD_DIR "/lirn", board.Path("APP/fw").c_str()), 0);
    if (beforeFirmware) beforeFirmware();
    ASSERT_TRUE(ControlOk(board.Control("fw start")));
    ASSERT_TRUE(board.WaitForOutput("Create ThreadLirnHb Successfully\r\n", kStartTimeout));
    if (!beforeFirmware) board.OpenPc();
}

// Waits until the firmware has read every byte the PC end sent so far (sent in all): the cable
// has carried them to the board's port and none still waits there.
bool WaitSerialTaken(Board& board, long long sent, Millis timeout)
{
    int port = open(board.Path("dev/ttyHSL3").c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port < 0) return false;
    bool taken = WaitUntil(
        [&] {
            std::string carried = ControlField(board.Control("serial"), "to_board");
            int waiting = -1;
            return !carried.empty() && std::stoll(carried) >= sent && ioctl(port, FIONREAD, &waiting) == 0 &&
                   waiting == 0;
        },
        timeout);
    close(port);
    return taken;
}

// The INIT pin held low and active low reads asserted: the tunnel road, not the console's.
TEST(Tunnel, AssertedInitPinStartsTheFourThreadsInOrder)
{
    Board board;
    StartGateway(board, 0, tl::FreePortRun(1));
    EXPECT_TRUE(board.OutputHasLinesInOrder({"Create ThreadLirnSock Successfully\r", "Create ThreadLirnSend Successfully\r",
                                             "Create ThreadLirnRecv Successfully\r", "Create ThreadLirnHb Successfully\r"}))
        << board.Output();
    EXPECT_EQ(board.Control("gpio 5"), "ok direction=in active_low=1 value=1");
    EXPECT_EQ(board.CountOutput("===== Utility"), 0) << board.Output();
}

// The server side of the exchange, played by the test.
TEST(Tunnel, ClientWithHeartbeatRepliesExactlyThenSendsHeartbeatsAndCarriesData)
{
    int port = tl::FreePortRun(2);
    int dataListener = tl::ListenOn(port);
    int hbListener = tl::ListenOn(port + 1);
    Board board;
    StartGateway(board, 1, port, 2);
    int hb = tl::AcceptWithin(hbListener, kFirstLinkMs);
    ASSERT_GE(hb, 0);
    tl::WriteAll(hb, "Qw3rTy9uIo", 10);
    int data = tl::AcceptWithin(dataListener, 5000);
    ASSERT_GE(data, 0);
    char block[kBlock];
    ASSERT_TRUE(tl::ReadExactly(data, block, kBlock, 3000));
    EXPECT_EQ(std::string(block, kBlock), Block("Qw3rTy9uIo@@@@@@@@@@2"));
    EXPECT_TRUE(board.OutputHasLinesInOrder({"Start Connect To Server\r", "HB Connect Successfully\r",
                                             "Receive Initial Packet Successfully\r", "Data Connect Successfully\r",
                                             "Send Initial Packet Successfully\r"}));

    // Heartbeats: blocks of zero bytes about every 2 s.
    auto start = std::chrono::steady_clock::now();
    long long arrivals[3];
    for (long long& at : arrivals) {
        ASSERT_TRUE(tl::ReadExactly(hb, block, kBlock, 4000));
        EXPECT_EQ(std::string(block, kBlock), std::string(kBlock, '\0'));
        at = MsSince(start);
    }
    EXPECT_GE(arrivals[2] - arrivals[1], 1800);
    EXPECT_LE(arrivals[2] - arrivals[1], 3000);

    ASSERT_TRUE(board.PcWrite("to peer"));
    ASSERT_TRUE(tl::ReadExactly(data, block, kBlock, 3000));
    EXPECT_EQ(std::string(block, kBlock), Block("to peer"));
    std::string toSerial("to\r\nserial\0!", 12);
    tl::WriteAll(data, toSerial.data(), toSerial.size());
    EXPECT_EQ(board.PcRead(toSerial.size(), Millis(3000)), toSerial);
    EXPECT_TRUE(board.WaitForOutput("Receive Packet Successfully: \"to\"\r\n", Millis(3000)));
    for (int fd : {hb, data, hbListener, dataListener}) close(fd);
}

// The first client comes 2 s after the listeners: its window of interval + 5 s opens with its
// handshake, not with the listeners.
TEST(Tunnel, ServerDropsASilentClientAndKeepsASecondOnePendingUntilThen)
{
    int port = tl::FreePortRun(2);
    Board board;
    StartGateway(board, 2, port);
    ASSERT_TRUE(board.WaitForOutput("Bind And Listen Successfully\r\n", Millis(kFirstLinkMs)));
    EXPECT_FALSE(board.WaitForOutput("Receive HB", Millis(2000)));  // no client: nothing supervised
    tl::ExchangeClient first;
    ASSERT_TRUE(first.Knock(port));
    first.Reply(port, first.packet + "@@@@@@@@@@1");
    ASSERT_TRUE(board.WaitForOutput("HB Interval: 1\r\n", Millis(5000)));
    auto handshake = std::chrono::steady_clock::now();

    int second = tl::ConnectTo(port + 1);
    ASSERT_GE(second, 0);
    EXPECT_TRUE(board.WaitForOutput("Connection Is Full\r\n", Millis(6000)));
    // Silent since its handshake: dropped after its interval plus 5 s.
    ASSERT_TRUE(board.WaitForOutput("[0] Receive HB Timeout\r\n", Millis(12000)));
    EXPECT_GE(MsSince(handshake), 5500);
    EXPECT_TRUE(tl::WaitClosed(first.hb, 3000));
    EXPECT_TRUE(tl::WaitClosed(first.data, 3000));
    EXPECT_LE(board.CountOutput("Connection Is Full\r\n"), 3);  // paced, not a flood
    // The pending client is served now.
    char packet[10];
    ASSERT_TRUE(tl::ReadExactly(second, packet, sizeof packet, 3000));
    tl::ExchangeClient late;
    late.hb = second;
    late.Reply(port, std::string(packet, sizeof packet) + "@@@@@@@@@@20");
    EXPECT_TRUE(board.WaitForOutput("HB Interval: 20\r\n", Millis(5000)));
}

TEST(Tunnel, FiveFailedConnectsHangUpTheCallWhichIsDialledAgainAndTheLinkComesBack)
{
    int port = tl::FreePortRun(1);
    Board board;
    StartGateway(board, 0, port, 2, false);  // dialled by the firmware: its hang-up names the call
    ASSERT_TRUE(WaitUntil([&] { return board.QmiStateCount("stops") >= 1; }, Millis(kFirstLinkMs)));
    EXPECT_TRUE(board.WaitForOutput("main(): QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01) Success.", Millis(3000)));
    ASSERT_TRUE(WaitUntil([&] { return board.QmiStateCount("starts") >= 2; }, Millis(15000)));
    // Input while the link is down is read and dropped.
    ASSERT_TRUE(board.PcWrite("stale"));
    ASSERT_TRUE(WaitSerialTaken(board, 5, Millis(5000)));
    int listener = tl::ListenOn(port);
    int peer = tl::AcceptWithin(listener, 30000);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(board.PcSendUntilPeerReads(peer, "fresh", kBlock), Block("fresh"));
    EXPECT_EQ(tl::ReadFor(peer, 300), "");
    close(peer);
    close(listener);
}

// Two gateways, one a client with heartbeat and one a server, carry bytes between their ports
// both ways for longer than the server's heartbeat time-out (interval plus 5 s): the heartbeats
// hold the link. The client sends whole blocks, so no zero fill reaches the server's port; the
// server sends text, so its chunks stop at no zero byte. Each round waits for its bytes to arrive.
TEST(Tunnel, TwoGatewaysCarryBytesBothWaysPastTheHeartbeatTimeOut)
{
    int port = tl::FreePortRun(2);
    Board server, client;
    StartGateway(server, 2, port, 2);
    StartGateway(client, 1, port, 2);
    ASSERT_TRUE(server.WaitForOutput("HB Interval: 2\r\n", Millis(kFirstLinkMs + 10000)));
    ASSERT_TRUE(client.WaitForOutput("Send Initial Packet Successfully\r\n", Millis(5000)));
    // The client may have knocked before the server listened; from here on the link must hold.
    int connects = client.CountOutput("Start Connect To Server\r\n");

    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte('!', '~');
    std::string sentToServer, sentToClient, gotAtServer, gotAtClient;
    auto start = std::chrono::steady_clock::now();
    while (MsSince(start) < 12000) {
        std::string up(kBlock * (1 + rng() % 2), ' '), down(1 + rng() % 200, ' ');
        for (char& c : up) c = static_cast<char>(byte(rng));
        for (char& c : down) c = static_cast<char>(byte(rng));
        ASSERT_TRUE(client.PcWrite(up));
        ASSERT_TRUE(server.PcWrite(down));
        sentToServer += up;
        sentToClient += down;
        gotAtServer += server.PcRead(up.size(), Millis(3000));
        gotAtClient += client.PcRead(down.size(), Millis(3000));
        ASSERT_EQ(gotAtServer, sentToServer);
        ASSERT_EQ(gotAtClient, sentToClient);
    }
    EXPECT_GE(client.CountOutput("Send HB Successfully\r\n"), 4);
    EXPECT_EQ(server.CountOutput("Receive HB Timeout"), 0);
    EXPECT_EQ(server.CountOutput("Receive HB Error"), 0);
    EXPECT_EQ(client.CountOutput("Start Connect To Server\r\n"), connects);
}

// Raw chunks with a 5 ms gap: a Modbus RTU master on a pty bridged to the gateway's peer polls an
// RTU slave on the board's port (both libmodbus, in tools/modbusprobe). Every reply must pass its
// CRC and length checks and hold the slave's values, zero bytes included.
const char kRawFast[] = "@LIRNRAW;1\r\n@LIRNGAP;5\r\n";

void PollModbusThroughGateway(int mode, int polls)
{
    int port = tl::FreePortRun(2);
    Board board;
    FILE* probe = nullptr;
    StartGateway(board, mode, port, 2, true, kRawFast, [&] {
        std::string cmd = LIRN_BUILD_DIR "/modbusprobe --timeout 240 --mode " + std::to_string(mode) + " --port " +
                          std::to_string(port) + " --polls " + std::to_string(polls) + " --slave " +
                          board.Path("pc/ttyS0") + " 2>&1";
        probe = popen(cmd.c_str(), "r");
    });
    ASSERT_NE(probe, nullptr);
    std::string out;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, probe)) > 0;) out.append(buf, n);
    EXPECT_EQ(pclose(probe), 0) << out;
    EXPECT_NE(out.find("polls " + std::to_string(polls) + " errors 0 "), std::string::npos) << out;
}

TEST(Tunnel, RawPlainClientCarriesAThousandModbusPolls) { PollModbusThroughGateway(0, 1000); }
TEST(Tunnel, RawClientWithHeartbeatCarriesModbusPolls) { PollModbusThroughGateway(1, 1000); }
TEST(Tunnel, RawServerCarriesModbusPolls) { PollModbusThroughGateway(2, 1000); }

// Every byte value, a zero byte first and two last, crosses exactly both ways in each mode with raw chunks.
TEST(Tunnel, RawChunksCarryBinaryBytesExactlyInEveryMode)
{
    std::string blob(1, '\0');
    for (int i = 1; i < 256; ++i) blob += static_cast<char>(i);
    blob += std::string(2, '\0');
    for (int mode : {0, 1, 2}) {
        tl::TunnelPeer end(mode);
        Board board;
        StartGateway(board, mode, end.port, 2, true, kRawFast);
        if (mode == 2) {
            ASSERT_TRUE(board.WaitForOutput("Bind And Listen Successfully\r\n", Millis(kFirstLinkMs)));
        }
        int peer = end.Next(kFirstLinkMs);
        ASSERT_GE(peer, 0) << mode;
        EXPECT_EQ(board.PcSendUntilPeerReads(peer, blob, blob.size()), blob) << mode;
        EXPECT_EQ(tl::ReadFor(peer, 300), "") << mode;  // no zero fill after the bytes
        tl::WriteAll(peer, blob.data(), blob.size());
        EXPECT_EQ(board.PcRead(blob.size(), Millis(3000)), blob) << mode;
        close(peer);
    }
}

}  // namespace
