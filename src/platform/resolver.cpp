// Name resolution: the hosts file, the resolv.conf servers and one bounded c-ares query.
#include "platform/resolver.h"

#include "platform/sysroot.h"
#include "platform/text.h"

#include <ares.h>
#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <poll.h>
#include <strings.h>

namespace {

constexpr char kHostsFile[] = "/etc/hosts";
constexpr char kResolvConf[] = "/etc/resolv.conf";
constexpr std::size_t kLabelMax = 63;
// One try of a server waits at most this long; a deadline shorter than the tries cuts them.
constexpr int kTryTimeoutMs = 1500;
constexpr int kTries = 2;

bool LabelCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
}

bool DnsName(const char* host, std::size_t len)
{
    if (len == 0 || len > kHostNameMax) return false;
    std::size_t start = 0;
    bool lastAllDigits = true;
    for (std::size_t i = 0; i <= len; ++i) {
        if (i < len && host[i] != '.') {
            if (!LabelCharacter(host[i])) return false;
            continue;
        }
        std::size_t label = i - start;
        if (label == 0 || label > kLabelMax || host[start] == '-' || host[i - 1] == '-') return false;
        lastAllDigits = std::strspn(host + start, "0123456789") >= label;
        start = i + 1;
    }
    return !lastAllDigits;  // "10.0.0.300" is a mistyped address, not a name
}

// The next line of f into line (at most kHostsLineMax - 1 characters). A longer line is read to
// its end and given as empty. False at the end of the file.
bool NextLine(FILE* f, char* line)
{
    if (std::fgets(line, kHostsLineMax, f) == nullptr) return false;
    if (std::strchr(line, '\n') != nullptr || std::feof(f)) return true;
    for (int c = std::fgetc(f); c != EOF && c != '\n'; c = std::fgetc(f)) {
    }
    line[0] = '\0';
    return true;
}

// The first word of a line and the text after it, comments cut. nullptr for a line without one.
char* FirstWord(char* line, char** rest)
{
    line[std::strcspn(line, "#")] = '\0';
    char* save = nullptr;
    char* word = strtok_r(line, " \t\r\n", &save);
    *rest = save;
    return word;
}

bool ListsName(char* names, const char* name)
{
    char* save = nullptr;
    for (char* n = strtok_r(names, " \t\r\n", &save); n != nullptr; n = strtok_r(nullptr, " \t\r\n", &save))
        if (strcasecmp(n, name) == 0) return true;
    return false;
}

// ---- The DNS query ----

struct Answer {
    bool done;
    int status;
    struct in_addr addr;
};

void OnHost(void* arg, int status, int, struct hostent* host)
{
    Answer* a = static_cast<Answer*>(arg);
    a->done = true;
    a->status = status;
    if (status == ARES_SUCCESS && host != nullptr && host->h_addrtype == AF_INET && host->h_addr_list[0] != nullptr)
        std::memcpy(&a->addr, host->h_addr_list[0], sizeof a->addr);
    else if (status == ARES_SUCCESS)
        a->status = ARES_ENODATA;
}

long long NowMs()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// A channel that asks only the given servers and reads no file: no search domains, no sort
// list, no hosts lookup of its own ("b": DNS only).
bool OpenChannel(ares_channel* channel, const uint32_t* servers, int count)
{
    struct in_addr addrs[kResolverServersMax];
    for (int i = 0; i < count; ++i) addrs[i].s_addr = servers[i];
    struct ares_options o;
    std::memset(&o, 0, sizeof o);
    o.flags = ARES_FLAG_NOSEARCH | ARES_FLAG_NOALIASES;
    o.timeout = kTryTimeoutMs;
    o.tries = kTries;
    o.ndots = 1;
    o.servers = addrs;
    o.nservers = count;
    o.domains = nullptr;
    o.ndomains = 0;
    o.lookups = const_cast<char*>("b");
    o.sortlist = nullptr;
    o.nsort = 0;
    int mask = ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_NDOTS | ARES_OPT_SERVERS |
               ARES_OPT_DOMAINS | ARES_OPT_LOOKUPS | ARES_OPT_SORTLIST | ARES_OPT_NOROTATE;
    return ares_init_options(channel, &o, mask) == ARES_SUCCESS;
}

