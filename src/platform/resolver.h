// Host names to IPv4 addresses, for a connect that names its peer by a DNS name.
//
// A name is looked up in the sysroot's /etc/hosts first (our own small reader), then asked of the
// DNS servers the caller passes (the data call's), else of those in the sysroot's
// /etc/resolv.conf. The DNS query runs through c-ares, linked statically, with its sockets in a
// poll loop bounded by the caller's deadline; c-ares reads no file of the system. Each resolve
// sets up and frees its own c-ares channel, so nothing is kept between connects and every connect
// sees the name as it is now. Used by the MQTT session's connects, on its thread only.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest DNS name (RFC 1035: 253 characters in its dotted form).
constexpr std::size_t kHostNameMax = 253;

enum class HostKind {
    Invalid,  // neither of the two below
    Ipv4,     // a dotted IPv4 address ("192.0.2.7"): used as it is
    Name,     // a DNS name: labels of letters, digits and inner hyphens, 1 to 63 characters each,
              // dot-separated, at most 253 in all, the last label not all digits
};

HostKind HostClassify(const char* host);

// Name servers a resolve may ask, IPv4 in network byte order.
constexpr int kResolverServersMax = 3;

enum ResolveResult {
    kResolveOk = 0,
    kResolveNotFound = -1,   // the name has no IPv4 address (the servers said so)
    kResolveTimeout = -2,    // no answer before the deadline
    kResolveNoServers = -3,  // not in /etc/hosts and no server to ask
    kResolveFailed = -4,     // the servers failed (refused, bad answers) or c-ares could not start
};

// The dotted IPv4 address of name into out (at least 16 bytes), within timeoutMs. servers (count
// of them, up to kResolverServersMax) take the place of resolv.conf's when count > 0.
int ResolveHost(const char* name, const uint32_t* servers, int count, uint32_t timeoutMs, char* out, std::size_t outLen);

// A short text for a result ("Not Found", "Timed Out", ...).
const char* ResolveResultText(int result);

// ---- Our helpers ----

// The address of name in the sysroot's /etc/hosts: the first line that lists it (names compared
// without regard to case). Lines past the first kHostsLinesMax, longer than kHostsLineMax or of
// IPv6 addresses are not read. True when found, out then holds the dotted address.
constexpr int kHostsLinesMax = 1000;
constexpr std::size_t kHostsLineMax = 512;
bool HostsLookup(const char* name, char* out, std::size_t outLen);

// The IPv4 name servers of the sysroot's /etc/resolv.conf ("nameserver" lines, the first
// kResolverServersMax). Returns how many.
int ResolvConfServers(uint32_t* out, int max);
