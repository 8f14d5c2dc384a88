// TLS for the MQTT session over mbed TLS, linked statically (no loadable modules, so the one
// static ARM binary keeps working).
//
// The socket stays the tunnel's: records go out through LirnSendBytes (its 5 s bound) and come in
// through a receive that never blocks; the session thread waits for readability itself. Only the
// handshake waits here, and all of it within one deadline, so a broker that dribbles its flights
// cannot hold the session.
//
// The broker is checked by the host it was configured as. A DNS name is sent as SNI and the
// certificate must name it (mbed TLS compares it with the DNS entries of the subjectAltName, a
// wildcard standing for the whole left-most label only, or with the CN when there are none). An
// IPv4 address is never sent as SNI (RFC 6066 allows names only) and must appear as an iPAddress
// entry of the subjectAltName: mbed TLS 2.28 does not list those, so the verify callback reads the
// extension itself. No DNS entry, wildcard or CN ever stands for an address.
#include "mqtt/tls.h"

#include "platform/resolver.h"
#include "platform/sysroot.h"

#include <mbedtls/asn1.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>

#ifndef LIRN_BUILD_EPOCH
#define LIRN_BUILD_EPOCH 0
#endif

namespace {

// The whole handshake ends within this, however the broker paces its flights.
constexpr uint32_t kHandshakeDeadlineMs = 15000;
constexpr char kPersonalisation[] = "lirn-mqtt";
// A clock before the day this firmware was built has not been set: a certificate refused only
// for its dates is then the clock's fault, not the broker's.
constexpr time_t kBuildEpoch = LIRN_BUILD_EPOCH;
constexpr uint8_t kSanIpAddressTag = MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7;  // [7] iPAddress

// The one TLS session, the session thread's alone. active: set up and not yet freed.
struct TlsSession {
    bool active;
    bool ownCert;           // a client certificate is presented
    bool byAddress;         // the broker is an address: checked by the callback below
    uint8_t address[4];     // that address, network order
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt ca;
    mbedtls_x509_crt own;
    mbedtls_pk_context key;
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

bool Said(const char* line)
{
    std::printf("%s\r\n", line);
    MqttTlsEnd();
    return false;
}

long long NowMs()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// ---- The broker's certificate ----

// Steps over the extensions of a certificate to the value of the subjectAltName. False when it has none.
bool FindSubjectAltName(const mbedtls_x509_crt* crt, unsigned char** p, const unsigned char** end)
{
    unsigned char* at = crt->v3_ext.p;
    const unsigned char* stop = at + crt->v3_ext.len;
    std::size_t len = 0;
    if (at == nullptr || mbedtls_asn1_get_tag(&at, stop, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
        return false;
    while (at < stop) {
        if (mbedtls_asn1_get_tag(&at, stop, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0) return false;
        const unsigned char* next = at + len;
        std::size_t oidLen = 0;
        if (mbedtls_asn1_get_tag(&at, next, &oidLen, MBEDTLS_ASN1_OID) != 0) return false;
        bool san = oidLen == MBEDTLS_OID_SIZE(MBEDTLS_OID_SUBJECT_ALT_NAME) &&
                   std::memcmp(at, MBEDTLS_OID_SUBJECT_ALT_NAME, oidLen) == 0;
        at += oidLen;
        int critical = 0;
        mbedtls_asn1_get_bool(&at, next, &critical);  // absent: not critical
        if (mbedtls_asn1_get_tag(&at, next, &len, MBEDTLS_ASN1_OCTET_STRING) != 0) return false;
        if (san) {
            *p = at;
            *end = at + len;
            return true;
        }
        at = const_cast<unsigned char*>(next);
    }
    return false;
}

}  // namespace

bool MqttCertNamesAddress(const mbedtls_x509_crt* crt, const uint8_t address[4])
{
    unsigned char* p = nullptr;
    const unsigned char* end = nullptr;
    std::size_t len = 0;
    if (!FindSubjectAltName(crt, &p, &end) ||
        mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
        return false;
    end = p + len;
    while (p < end) {
        unsigned char tag = *p++;
        if (mbedtls_asn1_get_len(&p, end, &len) != 0) return false;
        if (tag == kSanIpAddressTag && len == 4 && std::memcmp(p, address, 4) == 0) return true;
        p += len;
    }
    return false;
}

namespace {

// Called for each certificate of the chain, the broker's own at depth 0.
int VerifyAddress(void*, mbedtls_x509_crt* crt, int depth, uint32_t* flags)
{
    if (depth == 0 && gTls.byAddress && !MqttCertNamesAddress(crt, gTls.address))
        *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    return 0;
}

bool NotVerified()
{
    uint32_t flags = mbedtls_ssl_get_verify_result(&gTls.ssl);
    constexpr uint32_t kDates = MBEDTLS_X509_BADCERT_EXPIRED | MBEDTLS_X509_BADCERT_FUTURE;
    if ((flags & ~kDates) == 0 && std::time(nullptr) < kBuildEpoch) return Said("MQTT TLS Clock Not Set");
    char why[256];
    mbedtls_x509_crt_verify_info(why, sizeof why, "", flags);
    for (char* c = why; *c != '\0'; ++c)
        if (*c == '\n') *c = ' ';
    std::printf("MQTT TLS Broker Not Verified: %s\r\n", why);
    MqttTlsEnd();
    return false;
}

bool Handshake(TunnelEndpoint& ep)
{
    long long deadline = NowMs() + kHandshakeDeadlineMs;
    for (;;) {
        int rc = mbedtls_ssl_handshake(&gTls.ssl);
        if (rc == 0) return true;
        if (rc == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) return NotVerified();
        if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) {
            // A broker that asked for a certificate and got none ends the handshake: with an
            // alert, or by closing while our last flight is still going out.
            if (gTls.ssl.client_auth && !gTls.ownCert)
                return Said("MQTT TLS Broker Wants A Client Certificate: " MQTT_CLIENT_CERT_FILE ", " MQTT_CLIENT_KEY_FILE);
            return Refused("Handshake Failed", rc);
        }
        long long left = deadline - NowMs();
        struct pollfd p = {ep.sock, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return Said("MQTT TLS Handshake Timed Out");
    }
}

// The client certificate and key, when both files are there. False, said, when they are there
// but cannot be used; true otherwise (ownCert tells whether they will be presented).
bool LoadClientPair()
{
    bool cert = SysAccess(MQTT_CLIENT_CERT_FILE, 0) == 0;
    bool key = SysAccess(MQTT_CLIENT_KEY_FILE, 0) == 0;
    if (!cert && !key) return true;
    if (!cert) return Said("MQTT TLS Client Certificate Missing: " MQTT_CLIENT_CERT_FILE);
    if (!key) return Said("MQTT TLS Client Key Missing: " MQTT_CLIENT_KEY_FILE);
    char path[kSysPathMax];
    SysPath(path, sizeof path, MQTT_CLIENT_CERT_FILE);
    int rc = mbedtls_x509_crt_parse_file(&gTls.own, path);
    if (rc != 0) return Refused("Client Certificate Unreadable", rc);
    SysPath(path, sizeof path, MQTT_CLIENT_KEY_FILE);
    rc = mbedtls_pk_parse_keyfile(&gTls.key, path, nullptr);
    if (rc != 0) return Refused("Client Key Unreadable", rc);
    if (mbedtls_pk_check_pair(&gTls.own.pk, &gTls.key) != 0) return Said("MQTT TLS Client Key Does Not Match Its Certificate");
    rc = mbedtls_ssl_conf_own_cert(&gTls.conf, &gTls.own, &gTls.key);
    if (rc != 0) return Refused("Client Certificate Refused", rc);
    gTls.ownCert = true;
    return true;
}

// SNI and the name check for a DNS name; the address kept for the callback otherwise.
int SetBrokerName(const char* serverName)
{
    gTls.byAddress = HostClassify(serverName) == HostKind::Ipv4;
    if (!gTls.byAddress) return mbedtls_ssl_set_hostname(&gTls.ssl, serverName);
    inet_pton(AF_INET, serverName, gTls.address);
    return 0;
}

}  // namespace

bool MqttTlsStart(TunnelEndpoint& ep, const char* serverName)
{
    MqttTlsEnd();
    mbedtls_ssl_init(&gTls.ssl);
    mbedtls_ssl_config_init(&gTls.conf);
    mbedtls_x509_crt_init(&gTls.ca);
    mbedtls_x509_crt_init(&gTls.own);
    mbedtls_pk_init(&gTls.key);
    mbedtls_entropy_init(&gTls.entropy);
    mbedtls_ctr_drbg_init(&gTls.drbg);
    gTls.active = true;
    gTls.ownCert = false;

    char path[kSysPathMax];
    SysPath(path, sizeof path, MQTT_CA_FILE);
    if (SysAccess(MQTT_CA_FILE, 0) != 0) return Said("MQTT TLS CA File Missing: " MQTT_CA_FILE);
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
    mbedtls_ssl_conf_verify(&gTls.conf, VerifyAddress, nullptr);
    if (!LoadClientPair()) return false;
    rc = mbedtls_ssl_setup(&gTls.ssl, &gTls.conf);
    if (rc == 0) rc = SetBrokerName(serverName);
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
    mbedtls_x509_crt_free(&gTls.own);
    mbedtls_pk_free(&gTls.key);
    mbedtls_ctr_drbg_free(&gTls.drbg);
    mbedtls_entropy_free(&gTls.entropy);
}
