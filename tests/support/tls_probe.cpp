// The recording TLS server: see tls_probe.h.
#include "tls_probe.h"

#include "tunnel_loopback.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

long long NowMs()
{
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int OnSni(void* seen, mbedtls_ssl_context*, const unsigned char* name, std::size_t len)
{
    static_cast<std::string*>(seen)->assign(reinterpret_cast<const char*>(name), len);
    return 0;
}

// Waits up to ms for fd to become readable; false on a time-out or the stop pipe.
bool Readable(int fd, int stop, int ms)
{
    struct pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    return poll(p, 2, ms) > 0 && p[1].revents == 0 && p[0].revents != 0;
}

}  // namespace

TlsProbe::TlsProbe()
{
    signal(SIGPIPE, SIG_IGN);  // a client that gives up leaves the server's writes to a closed socket
    port_ = tunneltest::FreePortRun(1);
    listener_ = tunneltest::ListenOn(port_);
    if (pipe(stop_) != 0) return;
    thread_ = std::thread([this] { Loop(); });
}

TlsProbe::~TlsProbe()
{
    if (stop_[1] >= 0 && write(stop_[1], "x", 1) != 1) {
    }
    if (thread_.joinable()) thread_.join();
    close(listener_);
    close(stop_[0]);
    close(stop_[1]);
}

void TlsProbe::Serve(const std::string& certPem, const std::string& keyPem)
{
    std::lock_guard<std::mutex> hold(lock_);
    cert_ = certPem;
    key_ = keyPem;
    dribbleMs_ = 0;
}

void TlsProbe::Dribble(int periodMs)
{
    std::lock_guard<std::mutex> hold(lock_);
    dribbleMs_ = periodMs;
}

std::vector<TlsProbe::Handshake> TlsProbe::Handshakes()
{
    std::lock_guard<std::mutex> hold(lock_);
    return seen_;
}

bool TlsProbe::WaitFor(const std::function<bool(const std::vector<Handshake>&)>& accept, Millis timeout)
{
    return WaitUntil([&] { return accept(Handshakes()); }, timeout);
}

void TlsProbe::Loop()
{
    while (Readable(listener_, stop_[0], -1)) {
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        int dribble = 0;
        {
            std::lock_guard<std::mutex> hold(lock_);
            dribble = dribbleMs_;
        }
        Handshake h = dribble > 0 ? Drip(fd, dribble) : Run(fd);
        close(fd);
        std::lock_guard<std::mutex> hold(lock_);
        seen_.push_back(h);
    }
}

TlsProbe::Handshake TlsProbe::Drip(int fd, int periodMs)
{
    Handshake h{"", false, 0};
    long long start = NowMs();
    char hello[2048];
    if (!Readable(fd, stop_[0], 5000) || recv(fd, hello, sizeof hello, 0) <= 0) return h;
    // A TLS record header, a byte at a time: the client waits for the rest for ever.
    const char record[] = {0x16, 0x03, 0x03, 0x10, 0x00};
    for (std::size_t i = 0;; i = (i + 1) % sizeof record) {
        if (send(fd, &record[i], 1, MSG_NOSIGNAL) != 1) break;
        if (Readable(fd, stop_[0], periodMs) && recv(fd, hello, sizeof hello, MSG_DONTWAIT) <= 0) break;
    }
    h.heldMs = NowMs() - start;
    return h;
}

TlsProbe::Handshake TlsProbe::Run(int fd)
{
    Handshake h{"", false, 0};
    long long start = NowMs();
    std::string cert, key;
    {
        std::lock_guard<std::mutex> hold(lock_);
        cert = cert_;
        key = key_;
    }
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt chain;
    mbedtls_pk_context pk;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_init(&ssl);
    mbedtls_ssl_config_init(&conf);
    mbedtls_x509_crt_init(&chain);
    mbedtls_pk_init(&pk);
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_net_context net = {fd};
    bool ready = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0) == 0 &&
                 mbedtls_x509_crt_parse(&chain, reinterpret_cast<const unsigned char*>(cert.c_str()), cert.size() + 1) == 0 &&
                 mbedtls_pk_parse_key(&pk, reinterpret_cast<const unsigned char*>(key.c_str()), key.size() + 1, nullptr, 0) == 0 &&
                 mbedtls_ssl_config_defaults(&conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                             MBEDTLS_SSL_PRESET_DEFAULT) == 0;
    if (ready) {
        mbedtls_ssl_conf_rng(&conf, mbedtls_ctr_drbg_random, &drbg);
        mbedtls_ssl_conf_sni(&conf, OnSni, &h.sni);
        mbedtls_ssl_conf_read_timeout(&conf, 5000);
        ready = mbedtls_ssl_conf_own_cert(&conf, &chain, &pk) == 0 && mbedtls_ssl_setup(&ssl, &conf) == 0;
    }
    if (ready) {
        mbedtls_ssl_set_bio(&ssl, &net, mbedtls_net_send, nullptr, mbedtls_net_recv_timeout);
        int rc;
        do rc = mbedtls_ssl_handshake(&ssl);
        while (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE);
        h.done = rc == 0;
    }
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&conf);
    mbedtls_x509_crt_free(&chain);
    mbedtls_pk_free(&pk);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
    h.heldMs = NowMs() - start;
    return h;
}
