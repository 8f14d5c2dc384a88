// sysfs GPIO of the simulated board: export emulation, the INIT pin, the LED record (see gpio_bank.h).
#include "gpio_bank.h"

#include "board_util.h"
#include "sim_device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <future>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <set>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Level changes kept per observed line: at 20 changes a second, over an hour of blinking.
constexpr std::size_t kHistoryLimit = 100000;
// Highest line number the export accepts.
constexpr int kMaxGpio = 1023;

bool IsLineDir(const std::string& name)
{
    return name.size() > 4 && name.compare(0, 4, "gpio") == 0 &&
           std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

const char* ValueText(int value)
{
    return value ? "1\n" : "0\n";
}

// Overwrites the first bytes of a file in place, as sysfs attribute files behave: a reader that
// opens the file at any moment finds a whole value, never an empty file.
bool OverwriteInPlace(const std::string& path, const char* text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = pwrite(fd, text, std::strlen(text), 0);
    close(fd);
    return n == static_cast<ssize_t>(std::strlen(text));
}

// The firmware looks for the value file 1 ms after its export write; on a busy machine an
// ordinary thread may not even be woken in that time. The export thread therefore asks for the
// lowest real-time priority (it only ever blocks in read and does a few file operations), or
// failing that for the highest ordinary one.
void RaiseExportPriority()
{
    struct sched_param sp = {};
    sp.sched_priority = sched_get_priority_min(SCHED_FIFO);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0) return;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -20);
}

}  // namespace

InheritingMutex::InheritingMutex()
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&m_, &a);
    pthread_mutexattr_destroy(&a);
}

const char* PinLevelName(PinLevel level)
{
    switch (level) {
    case PinLevel::Low: return "low";
    case PinLevel::High: return "high";
    case PinLevel::Missing: return "missing";
    }
    return "?";
}

std::optional<PinLevel> ParsePinLevel(const std::string& word)
{
    for (PinLevel l : {PinLevel::Low, PinLevel::High, PinLevel::Missing})
        if (word == PinLevelName(l)) return l;
    return std::nullopt;
}

int LogicalValue(PinLevel level, bool activeLow)
{
    bool high = level == PinLevel::High;
    return high != activeLow ? 1 : 0;
}

GpioBank::GpioBank(const std::string& dir, const std::string& staging, PinLevel init, bool preExported,
                   const std::vector<int>& lines, const std::vector<int>& observed)
    : dir_(dir), staging_(staging), observed_(observed), init_(init)
{
    std::error_code ec;
    std::filesystem::remove_all(staging, ec);
    if (!MakeDirs(dir) || !MakeDirs(staging)) throw std::runtime_error("cannot make " + dir + " and " + staging);
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        if (IsLineDir(name) || name[0] == '.') std::filesystem::remove_all(entry.path(), ec);
    }
    std::string exportPath = dir + "/export";
    unlink(exportPath.c_str());
    if (mkfifo(exportPath.c_str(), 0666) != 0) throw std::runtime_error("cannot make " + exportPath);
    chmod(exportPath.c_str(), 0666);
    // Read and write: the board itself keeps a writer, so the FIFO never reads as ended between
    // two exports, and the firmware's open for writing never waits.
    exportFd_ = open(exportPath.c_str(), O_RDWR | O_CLOEXEC);
    if (exportFd_ < 0) throw std::runtime_error("cannot set up the gpio export of " + dir);
    {
        std::lock_guard<InheritingMutex> hold(lock_);
        for (int gpio : lines) Stage(gpio);
    }
    if (preExported)
        for (int gpio : lines) Export(gpio);
}

GpioBank::~GpioBank()
{
    Stop();
    // Without the board nobody reads the export FIFO; a firmware left running must not hang on it.
    std::string exportPath = dir_ + "/export";
    unlink(exportPath.c_str());
    std::error_code ec;
    std::filesystem::remove_all(staging_, ec);
    if (exportFd_ >= 0) close(exportFd_);
}

