// A TLS server of one test, on a free loopback port, that records what each client did: the name
// it sent as SNI (none: "") and whether the handshake completed (the client accepted the
// certificate). It serves with mbed TLS the certificate and key set last, then closes the
// connection; in dribble mode it answers a client's hello with one byte every period instead, for
// as long as the client stays.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wait_until.h"

class TlsProbe {
public:
    struct Handshake {
        std::string sni;
        bool done;         // the handshake completed
        long long heldMs;  // from accept to the end of the connection
    };

    TlsProbe();
    ~TlsProbe();
    TlsProbe(const TlsProbe&) = delete;
    TlsProbe& operator=(const TlsProbe&) = delete;

    int Port() const { return port_; }
    // The certificate chain and key (PEM) served from the next connection on.
    void Serve(const std::string& certPem, const std::string& keyPem);
    // 0: serve TLS; otherwise one byte every periodMs after the client's first bytes.
    void Dribble(int periodMs);
    std::vector<Handshake> Handshakes();
    // Waits until the handshakes so far satisfy accept.
    bool WaitFor(const std::function<bool(const std::vector<Handshake>&)>& accept, Millis timeout);

private:
    void Loop();
    Handshake Run(int fd);
    Handshake Drip(int fd, int periodMs);

    int listener_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    std::mutex lock_;
    std::string cert_, key_;
    int dribbleMs_ = 0;
    std::vector<Handshake> seen_;
    std::thread thread_;
};
