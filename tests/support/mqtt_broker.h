// A mosquitto broker of one test and libmosquitto clients, for the MQTT mode's tests and benchmark.
//
// MqttBroker runs Debian's mosquitto (never the system service) on free loopback ports with a
// configuration file of its own in a temporary directory, persistent, so that sessions and
// retained messages survive a Stop and Start; with TLS it also listens on a second port with a
// server certificate signed by a CA the broker made with the openssl command (MakeCa): for the
// address alone (an iPAddress entry) or for a DNS name, and optionally asking every client for a
// certificate of that CA whose CN becomes its user name, each user limited to its own tree.
// MqttWatcher is a client that subscribes and keeps every message it receives.
#pragma once

#include "temp_dir.h"
#include "wait_until.h"

#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

struct mosquitto;

// A CA (name.pem, name.key in dir) made with the openssl command. False when it failed.
bool MakeCa(const std::string& dir, const std::string& name);
// A certificate (name.pem, name.key in dir) with subject CN cn and the given subjectAltName
// ("" none, else openssl's form: "DNS:a.b,IP:127.0.0.1"), signed by the CA ca made in dir.
bool MakeCert(const std::string& dir, const std::string& ca, const std::string& name, const std::string& cn,
              const std::string& san);

struct MqttBrokerSetup {
    bool tls = false;                   // a second, TLS listener on the next port
    std::string address = "127.0.0.1";  // where the listeners are
    int port = 0;                       // the plain listener's port (0: a free one)
    std::string dnsName = "";           // the server certificate's name ("": the address, as iPAddress)
    bool clientCertificates = false;    // mutual TLS on the TLS listener, an ACL per identity
    // Users of the TLS listener ("user:password" each) and its ACL file's text; none: anonymous.
    std::vector<std::string> users = {};
    std::string acl = "";
};

class MqttBroker {
public:
    explicit MqttBroker(bool tls = false);
    explicit MqttBroker(const MqttBrokerSetup& setup);
    ~MqttBroker();
    MqttBroker(const MqttBroker&) = delete;
    MqttBroker& operator=(const MqttBroker&) = delete;

    // Starts mosquitto and waits until it accepts connections. False when it does not.
    bool Start();
    // Stops it (SIGTERM, then waits for its exit, which saves the sessions).
    void Stop();
    int Port() const { return port_; }
    int TlsPort() const { return tlsPort_; }
    // PEM text of the CA that signed the broker's certificate ("" without TLS), and of another CA.
    std::string CaPem() const;
    std::string OtherCaPem() const;
    // A client certificate of the broker's CA for this CN, and its key (PEM). False on failure.
    bool MakeClientCert(const std::string& cn, std::string* pem, std::string* key) const;
    const std::string& Log() const { return logPath_; }

private:
    void Configure(const MqttBrokerSetup& setup);

    TempDir dir_{"lirn-mqtt"};
    int port_ = 0;
    int tlsPort_ = 0;
    bool tls_;
    std::string address_ = "127.0.0.1";
    pid_t pid_ = -1;
    std::string logPath_;
};

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain;
};

class MqttWatcher {
public:
    // Connects (a persistent session under id) and subscribes to topic with QoS 1; the session is
    // resumed after a broker restart.
    MqttWatcher(int port, const std::string& id, const std::string& topic, const std::string& address = "127.0.0.1");
    ~MqttWatcher();
    MqttWatcher(const MqttWatcher&) = delete;
    MqttWatcher& operator=(const MqttWatcher&) = delete;

    std::vector<MqttMessage> Messages();
    // Waits until the messages so far satisfy accept.
    bool WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& accept, Millis timeout);
    // Publishes with QoS 1. False when the client could not queue it.
    bool Publish(const std::string& topic, const std::string& payload);
    // Called from the client's thread for every message, after it is kept (benchmarks time with it).
    std::function<void(const MqttMessage&)> onMessage;

private:
    static void OnConnect(struct mosquitto*, void* self, int rc);
    static void OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* m);

    struct mosquitto* client_ = nullptr;
    std::string topic_;
    std::mutex lock_;
    std::vector<MqttMessage> messages_;
};

// The payloads of the messages on topic, in arrival order.
std::vector<std::string> PayloadsOn(const std::vector<MqttMessage>& messages, const std::string& topic);
