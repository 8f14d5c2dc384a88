// The card's firmware install under kills (see card_install.h).
#include "card_install.h"

#include "control_client.h"

#include <csignal>
#include <random>
#include <thread>

namespace {

const char kSdOver[] = "///////////////SD OVER///////////////";
const char kGotFw[] = "Got the new fw!!";
const Millis kStepTimeout(20000);

// Puts the old program in APP/fw and the new one on the card, starts the firmware, returns its
// process group (0 when it did not start).
pid_t StartWithUpdate(Board& board, const ProgramPair& p)
{
    board.WriteFile("APP/fw", p.oldProgram, 0755);
    board.WriteFile("media/card/update/fw", p.newProgram);
    std::string reply = board.Control("fw restart");
    std::size_t at = reply.find("running ");
    return at == std::string::npos ? 0 : static_cast<pid_t>(std::stoi(reply.substr(at + 8)));
}

bool KillGroup(Board& board, pid_t group)
{
    kill(-group, SIGKILL);
    return WaitUntil([&] { return board.Control("fw") == "ok killed 9"; }, Millis(5000));
}

}  // namespace

ProgramPair CardInstallPrograms()
{
    std::string program = ReadWholeFile(LIRN_BUILD_DIR "/lirn");
    return {program, program + std::string(4096, 'Z')};
}

CardInstallKills KillDuringCardInstall(Board& board, int kills, unsigned seed)
{
    CardInstallKills r;
    ProgramPair p = CardInstallPrograms();
    // How long the install takes, from the message that the card's program was found to the end
    // of the card's step: the longer of two whole starts.
    for (int i = 0; i < 2; i++) {
        int got = board.CountOutput(kGotFw), over = board.CountOutput(kSdOver);
        pid_t group = StartWithUpdate(board, p);
        if (group <= 0 || !WaitUntil([&] { return board.CountOutput(kGotFw) > got; }, kStepTimeout, Millis(1))) break;
        auto found = std::chrono::steady_clock::now();
        if (!WaitUntil([&] { return board.CountOutput(kSdOver) > over; }, kStepTimeout, Millis(1))) break;
        r.windowMs = std::max(r.windowMs, MsSince(found));
        KillGroup(board, group);
    }
    if (r.windowMs == 0) {
        r.broken = -1;
        return r;
    }
    std::mt19937 rng(seed);
    for (int k = 0; k < kills; k++) {
        int got = board.CountOutput(kGotFw);
        pid_t group = StartWithUpdate(board, p);
        WaitUntil([&] { return board.CountOutput(kGotFw) > got; }, kStepTimeout, Millis(1));
        // The random moment of the kill (not a wait for anything).
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % (r.windowMs * 1000 + 1)));
        if (group <= 0 || !KillGroup(board, group)) {
            r.broken++;
            continue;
        }
        std::string fw = board.ReadFile("APP/fw");
        bool isNew = fw == p.newProgram;
        if (isNew) r.newWhole++;
        else if (fw == p.oldProgram) r.oldWhole++;
        else r.broken++;
        if (!isNew && !board.FileExists("media/card/update/fw")) r.cardGoneEarly++;
        if (board.FileExists("APP/fw.tmp")) r.tempLeft++;
    }
    return r;
}
