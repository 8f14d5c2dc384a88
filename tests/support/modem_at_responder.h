// A scripted stand-in for the module's AT device, for tests of the modem poll.
//
// It creates a pty, links its slave side as dev/smd8 under a sysroot directory and answers every
// command line the firmware writes by table: the command echoed, then "\r\n<body>\r\n" when the
// table gives a body, then "\r\nOK\r\n" (or "\r\nERROR\r\n" for commands the table does not know).
// It records each command with the time it arrived, so tests can check order and waits.
#pragma once

#include "test_pty.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class AtResponder {
public:
    struct Received {
        std::string command;  // as written, with its "\r\n"
        std::chrono::steady_clock::time_point at;
    };

    // Links sysroot/dev/smd8 to a new pty and starts answering.
    explicit AtResponder(const std::string& sysroot);
    ~AtResponder();
    AtResponder(const AtResponder&) = delete;
    AtResponder& operator=(const AtResponder&) = delete;

    // The body answered to a command (given with its "\r\n"); an empty body answers only OK.
    void Answer(const std::string& command, const std::string& body);
    // Answers exactly these bytes (no echo, no framing) to a command.
    void AnswerRaw(const std::string& command, const std::string& bytes);
    // Forgets the table entry: the command is answered with ERROR again.
    void Forget(const std::string& command);

    std::vector<Received> Commands();
    std::vector<std::string> CommandTexts();
    void ClearCommands();

    // Descriptors of this process, other than the responder's own, open on the pty's slave.
    int FirmwareOpenCount() const;

private:
    void Run();
    std::string Reply(const std::string& command);

    TestPty pty_;
    std::mutex lock_;
    std::map<std::string, std::string> bodies_;
    std::map<std::string, std::string> raw_;
    std::vector<Received> received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
