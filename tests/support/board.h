// The simulated board for end-to-end tests.
//
// A Board owns a fresh temporary sysroot, lets the test put files in it before the start
// (APP/config.ini, APP/log.ini, card contents, APP/fw), runs build/boardsim on it (which runs
// build/lirn), keeps every line the firmware prints (in files beside the sysroot's tree: the board's
// standard output, which is the firmware's, and its standard error), talks to the control channel and
// opens the PC end of the serial port. Waits always have deadlines. The destructor stops the board
// and removes the directory, unless the test failed and LIRN_KEEP_BOARD is set in the environment;
// after a failure it prints what the firmware and the board said.
#pragma once

#include "temp_dir.h"
#include "wait_until.h"

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// An end-to-end scenario as data: what one test changes from the defaults of a start (the INIT pin
// high, so the console road; no files, settings, options or arguments; nothing awaited).
struct Scenario {
    std::string init = "high";                                // --init: high, low or missing
    std::vector<std::pair<std::string, std::string>> files{}; // sysroot files (path, content) written first
    std::vector<std::string> settings{};                      // control requests before the first start
    std::vector<std::string> options{};                       // further boardsim options ("--clock", ...)
    std::vector<std::string> firmwareArgs{};                  // the first start's arguments
    std::string ready{};                                      // output that ends the start ("" none)
    // GPIO lines already exported, as after an earlier run on the module. The board emulates an
    // export in a thread that must answer within the firmware's 1 ms look, which a loaded machine
    // cannot always give; only the tests of the export itself take that road.
    bool exported = true;
};

// True when the board accepted a control request: its reply starts with "ok".
inline bool ControlOk(const std::string& reply)
{
    return reply.rfind("ok", 0) == 0;
}

class Board {
public:
    Board();
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    const std::string& Root() const { return root_.Path(); }
    std::string Path(const std::string& relative) const { return root_.Path(relative); }

    // Files of the sysroot, by their path relative to it. WriteFile makes the directories.
    void WriteFile(const std::string& relative, const std::string& content, mode_t mode = 0644);
    std::string ReadFile(const std::string& relative) const { return root_.ReadFile(relative); }  // "" when missing
    bool FileExists(const std::string& relative) const { return root_.Exists(relative); }

    // The board (and the firmware it runs) starts in this network namespace (a file for setns),
    // so the firmware's sockets live there; its devices and control socket work as anywhere.
    void SetNetworkNamespace(const std::string& path) { netns_ = path; }
    // Starts the board with boardsim options (e.g. {"--init", "high"}) and the firmware's
    // arguments for its first start. True once the board answers on its control channel.
    bool Start(const std::vector<std::string>& options = {}, const std::vector<std::string>& firmwareArgs = {});
    // Starts the board on a scenario: its files written, its settings applied by the board before
    // the firmware's first start (boardsim --set, so the very first AT or QMI exchange already
    // meets them; they go with every later Start). True once the board answers and, when the
    // scenario names one, its ready text has appeared.
    bool Run(const Scenario& scenario);
    // Stops the board (and with it the firmware). Safe to call twice.
    void Stop();

    // The firmware's standard output, all of it so far, and the board's messages with the
    // firmware's standard error.
    std::string Output() const;
    std::string ErrorOutput() const;
    int CountOutput(const std::string& text) const;
    // Waits until the output holds these whole lines (without their "\n") in this order. Lines of
    // other threads may come between them: the firmware's threads print side by side.
    bool OutputHasLinesInOrder(const std::vector<std::string>& lines, Millis timeout = Millis(5000)) const;
    // Waits until text has appeared at least occurrence times in the standard output.
    bool WaitForOutput(const std::string& text, Millis timeout, int occurrence = 1);

    // One control request; the reply line, or "err no board" when the board cannot be reached.
    std::string Control(const std::string& line);
    // A count in the QMI modem's state ("qmi state": starts, stops, queries); -1 when it has none.
    int QmiStateCount(const std::string& key);
    // Repeats a request until its reply satisfies accept, or timeout. Returns the last reply.
    std::string WaitForControl(const std::string& line, const std::function<bool(const std::string&)>& accept,
                               Millis timeout);

    // The PC end of the RS-232 port (pc/ttyS0) in raw mode; the board owns the descriptor.
    int OpenPc();
    void ClosePc();
    // Writes all bytes, waiting for room up to the timeout. False when not all could be written.
    bool PcWrite(const std::string& bytes, Millis timeout = Millis(5000));
    // Reads until count bytes have come or the timeout has passed; returns what came.
    std::string PcRead(std::size_t count, Millis timeout);
    // Reads until text has come (it ends the result) or the timeout has passed; returns what came.
    std::string PcReadUntil(const std::string& text, Millis timeout);
    // Writes text at the PC end, again after each wait, until count bytes of it have reached peer
    // (a TCP socket of the test) within a few tries; returns those bytes. A gateway drops serial
    // input while its link is down, and the peer's accept may return a moment before the gateway
    // has marked the link up. A try that went out is read within its wait, so none follows later.
    std::string PcSendUntilPeerReads(int peer, const std::string& text, std::size_t count);

private:
    void StopBoard();
    void PrintDiagnostics() const;

    TempDir root_{"lirn-e2e"};
    std::vector<std::string> settings_;
    bool exported_ = true;  // see Scenario::exported
    std::string netns_;
    pid_t board_ = -1;
    int pc_ = -1;
};
