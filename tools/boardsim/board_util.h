// Small helpers shared by the parts of the simulated board: its message line, files, words.
//
// The board's own messages go to standard error with the prefix "boardsim: ", so that the
// firmware's standard output, which the board forwards unchanged, stays exactly the firmware's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// One message line of the board on standard error, printf-style.
void BoardLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes all of text to a blocking descriptor. False on an error.
bool WriteAll(int fd, const std::string& text);

// mkdir -p. Returns false when the directory cannot be made.
bool MakeDirs(const std::string& path);

// Writes a whole file (created or truncated) with the given permission bits. False on failure.
bool WriteTextFile(const std::string& path, const std::string& text, mode_t mode = 0644);

// Writes a whole file through a temporary beside it and a rename, so a reader never sees it half
// written.
bool ReplaceTextFile(const std::string& path, const std::string& text, mode_t mode = 0644);

// The whole content of a file, or nothing when it cannot be read.
std::optional<std::string> ReadTextFile(const std::string& path);

// The text up to the first NUL, CR or LF: how sysfs attribute files read when the firmware
// overwrites them with shorter texts that carry their terminating NUL.
std::string AttributeText(const std::string& content);

// Splits a request line into words at blanks and tabs.
std::vector<std::string> SplitWords(const std::string& line);

// A whole word as an integer (decimal, or hexadecimal with 0x); nothing when it is not one.
std::optional<long long> ParseNumber(const std::string& word);

// Quotes a text as one shell word ('...').
std::string ShellWord(const std::string& text);

// Calendar time of the board's clock: seconds of broken-down local time counted as if it were
// UTC, so that no time zone rule ever shifts what the clock registers show.
std::string FormatCalendar(int64_t calendarSeconds);          // "YYYY-MM-DD HH:MM:SS"
std::optional<int64_t> ParseCalendar(const std::string& text);  // the same form, checked
int64_t HostLocalCalendarNow();

// What a process has used so far, from /proc: user and system time in milliseconds and resident
// memory in kB; -1 when the process is not there.
struct ProcessUsage {
    long long cpuMs = -1;
    long rssKb = -1;
};
ProcessUsage ReadProcessUsage(pid_t pid);
