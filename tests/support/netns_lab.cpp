// The lab of network namespaces for tests of failing paths (see netns_lab.h, tools/netlab).
#include "netns_lab.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr char kPrefix[] = "lirnlab-";  // labs are lirnlab-<pid>-<n>

std::string Shell(const std::string& args)
{
    return std::string(LIRN_NETLAB " ") + args + " 2>&1";
}

}  // namespace

std::string NetLab::Unavailable()
{
    FILE* p = popen(Shell("check").c_str(), "r");
    if (p == nullptr) return "cannot run " LIRN_NETLAB;
    char why[200] = "";
    if (std::fgets(why, sizeof why, p) == nullptr) why[0] = '\0';
    int status = pclose(p);
    std::string text(why);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return status == 0 ? "" : text.empty() ? "tools/netlab check failed" : text;
}

NetLab::NetLab()
{
    static int labs = 0;
    std::system(Shell(std::string("sweep ") + kPrefix).c_str());
    name_ = kPrefix + std::to_string(getpid()) + "-" + std::to_string(labs++);
    ok_ = Run("up");
}

NetLab::~NetLab()
{
    Run("down");
}

bool NetLab::Run(const std::string& command, const std::string& more) const
{
    return std::system(Shell(command + " " + name_ + more).c_str()) == 0;
}

std::string NetLab::GatewayNamespace() const
{
    return "/var/run/netns/" + name_ + "-gw";
}

bool NetLab::Inside(const std::string& name, const std::function<void()>& fn)
{
    bool entered = false;
    std::thread t([&] {
        int fd = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) close(fd);
        if (entered) fn();
    });
    t.join();
    return entered;
}

int NetLab::ListenInPeer(int port) const
{
    int fd = -1;
    InPeer([&] {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, kPeerAddress, &a.sin_addr);
        if (fd >= 0 && (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0)) {
            close(fd);
            fd = -1;
        }
    });
    return fd;
}
