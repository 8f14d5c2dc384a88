// dnsmasq for the resolver's end-to-end tests: see dns_server.h.
#include "dns_server.h"

#include "wait_until.h"

#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

DnsServer::DnsServer(const std::vector<std::pair<std::string, std::string>>& records) : records_(records) {}

DnsServer::~DnsServer()
{
    Stop();
}

bool DnsServer::Start()
{
    std::random_device seed;
    std::mt19937 pick(seed());
    for (int attempt = 0; attempt < 5; ++attempt) {
        address_ = "127.77." + std::to_string(pick() % 250 + 1) + "." + std::to_string(pick() % 250 + 1);
        std::vector<std::string> args = {"dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                                         "--no-hosts", "--bind-interfaces", "--listen-address=" + address_,
                                         "--port=53", "--pid-file=", "--local=/lirn.test/", "--log-queries",
                                         "--log-facility=-"};
        for (const auto& [name, addr] : records_) args.push_back("--host-record=" + name + "," + addr);
        std::string log = dir_.Path("dnsmasq.log");
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("dnsmasq", argv.data());
            _exit(127);
        }
        // dnsmasq says "started" once its socket is bound; it exits when the address is taken.
        bool exited = false;
        auto started = [&] { return Log().find("started") != std::string::npos; };
        WaitUntil([&] { return started() || (exited = waitpid(pid_, nullptr, WNOHANG) == pid_); }, Millis(5000));
        if (!exited && started()) return true;
        if (exited) pid_ = -1;
        Stop();
    }
    return false;
}

void DnsServer::Stop()
{
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}
