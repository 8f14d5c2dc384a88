// Faults of the board's sysroot (see board_faults.h, CONTROL.md).
#include "board_faults.h"

#include "board_util.h"
#include "sim_device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The trees whose day files a full card refuses, and the names the firmware saves APP's files
// through (each file is written beside its target, then renamed over it).
const char* const kTranscriptTrees[] = {"AT_CMD_LOG", "QMI_LOG", "USR_LOG"};
const char* const kAppSaveNames[] = {"APP/config.ini.tmp", "APP/log.ini.tmp"};

constexpr char kCardDir[] = "media/card";
constexpr char kCardAside[] = "board/card-out";
constexpr char kKeptSuffix[] = ".kept";  // a day file's content while the card is full

// media/card/TREE/YYYY/MM/DD.txt of today, host local time (the firmware's clock too).
std::string TodayFile(const std::string& tree)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y/%m/%d", &local);
    return std::string(kCardDir) + "/" + tree + "/" + date + ".txt";
}

std::string Parent(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

}  // namespace

BoardFaults::BoardFaults(const std::string& root) : root_(root) {}

BoardFaults::~BoardFaults()
{
    SetCardFull(false);
    SetAppWritable(true);
    if (inotify_ >= 0) close(inotify_);
}

bool BoardFaults::PlaceNodePlaceholder(const std::string& path)
{
    std::string full = root_ + "/" + path;
    if (!WriteTextFile(full, "")) return false;
    if (inotify_ < 0) inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    int wd = inotify_ < 0 ? -1 : inotify_add_watch(inotify_, full.c_str(), IN_OPEN);
    if (wd < 0) {
        BoardLog("cannot count the opens of %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    watches_[path] = wd;
    opens_[path].clear();
    return true;
}

void BoardFaults::ForgetNodePlaceholder(const std::string& path)
{
    auto it = watches_.find(path);
    if (it == watches_.end()) return;
    TakeEvents();  // the opens so far still count
    inotify_rm_watch(inotify_, it->second);
    watches_.erase(it);
    unlink((root_ + "/" + path).c_str());
    if (watches_.empty()) {
        close(inotify_);
        inotify_ = -1;
    }
}

std::vector<int64_t> BoardFaults::NodeOpens(const std::string& path) const
{
    auto it = opens_.find(path);
    return it == opens_.end() ? std::vector<int64_t>{} : it->second;
}

void BoardFaults::TakeEvents()
{
    if (inotify_ < 0) return;
    alignas(struct inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(inotify_, buf, sizeof buf)) > 0) {
        int64_t now = BoardNowMs();
        for (char* p = buf; p < buf + n;) {
            const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(p);
            for (const auto& [path, wd] : watches_)
                if (wd == e->wd && (e->mask & IN_OPEN)) opens_[path].push_back(now);
            p += sizeof(struct inotify_event) + e->len;
        }
    }
}

bool BoardFaults::RemoveCard()
{
    if (cardRemoved_) return true;
    std::string card = root_ + "/" + kCardDir;
    if (rename(card.c_str(), (root_ + "/" + kCardAside).c_str()) != 0) return false;
    // A file where the directory was: nothing can be made or written under it.
    cardRemoved_ = WriteTextFile(card, "");
    return cardRemoved_;
}

bool BoardFaults::InsertCard()
{
    if (!cardRemoved_) return true;
    std::string card = root_ + "/" + kCardDir;
    unlink(card.c_str());
    if (rename((root_ + "/" + kCardAside).c_str(), card.c_str()) != 0) return false;
    cardRemoved_ = false;
    return true;
}

bool BoardFaults::SetCardFull(bool full)
{
    if (!full) {
        for (const std::string& f : fullFiles_) {
            unlink(f.c_str());
            rename((f + kKeptSuffix).c_str(), f.c_str());  // nothing to put back when it was new
        }
        fullFiles_.clear();
        return true;
    }
    if (CardFull() || cardRemoved_) return CardFull();
    for (const char* tree : kTranscriptTrees) {
        std::string f = root_ + "/" + TodayFile(tree);
        if (!MakeDirs(Parent(f))) return false;
        rename(f.c_str(), (f + kKeptSuffix).c_str());
        if (symlink("/dev/full", f.c_str()) != 0) return false;
        fullFiles_.push_back(f);
    }
    return true;
}

bool BoardFaults::SetAppWritable(bool writable)
{
    for (const char* name : kAppSaveNames) {
        std::string dir = root_ + "/" + name;
        if (writable)
            rmdir(dir.c_str());
        else if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    appWritable_ = writable;
    return true;
}
