// The board's GPIO lines as sysfs shows them: sys/class/gpio with export emulation.
//
// Writing a line number to "export" (a FIFO here, read by a thread that blocks on it, so the line
// appears well within the millisecond the firmware waits before it looks) makes gpioN/ appear with
// its "direction", "active_low" and "value" files, prepared aside and renamed into place whole.
//
// The INIT pin (GPIO 5) is modelled physically: a pin level chosen by the scenario, and the line's
// active_low, give the value file's content ("1" while the level is low and active_low is 1); the
// content is recomputed whenever the firmware writes active_low or the scenario changes the level.
// "Missing" means the line has no value file at all.
//
// Observed lines (the LEDs) have every change of their value recorded with its board time
// (BoardNowMs), from a watch on the line's directory (dir_watch.h), so that tests can measure blink
// phases.
#pragma once

#include "board_loop.h"
#include "dir_watch.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <vector>

enum class PinLevel { Low, High, Missing };

const char* PinLevelName(PinLevel level);
std::optional<PinLevel> ParsePinLevel(const std::string& word);

// The value a line's file shows for a pin level under active_low: 1 when asserted.
int LogicalValue(PinLevel level, bool activeLow);

struct GpioLine {
    std::string direction;
    std::string activeLow;
    std::optional<std::string> value;  // nothing when the line has no value file
};

struct LevelChange {
    int64_t atMs;  // BoardNowMs
    int level;
};

// A mutex that lends its waiter's priority to its holder: the real-time export thread then never
// waits behind an ordinary thread the scheduler has set aside while it held the lock.
class InheritingMutex {
public:
    InheritingMutex();
    ~InheritingMutex() { pthread_mutex_destroy(&m_); }
    InheritingMutex(const InheritingMutex&) = delete;
    InheritingMutex& operator=(const InheritingMutex&) = delete;
    void lock() { pthread_mutex_lock(&m_); }
    void unlock() { pthread_mutex_unlock(&m_); }

private:
    pthread_mutex_t m_;
};

class GpioBank {
public:
    static constexpr int kInitPin = 5;

    // Rebuilds the gpio tree in dir (old gpioN directories are removed). The directories of the
    // given lines are prepared in staging (on the same file system, outside the tree), so that
    // their export is instant; other lines are built when asked for. With preExported, the lines
    // are there before the firmware starts, as after an earlier run on the module.
    GpioBank(const std::string& dir, const std::string& staging, PinLevel init, bool preExported,
             const std::vector<int>& lines, const std::vector<int>& observed);
    ~GpioBank();
    GpioBank(const GpioBank&) = delete;
    GpioBank& operator=(const GpioBank&) = delete;

    void Start();
    void Stop();

    void SetInitLevel(PinLevel level);
    PinLevel InitLevel() const;

    // The files of one line, read now; nothing when the line is not exported.
    std::optional<GpioLine> Line(int gpio) const;
    std::vector<int> Exported() const;

    // Observed lines: the last recorded level (-1 before the line is exported), and the changes.
    int Level(int gpio) const;
    std::vector<LevelChange> History(int gpio, int64_t sinceMs = INT64_MIN) const;

private:
    std::string LinePath(int gpio) const;
    std::string StagePath(int gpio) const;
    bool IsObserved(int gpio) const;
    // Under lock_:
    bool Stage(int gpio);
    void ApplyInitValue(const std::string& lineDir);
    void WriteInitValue();
    // Take lock_ themselves:
    void Export(int gpio);
    void ExportRequests(const char* text, std::size_t size);
    void Observe(int gpio);
    void RunExport();
    void RunWatch();

    std::string dir_;
    std::string staging_;
    std::vector<int> observed_;
    int exportFd_ = -1;
    DirWatch dirs_;
    BoardLoop export_;
    BoardLoop watch_;

    mutable InheritingMutex lock_;
    PinLevel init_;
    std::map<int, int> watchToGpio_;
    std::map<int, std::deque<LevelChange>> history_;
};
