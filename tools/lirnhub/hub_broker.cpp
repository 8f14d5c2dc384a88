// The hub's broker link: libmosquitto driven by the hub's own loop (see hub.h).
//
// The hub subscribes to the up, status and state topics of the mapped gateways only (QoS 1, a
// clean session: what came while the hub was away is of no use to a master that asks now). A link
// that fails is built again after 1 s, then 2, 4 ... up to 30 s between tries; the trouble is said
// once, and once more when the link is back.
#include "hub.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <sys/epoll.h>
#include <unistd.h>

namespace lirnhub {

namespace {

constexpr int kMaxInflight = 16;     // down messages of one gateway awaiting their acknowledgement
constexpr int kFirstRetryMs = 1000;
constexpr int kMaxRetryMs = 30000;
constexpr auto kSteadyLink = std::chrono::seconds(10);  // a link up this long retries at once
constexpr std::size_t kSubscribeBatch = 100;
constexpr std::size_t kMaxStatusText = 32;
constexpr std::size_t kMaxStateText = 4096;

std::string Reason(int rc)
{
    std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

bool Hub::BrokerSetUp()
{
    mosquitto_lib_init();
    char id[48];
    std::snprintf(id, sizeof id, "lirnhub-%d-%08x", static_cast<int>(getpid()), std::random_device{}());
    mosq_ = mosquitto_new(id, true, this);
    if (mosq_ == nullptr) {
        Say("cannot make the MQTT client");
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_max_inflight_messages_set(mosq_, 0);  // bounded per gateway by the hub itself
    mosquitto_connect_callback_set(mosq_, OnConnect);
    mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
    mosquitto_publish_callback_set(mosq_, OnPublish);
    mosquitto_message_callback_set(mosq_, OnMessage);
    if (!o_.user.empty() &&
        mosquitto_username_pw_set(mosq_, o_.user.c_str(), o_.password.empty() ? nullptr : o_.password.c_str()) !=
            MOSQ_ERR_SUCCESS) {
        Say("cannot use the user name %s", o_.user.c_str());
        return false;
    }
    if (o_.tls) {
        for (const std::string* file : {&o_.cafile, &o_.certfile, &o_.keyfile})
            if (!file->empty() && access(file->c_str(), R_OK) != 0) {
                Say("cannot read %s: %s", file->c_str(), std::strerror(errno));
                return false;
            }
        const char* cert = o_.certfile.empty() ? nullptr : o_.certfile.c_str();
        const char* key = o_.keyfile.empty() ? nullptr : o_.keyfile.c_str();
        int rc = mosquitto_tls_set(mosq_, o_.cafile.c_str(), nullptr, cert, key, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            Say("cannot use the TLS files: %s", Reason(rc).c_str());
            return false;
        }
    }
    reconnectAt_ = Clock::now();
    return true;
}

void Hub::BrokerConnect()
{
    link_ = Link::Connecting;
    int rc = everTried_ ? mosquitto_reconnect_async(mosq_)
                        : mosquitto_connect_async(mosq_, o_.host.c_str(), o_.port, o_.keepalive);
    everTried_ = true;
    miscAt_ = Clock::now() + std::chrono::seconds(1);
    if (rc != MOSQ_ERR_SUCCESS) BrokerLost(Reason(rc));
}

void Hub::SyncBrokerWatch()
{
    if (link_ == Link::Down) return;
    int fd = mosquitto_socket(mosq_);
    if (fd < 0) return;
    uint32_t want = EPOLLIN | (mosquitto_want_write(mosq_) ? EPOLLOUT : 0u);
    if (fd != mosqFd_) {
        mosqFd_ = fd;
        Register(fd, want, {Kind::Broker});
    } else if (want != mosqEvents_) {
        Modify(fd, kBrokerToken, want);
    }
    mosqEvents_ = want;
}

void Hub::BrokerIo(uint32_t events)
{
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) mosquitto_loop_read(mosq_, 16);
    if ((events & EPOLLOUT) && link_ != Link::Down) mosquitto_loop_write(mosq_, 16);
    if (events == 0) mosquitto_loop_misc(mosq_);  // keep-alive
    if (link_ != Link::Down && mosquitto_socket(mosq_) < 0) BrokerLost("connection closed");
}

void Hub::Trouble(const std::string& what)
{
    if (troubleSaid_) return;
    troubleSaid_ = true;
    Say("%s; retrying (paced, at most every %d s)", what.c_str(), kMaxRetryMs / 1000);
}

void Hub::BrokerLost(const std::string& why)
{
    if (link_ == Link::Down) return;
    if (mosqFd_ >= 0) {
        // The library closes the socket around this call; the number cannot be reused before.
        epoll_ctl(epoll_, EPOLL_CTL_DEL, mosqFd_, nullptr);
        mosqFd_ = -1;
        mosqEvents_ = 0;
    }
    bool wasUp = link_ == Link::Up;
    link_ = Link::Down;
    std::string reason = refusal_.empty() ? why : refusal_;
    refusal_.clear();
    midGateway_.clear();
    for (const auto& gw : gateways_) gw->inflight = 0;
    if (stopping_) return;
    if (wasUp && Clock::now() - upSince_ >= kSteadyLink) backoffMs_ = 0;
    backoffMs_ = backoffMs_ == 0 ? kFirstRetryMs : std::min(backoffMs_ * 2, kMaxRetryMs);
    reconnectAt_ = Clock::now() + std::chrono::milliseconds(backoffMs_);
    if (wasUp) {
        Trouble("broker link lost (" + reason + ")");
        for (const auto& gw : gateways_) {
            gw->statusText = "unknown";  // until the broker tells it again
            OnlineChanged(*gw);
            Resume(*gw);
        }
    } else {
        Trouble("cannot reach the broker at " + o_.host + ":" + std::to_string(o_.port) + " (" + reason + ")");
    }
}

void Hub::BrokerClose()
{
    if (mosq_ == nullptr) return;
    if (mosqFd_ >= 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, mosqFd_, nullptr);
    mosqFd_ = -1;
    // Leaves cleanly: the gateways' sessions and retained status stay as they are.
    if (link_ == Link::Up) mosquitto_disconnect(mosq_);
    link_ = Link::Down;
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    mosquitto_lib_cleanup();
}

void Hub::OnConnect(struct mosquitto*, void* self, int rc)
{
    Hub& h = *static_cast<Hub*>(self);
    if (rc != 0) {
        h.refusal_ = std::string("refused: ") + mosquitto_connack_string(rc);
        return;
    }
    h.link_ = Link::Up;
    h.upSince_ = Clock::now();
    if (!h.everUp_) Say("connected to the broker at %s:%d", h.o_.host.c_str(), h.o_.port);
    else if (h.troubleSaid_) Say("broker link back");
    h.everUp_ = true;
    h.troubleSaid_ = false;
    h.backoffMs_ = 0;
    std::vector<char*> topics;
    for (auto& [topic, which] : h.topics_) topics.push_back(const_cast<char*>(topic.c_str()));
    for (std::size_t i = 0; i < topics.size(); i += kSubscribeBatch) {
        int n = static_cast<int>(std::min(kSubscribeBatch, topics.size() - i));
        mosquitto_subscribe_multiple(h.mosq_, nullptr, n, topics.data() + i, 1, 0, nullptr);
    }
    h.MarkDirty();
}

void Hub::OnDisconnect(struct mosquitto*, void* self, int rc)
{
    static_cast<Hub*>(self)->BrokerLost(Reason(rc));
}

void Hub::OnPublish(struct mosquitto*, void* self, int mid)
{
    Hub& h = *static_cast<Hub*>(self);
    auto it = h.midGateway_.find(mid);
    if (it == h.midGateway_.end()) return;
    Gateway& gw = *it->second;
    h.midGateway_.erase(it);
    if (--gw.inflight < kMaxInflight) h.Resume(gw);
}

void Hub::OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* m)
{
    std::string payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(std::max(0, m->payloadlen)));
    static_cast<Hub*>(self)->Message(m->topic, payload);
}

void Hub::Message(const std::string& topic, const std::string& payload)
{
    auto it = topics_.find(topic);
    if (it == topics_.end()) return;
    Gateway& gw = *it->second.first;
    MarkDirty();
    switch (it->second.second) {
    case 0:
        UpBytes(gw, payload);
        return;
    case 1: {
        bool was = Online(gw);
        gw.statusText = payload.substr(0, kMaxStatusText);
        if (was != Online(gw)) OnlineChanged(gw);
        return;
    }
    default: gw.stateText = payload.size() <= kMaxStateText ? payload : ""; return;
    }
}

bool Hub::PublishDown(Gateway& gw, const std::string& bytes)
{
    if (link_ != Link::Up || bytes.empty()) return false;
    // A Modbus request goes with QoS 0: one the gateway does not get at once must never reach it
    // late from its session's queue (a write long after its master had its 0x0B); on a live link
    // it arrives all the same. Raw bytes are a stream and go with QoS 1.
    int qos = gw.map.face == Face::Modbus ? 0 : 1;
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, gw.down.c_str(), static_cast<int>(bytes.size()), bytes.data(), qos, false) !=
        MOSQ_ERR_SUCCESS)
        return false;
    gw.count.bytesDown += bytes.size();
    MarkDirty();
    if (qos == 0) return true;
    midGateway_[mid] = &gw;
    gw.inflight++;
    return true;
}

bool Paused(const Gateway& gw)
{
    return gw.inflight >= kMaxInflight;
}

void Hub::Resume(Gateway& gw)
{
    if (Paused(gw)) return;
    for (uint64_t token : gw.clients) {
        Conn* c = FindConn(token);
        if (c != nullptr && !c->reading) {
            c->reading = true;
            UpdateConnEvents(*c);
        }
    }
    UpdatePtyEvents(gw);
}

}  // namespace lirnhub
