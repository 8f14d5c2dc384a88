// lirnhub in front of a fleet: one hub, one mosquitto on loopback, LIRNHUB_FLEET gateways mapped
// as Modbus TCP servers (default 200). LIRNHUB_REAL of them (default 5) are real firmware on
// simulated boards with a libmodbus RTU slave at the PC end of their serial port; the others are
// light MQTT clients that answer the RTU requests on their down topic as a slave would (each reply
// in two up messages, so the hub has to join them).
//
// Measured: the round trip of LIRNHUB_POLLS polls (default 1000) of 10 holding registers through
// one real gateway (a libmodbus TCP master -> hub -> broker -> firmware -> RTU slave and back);
// then every listener up and LIRNHUB_ROUNDS polls (default 10) to every gateway at once, one
// master each; the hub's CPU (polling and idle) and memory per gateway.
//
// Not a test: it prints figures. Run with tools/run-bench (make bench).
#include "board.h"
#include "fleet_support.h"
#include "hub_support.h"
#include "modbus_frames.h"
#include "mqtt_broker.h"
#include "tunnel_loopback.h"

#include <modbus/modbus.h>
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

const char kPrefix[] = "hubfleet";

// A gateway that is only an MQTT client: online with a retained will, and an RTU slave on down.
class LightGateway {
public:
    LightGateway(int port, const std::string& id) : tree_(std::string(kPrefix) + "/" + id + "/")
    {
        m_ = mosquitto_new(id.c_str(), true, this);
        std::string status = tree_ + "status";
        mosquitto_will_set(m_, status.c_str(), 7, "offline", 1, true);
        mosquitto_connect_callback_set(m_, [](struct mosquitto* m, void* self, int rc) {
            auto* g = static_cast<LightGateway*>(self);
            if (rc != 0) return;
            mosquitto_subscribe(m, nullptr, (g->tree_ + "down").c_str(), 1);
            mosquitto_publish(m, nullptr, (g->tree_ + "status").c_str(), 6, "online", 1, true);
        });
        mosquitto_message_callback_set(m_, [](struct mosquitto* m, void* self, const struct mosquitto_message* msg) {
            static_cast<LightGateway*>(self)->Answer(m, std::string(static_cast<const char*>(msg->payload),
                                                                    static_cast<std::size_t>(msg->payloadlen)));
        });
        mosquitto_connect(m_, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_);
    }
    ~LightGateway()
    {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }

private:
    // A read of holding registers (function 3) answered with the slave's values, in two pieces.
    void Answer(struct mosquitto* m, const std::string& request)
    {
        const auto* r = reinterpret_cast<const uint8_t*>(request.data());
        if (request.size() != 8 || r[1] != 0x03) return;
        int addr = r[2] << 8 | r[3], count = r[4] << 8 | r[5];
        std::string pdu = {0x03, static_cast<char>(count * 2)};
        for (int k = 0; k < count; ++k) {
            uint16_t v = RtuSlave::Value(addr + k);
            pdu += static_cast<char>(v >> 8);
            pdu += static_cast<char>(v & 0xFF);
        }
        std::string reply = lirnhub::RtuFrame(r[0], pdu);
        std::string up = tree_ + "up";
        std::size_t half = reply.size() / 2;
        mosquitto_publish(m, nullptr, up.c_str(), static_cast<int>(half), reply.data(), 1, false);
        mosquitto_publish(m, nullptr, up.c_str(), static_cast<int>(reply.size() - half), reply.data() + half, 1, false);
    }

    std::string tree_;
    struct mosquitto* m_ = nullptr;
};

// CPU time (ms) and resident memory (kB) of a process.
long long CpuMs(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::size_t at = line.rfind(')');
    if (at == std::string::npos) return 0;
    std::istringstream rest(line.substr(at + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {  // fields counted from 1; the third follows the name
        if (i == 14) utime = std::stoll(field);
        if (i == 15) stime = std::stoll(field);
    }
    return (utime + stime) * 1000 / sysconf(_SC_CLK_TCK);
}

long long RssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
    return 0;
}

}  // namespace

