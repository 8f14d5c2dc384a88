// lirnctl's broker client, the console link over the broker and the fleet (see broker.h).
#include "broker.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <random>
#include <unistd.h>

namespace lirnctl {

namespace {

constexpr int kKeepAliveS = 30;
// What the loop waits at most per turn: a link lost while nothing comes is noticed this fast.
constexpr int kLoopTurnMs = 100;

const char kSilenceHint[] =
    "the gateway answers over the broker only while it is online (lirnctl --broker ... fleet shows it) "
    "and with @MQTTCMD;1 and @MQTTTLS;1; check --id, --prefix (its @MQTTTOPIC) and that the broker's ACL "
    "lets this user write PREFIX/ID/cmd/# and read PREFIX/ID/reply/#.";
const char kGarbleHint[] = "a gateway answers over the broker exactly as on its console; another client may "
                           "publish on its reply topics.";

std::string Reason(int rc)
{
    std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

int MillisUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, kLoopTurnMs));
}

// A client id, and request ids: unique per run, with a random part that another run does not share.
std::string RandomHex(int digits)
{
    static std::mt19937_64 random{std::random_device{}() ^ static_cast<uint64_t>(getpid())};
    std::string hex;
    for (int i = 0; i < digits; ++i) hex += "0123456789abcdef"[random() % 16];
    return hex;
}

std::string NewRid()
{
    static unsigned count = 0;
    static const std::string run = RandomHex(16);
    return "lc" + run + "-" + std::to_string(++count);  // at most 29 characters
}

}  // namespace

std::string ParseBrokerAddress(const std::string& text, BrokerOptions* o)
{
    std::size_t colon = text.rfind(':');
    o->host = text.substr(0, colon);
    o->port = 0;
    if (colon != std::string::npos) {
        std::string port = text.substr(colon + 1);
        auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), o->port);
        if (ec != std::errc() || end != port.data() + port.size() || o->port < 1 || o->port > 65535)
            return "the broker's port is not a number 1 to 65535: \"" + port + "\"";
    }
    return o->host.empty() ? "no broker host given" : "";
}

BrokerClient::BrokerClient(const BrokerOptions& o, Handler onMessage, Clock::time_point deadline)
    : name_(o.host + ":" + std::to_string(o.Port())), onMessage_(std::move(onMessage))
{
    mosquitto_lib_init();
    client_ = mosquitto_new(("lirnctl-" + RandomHex(12)).c_str(), true, this);
    if (client_ == nullptr) throw PortError("cannot make the MQTT client");
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_subscribe_callback_set(client_, OnSubscribe);
    mosquitto_message_callback_set(client_, OnMessage);
    int rc = MOSQ_ERR_SUCCESS;
    if (!o.user.empty())
        rc = mosquitto_username_pw_set(client_, o.user.c_str(), o.password.empty() ? nullptr : o.password.c_str());
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot use the user name " + o.user, rc);
    if (o.tls) {
        for (const std::string* file : {&o.cafile, &o.cert, &o.key})
            if (!file->empty() && access(file->c_str(), R_OK) != 0) Fail("cannot read " + *file, MOSQ_ERR_ERRNO);
        // Without --cafile the system's CAs verify the broker.
        rc = mosquitto_tls_set(client_, o.cafile.empty() ? nullptr : o.cafile.c_str(),
                               o.cafile.empty() ? "/etc/ssl/certs" : nullptr, o.cert.empty() ? nullptr : o.cert.c_str(),
                               o.key.empty() ? nullptr : o.key.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) Fail("cannot use the TLS files", rc);
    }
    rc = mosquitto_connect(client_, o.host.c_str(), o.Port(), kKeepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot connect", rc);
    if (!RunUntil([this] { return connack_ >= 0; }, deadline)) throw PortError(name_ + ": the broker did not answer");
    if (connack_ != 0)
        throw PortError(name_ + ": the broker refused the connection: " + mosquitto_connack_string(connack_));
}

BrokerClient::~BrokerClient()
{
    if (client_ == nullptr) return;
    mosquitto_disconnect(client_);
    mosquitto_destroy(client_);
}

void BrokerClient::Fail(const std::string& what, int rc) const
{
    throw PortError(name_ + ": " + what + ": " + Reason(rc));
}

void BrokerClient::OnConnect(struct mosquitto*, void* self, int rc)
{
    static_cast<BrokerClient*>(self)->connack_ = rc;
}

void BrokerClient::OnSubscribe(struct mosquitto*, void* self, int mid, int count, const int* granted)
{
    BrokerClient* c = static_cast<BrokerClient*>(self);
    c->subscribed_ = mid;
    c->granted_ = count > 0 ? granted[0] : 0x80;
}

void BrokerClient::OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* m)
{
    BrokerClient* c = static_cast<BrokerClient*>(self);
    c->onMessage_(m->topic, std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)));
}