// Runs the channel's sockets until the answer comes or the deadline passes (the query is then
// cancelled, which answers it).
void RunUntil(ares_channel channel, const Answer& answer, long long deadline)
{
    while (!answer.done) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            ares_cancel(channel);
            return;
        }
        ares_socket_t socks[ARES_GETSOCK_MAXNUM];
        int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
        struct pollfd fds[ARES_GETSOCK_MAXNUM];
        int n = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            short events = static_cast<short>((ARES_GETSOCK_READABLE(bits, i) ? POLLIN : 0) |
                                              (ARES_GETSOCK_WRITABLE(bits, i) ? POLLOUT : 0));
            if (events != 0) fds[n++] = {socks[i], events, 0};
        }
        struct timeval most = {static_cast<time_t>(left / 1000), static_cast<suseconds_t>(left % 1000 * 1000)};
        struct timeval tv;
        struct timeval* wait = ares_timeout(channel, &most, &tv);
        int waitMs = static_cast<int>(wait->tv_sec * 1000 + wait->tv_usec / 1000);
        if (poll(fds, static_cast<nfds_t>(n), waitMs) <= 0) {
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // the try's time-outs
            continue;
        }
        for (int i = 0; i < n; ++i)
            ares_process_fd(channel, (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) ? fds[i].fd : ARES_SOCKET_BAD,
                            (fds[i].revents & POLLOUT) ? fds[i].fd : ARES_SOCKET_BAD);
    }
}

int ResultOf(const Answer& a, bool timedOut)
{
    if (a.status == ARES_SUCCESS) return kResolveOk;
    if (a.status == ARES_ENOTFOUND || a.status == ARES_ENODATA) return kResolveNotFound;
    if (timedOut || a.status == ARES_ETIMEOUT || a.status == ARES_ECANCELLED || a.status == ARES_ECONNREFUSED)
        return kResolveTimeout;
    return kResolveFailed;
}

int AskServers(const char* name, const uint32_t* servers, int count, uint32_t timeoutMs, struct in_addr* out)
{
    static bool libraryReady = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
    ares_channel channel;
    if (!libraryReady || !OpenChannel(&channel, servers, count)) return kResolveFailed;
    long long deadline = NowMs() + timeoutMs;
    Answer answer = {false, ARES_ETIMEOUT, {}};
    ares_gethostbyname(channel, name, AF_INET, OnHost, &answer);
    RunUntil(channel, answer, deadline);
    bool timedOut = !answer.done || NowMs() >= deadline;
    ares_destroy(channel);  // answers a query still open (never one that ran out of time above)
    *out = answer.addr;
    return ResultOf(answer, timedOut && answer.status != ARES_SUCCESS);
}

}  // namespace

HostKind HostClassify(const char* host)
{
    struct in_addr unused;
    if (inet_pton(AF_INET, host, &unused) == 1) return HostKind::Ipv4;
    return DnsName(host, strnlen(host, kHostNameMax + 1)) ? HostKind::Name : HostKind::Invalid;
}

bool HostsLookup(const char* name, char* out, std::size_t outLen)
{
    FILE* f = SysFopen(kHostsFile, "r");
    if (f == nullptr) return false;
    char line[kHostsLineMax];
    bool found = false;
    for (int n = 0; !found && n < kHostsLinesMax && NextLine(f, line); ++n) {
        char* names = nullptr;
        char* addr = FirstWord(line, &names);
        struct in_addr a;
        if (addr == nullptr || names == nullptr || inet_pton(AF_INET, addr, &a) != 1) continue;
        found = ListsName(names, name);
        if (found) TextCopy(out, outLen, addr);
    }
    std::fclose(f);
    return found;
}

int ResolvConfServers(uint32_t* out, int max)
{
    FILE* f = SysFopen(kResolvConf, "r");
    if (f == nullptr) return 0;
    char line[kHostsLineMax];
    int count = 0;
    for (int n = 0; count < max && n < kHostsLinesMax && NextLine(f, line); ++n) {
        char* rest = nullptr;
        char* key = FirstWord(line, &rest);
        if (key == nullptr || rest == nullptr || std::strcmp(key, "nameserver") != 0) continue;
        char* save = nullptr;
        char* addr = strtok_r(rest, " \t\r\n", &save);
        struct in_addr a;
        if (addr != nullptr && inet_pton(AF_INET, addr, &a) == 1) out[count++] = a.s_addr;
    }
    std::fclose(f);
    return count;
}

int ResolveHost(const char* name, const uint32_t* servers, int count, uint32_t timeoutMs, char* out, std::size_t outLen)
{
    if (HostsLookup(name, out, outLen)) return kResolveOk;
    uint32_t own[kResolverServersMax];
    if (count <= 0) {
        count = ResolvConfServers(own, kResolverServersMax);
        servers = own;
    }
    if (count <= 0) return kResolveNoServers;
    struct in_addr addr;
    int rc = AskServers(name, servers, count < kResolverServersMax ? count : kResolverServersMax, timeoutMs, &addr);
    if (rc == kResolveOk && inet_ntop(AF_INET, &addr, out, static_cast<socklen_t>(outLen)) == nullptr) return kResolveFailed;
    return rc;
}

const char* ResolveResultText(int result)
{
    switch (result) {
    case kResolveOk: return "Resolved";
    case kResolveNotFound: return "Not Found";
    case kResolveTimeout: return "No Answer";
    case kResolveNoServers: return "No Name Server";
    default: return "Name Server Failed";
    }
}
