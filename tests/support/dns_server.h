// A DNS server of one test: Debian's dnsmasq, on port 53 of a loopback address of its own
// (127.77.x.y, chosen at random, another tried when it is taken), answering for the names it is
// given and nothing else (no upstream, no hosts file). Name servers are named by address alone
// (resolv.conf, the data call's settings), so port 53 it must be: the tests run as root.
#pragma once

#include "temp_dir.h"

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

class DnsServer {
public:
    // records: (name, IPv4 address) pairs; other names under lirn.test answer "no such name".
    explicit DnsServer(const std::vector<std::pair<std::string, std::string>>& records);
    ~DnsServer();
    DnsServer(const DnsServer&) = delete;
    DnsServer& operator=(const DnsServer&) = delete;

    // Starts dnsmasq and waits until it serves. False when it could not.
    bool Start();
    const std::string& Address() const { return address_; }
    std::string Log() const { return dir_.ReadFile("dnsmasq.log"); }

private:
    void Stop();

    TempDir dir_{"lirn-dns"};
    std::vector<std::pair<std::string, std::string>> records_;
    std::string address_;
    pid_t pid_ = -1;
};