void GpioBank::Start()
{
    // The firmware starts right after this, and its first export must find the thread waiting.
    std::promise<void> ready;
    std::future<void> started = ready.get_future();
    export_.Start([this, &ready] {
        RaiseExportPriority();
        ready.set_value();
        RunExport();
    });
    started.wait();
    watch_.Start([this] {
        dirs_.BindToThisThread();
        RunWatch();
    });
}

void GpioBank::Stop()
{
    export_.Stop();
    watch_.Stop();
}

std::string GpioBank::LinePath(int gpio) const
{
    return dir_ + "/gpio" + std::to_string(gpio);
}

std::string GpioBank::StagePath(int gpio) const
{
    return staging_ + "/gpio" + std::to_string(gpio);
}

bool GpioBank::Stage(int gpio)
{
    // Creating files takes the better part of a millisecond on a disk-backed directory, which is
    // all the time the firmware gives an export. So a line's directory is built beforehand, aside,
    // and the export is one rename: the value file never shows before the others either.
    std::string temp = StagePath(gpio);
    if (access(temp.c_str(), F_OK) == 0) return true;
    if (mkdir(temp.c_str(), 0755) != 0) {
        BoardLog("cannot prepare gpio %d: %s", gpio, std::strerror(errno));
        return false;
    }
    WriteTextFile(temp + "/direction", "in\n", 0666);
    WriteTextFile(temp + "/active_low", "0\n", 0666);
    WriteTextFile(temp + "/value", "0\n", 0666);
    if (gpio == kInitPin) ApplyInitValue(temp);
    if (gpio == kInitPin || IsObserved(gpio)) {
        // The watch follows the directory through the rename, so no write after it is missed.
        int key = dirs_.Add(temp);
        if (key >= 0) watchToGpio_[key] = gpio;
    }
    return true;
}

void GpioBank::Export(int gpio)
{
    // A prepared line is one rename, done before anything that allocates or waits for lock_: an
    // ordinary thread holding the lock may have been set aside by the scheduler for longer than
    // the millisecond the firmware gives an export.
    char staged[PATH_MAX];
    char line[PATH_MAX];
    std::snprintf(staged, sizeof staged, "%s/gpio%d", staging_.c_str(), gpio);
    std::snprintf(line, sizeof line, "%s/gpio%d", dir_.c_str(), gpio);
    bool moved = rename(staged, line) == 0;
    if (moved && !IsObserved(gpio)) return;
    std::lock_guard<InheritingMutex> hold(lock_);
    if (!moved) {
        if (access(line, F_OK) == 0) return;  // exported already
        if (!Stage(gpio)) return;
        if (rename(staged, line) != 0) {
            BoardLog("cannot export gpio %d: %s", gpio, std::strerror(errno));
            return;
        }
    }
    if (IsObserved(gpio)) history_[gpio].push_back({BoardNowMs(), 0});
}

bool GpioBank::IsObserved(int gpio) const
{
    return std::find(observed_.begin(), observed_.end(), gpio) != observed_.end();
}

