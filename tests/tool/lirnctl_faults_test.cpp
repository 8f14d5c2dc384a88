// build/lirnctl against a misbehaving gateway played on a pty (noise for a reply, escape
// sequences in device text, a day file that never ends), and its man page and bash completion
// against the command and settings tables.
#include "board_test_support.h"
#include "commands.h"
#include "test_pty.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

namespace {

// Answers each request line (the first line of a burst) with what `answer` gives for it; with a
// `talk` text, also sends it every `pace` from the first request on, without end.
class FakeGateway {
public:
    using Answer = std::function<std::string(const std::string&)>;
    explicit FakeGateway(Answer answer, std::string talk = "", Millis pace = Millis(1))
        : answer_(std::move(answer)), talk_(std::move(talk)), pace_(pace), thread_([this] { Serve(); })
    {}
    ~FakeGateway()
    {
        stop_ = true;
        thread_.join();
    }
    const std::string& Path() const { return pty_.SlavePath(); }

private:
    void Serve()
    {
        fcntl(pty_.Master(), F_SETFL, O_NONBLOCK);  // a full line never holds the gateway
        std::string pending;
        for (bool talking = false; !stop_;) {
            char buf[512];
            pollfd p{pty_.Master(), POLLIN, 0};
            ssize_t n = poll(&p, 1, talking ? static_cast<int>(pace_.count()) : 20) > 0 ? read(p.fd, buf, sizeof buf) : 0;
            pending.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
            for (std::size_t end; (end = pending.find("\r\n")) != std::string::npos; pending.erase(0, end + 2)) {
                std::size_t start = pending.find_first_not_of('\n');  // the padding of the burst before
                pty_.Write(answer_(pending.substr(start, end - start)));
                talking = !talk_.empty();
            }
            if (talking) (void)!write(p.fd, talk_.data(), talk_.size());
        }
    }

    TestPty pty_;
    Answer answer_;
    std::string talk_;
    Millis pace_;
    std::atomic<bool> stop_{false};
    std::thread thread_;  // last: it starts once the rest is made
};

struct ToolRun {
    int status;
    std::string out, err;
};

// build/lirnctl on the gateway's port, after `prefix` (a wrapper such as timeout).
ToolRun Tool(const FakeGateway& gw, const TempDir& dir, const std::string& args, const std::string& prefix = "timeout 60")
{
    ShellResult r = RunShell(prefix + " " + LIRN_BUILD_DIR "/lirnctl -p " + gw.Path() + " " + args + " 2>" +
                             dir.Path("err") + " </dev/null");
    return {r.status, r.output, dir.ReadFile("err")};
}

TEST(LirnctlFaults, NoiseAndEscapesFromTheGateway)
{
    TempDir dir;
    FakeGateway gw([](const std::string& line) {
        if (line == "@APN") return std::string("!QRV-715M;APN;OK;\x1b[2J\xff\xc2\x9b\r\n");
        return std::string(line == "@LOGFILE" ? "2026;12;06\r\n2026;12;\x1b[31m\r\n" : "\x80\xfe\r\n");
    });
    // Noise for a reply: still one JSON document, with the error.
    ToolRun r = Tool(gw, dir, "--json status");
    EXPECT_EQ(r.status, 2) << r.err;
    nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_EQ(doc.value("status", -1), 2) << r.out;
    EXPECT_EQ(doc["error"]["reply"], "\\x80\\xfe\\r\\n");
    // Escape sequences in a value or a listing line are not passed to the terminal.
    EXPECT_EQ(Tool(gw, dir, "get apn").out, "\\x1b[2J\\xff\\xc2\\x9b\n");
    doc = nlohmann::json::parse(Tool(gw, dir, "--json get apn").out, nullptr, false);
    EXPECT_EQ(doc.value("settings", nlohmann::json())["APN"], "\x1b[2J\xef\xbf\xbd\xc2\x9b");
    EXPECT_EQ(Tool(gw, dir, "logs list").out, "2026-12-06\n2026;12;\\x1b[31m  (not a day file name)\n");
}

TEST(LirnctlFaults, AValueTheGatewayCutsIsPutBack)
{
    TempDir dir;
    std::string apn = "old";  // a firmware that keeps five characters of it, and says OK
    FakeGateway gw([&apn](const std::string& line) {
        if (line.rfind("@APN;", 0) == 0) apn = line.substr(5, 5);
        return line == "@APN" ? "!QRV-715M;APN;OK;" + apn + "\r\n" : std::string("!QRV-715M;APN;OK\r\n");
    });
    ToolRun r = Tool(gw, dir, "set apn=longer --save");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("APN=longer: the gateway took it as \"longe\" (its earlier value was put back)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Tool(gw, dir, "get apn").out, "old\n");
}

const FakeGateway::Answer kNothing = [](const std::string&) { return std::string(); };

TEST(LirnctlFaults, EndlessDayFileEndsAtItsCapsAndLeavesNoFile)
{
    TempDir dir;
    const std::string get = "logs get 2026-12-06 -o " + dir.Path("day.txt");
    {
        FakeGateway fast(kNothing, std::string(4096, 'x'));
        ToolRun r = Tool(fast, dir, get + " --max-bytes 100K");
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("the reply did not end within 102400 bytes"), std::string::npos) << r.err;
    }
    FakeGateway slow(kNothing, "never quiet\r\n", Millis(100));
    ToolRun r = Tool(slow, dir, get + " --max-time 2");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("the reply did not end within 2 s"), std::string::npos) << r.err;
    // Ended by a signal half-way: still no file (timeout's 124 says lirnctl was still running).
    EXPECT_EQ(Tool(slow, dir, get, "timeout -s TERM 1").status, 124);
    EXPECT_FALSE(dir.Exists("day.txt.part"));
    EXPECT_FALSE(dir.Exists("day.txt"));
}

TEST(LirnctlDocs, ManPageAndCompletionKnowEveryCommandAndSetting)
{
    // The words the completion offers after a command line whose last word is being completed.
    auto completions = [](const std::string& line) {
        std::istringstream words(RunShell("bash -c 'source " LIRN_BUILD_DIR "/lirnctl.bash; COMP_WORDS=(" + line +
                                          "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _lirnctl; echo ${COMPREPLY[*]}'")
                                     .output);
        return std::set<std::string>{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    };
    // Whether a bold line of the man page (.B, .BI, .BR) names `name` as words of its own.
    std::string man = ReadWholeFile(LIRN_BUILD_DIR "/lirnctl.1");
    auto documented = [&man](const std::string& name) {
        std::istringstream lines(man);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(".B", 0) == 0 && (std::erase(line, '"'), line + " ").find(" " + name + " ") != std::string::npos)
                return true;
        return false;
    };
    ShellResult lint = RunShell("groff -man -ww -z " LIRN_BUILD_DIR "/lirnctl.1 2>&1");
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.output, "");
    std::set<std::string> keys = {"--help"}, commands = completions("lirnctl \"\"");
    for (const lirnctl::Setting& s : lirnctl::Settings()) {
        EXPECT_TRUE(documented(s.key)) << s.key;
        std::string key = s.key;
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        keys.insert(key);
    }
    EXPECT_EQ(completions("lirnctl -p /dev/ttyS0 get \"\""), keys);
    for (const lirnctl::Command& c : lirnctl::Commands()) {
        std::string path = c.path;
        EXPECT_TRUE(documented(path)) << path;
        EXPECT_EQ(commands.count(path.substr(0, path.find(' '))), 1u) << path;
    }
}

}  // namespace
