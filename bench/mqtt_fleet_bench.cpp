// Fleet benchmark of the MQTT mode: many simulated gateways (MQTT_FLEET, default 20), each with an
// IMEI of its own, publish their serial input to one mosquitto on loopback while one subscriber
// watches every gateway's up topic. Each gateway's PC end writes a numbered line every
// MQTT_FLEET_PERIOD_MS (default 50) for MQTT_FLEET_SECONDS (default 20), with a quiet gap of
// MQTT_FLEET_GAP_MS (default 20). Measured: messages per second through the broker, end-to-end
// latency from the serial write to the subscriber's receipt (the gap included) p50/p99, lines
// missing, and the firmware's CPU per gateway.
//
// Not a test: it prints figures. Run with tools/run-bench (make bench).
#include "board.h"
#include "control_client.h"
#include "fleet_support.h"
#include "mqtt_broker.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

bool StartGateway(Board& board, int gateway, int brokerPort, int gapMs)
{
    return StartMqttGateway(board, gateway, brokerPort, gapMs, "fleet") && board.OpenPc() >= 0;
}

long long CpuMs(Board& board)
{
    std::string ms = ControlField(board.Control("fw usage"), "cpu_ms");
    return ms.empty() ? 0 : std::stoll(ms);
}

}  // namespace

int main()
{
    const int gateways = EnvInt("MQTT_FLEET", 20);
    const int periodMs = EnvInt("MQTT_FLEET_PERIOD_MS", 50);
    const int seconds = EnvInt("MQTT_FLEET_SECONDS", 20);
    const int gapMs = EnvInt("MQTT_FLEET_GAP_MS", 20);

    MqttBroker broker;
    if (!broker.Start()) {
        std::fprintf(stderr, "mosquitto did not start\n");
        return 1;
    }
    // Send times by line text; the subscriber turns them into latencies.
    std::mutex lock;
    std::map<std::string, Clock::time_point> sentAt;
    std::vector<double> latencies;
    std::atomic<int> received{0};
    MqttWatcher watch(broker.Port(), "fleet-watch", "fleet/+/up");
    std::atomic<int> messages{0};
    // A message holds the lines that came within one quiet gap (one, unless the period is shorter).
    watch.onMessage = [&](const MqttMessage& m) {
        auto now = Clock::now();
        std::lock_guard<std::mutex> hold(lock);
        messages++;
        for (std::size_t at = 0, end; (end = m.payload.find('\n', at)) != std::string::npos; at = end + 1) {
            auto it = sentAt.find(m.payload.substr(at, end + 1 - at));
            if (it == sentAt.end()) continue;
            latencies.push_back(std::chrono::duration<double, std::milli>(now - it->second).count());
            sentAt.erase(it);
            received++;
        }
    };

    std::vector<std::unique_ptr<Board>> boards;
    for (int i = 0; i < gateways; ++i) {
        boards.push_back(std::make_unique<Board>());
        if (!StartGateway(*boards.back(), i, broker.Port(), gapMs)) {
            std::fprintf(stderr, "gateway %d did not start\n", i);
            return 1;
        }
    }
    MqttWatcher status(broker.Port(), "fleet-status", "fleet/+/status");
    bool allOnline = status.WaitFor(
        [&](auto& m) {
            std::map<std::string, std::string> last;
            for (const MqttMessage& msg : m) last[msg.topic] = msg.payload;
            return std::count_if(last.begin(), last.end(), [](auto& t) { return t.second == "online"; }) >= gateways;
        },
        Millis(120000));
    if (!allOnline) {
        std::fprintf(stderr, "not every gateway came online\n");
        return 1;
    }

    std::vector<long long> cpuBefore;
    for (auto& b : boards) cpuBefore.push_back(CpuMs(*b));
    const auto start = Clock::now();
    std::atomic<int> sent{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < gateways; ++i)
        writers.emplace_back([&, i] {
            auto due = start + Millis(periodMs * i / gateways);  // spread over the period
            for (int seq = 0; due < start + std::chrono::seconds(seconds); ++seq, due += Millis(periodMs)) {
                std::this_thread::sleep_until(due);
                char line[32];
                std::snprintf(line, sizeof line, "g%03d s%06d\n", i, seq);
                {
                    std::lock_guard<std::mutex> hold(lock);
                    sentAt[line] = Clock::now();
                }
                if (boards[static_cast<std::size_t>(i)]->PcWrite(line)) sent++;
            }
        });
    for (std::thread& t : writers) t.join();
    const double sendSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    WaitUntil([&] { return received.load() >= sent.load(); }, Millis(30000));
    const double allSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    long long cpuMs = 0;
    for (std::size_t i = 0; i < boards.size(); ++i) cpuMs += CpuMs(*boards[i]) - cpuBefore[i];

    std::lock_guard<std::mutex> hold(lock);
    std::printf("%-52s %12d\n", "gateways (one mosquitto, loopback)", gateways);
    std::printf("%-52s %12d\n", "lines written (one per gateway every period)", sent.load());
    std::printf("%-52s %12d\n", "  of which received by the subscriber", received.load());
    std::printf("%-52s %12.1f\n", "messages per second through the broker", messages.load() / allSeconds);
    std::printf("%-52s %12.1f\n", "lines per second offered", sent.load() / sendSeconds);
    std::printf("%-52s %12.1f\n", "lines per second received", received.load() / allSeconds);
    std::printf("latency serial -> subscriber, %d ms quiet gap included (ms)\n", gapMs);
    std::printf("%-52s %12.2f\n", "  p50", Percentile(latencies, 0.5));
    std::printf("%-52s %12.2f\n", "  p99", Percentile(latencies, 0.99));
    std::printf("%-52s %12.2f\n", "firmware CPU per gateway (% of a core)", 100.0 * cpuMs / 1000.0 / allSeconds / gateways);
    return received.load() == sent.load() ? 0 : 1;
}
