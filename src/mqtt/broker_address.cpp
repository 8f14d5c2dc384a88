// The broker's address at each connect: an address as given, a name resolved.
#include "mqtt/broker_address.h"

#include "cellular/datacall.h"
#include "platform/resolver.h"
#include "platform/text.h"

#include <cstdio>
#include <cstring>

namespace {

// The data call's name servers are asked for within this; a modem that does not answer leaves
// the name to /etc/resolv.conf's servers.
constexpr unsigned kCallServersWaitMs = 2000;
// The whole DNS query (every server and try) ends within this.
constexpr uint32_t kResolveWaitMs = 10000;

// The last failure said (kResolveOk: none since the last success), and the address last used.
int gSaid = kResolveOk;
char gLastAddress[16];

}  // namespace

bool MqttBrokerAddress(const char* host, char* out, std::size_t outLen, bool* hangUp)
{
    *hangUp = false;
    if (HostClassify(host) == HostKind::Ipv4) {
        TextCopy(out, outLen, host);
        return true;
    }
    uint32_t servers[kResolverServersMax];
    int count = DataCallDnsServers(servers, kResolverServersMax, kCallServersWaitMs);
    int rc = ResolveHost(host, servers, count, kResolveWaitMs, out, outLen);
    if (rc == kResolveOk) {
        gSaid = kResolveOk;
        if (std::strcmp(out, gLastAddress) != 0) std::printf("MQTT Broker %s At %s\r\n", host, out);
        TextCopy(gLastAddress, sizeof gLastAddress, out);
        return true;
    }
    if (rc != gSaid) std::printf("MQTT Host Not Resolved: %s (%s)\r\n", host, ResolveResultText(rc));
    gSaid = rc;
    *hangUp = rc == kResolveTimeout;
    return false;
}
