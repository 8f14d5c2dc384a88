// mosquitto and libmosquitto for the MQTT tests: see mqtt_broker.h.
#include "mqtt_broker.h"

#include "tunnel_loopback.h"

#include <mosquitto.h>

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

// A CA (name.pem, name.key) and, when server is given, a server certificate for 127.0.0.1 that
// it signs (server.pem, server.key).
bool MakeCa(const std::string& dir, const std::string& name, bool server)
{
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    if (!Run("openssl req -x509" + ec + " -keyout " + dir + "/" + name + ".key -out " + dir + "/" + name +
             ".pem -subj /CN=" + name))
        return false;
    if (!server) return true;
    WriteWholeFile(dir + "/san.ext", "subjectAltName=DNS:127.0.0.1,IP:127.0.0.1\n");
    return Run("openssl req" + ec + " -keyout " + dir + "/server.key -out " + dir + "/server.csr -subj /CN=127.0.0.1") &&
           Run("openssl x509 -req -days 2 -in " + dir + "/server.csr -CA " + dir + "/" + name + ".pem -CAkey " + dir +
               "/" + name + ".key -CAcreateserial -extfile " + dir + "/san.ext -out " + dir + "/server.pem");
}

}  // namespace

MqttBroker::MqttBroker(bool tls) : tls_(tls)
{
    port_ = tunneltest::FreePortRun(2);
    tlsPort_ = port_ + 1;
    logPath_ = dir_.Path("broker.log");
    struct passwd* me = getpwuid(getuid());
    // No Nagle delay: a reply would wait for the acknowledgement of the packet before it.
    std::string conf = "persistence true\npersistence_location " + dir_.Path() +
                       "/\nmax_queued_messages 100000\nset_tcp_nodelay true\n";
    if (me != nullptr) conf += std::string("user ") + me->pw_name + "\n";
    conf += "listener " + std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\n";
    if (tls_ && MakeCa(dir_.Path(), "ca", true) && MakeCa(dir_.Path(), "other", false))
        conf += "listener " + std::to_string(tlsPort_) + " 127.0.0.1\ncafile " + dir_.Path("ca.pem") +
                "\ncertfile " + dir_.Path("server.pem") + "\nkeyfile " + dir_.Path("server.key") + "\n";
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
                               int fd = tunneltest::ConnectTo(port_);
                               if (fd >= 0) close(fd);
                               return fd >= 0;
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

MqttWatcher::MqttWatcher(int port, const std::string& id, const std::string& topic) : topic_(topic)
{
    mosquitto_lib_init();
    client_ = mosquitto_new(id.c_str(), false, this);
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect(client_, "127.0.0.1", port, 10);
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
