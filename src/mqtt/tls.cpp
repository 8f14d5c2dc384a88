// TLS for the MQTT session over mbed TLS, linked statically (no loadable modules, so the one
// static ARM binary keeps working).
//
// The socket stays the tunnel's: records go out through LirnSendBytes (its 5 s bound) and come in
// through a receive that never blocks; the session thread waits for readability itself. Only the
// handshake waits here, at most 5 s for each flight of the broker.
#include "mqtt/tls.h"

#include "platform/sysroot.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr int kHandshakeWaitMs = kLirnWaitSeconds * 1000;
constexpr char kPersonalisation[] = "lirn-mqtt";

// The one TLS session, the session thread's alone. active: set up and not yet freed.
struct TlsSession {
    bool active;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt ca;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
};
TlsSession gTls;

int SendRecord(void* ctx, const unsigned char* data, std::size_t n)
{
    TunnelEndpoint* ep = static_cast<TunnelEndpoint*>(ctx);
    int len = n > 16384 ? 16384 : static_cast<int>(n);
    return LirnSendBytes(*ep, reinterpret_cast<const char*>(data), len) == 0 ? len : MBEDTLS_ERR_NET_SEND_FAILED;
}

int RecvRecord(void* ctx, unsigned char* out, std::size_t cap)
{
    TunnelEndpoint* ep = static_cast<TunnelEndpoint*>(ctx);
    ssize_t n = recv(ep->sock, out, cap, MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return MBEDTLS_ERR_NET_CONN_RESET;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return MBEDTLS_ERR_SSL_WANT_READ;
    return MBEDTLS_ERR_NET_RECV_FAILED;
}

bool Refused(const char* what, int rc)
{
    char text[128];
    mbedtls_strerror(rc, text, sizeof text);
    std::printf("MQTT TLS %s: %s\r\n", what, text);
    MqttTlsEnd();
    return false;
}

bool Handshake(TunnelEndpoint& ep)
{
    for (;;) {
        int rc = mbedtls_ssl_handshake(&gTls.ssl);
        if (rc == 0) return true;
        if (rc == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
            char why[256];
            mbedtls_x509_crt_verify_info(why, sizeof why, "", mbedtls_ssl_get_verify_result(&gTls.ssl));
            for (char* c = why; *c != '\0'; ++c)
                if (*c == '\n') *c = ' ';
            std::printf("MQTT TLS Broker Not Verified: %s\r\n", why);
            MqttTlsEnd();
            return false;
        }
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) return Refused("Handshake Failed", rc);
        struct pollfd p = {ep.sock, POLLIN, 0};
        if (poll(&p, 1, kHandshakeWaitMs) <= 0) return Refused("Handshake Failed", MBEDTLS_ERR_SSL_TIMEOUT);
    }
}

}  // namespace

bool MqttTlsStart(TunnelEndpoint& ep, const char* serverName)
{
    MqttTlsEnd();
    mbedtls_ssl_init(&gTls.ssl);
    mbedtls_ssl_config_init(&gTls.conf);
    mbedtls_x509_crt_init(&gTls.ca);
    mbedtls_entropy_init(&gTls.entropy);
    mbedtls_ctr_drbg_init(&gTls.drbg);
    gTls.active = true;

    char path[kSysPathMax];
    SysPath(path, sizeof path, MQTT_CA_FILE);
    if (SysAccess(MQTT_CA_FILE, 0) != 0) {
        std::puts("MQTT TLS CA File Missing: " MQTT_CA_FILE "\r");
        MqttTlsEnd();
        return false;
    }
    int rc = mbedtls_x509_crt_parse_file(&gTls.ca, path);
    if (rc != 0) return Refused("CA File Unreadable", rc);
    rc = mbedtls_ctr_drbg_seed(&gTls.drbg, mbedtls_entropy_func, &gTls.entropy,
                               reinterpret_cast<const unsigned char*>(kPersonalisation), sizeof kPersonalisation - 1);
    if (rc != 0) return Refused("Random Source Failed", rc);
    rc = mbedtls_ssl_config_defaults(&gTls.conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                     MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc != 0) return Refused("Set-up Failed", rc);
    mbedtls_ssl_conf_min_version(&gTls.conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);  // TLS 1.2
    mbedtls_ssl_conf_authmode(&gTls.conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&gTls.conf, &gTls.ca, nullptr);
    mbedtls_ssl_conf_rng(&gTls.conf, mbedtls_ctr_drbg_random, &gTls.drbg);
    rc = mbedtls_ssl_setup(&gTls.ssl, &gTls.conf);
    if (rc == 0) rc = mbedtls_ssl_set_hostname(&gTls.ssl, serverName);
    if (rc != 0) return Refused("Set-up Failed", rc);
    mbedtls_ssl_set_bio(&gTls.ssl, &ep, SendRecord, RecvRecord, nullptr);
    return Handshake(ep);
}

int MqttTlsWrite(const uint8_t* data, std::size_t n)
{
    while (n > 0) {
        int rc = mbedtls_ssl_write(&gTls.ssl, data, n);
        if (rc <= 0) return -1;  // the record send never asks to be called again: it waited itself
        data += rc;
        n -= static_cast<std::size_t>(rc);
    }
    return 0;
}

int MqttTlsRead(uint8_t* out, std::size_t cap)
{
    int rc = mbedtls_ssl_read(&gTls.ssl, out, cap);
    if (rc > 0) return rc;
    if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE) return 0;
    return -1;  // closed (0 or a close notify) or failed
}

void MqttTlsEnd()
{
    if (!gTls.active) return;
    gTls.active = false;
    mbedtls_ssl_free(&gTls.ssl);
    mbedtls_ssl_config_free(&gTls.conf);
    mbedtls_x509_crt_free(&gTls.ca);
    mbedtls_ctr_drbg_free(&gTls.drbg);
    mbedtls_entropy_free(&gTls.entropy);
}
