// boardsim: the simulated board, and a small client for its control channel.
//
//   boardsim DIR [options] [-- FIRMWARE-ARGS...]   builds the sysroot in DIR and runs the firmware
//   boardsim --ctl DIR REQUEST...                  sends one control request, prints the reply
#include "board_util.h"
#include "control_client.h"
#include "sim_board.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: boardsim DIR [options] [-- FIRMWARE-ARGS...]\n"
    "       boardsim --ctl DIR REQUEST...\n"
    "options:\n"
    "  --firmware PATH      program to run (default: lirn beside boardsim)\n"
    "  --no-firmware        run the board alone\n"
    "  --init LEVEL         INIT pin: low (asserted, tunnel road), high or missing (default low)\n"
    "  --card STATE         mounted or none (default mounted)\n"
    "  --card-size S,U,A,P  df sizes of the card (default 7.4G,1.2G,6.2G,17%)\n"
    "  --exported           GPIO lines already exported before the firmware starts\n"
    "  --clock 'YYYY-MM-DD HH:MM:SS'  real-time clock setting (default: host local time)\n"
    "  --set 'REQUEST'      a control request applied before the firmware starts (repeatable)\n"
    "FIRMWARE-ARGS are given to the first start only (a date and a time, or -resetconfig).\n";

SimBoard* gBoard = nullptr;

void OnStopSignal(int)
{
    if (gBoard != nullptr) gBoard->RequestStop();
}

std::string DefaultFirmware(const char* argv0)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir;
    if (n > 0) {
        self[n] = '\0';
        dir = self;
    } else {
        dir = argv0;
    }
    std::size_t slash = dir.rfind('/');
    return (slash == std::string::npos ? std::string(".") : dir.substr(0, slash)) + "/lirn";
}

std::vector<std::string> SplitComma(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    for (;;) {
        std::size_t end = text.find(',', i);
        out.push_back(text.substr(i, end == std::string::npos ? std::string::npos : end - i));
        if (end == std::string::npos) return out;
        i = end + 1;
    }
}

// Parses the options into o. Returns an error text, empty when all is well.
std::string ParseOptions(int argc, char** argv, BoardOptions& o)
{
    o.root = argv[1];
    o.firmware = DefaultFirmware(argv[0]);
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--") {
            o.firstArgs.assign(argv + i + 1, argv + argc);
            break;
        } else if (a == "--firmware" && value(v)) {
            o.firmware = v;
        } else if (a == "--no-firmware") {
            o.firmware.clear();
        } else if (a == "--init" && value(v)) {
            std::optional<PinLevel> level = ParsePinLevel(v);
            if (!level) return "--init takes low, high or missing";
            o.init = *level;
        } else if (a == "--card" && value(v)) {
            if (v != "mounted" && v != "none") return "--card takes mounted or none";
            o.cardMounted = v == "mounted";
        } else if (a == "--card-size" && value(v)) {
            std::optional<CardSizes> sizes = ParseCardSizes(SplitComma(v));
            if (!sizes) return "--card-size takes SIZE,USED,AVAIL,USE%";
            o.card = *sizes;
        } else if (a == "--exported") {
            o.exported = true;
        } else if (a == "--set" && value(v)) {
            o.settings.push_back(v);
        } else if (a == "--clock" && value(v)) {
            o.clock = ParseCalendar(v);
            if (!o.clock) return "--clock takes 'YYYY-MM-DD HH:MM:SS'";
        } else {
            return "unknown or incomplete option " + a;
        }
    }
    if (!o.firmware.empty() && access(o.firmware.c_str(), X_OK) != 0) return "no firmware at " + o.firmware;
    return "";
}

int ControlMain(int argc, char** argv)
{
    std::string line;
    for (int i = 3; i < argc; ++i) line += std::string(line.empty() ? "" : " ") + argv[i];
    std::optional<std::string> reply = ControlRequest(std::string(argv[2]) + "/board.sock", line);
    if (!reply) {
        std::fprintf(stderr, "boardsim: no board answers at %s/board.sock\n", argv[2]);
        return 2;
    }
    std::printf("%s\n", reply->c_str());
    return reply->compare(0, 2, "ok") == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "--ctl") == 0) return ControlMain(argc, argv);
    if (argc < 2 || argv[1][0] == '-') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    BoardOptions options;
    std::string error = ParseOptions(argc, argv, options);
    if (!error.empty()) {
        std::fprintf(stderr, "boardsim: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // A stop signal is taken by this thread alone, and only while the board runs: the board's
    // threads (all started with the board) inherit the signals blocked, and they are blocked here
    // again before the board is taken down, so no handler meets a board half gone.
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    try {
        SimBoard board(options);
        gBoard = &board;
        struct sigaction sa = {};
        sa.sa_handler = OnStopSignal;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
        BoardLog("board ready in %s, control on %s", board.Root().c_str(), board.SocketPath().c_str());
        pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
        board.Run();
        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
        gBoard = nullptr;
        BoardLog("board stopped");
    } catch (const std::exception& e) {
        BoardLog("%s", e.what());
        return 1;
    }
    return 0;
}
