// Helpers of the simulated board (see board_util.h).
#include "board_util.h"

#include "platform/shell.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Keeps the lines of several board threads whole on standard error.
std::mutex gLogLock;

}  // namespace

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void BoardLog(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(gLogLock);
    std::fprintf(stderr, "boardsim: %s\n", line);
    std::fflush(stderr);
}

bool MakeDirs(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

bool WriteTextFile(const std::string& path, const std::string& text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, text);
    ok = close(fd) == 0 && ok;
    // The umask may have taken bits away; scripts must stay executable.
    return ok && chmod(path.c_str(), mode) == 0;
}

bool ReplaceTextFile(const std::string& path, const std::string& text, mode_t mode)
{
    std::string temp = path + ".new";
    if (!WriteTextFile(temp, text, mode)) return false;
    if (rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> ReadTextFile(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

std::string AttributeText(const std::string& content)
{
    return content.substr(0, content.find_first_of(std::string("\0\r\n", 3)));
}

std::vector<std::string> SplitWords(const std::string& line)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        std::size_t start = line.find_first_not_of(" \t\r\n", i);
        if (start == std::string::npos) break;
        std::size_t end = line.find_first_of(" \t\r\n", start);
        if (end == std::string::npos) end = line.size();
        words.push_back(line.substr(start, end - start));
        i = end;
    }
    return words;
}

std::optional<long long> ParseNumber(const std::string& word)
{
    if (word.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(word.c_str(), &end, 0);
    if (errno != 0 || end == word.c_str() || *end != '\0') return std::nullopt;
    return v;
}

std::string ShellWord(const std::string& text)
{
    // Room for every character as the four of an escaped quote, the two quotes and the NUL.
    std::string out(4 * text.size() + 3, '\0');
    ShellQuote(out.data(), out.size(), text.c_str());
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::string FormatCalendar(int64_t calendarSeconds)
{
    time_t t = static_cast<time_t>(calendarSeconds);
    struct tm tm;
    gmtime_r(&t, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::optional<int64_t> ParseCalendar(const std::string& text)
{
    struct tm tm = {};
    char tail = 0;
    int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec, &tail);
    if (n != 6) return std::nullopt;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour < 0 || tm.tm_hour > 23 ||
        tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_sec < 0 || tm.tm_sec > 59)
        return std::nullopt;
    int day = tm.tm_mday;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    time_t t = timegm(&tm);
    // timegm rolls 31 February over into March; such a date is not a date.
    if (tm.tm_mday != day) return std::nullopt;
    return static_cast<int64_t>(t);
}

int64_t HostLocalCalendarNow()
{
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    return static_cast<int64_t>(timegm(&tm));
}

ProcessUsage ReadProcessUsage(pid_t pid)
{
    ProcessUsage u;
    std::string proc = "/proc/" + std::to_string(pid);
    std::optional<std::string> stat = ReadTextFile(proc + "/stat");
    std::optional<std::string> status = ReadTextFile(proc + "/status");
    if (!stat || !status || stat->rfind(')') == std::string::npos) return u;
    // Fields after the command's closing parenthesis start with the third, the state; utime and
    // stime are the 14th and 15th.
    std::vector<std::string> f = SplitWords(stat->substr(stat->rfind(')') + 1));
    std::size_t rss = status->find("VmRSS:");
    if (f.size() < 13 || rss == std::string::npos) return u;
    u.cpuMs = (std::stoll(f[11]) + std::stoll(f[12])) * 1000 / sysconf(_SC_CLK_TCK);
    u.rssKb = std::atol(status->c_str() + rss + 6);
    return u;
}