int main()
{
    const int fleet = EnvInt("LIRNHUB_FLEET", 200);
    const int real = std::min(fleet, EnvInt("LIRNHUB_REAL", 5));
    const int polls = EnvInt("LIRNHUB_POLLS", 1000);
    const int rounds = EnvInt("LIRNHUB_ROUNDS", 10);
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    MqttBroker broker;
    if (!broker.Start()) {
        std::fprintf(stderr, "mosquitto did not start\n");
        return 1;
    }
    std::vector<std::unique_ptr<Board>> boards;
    std::vector<std::unique_ptr<RtuSlave>> slaves;
    for (int i = 0; i < real; ++i) {
        boards.push_back(std::make_unique<Board>());
        if (!StartMqttGateway(*boards.back(), i, broker.Port(), 5, kPrefix)) {
            std::fprintf(stderr, "gateway %d did not start\n", i);
            return 1;
        }
        slaves.push_back(std::make_unique<RtuSlave>(boards.back()->Path("pc/ttyS0")));
    }
    mosquitto_lib_init();
    std::vector<std::unique_ptr<LightGateway>> lights;
    for (int i = real; i < fleet; ++i) lights.push_back(std::make_unique<LightGateway>(broker.Port(), FleetImei(i)));

    const int firstPort = tunneltest::FreePortRun(fleet);
    std::string maps;
    for (int i = 0; i < fleet; ++i) maps += FleetImei(i) + "=" + std::to_string(firstPort + i) + ",modbus\n";
    HubProcess hub;
    WriteWholeFile(hub.Path("fleet.map"), maps);
    if (!hub.Start({"--broker", "127.0.0.1:" + std::to_string(broker.Port()), "--prefix", kPrefix, "--map-file",
                    hub.Path("fleet.map")})) {
        std::fprintf(stderr, "lirnhub did not start\n");
        return 1;
    }
    bool allOnline = WaitUntil(
        [&] {
            nlohmann::json s = hub.Status();
            if (!s.is_object() || !s["gateways"].is_array()) return false;
            return std::count_if(s["gateways"].begin(), s["gateways"].end(),
                                 [](const nlohmann::json& g) { return g.value("online", false); }) == fleet;
        },
        Millis(120000), Millis(200));
    if (!allOnline) {
        std::fprintf(stderr, "not every gateway came online at the hub\n%s", hub.Log().c_str());
        return 1;
    }
    int listening = 0;
    for (int i = 0; i < fleet; ++i) {
        int fd = tunneltest::ConnectTo(firstPort + i);
        if (fd < 0) continue;
        ++listening;
        close(fd);
    }

    // The round trip through one real gateway.
    std::vector<double> single;
    int singleErrors = 0;
    modbus_t* master = ModbusMaster(firstPort);
    for (int i = 0; master != nullptr && i < polls; ++i) {
        auto start = Clock::now();
        singleErrors += PollChecked(master, i % 200, 10) ? 0 : 1;
        single.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    if (master == nullptr) singleErrors = polls;
    modbus_free(master);

    // Every gateway at once: a master each, served by a pool of threads.
    std::mutex lock;
    std::vector<double> fleetMs;
    std::atomic<int> fleetErrors{0}, next{0};
    long long cpuBefore = CpuMs(hub.Pid());
    auto roundStart = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < 20; ++t)
        pool.emplace_back([&] {
            for (int g; (g = next++) < fleet;) {
                modbus_t* m = ModbusMaster(firstPort + g);
                for (int i = 0; i < rounds; ++i) {
                    auto start = Clock::now();
                    bool ok = m != nullptr && PollChecked(m, (g + i) % 200, 10);
                    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                    fleetErrors += ok ? 0 : 1;
                    std::lock_guard<std::mutex> hold(lock);
                    fleetMs.push_back(ms);
                }
                if (m != nullptr) modbus_free(m);
            }
        });
    for (std::thread& t : pool) t.join();
    const double roundSeconds = std::chrono::duration<double>(Clock::now() - roundStart).count();
    const long long cpuPolling = CpuMs(hub.Pid()) - cpuBefore;
    cpuBefore = CpuMs(hub.Pid());
    std::this_thread::sleep_for(std::chrono::seconds(10));  // the idle figure: ten seconds of nothing
    const long long cpuIdle = CpuMs(hub.Pid()) - cpuBefore;
    const long long rss = RssKb(hub.Pid());

    std::printf("%-58s %10d\n", "gateways mapped (Modbus TCP), one hub, one mosquitto", fleet);
    std::printf("%-58s %10d\n", "  of which real firmware on simulated boards", real);
    std::printf("%-58s %10d\n", "listeners accepting", listening);
    std::printf("polls of 10 holding registers through one real gateway\n");
    std::printf("%-58s %10d\n", "  polls", polls);
    std::printf("%-58s %10d\n", "  errors", singleErrors);
    std::printf("%-58s %10.2f\n", "  round trip p50 (ms)", Percentile(single, 0.5));
    std::printf("%-58s %10.2f\n", "  round trip p99 (ms)", Percentile(single, 0.99));
    std::printf("every gateway at once, %d polls each\n", rounds);
    std::printf("%-58s %10zu\n", "  polls", fleetMs.size());
    std::printf("%-58s %10d\n", "  errors", fleetErrors.load());
    std::printf("%-58s %10.2f\n", "  polls per second", static_cast<double>(fleetMs.size()) / roundSeconds);
    std::printf("%-58s %10.2f\n", "  round trip p50 (ms)", Percentile(fleetMs, 0.5));
    std::printf("%-58s %10.2f\n", "  round trip p99 (ms)", Percentile(fleetMs, 0.99));
    std::printf("%-58s %10.3f\n", "hub CPU per gateway while polling (% of a core)",
                100.0 * static_cast<double>(cpuPolling) / 1000.0 / roundSeconds / fleet);
    std::printf("%-58s %10.4f\n", "hub CPU per gateway idle (% of a core)",
                100.0 * static_cast<double>(cpuIdle) / 10000.0 / fleet);
    std::printf("%-58s %10lld\n", "hub resident memory (kB)", rss);
    std::printf("%-58s %10.1f\n", "hub resident memory per gateway (kB)", static_cast<double>(rss) / fleet);
    bool ok = listening == fleet && singleErrors == 0 && fleetErrors == 0;
    lights.clear();
    mosquitto_lib_cleanup();
    return ok ? 0 : 1;
}
