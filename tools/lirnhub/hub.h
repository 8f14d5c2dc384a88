// The hub: the back office's end of an MQTT fleet. Every mapped gateway gets a TCP listener (and,
// with a pty directory, a pseudo-terminal) on this machine; bytes a client sends go to the
// gateway's down topic, what comes on its up topic goes back to the client. A raw listener passes
// bytes as they are; a Modbus listener speaks Modbus TCP and turns each request into one RTU
// transaction on the gateway's serial line.
//
// One thread runs everything: an epoll loop over the listeners, the clients, the ptys, the broker
// connection (libmosquitto driven by the loop), the signals, and the due times it computes
// (a transaction's time-out, the broker's keep-alive and paced reconnects, the status file).
#pragma once

#include "gateway_map.h"
#include "modbus_frames.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace lirnhub {

// One line on standard error, "lirnhub: " first.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct HubOptions {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string prefix = "lirn";
    bool tls = false;
    std::string cafile, certfile, keyfile;
    std::string user, password;
    std::vector<GatewayMap> maps;
    std::string ptyDir;      // empty: no ptys
    std::string jsonStatus;  // empty: no status file
    int keepalive = 30;      // seconds
};

using Clock = std::chrono::steady_clock;

// One client connection of a listener: a raw client or a Modbus master.
struct Conn {
    uint64_t token = 0;
    int fd = -1;
    struct Gateway* gw = nullptr;
    std::string in;   // a Modbus master's bytes not yet a whole request
    std::string out;  // bytes the socket has not taken yet
    bool reading = true;
    uint32_t events = 0;  // as registered with epoll
};

// A Modbus request on its way: from which master, how to answer it, what goes on the line.
struct Transaction {
    uint64_t conn = 0;
    uint16_t transaction = 0;
    uint8_t unit = 0;     // the request's unit id, echoed in the answer
    uint8_t address = 0;  // the RTU address on the line (0: broadcast, no reply)
    std::string pdu;
};

struct GatewayCounters {
    uint64_t bytesUp = 0, bytesDown = 0;
    uint64_t requests = 0, timeouts = 0, exceptions = 0, busy = 0, discarded = 0;
    uint64_t refused = 0, dropped = 0;
};

struct Gateway {
    GatewayMap map;
    std::string up, down, status, state;  // topics
    int listener = -1;
    uint64_t listenerToken = 0;
    std::string statusText = "unknown";   // the last retained status
    std::string stateText;                // the last state document
    std::vector<uint64_t> clients;        // raw: at most one; modbus: the masters
    int inflight = 0;                     // down messages not yet acknowledged by the broker

    // --pty
    int ptyMaster = -1;
    uint64_t ptyToken = 0;
    std::string ptyLink, ptySlave;
    int ptyWatch = -1;
    bool ptyAttached = false;  // a program holds the pty open
    std::string ptyOut;

    // modbus
    std::deque<Transaction> queue;
    std::optional<Transaction> active;
    Clock::time_point activeDue;
    uint64_t lastServed = 0;
    ReplyFramer framer;

    GatewayCounters count;
};

// Too many down messages of the gateway await their acknowledgement: its clients are not read.
bool Paused(const Gateway& gw);

class Hub {
public:
    explicit Hub(HubOptions options);
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // Sets everything up and serves until SIGINT or SIGTERM. Returns the exit status: 0 after a
    // signal, 1 when the set-up failed (said on standard error).
    int Run();

private:
    static constexpr uint64_t kSignalsToken = 1, kBrokerToken = 2, kPtyWatchToken = 3;
    enum class Kind { Signals, Broker, PtyWatch, Listener, Client, Pty };
    struct Target {
        Kind kind;
        Gateway* gw = nullptr;
    };

    // hub.cpp: set-up, the loop, descriptors, status
    bool SetUp();
    bool Listen(Gateway& gw);
    bool MakePty(Gateway& gw);
    void Loop();
    void Dispatch(uint64_t token, uint32_t events);
    int MsToNextDue();
    void RunDue();
    uint64_t Register(int fd, uint32_t events, Target target);
    void Modify(int fd, uint64_t token, uint32_t events);
    void Unregister(int fd, uint64_t token);
    void Accept(Gateway& gw);
    void CloseConn(uint64_t token);
    void ConnIo(uint64_t token, uint32_t events);
    bool SendTo(Conn& c, const std::string& bytes);
    void UpdateConnEvents(Conn& c);
    Conn* FindConn(uint64_t token);
    bool Online(const Gateway& gw) const;
    void OnlineChanged(Gateway& gw);
    void MarkDirty();
    void WriteStatus(bool running);
    void ShutDown();

    // hub_broker.cpp: the broker link
    bool BrokerSetUp();
    void BrokerConnect();
    void BrokerIo(uint32_t events);
    void SyncBrokerWatch();
    void BrokerLost(const std::string& why);
    void BrokerClose();
    void Trouble(const std::string& what);
    bool PublishDown(Gateway& gw, const std::string& bytes);
    void Resume(Gateway& gw);
    static void OnConnect(struct mosquitto*, void* self, int rc);
    static void OnDisconnect(struct mosquitto*, void* self, int rc);
    static void OnPublish(struct mosquitto*, void* self, int mid);
    static void OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* m);
    void Message(const std::string& topic, const std::string& payload);

    // hub_faces.cpp: raw clients, ptys, Modbus masters and transactions
    void RawIn(Gateway& gw, Conn& c);
    void UpBytes(Gateway& gw, const std::string& bytes);
    void PtyIo(Gateway& gw, uint32_t events);
    void PtyWatchEvents();
    void PtyDetach(Gateway& gw);
    void PtyFlush(Gateway& gw);
    void UpdatePtyEvents(Gateway& gw);
    void ModbusIn(Gateway& gw, Conn& c);
    void Enqueue(Gateway& gw, uint64_t conn, const MbapRequest& req);
    void Answer(Gateway& gw, const Transaction& t, const std::string& pdu);
    void StartNext(Gateway& gw);
    void FinishActive(Gateway& gw, const std::string& pdu);
    void FailAll(Gateway& gw);

    HubOptions o_;
    std::vector<std::unique_ptr<Gateway>> gateways_;
    std::unordered_map<std::string, std::pair<Gateway*, int>> topics_;  // topic -> gateway, which
    std::unordered_map<uint64_t, Target> targets_;
    std::unordered_map<uint64_t, std::unique_ptr<Conn>> conns_;
    uint64_t nextToken_ = 16;
    int epoll_ = -1;
    int signals_ = -1;
    int ptyWatch_ = -1;
    bool stopping_ = false;

    // the broker link
    struct mosquitto* mosq_ = nullptr;
    int mosqFd_ = -1;
    uint32_t mosqEvents_ = 0;
    enum class Link { Down, Connecting, Up } link_ = Link::Down;
    bool everTried_ = false;
    bool everUp_ = false;
    bool troubleSaid_ = false;
    std::string refusal_;
    int backoffMs_ = 0;
    Clock::time_point reconnectAt_;
    Clock::time_point upSince_;
    Clock::time_point miscAt_;
    std::unordered_map<int, Gateway*> midGateway_;

    // the status file
    bool dirty_ = false;
    Clock::time_point statusAt_;
};

}  // namespace lirnhub