void BrokerClient::Subscribe(const std::string& filter, Clock::time_point deadline)
{
    int mid = 0;
    int rc = mosquitto_subscribe(client_, &mid, filter.c_str(), 1);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot subscribe to " + filter, rc);
    if (!RunUntil([&] { return subscribed_ == mid; }, deadline))
        throw PortError(name_ + ": the broker did not answer the subscription to " + filter);
    if (granted_ > 1)
        throw PortError(name_ + ": the broker refused the subscription to " + filter + " (its ACL?)");
}

void BrokerClient::Publish(const std::string& topic, const std::string& payload)
{
    int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot publish on " + topic, rc);
}

bool BrokerClient::RunUntil(const std::function<bool()>& done, Clock::time_point deadline)
{
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        int rc = mosquitto_loop(client_, MillisUntil(deadline), 1);
        if (rc != MOSQ_ERR_SUCCESS) Fail("the link to the broker failed", rc);
    }
    return true;
}

BrokerLink::BrokerLink(const BrokerOptions& o, Millis connectTimeout)
    : o_(o),
      tree_(o.prefix + "/" + o.id + "/"),
      name_(o.id + " at " + o.host + ":" + std::to_string(o.Port())),
      client_(o, [this](const std::string& t, const std::string& p) { OnMessage(t, p); },
              Clock::now() + connectTimeout)
{
    client_.Subscribe(tree_ + "reply/#", Clock::now() + connectTimeout);
}

void BrokerLink::OnMessage(const std::string& topic, const std::string& payload)
{
    const std::string replies = tree_ + "reply/";
    if (topic.compare(0, replies.size(), replies) == 0) reply_.Take(std::string_view(topic).substr(replies.size()), payload);
}

void BrokerLink::Send(const std::string& line)
{
    // A new id for every request: a late message of an earlier reply is never taken for this one's.
    std::string rid = NewRid();
    reply_ = ReplyParts(rid);
    ready_.clear();
    client_.Publish(tree_ + "cmd/" + rid, line);
}

std::size_t BrokerLink::Read(char* buf, std::size_t size, Clock::time_point deadline)
{
    for (;;) {
        ready_ += reply_.TakeReady();
        if (!reply_.Problem().empty()) throw PortError(name_ + ": " + reply_.Problem());
        if (!ready_.empty()) {
            std::size_t n = std::min(size, ready_.size());
            std::memcpy(buf, ready_.data(), n);
            ready_.erase(0, n);
            return n;
        }
        if (reply_.Complete()) return 0;
        std::string before = reply_.Progress();
        bool more = client_.RunUntil(
            [&] { return reply_.Complete() || reply_.Progress() != before || !reply_.Problem().empty(); }, deadline);
        if (!more && reply_.Started())
            throw PortError(name_ + ": the reply stopped at " + reply_.Progress() + " (the gateway lost its link?)");
        if (!more) return 0;
    }
}

const char* BrokerLink::SilenceHint() const
{
    return kSilenceHint;
}

const char* BrokerLink::GarbleHint() const
{
    return kGarbleHint;
}

std::vector<FleetGateway> CollectFleet(const BrokerOptions& o, Millis quiet, Clock::time_point deadline,
                                       std::string* brokerName)
{
    std::map<std::string, FleetGateway> seen;
    Clock::time_point last = Clock::now();
    const std::string prefix = o.prefix + "/";
    BrokerClient client(
        o,
        [&](const std::string& topic, const std::string& payload) {
            last = Clock::now();
            std::size_t slash = topic.find('/', prefix.size());
            if (topic.compare(0, prefix.size(), prefix) != 0 || slash == std::string::npos) return;
            std::string id = topic.substr(prefix.size(), slash - prefix.size()), kind = topic.substr(slash + 1);
            FleetGateway& g = seen[id];
            g.id = id;
            (kind == "status" ? g.status : g.state) = payload;
        },
        deadline);
    *brokerName = client.Name();
    client.Subscribe(prefix + "+/status", deadline);
    client.Subscribe(prefix + "+/state", deadline);
    last = Clock::now();
    client.RunUntil([&] { return Clock::now() - last >= quiet; }, deadline);
    std::vector<FleetGateway> fleet;
    for (auto& [id, g] : seen) fleet.push_back(g);
    return fleet;
}

}  // namespace lirnctl
