// Network namespaces for the tests of failing paths (see netns_lab.h).
#include "netns_lab.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr char kNetnsDir[] = "/var/run/netns/";
constexpr char kNamePrefix[] = "lirnlab-";
constexpr int kBlackholePref = 100;  // the router's rule that drops everything

// Runs `ip` with the arguments; true when it succeeded. Its messages go to the test's log.
bool Ip(const std::string& args)
{
    return std::system(("ip " + args + " 2>&1").c_str()) == 0;
}

// Namespaces left by labs of test processes that are gone ("lirnlab-<pid>-...").
void RemoveStaleNamespaces()
{
    DIR* d = opendir(kNetnsDir);
    if (d == nullptr) return;
    for (dirent* e; (e = readdir(d)) != nullptr;) {
        std::string name = e->d_name;
        if (name.rfind(kNamePrefix, 0) != 0) continue;
        pid_t owner = static_cast<pid_t>(std::atoi(name.c_str() + sizeof kNamePrefix - 1));
        if (owner > 0 && (kill(owner, 0) == 0 || errno != ESRCH)) continue;
        Ip("netns del " + name);
    }
    closedir(d);
}

}  // namespace

std::string NetLab::Unavailable()
{
    if (std::system("command -v ip >/dev/null 2>&1") != 0) return "no ip command (iproute2) on this machine";
    std::string probe = std::string(kNamePrefix) + std::to_string(getpid()) + "-probe";
    if (!Ip("netns add " + probe + " >/dev/null")) return "cannot make network namespaces here (needs root)";
    bool veth = Ip("-n " + probe + " link add name va type veth peer name vb >/dev/null");
    Ip("netns del " + probe);
    return veth ? "" : "cannot make veth links in a network namespace";
}

std::string NetLab::NamespacePath(const std::string& name)
{
    return kNetnsDir + name;
}

NetLab::NetLab()
{
    static int labs = 0;
    RemoveStaleNamespaces();
    prefix_ = kNamePrefix + std::to_string(getpid()) + "-" + std::to_string(labs++) + "-";
    gateway_ = prefix_ + "gw";
    router_ = prefix_ + "rt";
    std::string gw = "-n " + gateway_ + " ", rt = "-n " + router_ + " ";
    ok_ = Ip("netns add " + gateway_) && Ip("netns add " + router_) && Ip(gw + "link set lo up") &&
          Ip(rt + "link set lo up") &&
          Ip(gw + "link add name gw0 type veth peer name rt0 netns " + router_) &&
          Ip(gw + "addr add " + kGatewayAddress + "/24 dev gw0") && Ip(gw + "link set gw0 up") &&
          Ip(gw + "route add default via 10.200.1.1") && Ip(rt + "addr add 10.200.1.1/24 dev rt0") &&
          Ip(rt + "link set rt0 up") &&
          Ip("netns exec " + router_ + " sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'") && MakePeer();
}

NetLab::~NetLab()
{
    StopPeerProcesses();
    for (const std::string& name : {peer_, router_, gateway_})
        if (!name.empty()) Ip("netns del " + name);
}

bool NetLab::MakePeer()
{
    peer_ = prefix_ + "pe" + std::to_string(peers_++);
    std::string pe = "-n " + peer_ + " ", rt = "-n " + router_ + " ";
    return Ip("netns add " + peer_) && Ip(pe + "link set lo up") &&
           Ip(pe + "link add name pe0 type veth peer name rt1 netns " + router_) &&
           Ip(pe + "addr add " + std::string(kPeerAddress) + "/24 dev pe0") && Ip(pe + "link set pe0 up") &&
           Ip(pe + "route add default via 10.200.2.1") && Ip(rt + "addr add 10.200.2.1/24 dev rt1") &&
           Ip(rt + "link set rt1 up");
}

bool NetLab::Inside(const std::string& name, const std::function<void()>& fn)
{
    bool entered = false;
    std::thread t([&] {
        int fd = open(NamespacePath(name).c_str(), O_RDONLY | O_CLOEXEC);
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

int NetLab::StartInPeer(const std::string& command)
{
    std::string ns = NamespacePath(peer_);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(126);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid > 0) started_.push_back(pid);
    return pid;
}

void NetLab::StopPeerProcesses()
{
    for (int pid : started_) {
        kill(-pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    started_.clear();
}

bool NetLab::Blackhole(bool on)
{
    std::string rule = "-n " + router_ + " rule " + (on ? "add" : "del") + " pref " + std::to_string(kBlackholePref);
    return Ip(rule + (on ? " blackhole" : ""));
}

bool NetLab::VanishPeer()
{
    StopPeerProcesses();
    // Removing the router's end removes the pair: whatever still lives in the old namespace (a
    // closed socket retrying its FIN) is cut off before the namespace goes.
    bool gone = Ip("-n " + router_ + " link del rt1") && Ip("netns del " + peer_);
    peer_.clear();
    return gone;
}

bool NetLab::NewPeer()
{
    return MakePeer();
}
