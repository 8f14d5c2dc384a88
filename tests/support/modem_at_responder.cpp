// Scripted AT device on a pty, for the modem poll's tests.
#include "modem_at_responder.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

AtResponder::AtResponder(const std::string& sysroot) : pty_(sysroot + "/dev/smd8")
{
    int master = pty_.Master();
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

AtResponder::~AtResponder()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void AtResponder::Answer(const std::string& command, const std::string& body)
{
    std::lock_guard<std::mutex> hold(lock_);
    raw_.erase(command);
    bodies_[command] = body;
}

void AtResponder::AnswerRaw(const std::string& command, const std::string& bytes)
{
    std::lock_guard<std::mutex> hold(lock_);
    bodies_.erase(command);
    raw_[command] = bytes;
}

void AtResponder::Forget(const std::string& command)
{
    std::lock_guard<std::mutex> hold(lock_);
    bodies_.erase(command);
    raw_.erase(command);
}

std::vector<AtResponder::Received> AtResponder::Commands()
{
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
}

std::vector<std::string> AtResponder::CommandTexts()
{
    std::vector<std::string> texts;
    for (const Received& r : Commands()) texts.push_back(r.command);
    return texts;
}

void AtResponder::ClearCommands()
{
    std::lock_guard<std::mutex> hold(lock_);
    received_.clear();
}

int AtResponder::FirmwareOpenCount() const
{
    int count = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (struct dirent* e = readdir(d)) {
        int fd = std::atoi(e->d_name);
        if (e->d_name[0] == '.' || fd == pty_.SlaveKeep() || fd == dirfd(d)) continue;
        char target[256];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (pty_.SlavePath() == target) ++count;
    }
    closedir(d);
    return count;
}

std::string AtResponder::Reply(const std::string& command)
{
    std::lock_guard<std::mutex> hold(lock_);
    received_.push_back({command, std::chrono::steady_clock::now()});
    auto raw = raw_.find(command);
    if (raw != raw_.end()) return raw->second;
    auto body = bodies_.find(command);
    if (body == bodies_.end()) return command + "\r\nERROR\r\n";
    std::string reply = command;
    if (!body->second.empty()) reply += "\r\n" + body->second + "\r\n";
    return reply + "\r\nOK\r\n";
}

void AtResponder::Run()
{
    std::string pending;
    char buf[1024];
    while (!stop_) {
        struct pollfd p = {pty_.Master(), POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        ssize_t n = read(pty_.Master(), buf, sizeof buf);
        if (n <= 0) continue;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string command = pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            std::string reply = Reply(command);
            for (std::size_t done = 0; done < reply.size() && !stop_;) {
                ssize_t w = write(pty_.Master(), reply.data() + done, reply.size() - done);
                if (w > 0) {
                    done += static_cast<std::size_t>(w);
                } else if (errno == EAGAIN || errno == EINTR) {
                    struct pollfd o = {pty_.Master(), POLLOUT, 0};
                    poll(&o, 1, 10);
                } else {
                    break;
                }
            }
        }
    }
}
