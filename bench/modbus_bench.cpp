// Modbus RTU poll round trip through the gateway on the simulated board, quiet gap 5 ms beside the
// default 100 ms: the firmware as a plain client (mode 0) with raw chunks, tools/modbusprobe as its
// peer (an RTU master behind a pty bridge) and as the RTU slave on the board's port. Polls of 10
// registers (a 25-byte reply) and of 125 (255 bytes: two chunks when chunks stop at 128 bytes).
//
// Not a test: it prints figures. Run with tools/run-bench (make bench).
#include "board.h"
#include "tunnel_loopback.h"

#include <cstdio>
#include <string>

namespace {

struct Run {
    int gapMs;
    int registers;
    int polls;
};

// The probe's summary line ("polls N errors E p50 X ms p99 Y ms"), or what went wrong.
std::string Poll(const Run& r)
{
    int port = tunneltest::FreePortRun(1);
    Board board;
    char config[160];
    std::snprintf(config, sizeof config, "@LIRNMODE;0\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;%d\r\n@LIRNRAW;1\r\n@LIRNGAP;%d\r\n",
                  port, r.gapMs);
    board.WriteFile("APP/config.ini", config);
    // The firmware dials its data call before it connects: the probe listens long before that.
    if (!board.Start({"--init", "low"})) return "board did not start";
    std::string cmd = LIRN_BUILD_DIR "/modbusprobe --mode 0 --timeout 600 --port " + std::to_string(port) +
                      " --count " + std::to_string(r.registers) + " --polls " + std::to_string(r.polls) + " --slave " +
                      board.Path("pc/ttyS0") + " 2>&1";
    FILE* probe = popen(cmd.c_str(), "r");
    if (probe == nullptr) return "probe did not start";
    std::string out;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, probe)) > 0;) out.append(buf, n);
    int status = pclose(probe);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return status == 0 ? out : "FAILED: " + out;
}

}  // namespace

int main()
{
    const Run runs[] = {{5, 10, 1000}, {100, 10, 200}, {5, 125, 1000}, {100, 125, 200}};
    bool ok = true;
    std::printf("Modbus RTU poll round trip, mode 0, @LIRNRAW;1\n");
    for (const Run& r : runs) {
        std::string line = Poll(r);
        ok = ok && line.rfind("FAILED", 0) != 0;
        std::printf("gap %3d ms, %3d registers: %s\n", r.gapMs, r.registers, line.c_str());
    }
    return ok ? 0 : 1;
}
