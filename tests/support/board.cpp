// The simulated board for end-to-end tests (see board.h).
#include "board.h"

#include "output_capture.h"
#include "tunnel_loopback.h"
#include "control_client.h"
#include "pty_link.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How long the board gets to come up (answer on its socket) and to stop after TERM.
constexpr Millis kBoardStartTimeout(15000);
constexpr Millis kBoardStopTimeout(10000);
// How long a scenario's ready text may take after the board is up (the firmware's whole start).
constexpr Millis kReadyTimeout(20000);
// Where the board's standard output (the firmware's) and its standard error go, in the sysroot.
const char kOutFile[] = "boardsim.out";
const char kErrFile[] = "boardsim.err";
// What the diagnostics print of each stream after a failure.
constexpr std::size_t kDiagnosticTailBytes = 6000;

std::string Tail(const std::string& text)
{
    return text.size() <= kDiagnosticTailBytes ? text : "..." + text.substr(text.size() - kDiagnosticTailBytes);
}

}  // namespace

Board::Board() = default;

Board::~Board()
{
    Stop();
    ClosePc();
    bool failed = ::testing::Test::HasFailure();
    if (failed) PrintDiagnostics();
    if (failed && std::getenv("LIRN_KEEP_BOARD") != nullptr) {
        std::fprintf(stderr, "board kept in %s\n", Root().c_str());
        root_.Keep();
    }
}

void Board::PrintDiagnostics() const
{
    std::fprintf(stderr, "---- firmware output (%s)\n%s\n---- board messages\n%s\n----\n", Root().c_str(),
                 Tail(Output()).c_str(), Tail(ErrorOutput()).c_str());
}

void Board::WriteFile(const std::string& relative, const std::string& content, mode_t mode)
{
    if (!root_.WriteFile(relative, content, mode)) ADD_FAILURE() << "cannot write " << Path(relative);
}

