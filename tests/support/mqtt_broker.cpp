// mosquitto and libmosquitto for the MQTT tests: see mqtt_broker.h.
#include "mqtt_broker.h"

#include "tunnel_loopback.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool Run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

const char kEcKey[] = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";

}  // namespace

bool MakeCa(const std::string& dir, const std::string& name)
{
    return Run("openssl req -x509" + std::string(kEcKey) + " -keyout " + dir + "/" + name + ".key -out " + dir + "/" +
               name + ".pem -subj /CN=" + name);
}

bool MakeCert(const std::string& dir, const std::string& ca, const std::string& name, const std::string& cn,
              const std::string& san)
{
    const std::string at = dir + "/" + name;
    WriteWholeFile(at + ".ext", san.empty() ? "" : "subjectAltName=" + san + "\n");
    return Run("openssl req" + std::string(kEcKey) + " -keyout " + at + ".key -out " + at + ".csr -subj /CN=" + cn) &&
           Run("openssl x509 -req -days 2 -in " + at + ".csr -CA " + dir + "/" + ca + ".pem -CAkey " + dir + "/" + ca +
               ".key -CAcreateserial -extfile " + at + ".ext -out " + at + ".pem");
}

MqttBroker::MqttBroker(bool tls) : tls_(tls)
{
    Configure(MqttBrokerSetup{.tls = tls});
}

MqttBroker::MqttBroker(const MqttBrokerSetup& setup) : tls_(setup.tls)
{
    Configure(setup);
}

void MqttBroker::Configure(const MqttBrokerSetup& tls)
{
    port_ = tls.port > 0 ? tls.port : tunneltest::FreePortRun(2);
    tlsPort_ = port_ + 1;
    address_ = tls.address;
    logPath_ = dir_.Path("broker.log");
    struct passwd* me = getpwuid(getuid());
    // No Nagle delay: a reply would wait for the acknowledgement of the packet before it.
    std::string conf = "persistence true\npersistence_location " + dir_.Path() +
                       "/\nmax_queued_messages 100000\nset_tcp_nodelay true\n";
    if (me != nullptr) conf += std::string("user ") + me->pw_name + "\n";
    conf += "per_listener_settings true\nlistener " + std::to_string(port_) + " " + address_ + "\nallow_anonymous true\n";
    // The server certificate names the address as an iPAddress entry only, or a DNS name only.
    std::string san = tls.dnsName.empty() ? "IP:" + address_ : "DNS:" + tls.dnsName;
    if (tls_ && MakeCa(dir_.Path(), "ca") && MakeCa(dir_.Path(), "other") &&
        MakeCert(dir_.Path(), "ca", "server", tls.dnsName.empty() ? address_ : tls.dnsName, san)) {
        conf += "listener " + std::to_string(tlsPort_) + " " + address_ + "\ncafile " + dir_.Path("ca.pem") +
                "\ncertfile " + dir_.Path("server.pem") + "\nkeyfile " + dir_.Path("server.key") + "\n";
        if (tls.clientCertificates) {
            // Each gateway's certificate CN (its IMEI) is its user name, and its own tree all it may use.
            WriteWholeFile(dir_.Path("acl"), "pattern write lirn/%u/up\npattern write lirn/%u/status\n"
                                             "pattern write lirn/%u/state\npattern read lirn/%u/down\n");
            conf += "require_certificate true\nuse_identity_as_username true\nacl_file " + dir_.Path("acl") + "\n";
        } else if (!tls.users.empty()) {
            WriteWholeFile(dir_.Path("acl"), tls.acl);
            WriteWholeFile(dir_.Path("passwd"), "");
            for (const std::string& u : tls.users)
                Run("mosquitto_passwd -b " + dir_.Path("passwd") + " " + u.substr(0, u.find(':')) + " " +
                    u.substr(u.find(':') + 1));
            conf += "allow_anonymous false\npassword_file " + dir_.Path("passwd") + "\nacl_file " + dir_.Path("acl") + "\n";
        } else {
            conf += "allow_anonymous true\n";
        }
    }
    WriteWholeFile(dir_.Path("broker.conf"), conf);
}

MqttBroker::~MqttBroker()
{
    Stop();
}

bool MqttBroker::Start()
{
    pid_ = fork();
    if (pid_ == 0) {
        int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(log, 1);
        dup2(log, 2);
        execlp("mosquitto", "mosquitto", "-c", dir_.Path("broker.conf").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid_ > 0 && WaitUntil(
                           [&] {
                               int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                               sockaddr_in a = tunneltest::Loopback(port_);
                               inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
                               bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
                               close(fd);
                               return up;
                           },
                           Millis(10000));
}

void MqttBroker::Stop()
{
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string MqttBroker::CaPem() const
{
    return dir_.ReadFile("ca.pem");
}

std::string MqttBroker::OtherCaPem() const
{
    return dir_.ReadFile("other.pem");
}

bool MqttBroker::MakeClientCert(const std::string& cn, std::string* pem, std::string* key) const
{
    if (!MakeCert(dir_.Path(), "ca", "client-" + cn, cn, "")) return false;
    *pem = dir_.ReadFile("client-" + cn + ".pem");
    *key = dir_.ReadFile("client-" + cn + ".key");
    return true;
}

MqttWatcher::MqttWatcher(int port, const std::string& id, const std::string& topic, const std::string& address)
    : topic_(topic)
{
    mosquitto_lib_init();
    client_ = mosquitto_new(id.c_str(), false, this);
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect(client_, address.c_str(), port, 10);
    mosquitto_loop_start(client_);
}

MqttWatcher::~MqttWatcher()
{
    // The disconnect ends the loop; cancelling its thread instead could leave a lock held.
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void MqttWatcher::OnConnect(struct mosquitto* m, void* self, int rc)
{
    if (rc == 0) mosquitto_subscribe(m, nullptr, static_cast<MqttWatcher*>(self)->topic_.c_str(), 1);
}

void MqttWatcher::OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* m)
{
    MqttWatcher* w = static_cast<MqttWatcher*>(self);
    MqttMessage msg{m->topic, std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)),
                    m->retain};
    {
        std::lock_guard<std::mutex> hold(w->lock_);
        w->messages_.push_back(msg);
    }
    if (w->onMessage) w->onMessage(msg);
}

std::vector<MqttMessage> MqttWatcher::Messages()
{
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
}

bool MqttWatcher::WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& accept, Millis timeout)
{
    return WaitUntil([&] { return accept(Messages()); }, timeout);
}

bool MqttWatcher::Publish(const std::string& topic, const std::string& payload)
{
    return mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                             false) == MOSQ_ERR_SUCCESS;
}

std::vector<std::string> PayloadsOn(const std::vector<MqttMessage>& messages, const std::string& topic)
{
    std::vector<std::string> out;
    for (const MqttMessage& m : messages)
        if (m.topic == topic) out.push_back(m.payload);
    return out;
}
