// Command stand-ins of the simulated board (see stand_ins.h).
#include "stand_ins.h"

#include "board_util.h"

#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The host's own program of a name, found on PATH outside the sysroot's bin.
std::string RealCommand(const std::string& name, const std::string& standInDir)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t i = 0; i <= dirs.size();) {
        std::size_t end = dirs.find(':', i);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(i, end - i);
        i = end + 1;
        if (dir.empty() || dir == standInDir) continue;
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "/bin/" + name;
}

std::string DateScript(const std::string& real, const std::string& record)
{
    return "#!/bin/sh\n"
           "# Simulated board: \"date -s TIME\" is recorded for the board and shown as the real command\n"
           "# shows it; the host clock is never set. Anything else is the real date.\n"
           "real=" + ShellWord(real) + "\n"
           "case $1 in\n"
           "-s|--set) [ $# -ge 2 ] || exec \"$real\" \"$@\"; t=$2 ;;\n"
           "--set=*) t=${1#--set=} ;;\n"
           "*) exec \"$real\" \"$@\" ;;\n"
           "esac\n"
           "# One line per setting, even for a time with line ends in it.\n"
           "printf '%s\\n' \"$(printf '%s' \"$t\" | tr '\\n' ' ')\" >> " + ShellWord(record) + "\n"
           "exec \"$real\" -d \"$t\"\n";
}

std::string InitScript(const std::string& fifo)
{
    return "#!/bin/sh\n"
           "# Simulated board: \"init 6\" asks the board to reboot the module.\n"
           "if [ $# -eq 1 ] && [ \"$1\" = 6 ]; then\n"
           "    printf 'reboot\\n' > " + ShellWord(fifo) + "\n"
           "    exit 0\n"
           "fi\n"
           "echo 'init: only \"init 6\" (reboot) is simulated on this board' >&2\n"
           "exit 1\n";
}

std::string DfScript(const std::string& real, const std::string& card, const std::string& state)
{
    return "#!/bin/sh\n"
           "# Simulated board: while the card is in, its mount point reports the card's sizes.\n"
           "real=" + ShellWord(real) + "\n"
           "card=" + ShellWord(card) + "\n"
           "state=" + ShellWord(state) + "\n"
           "[ -f \"$state\" ] || exec \"$real\" \"$@\"\n"
           "match=\n"
           "for a in \"$@\"; do\n"
           "    case $a in\n"
           "    -*) ;;\n"
           "    \"$card\"|\"$card\"/*) match=1 ;;\n"
           "    *) exec \"$real\" \"$@\" ;;\n"
           "    esac\n"
           "done\n"
           "[ -n \"$match\" ] || exec \"$real\" \"$@\"\n"
           "read -r size used avail use < \"$state\"\n"
           "printf 'Filesystem      Size  Used Avail Use%% Mounted on\\n'\n"
           "printf '/dev/mmcblk0p1  %4s  %4s  %4s %4s %s\\n' \"$size\" \"$used\" \"$avail\" \"$use\" \"$card\"\n";
}

}  // namespace

std::optional<CardSizes> ParseCardSizes(const std::vector<std::string>& fields)
{
    if (fields.size() != 4) return std::nullopt;
    for (const std::string& f : fields)
        if (f.empty() || f.find_first_of(" \t\r\n,") != std::string::npos) return std::nullopt;
    return CardSizes{fields[0], fields[1], fields[2], fields[3]};
}

StandIns::StandIns(const std::string& root)
    : cardFile_(root + "/board/card"), dateFile_(root + "/board/date-set"), initFifo_(root + "/board/init")
{
    std::string bin = root + "/bin";
    if (!MakeDirs(bin) || !MakeDirs(root + "/board")) throw std::runtime_error("cannot make " + bin);
    bool ok = WriteTextFile(bin + "/date", DateScript(RealCommand("date", bin), dateFile_), 0755) &&
              WriteTextFile(bin + "/init", InitScript(initFifo_), 0755) &&
              WriteTextFile(bin + "/df", DfScript(RealCommand("df", bin), root + "/media/card", cardFile_), 0755);
    if (!ok) throw std::runtime_error("cannot write the stand-ins in " + bin);
    unlink(initFifo_.c_str());
    if (mkfifo(initFifo_.c_str(), 0600) != 0) throw std::runtime_error("cannot make " + initFifo_);
    // Read and write, so that the FIFO never reads as ended and "init 6" never waits for a reader.
    initFd_ = open(initFifo_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (initFd_ < 0) throw std::runtime_error("cannot open " + initFifo_);
}

StandIns::~StandIns()
{
    // Without the board nobody reads the FIFO; a late "init 6" must fail, not hang.
    unlink(initFifo_.c_str());
    if (initFd_ >= 0) close(initFd_);
}

void StandIns::SetCard(const std::optional<CardSizes>& card)
{
    if (!card) {
        unlink(cardFile_.c_str());
        return;
    }
    ReplaceTextFile(cardFile_, card->size + " " + card->used + " " + card->avail + " " + card->usePercent + "\n");
}

std::optional<CardSizes> StandIns::Card() const
{
    std::optional<std::string> text = ReadTextFile(cardFile_);
    if (!text) return std::nullopt;
    return ParseCardSizes(SplitWords(*text));
}

std::vector<std::string> StandIns::DateSettings() const
{
    std::vector<std::string> times;
    std::optional<std::string> text = ReadTextFile(dateFile_);
    if (!text) return times;
    std::size_t i = 0;
    while (i < text->size()) {
        std::size_t end = text->find('\n', i);
        if (end == std::string::npos) break;  // a record still being written
        times.push_back(text->substr(i, end - i));
        i = end + 1;
    }
    return times;
}

int StandIns::TakeInitRequests()
{
    char buf[256];
    ssize_t n;
    while ((n = read(initFd_, buf, sizeof buf)) > 0) pending_.append(buf, static_cast<std::size_t>(n));
    int reboots = 0;
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
        if (pending_.compare(0, end, "reboot") == 0) ++reboots;
        pending_.erase(0, end + 1);
    }
    return reboots;
}
