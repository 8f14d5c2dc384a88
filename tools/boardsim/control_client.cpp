// Control channel client (see control_client.h).
#include "control_client.h"

#include "board_util.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

std::optional<std::string> ControlRequest(const std::string& socketPath, const std::string& line, int timeoutMs)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) return std::nullopt;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return std::nullopt;
    }
    std::string request = line + "\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return std::nullopt;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string reply;
    for (;;) {
        std::size_t end = reply.find('\n');
        if (end != std::string::npos) {
            close(fd);
            return reply.substr(0, end);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        struct pollfd pfd = {fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return std::nullopt;
}

std::string ControlField(const std::string& reply, const std::string& key)
{
    for (const std::string& w : SplitWords(reply))
        if (w.size() > key.size() && w.compare(0, key.size(), key) == 0 && w[key.size()] == '=')
            return w.substr(key.size() + 1);
    return "";
}
