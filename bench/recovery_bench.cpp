// Recovery benchmark on the simulated board: the field faults at full length, each timed from the
// moment the fault ends to the moment the gateway is whole again (the README's "Faults and
// recovery" table). A QMI device away 10 s, the AT device away 10 s, the modem silent a minute, a
// peer that accepts and closes for two minutes in modes 0 and 1, the card out 10 s, 100 SIGKILLs
// during saves, and 100 SIGKILLs of the whole process group during the card's firmware install. Times come from the board's records (its clock, request and command logs) and the
// firmware's output; CPU from the kernel's count for the firmware process.
//
// Not a test: it prints figures. Run with tools/run-bench (make bench).
#include "board.h"
#include "card_install.h"
#include "control_client.h"
#include "tunnel_loopback.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <random>
#include <sstream>
#include <thread>

namespace tl = tunneltest;

namespace {

const Millis kStart(20000);
const Millis kLong(180000);  // bound of any one recovery

std::vector<long long> Numbers(const std::string& reply)
{
    std::istringstream in(reply.size() > 2 ? reply.substr(2) : "");
    std::vector<long long> out;
    for (long long n; in >> n;) out.push_back(n);
    return out;
}

long long BoardNow(Board& b)
{
    return Numbers(b.Control("now")).at(0);
}

// Waits out a fault's length on the board's clock (the scenario's own duration, not a pacing).
void Hold(Board& b, long long ms)
{
    long long until = BoardNow(b) + ms;
    WaitUntil([&] { return BoardNow(b) >= until; }, Millis(ms + 5000), Millis(100));
}

long long FwCpuMs(Board& b)
{
    return std::stoll(ControlField(b.Control("fw usage"), "cpu_ms"));
}

bool StartGateway(Board& b, int mode, int port)
{
    b.WriteFile("APP/log.ini", "@LOGEN;1\r\n");
    if (mode >= 0)
        b.WriteFile("APP/config.ini", "@LIRNMODE;" + std::to_string(mode) + "\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;" +
                                          std::to_string(port) + "\r\n");
    return b.Start({"--init", mode >= 0 ? "low" : "high"}) &&
           b.WaitForOutput(mode >= 0 ? "Create ThreadLirnHb" : "Open Utility Port Successfully", kStart) &&
           b.OpenPc() >= 0;
}

// Board time of the first AT command line received after `since`, or -1.
long long FirstAtLineAfter(Board& b, long long since)
{
    std::istringstream in(b.Control("at log 50").substr(3));
    std::string item;
    in >> item;  // the count
    while (in >> item) {
        long long at = std::atoll(item.c_str());
        if (at > since) return at;
    }
    return -1;
}

void QmiDeviceAway()
{
    Board b;
    int port = tl::FreePortRun(1), listener = tl::ListenOn(port);
    if (!StartGateway(b, 0, port) || tl::AcceptWithin(listener, 20000) < 0) return;
    long long cpu = FwCpuMs(b), removed = BoardNow(b);
    b.Control("node remove dev/cdc-wdm0");
    Hold(b, 10000);
    long long restored = BoardNow(b);
    b.Control("node restore dev/cdc-wdm0");
    long long start = -1;
    WaitUntil([&] { return (start = std::stoll(ControlField(b.Control("qmi last start"), "at"))) > restored; }, kLong,
              Millis(20));
    bool up = WaitUntil([&] { return b.Control("qmi state").find("call=up") != std::string::npos; }, kLong, Millis(20));
    long long upAt = BoardNow(b);
    double cpuPercent = 100.0 * static_cast<double>(FwCpuMs(b) - cpu) / static_cast<double>(upAt - removed);
    std::printf("QMI device away 10 s: %lld opens while away; start %lld ms and call %s %lld ms after the return; "
                "CPU %.2f %%\n",
                Numbers(b.Control("node opens dev/cdc-wdm0")).at(0), start - restored, up ? "up" : "NOT up",
                upAt - restored, cpuPercent);
    close(listener);
}

// The modem meets a fault for holdMs; the time until its next command after the fault ends.
void ModemFault(const char* name, const std::string& on, const std::string& off, long long holdMs)
{
    Board b;
    if (!StartGateway(b, -1, 0)) return;
    b.Control(on);
    Hold(b, holdMs);
    long long back = BoardNow(b);
    b.Control(off);
    long long next = -1;
    WaitUntil([&] { return (next = FirstAtLineAfter(b, back)) > 0; }, kLong, Millis(20));
    std::printf("%s: next AT command %lld ms after the modem is back\n", name, next - back);
}

// A peer that accepts and closes for two minutes: tries and console lines, and in mode 0 the time
// to rebuild the drop of a link that then stayed up 15 s.
void Storm(int mode)
{
    Board b;
    int port = tl::FreePortRun(2), listener = tl::ListenOn(mode == 1 ? port + 1 : port);
    std::atomic<bool> storming{true};
    std::vector<long long> tries;
    auto begin = std::chrono::steady_clock::now();
    std::thread server([&] {
        while (storming) {
            int fd = tl::AcceptWithin(listener, 1000);
            if (fd < 0) continue;
            tries.push_back(MsSince(begin));
            close(fd);
        }
    });
    if (!StartGateway(b, mode, port)) storming = false;
    int linesBefore = b.CountOutput("\n");
    WaitUntil([&] { return MsSince(begin) >= 120000; }, Millis(125000), Millis(500));
    storming = false;
    server.join();
    std::printf("Mode %d peer that accepts and closes, 120 s: %zu tries (at", mode, tries.size());
    for (long long t : tries) std::printf(" %.1f", static_cast<double>(t) / 1000);
    std::printf(" s), %.2f console lines per second\n", (b.CountOutput("\n") - linesBefore) / 120.0);
    if (mode == 0) {
        int peer = tl::AcceptWithin(listener, 70000);
        ReadUpTo(peer, 1, Millis(15000));
        close(peer);
        auto drop = std::chrono::steady_clock::now();
        peer = tl::AcceptWithin(listener, 70000);
        std::printf("Mode 0 good link (up 15 s) dropped: rebuilt after %lld ms\n", MsSince(drop));
        close(peer);
    }
    close(listener);
}

void CardAway()
{
    Board b;
    if (!StartGateway(b, -1, 0)) return;
    b.Control("card remove");
    Hold(b, 10000);
    auto back = std::chrono::steady_clock::now();
    b.Control("card insert");
    bool again = b.WaitForOutput("AT_CMD_LOG transcript written again", kLong);
    std::printf("Card out 10 s: transcripts %s %lld ms after it is back\n", again ? "written again" : "NOT written",
                MsSince(back));
}

void KillsDuringSaves(int kills)
{
    Board b;
    if (!StartGateway(b, -1, 0)) return;
    std::mt19937 rng(12345);
    std::string whole[2];
    int seen[3] = {0, 0, 0};  // the old file, the new one, anything else
    for (int k = 0; k < kills + 2; k++) {
        b.PcWrite("@APN;APN" + std::to_string(k % 2) + "\r\n");
        b.PcReadUntil("\r\n", Millis(5000));
        b.PcWrite("@SAVE\r\n");
        if (k < 2) {
            b.PcReadUntil("\r\n", Millis(5000));
            whole[k] = b.ReadFile("APP/config.ini");
            continue;
        }
        b.PcReadUntil("\r\n", Millis(60 + rng() % 120));
        kill(std::stoi(ControlField(b.Control("pids"), "fw")), SIGKILL);
        WaitUntil([&] { return b.Control("fw") == "ok killed 9"; }, Millis(5000));
        std::string config = b.ReadFile("APP/config.ini");
        seen[config == whole[k % 2] ? 1 : config == whole[1 - k % 2] ? 0 : 2]++;
        b.Control("fw start");
        b.WaitForOutput("Open Utility Port Successfully", kStart, k);
    }
    std::printf("%d SIGKILLs during saves: config.ini old %d, new %d, neither %d\n", kills, seen[0], seen[1], seen[2]);
}

void KillsDuringCardInstall(int kills)
{
    Board b;
    if (!b.Start({"--init", "high", "--no-firmware"})) return;
    CardInstallKills r = KillDuringCardInstall(b, kills, 12345);
    std::printf("%d SIGKILLs of the group within the card install's %lld ms: APP/fw old %d, new %d, neither %d; "
                "fw.tmp left %d; card's file gone early %d\n",
                kills, r.windowMs, r.oldWhole, r.newWhole, r.broken, r.tempLeft, r.cardGoneEarly);
}

}  // namespace

int main()
{
    QmiDeviceAway();
    ModemFault("AT device away 10 s", "node remove dev/smd8", "node restore dev/smd8", 10000);
    ModemFault("Modem silent 60 s", "at mute on", "at mute off", 60000);
    Storm(0);
    Storm(1);
    CardAway();
    KillsDuringSaves(100);
    KillsDuringCardInstall(100);
    return 0;
}