bool Board::Start(const std::vector<std::string>& options, const std::vector<std::string>& firmwareArgs)
{
    if (board_ > 0) return false;
    std::vector<std::string> args{LIRN_BUILD_DIR "/boardsim", Root()};
    args.insert(args.end(), options.begin(), options.end());
    if (exported_) args.push_back("--exported");
    for (const std::string& request : settings_) args.insert(args.end(), {"--set", request});
    if (!firmwareArgs.empty()) {
        args.push_back("--");
        args.insert(args.end(), firmwareArgs.begin(), firmwareArgs.end());
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // Appended to, so that what a board started again prints follows what it printed before.
    int out = open(Path(kOutFile).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int err = open(Path(kErrFile).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Should the test die, the board (and through it the firmware) goes too.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        if (!netns_.empty()) {
            int ns = open(netns_.c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) _exit(126);
        }
        dup2(out, 1);
        dup2(err, 2);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int fd : {out, err})
        if (fd >= 0) close(fd);
    if (pid < 0 || out < 0 || err < 0) return false;
    board_ = pid;
    // A board that gave up (a bad option, a sysroot it cannot build) is not waited for.
    int status = 0;
    bool up = WaitUntil(
        [&] {
            if (board_ > 0 && waitpid(board_, &status, WNOHANG) == board_) board_ = -1;
            return board_ < 0 || Control("ping") == "ok pong";
        },
        kBoardStartTimeout, Millis(20));
    if (board_ < 0) {
        Stop();
        return false;
    }
    return up;
}

bool Board::Run(const Scenario& s)
{
    for (const auto& [path, content] : s.files) WriteFile(path, content);
    settings_ = s.settings;
    exported_ = s.exported;
    std::vector<std::string> options{"--init", s.init};
    options.insert(options.end(), s.options.begin(), s.options.end());
    return Start(options, s.firmwareArgs) && (s.ready.empty() || WaitForOutput(s.ready, kReadyTimeout));
}

void Board::Stop()
{
    if (board_ > 0) StopBoard();
}

void Board::StopBoard()
{
    // Asked while the board still answers: the firmware's group, in case the board must be killed.
    std::string pids = Control("pids");
    pid_t firmware = -1;
    std::size_t at = pids.find("fw=");
    if (at != std::string::npos) firmware = static_cast<pid_t>(std::atoi(pids.c_str() + at + 3));

    kill(board_, SIGTERM);
    int status = 0;
    bool ended = WaitUntil([&] { return waitpid(board_, &status, WNOHANG) == board_; }, kBoardStopTimeout);
    if (!ended) {
        ADD_FAILURE() << "the board did not stop within " << kBoardStopTimeout.count() << " ms";
        kill(board_, SIGKILL);
        if (firmware > 0) kill(-firmware, SIGKILL);
        waitpid(board_, &status, 0);
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        // A sanitizer's report at exit, for one, ends the board with a failure status.
        ADD_FAILURE() << "the board ended with wait status " << status;
    }
    board_ = -1;
}

std::string Board::Output() const
{
    return ReadFile(kOutFile);
}

std::string Board::ErrorOutput() const
{
    return ReadFile(kErrFile);
}

bool Board::OutputHasLinesInOrder(const std::vector<std::string>& lines, Millis timeout) const
{
    return WaitUntil(
        [&] {
            std::istringstream out(Output());
            std::size_t next = 0;
            for (std::string line; next < lines.size() && std::getline(out, line);)
                if (line == lines[next]) ++next;
            return next == lines.size();
        },
        timeout);
}

int Board::CountOutput(const std::string& text) const
{
    return Occurrences(Output(), text);
}

bool Board::WaitForOutput(const std::string& text, Millis timeout, int occurrence)
{
    return WaitUntil([&] { return CountOutput(text) >= occurrence; }, timeout);
}

std::string Board::Control(const std::string& line)
{
    std::optional<std::string> reply = ControlRequest(Path("board.sock"), line);
    return reply ? *reply : "err no board";
}

int Board::QmiStateCount(const std::string& key)
{
    std::string n = ControlField(Control("qmi state"), key);
    return n.empty() ? -1 : std::stoi(n);
}

std::string Board::WaitForControl(const std::string& line, const std::function<bool(const std::string&)>& accept,
                                  Millis timeout)
{
    std::string reply;
    WaitUntil([&] { return accept(reply = Control(line)); }, timeout, Millis(20));
    return reply;
}

int Board::OpenPc()
{
    if (pc_ >= 0) return pc_;
    pc_ = open(Path("pc/ttyS0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pc_ >= 0) SetRaw(pc_);
    return pc_;
}

void Board::ClosePc()
{
    if (pc_ >= 0) close(pc_);
    pc_ = -1;
}

bool Board::PcWrite(const std::string& bytes, Millis timeout)
{
    if (pc_ < 0) return false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(pc_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        struct pollfd pfd = {pc_, POLLOUT, 0};
        poll(&pfd, 1, static_cast<int>(left.count()));
    }
    return true;
}

std::string Board::PcRead(std::size_t count, Millis timeout)
{
    return pc_ < 0 ? std::string() : ReadUpTo(pc_, count, timeout);
}

std::string Board::PcReadUntil(const std::string& text, Millis timeout)
{
    std::string got;
    if (pc_ < 0) return got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    // One byte at a time: nothing after the awaited text is taken from the port.
    while (got.size() < text.size() || got.compare(got.size() - text.size(), text.size(), text) != 0) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        struct pollfd pfd = {pc_, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
        char c;
        if (read(pc_, &c, 1) == 1) got += c;
    }
    return got;
}

std::string Board::PcSendUntilPeerReads(int peer, const std::string& text, std::size_t count)
{
    constexpr int kTries = 5;
    constexpr int kTryWaitMs = 1500;  // the 100 ms quiet gap, with room for a loaded machine
    std::string got(count, '\0');
    for (int i = 0; i < kTries; ++i)
        if (PcWrite(text) && tunneltest::ReadExactly(peer, got.data(), count, kTryWaitMs)) return got;
    return "";
}
