// Helpers for tests that run the firmware's QMI code in-process against the board's QMI modem on a
// real pty: a temporary sysroot, the modem served on its dev/cdc-wdm0, a capture of standard
// output, and waiting on a condition with a deadline.
#pragma once

#include "platform/sysroot.h"
#include "qmi_modem.h"
#include "sim_device.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

// A fresh directory, removed with everything in it at the end.
class QmiTempDir {
public:
    QmiTempDir()
    {
        char tmpl[] = "/tmp/lirn-qmi-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~QmiTempDir() { std::filesystem::remove_all(path_); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline std::vector<std::string> QmiWords(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The board's QMI modem served on a pty linked at a path.
class QmiModemOnPty {
public:
    explicit QmiModemOnPty(const std::string& linkPath) : pty_(modem_, linkPath) { pty_.Start(); }
    // A control line as the board's channel would pass it (without the "qmi" prefix).
    std::string Ctl(const std::string& line) { return pty_.Control(QmiWords(line)); }
    const std::string& SlavePath() const { return pty_.SlavePath(); }

private:
    QmiModem modem_;
    DevicePty pty_;
};

// The value of "key=value" in a reply line ("" when absent).
inline std::string QmiField(const std::string& reply, const std::string& key)
{
    for (const std::string& w : QmiWords(reply))
        if (w.compare(0, key.size() + 1, key + "=") == 0) return w.substr(key.size() + 1);
    return "";
}

inline bool QmiWaitFor(const std::function<bool()>& cond, int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

inline long long QmiElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

// Standard output goes to a file while the capture lives; Text() reads what was printed so far.
class QmiStdoutCapture {
public:
    explicit QmiStdoutCapture(const std::string& dir) : path_(dir + "/stdout.txt")
    {
        std::fflush(stdout);
        saved_ = dup(1);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (saved_ < 0 || fd < 0) throw std::runtime_error("cannot capture stdout");
        dup2(fd, 1);
        close(fd);
    }
    ~QmiStdoutCapture() { Restore(); }
    std::string Text()
    {
        std::fflush(stdout);
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void Restore()
    {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }

private:
    std::string path_;
    int saved_ = -1;
};
