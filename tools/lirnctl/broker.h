// The broker as lirnctl's way to the gateways: a libmosquitto client driven from lirnctl's own
// thread, the console link over a gateway's command channel (PREFIX/ID/cmd/RID, answered on
// PREFIX/ID/reply/RID), and the fleet's retained status and state documents.
//
// The gateway answers requests over the broker only with @MQTTCMD;1 over TLS. The link publishes
// each request with a request id of its own making (never used twice) and reads the reply's
// messages as they come, so a reply ends when its last message is in, not after a silence.
#pragma once

#include "link.h"
#include "protocol.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace lirnctl {

struct BrokerOptions {
    std::string host;
    int port = 0;  // 0: 1883, or 8883 with TLS
    std::string prefix = "lirn";
    std::string id;  // the gateway's topic level (its IMEI)
    bool tls = false;
    std::string cafile, cert, key;
    std::string user, password;

    int Port() const { return port != 0 ? port : tls ? 8883 : 1883; }
};

// "HOST[:PORT]" into o; the reason when it is not one (an empty host, a port outside 1 to 65535).
std::string ParseBrokerAddress(const std::string& text, BrokerOptions* o);

// A client of the broker with a clean session. Messages go to the handler from inside RunUntil.
class BrokerClient {
public:
    using Handler = std::function<void(const std::string& topic, const std::string& payload)>;
    // Connects and waits for the broker's verdict until the deadline; PortError on any failure.
    BrokerClient(const BrokerOptions& o, Handler onMessage, Clock::time_point deadline);
    ~BrokerClient();
    BrokerClient(const BrokerClient&) = delete;
    BrokerClient& operator=(const BrokerClient&) = delete;

    // "HOST:PORT", as messages name the broker.
    const std::string& Name() const { return name_; }
    // Subscribes with QoS 1 and waits for the broker's answer; PortError when it refuses.
    void Subscribe(const std::string& filter, Clock::time_point deadline);
    // Publishes with QoS 1 (not retained); it goes out as RunUntil runs the loop.
    void Publish(const std::string& topic, const std::string& payload);
    // Runs the client until done() holds or the deadline passes; false at the deadline. PortError
    // when the link is lost.
    bool RunUntil(const std::function<bool()>& done, Clock::time_point deadline);

private:
    static void OnConnect(struct mosquitto*, void* self, int rc);
    static void OnSubscribe(struct mosquitto*, void* self, int mid, int count, const int* granted);
    static void OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* m);
    [[noreturn]] void Fail(const std::string& what, int rc) const;

    struct mosquitto* client_ = nullptr;
    std::string name_;
    Handler onMessage_;
    int connack_ = -1;  // the CONNACK's code, -1 before it came
    int subscribed_ = -1, granted_ = -1;  // the last SUBACK's message id and first granted QoS
};

// A gateway's console over the broker.
class BrokerLink : public ConsoleLink {
public:
    BrokerLink(const BrokerOptions& o, Millis connectTimeout);

    const std::string& Name() const override { return name_; }
    void Send(const std::string& line) override;
    // The reply's bytes in order as its messages come; 0 once it is complete and handed out, or at
    // the deadline with nothing of it. A reply that stops part-way throws PortError there.
    std::size_t Read(char* buf, std::size_t size, Clock::time_point deadline) override;
    const char* SilenceHint() const override;
    const char* GarbleHint() const override;
    bool MasksSecrets() const override { return true; }

private:
    void OnMessage(const std::string& topic, const std::string& payload);

    BrokerOptions o_;
    std::string tree_;  // PREFIX/ID/
    std::string name_;
    ReplyParts reply_;
    std::string ready_;  // reply bytes not yet read
    BrokerClient client_;
};

// One gateway under the prefix, as its retained messages show it.
struct FleetGateway {
    std::string id;
    std::optional<std::string> status;  // "online" or "offline"
    std::optional<std::string> state;   // the state document (JSON text)
};

// Every gateway with a retained status or state under the prefix, in id order: the retained
// messages come at once after the subscription, and the collection ends once quiet passes
// without another (or at the deadline).
std::vector<FleetGateway> CollectFleet(const BrokerOptions& o, Millis quiet, Clock::time_point deadline,
                                       std::string* brokerName);

}  // namespace lirnctl