void GpioBank::ExportRequests(const char* text, std::size_t size)
{
    // A line number is written as its digits, with or without a line end ("echo 5 > export").
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    for (std::size_t i = 0; i < size;) {
        if (!digit(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        int gpio = 0;
        for (; end < size && digit(text[end]); ++end)
            if (end - i < 5) gpio = gpio * 10 + (text[end] - '0');
        if (end - i > 4 || gpio > kMaxGpio)
            BoardLog("export of \"%.*s\" refused: no such line", static_cast<int>(end - i), text + i);
        else
            Export(gpio);
        i = end;
    }
}

void GpioBank::ApplyInitValue(const std::string& lineDir)
{
    std::optional<std::string> activeLow = ReadTextFile(lineDir + "/active_low");
    if (!activeLow) return;  // no such directory
    std::string value = lineDir + "/value";
    if (init_ == PinLevel::Missing) {
        unlink(value.c_str());
        return;
    }
    const char* text = ValueText(LogicalValue(init_, AttributeText(*activeLow) == "1"));
    // Only a change is written: the watch reports the board's own writes to the line too.
    if (ReadTextFile(value) == std::optional<std::string>(text)) return;
    if (!OverwriteInPlace(value, text)) WriteTextFile(value, text, 0666);
}

void GpioBank::WriteInitValue()
{
    // Staged copy first: an export renames it without lock_, and whichever side of the rename
    // the line is on when the second write comes, the level lands in it.
    ApplyInitValue(StagePath(kInitPin));
    ApplyInitValue(LinePath(kInitPin));
}

void GpioBank::SetInitLevel(PinLevel level)
{
    std::lock_guard<InheritingMutex> hold(lock_);
    init_ = level;
    WriteInitValue();
}

PinLevel GpioBank::InitLevel() const
{
    std::lock_guard<InheritingMutex> hold(lock_);
    return init_;
}

std::optional<GpioLine> GpioBank::Line(int gpio) const
{
    std::string path = LinePath(gpio);
    std::optional<std::string> direction = ReadTextFile(path + "/direction");
    std::optional<std::string> activeLow = ReadTextFile(path + "/active_low");
    if (!direction || !activeLow) return std::nullopt;
    GpioLine line{AttributeText(*direction), AttributeText(*activeLow), std::nullopt};
    if (std::optional<std::string> value = ReadTextFile(path + "/value")) line.value = AttributeText(*value);
    return line;
}

std::vector<int> GpioBank::Exported() const
{
    std::vector<int> lines;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
        std::string name = entry.path().filename().string();
        if (IsLineDir(name)) lines.push_back(std::stoi(name.substr(4)));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

int GpioBank::Level(int gpio) const
{
    std::lock_guard<InheritingMutex> hold(lock_);
    auto it = history_.find(gpio);
    return it == history_.end() || it->second.empty() ? -1 : it->second.back().level;
}

std::vector<LevelChange> GpioBank::History(int gpio, int64_t sinceMs) const
{
    std::lock_guard<InheritingMutex> hold(lock_);
    std::vector<LevelChange> out;
    auto it = history_.find(gpio);
    if (it == history_.end()) return out;
    for (const LevelChange& c : it->second)
        if (c.atMs >= sinceMs) out.push_back(c);
    return out;
}

void GpioBank::Observe(int gpio)
{
    std::optional<std::string> value = ReadTextFile(LinePath(gpio) + "/value");
    if (!value || value->empty()) return;
    int level = (*value)[0] == '1' ? 1 : 0;
    int64_t now = BoardNowMs();
    std::lock_guard<InheritingMutex> hold(lock_);
    std::deque<LevelChange>& h = history_[gpio];
    if (!h.empty() && h.back().level == level) return;
    h.push_back({now, level});
    if (h.size() > kHistoryLimit) h.pop_front();
}

void GpioBank::RunExport()
{
    char buf[256];
    while (!export_.Stopping()) {
        struct pollfd pfd[2] = {{exportFd_, POLLIN, 0}, {export_.WakeFd(), POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0 && errno != EINTR) break;
        if (export_.Stopping()) break;
        if (!(pfd[0].revents & POLLIN)) continue;
        ssize_t n = read(exportFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        ExportRequests(buf, static_cast<std::size_t>(n));
    }
}

void GpioBank::RunWatch()
{
    // Writes made before the watch had its thread were not reported: look at every line once.
    std::vector<int> keys;
    {
        std::lock_guard<InheritingMutex> hold(lock_);
        for (const auto& [key, gpio] : watchToGpio_) keys.push_back(key);
    }
    while (!watch_.Stopping()) {
        // A burst of writes is read back once per line: only the level it ends at matters.
        bool initLine = false;
        std::set<int> touched;
        {
            std::lock_guard<InheritingMutex> hold(lock_);
            for (int key : keys) {
                auto it = watchToGpio_.find(key);
                if (it == watchToGpio_.end()) continue;
                if (it->second == kInitPin) initLine = true;
                if (IsObserved(it->second)) touched.insert(it->second);
            }
            // The value follows active_low; writing it only when it differs ends the echo.
            if (initLine) WriteInitValue();
        }
        for (int gpio : touched) Observe(gpio);

        struct pollfd pfd[2] = {{dirs_.Fd(), POLLIN, 0}, {watch_.WakeFd(), POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0 && errno != EINTR) break;
        if (watch_.Stopping()) break;
        keys = dirs_.Take();
    }
}
