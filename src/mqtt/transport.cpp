// The MQTT session's two transports. Both connect as every client build of the tunnel does (five
// tries, each bounded) and send with its bounded send; TLS then runs mbed TLS on that socket.
#include "mqtt/broker_address.h"
#include "mqtt/tls.h"
#include "mqtt/transport.h"

#include "config/config.h"

#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

TunnelEndpoint gBroker;
char gHost[sizeof lirnSet.mqttHost];  // @MQTTHOST as the run started with it

// ---- Plain TCP ----

MqttOpen PlainOpen()
{
    bool hangUp = false;
    if (!MqttBrokerAddress(gHost, gBroker.ipAddr, sizeof gBroker.ipAddr, &hangUp))
        return hangUp ? kMqttUnreachable : kMqttRefused;
    if (LirnConnectWithRetries(gBroker)) {
        // No Nagle delay: a small packet right after one the broker has not acknowledged yet (the
        // next up chunk after a PUBACK) would otherwise wait for the broker's delayed ACK.
        int on = 1;
        setsockopt(gBroker.sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return kMqttOpened;
    }
    std::puts("MQTT Broker Connect Failed\r");
    return kMqttUnreachable;
}

int PlainRead(uint8_t* out, std::size_t cap)
{
    ssize_t n = recv(gBroker.sock, out, cap, MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return -1;
}

int PlainWrite(const uint8_t* data, std::size_t n)
{
    return LirnSendBytes(gBroker, reinterpret_cast<const char*>(data), static_cast<int>(n)) == 0 ? 0 : -1;
}

void PlainClose()
{
    LirnClose(gBroker);
}

int BrokerFd()
{
    int fd = gBroker.sock;
    return fd > 0 ? fd : -1;
}

// ---- TLS ----

MqttOpen TlsOpen()
{
    MqttOpen opened = PlainOpen();
    if (opened != kMqttOpened) return opened;
    return MqttTlsStart(gBroker, gHost) ? kMqttOpened : kMqttRefused;
}

void TlsClose()
{
    MqttTlsEnd();
    LirnClose(gBroker);
}

const MqttTransport kPlain = {PlainOpen, PlainRead, PlainWrite, PlainClose, BrokerFd};
const MqttTransport kTls = {TlsOpen, MqttTlsRead, MqttTlsWrite, TlsClose, BrokerFd};

}  // namespace

const MqttTransport* MqttTransportFor(bool tls, const char* host, int32_t port)
{
    std::snprintf(gHost, sizeof gHost, "%s", host);
    gBroker.port = port;
    gBroker.sock = 0;
    return tls ? &kTls : &kPlain;
}
