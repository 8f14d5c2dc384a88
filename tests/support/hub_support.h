// lirnhub for its tests and benchmark: the program run as a process of the test with a status
// file of its own, and a libmodbus RTU slave serving at the far end of a gateway's serial port.
#pragma once

#include "temp_dir.h"
#include "wait_until.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

class HubProcess {
public:
    HubProcess() = default;
    ~HubProcess() { Stop(); }
    HubProcess(const HubProcess&) = delete;
    HubProcess& operator=(const HubProcess&) = delete;

    // Runs build/lirnhub with these arguments and --json-status in its own directory.
    bool Start(const std::vector<std::string>& args);
    // SIGTERM, then its exit: the exit status (-1 when it did not run or ended by a signal).
    int Stop();
    pid_t Pid() const { return pid_; }
    std::string Log() const { return dir_.ReadFile("hub.err"); }
    std::string Path(const std::string& inside) const { return dir_.Path(inside); }
    // The status table as written last (null before the first or when unreadable).
    nlohmann::json Status() const;
    // The gateway's entry of the status table (an empty object when it has none).
    nlohmann::json Gateway(const std::string& id) const;
    // Waits until the hub shows the gateway online (or, with online false, offline).
    bool WaitOnline(const std::string& id, Millis timeout, bool online = true) const;

private:
    TempDir dir_{"lirn-hub"};
    pid_t pid_ = -1;
};

// An RTU slave (unit 1, 250 holding registers) on a serial device, on a thread of its own.
class RtuSlave {
public:
    explicit RtuSlave(const std::string& device, int baud = 115200);
    ~RtuSlave();
    RtuSlave(const RtuSlave&) = delete;
    RtuSlave& operator=(const RtuSlave&) = delete;

    bool Serving() const { return serving_; }
    // The value of register i: every third zero, the others with a zero high or low byte.
    static uint16_t Value(int i);
    static constexpr int kRegisters = 250;

private:
    std::atomic<bool> stop_{false};
    bool serving_ = false;
    std::thread thread_;
};

// A libmodbus TCP master on a loopback port, unit 1; null when it cannot connect.
struct _modbus;
_modbus* ModbusMaster(int port, int timeoutMs = 3000);
// Reads count holding registers from addr and checks them against RtuSlave::Value: true when
// every value is right. *error takes libmodbus's errno on a failed read (0 otherwise).
bool PollChecked(_modbus* master, int addr, int count, int* error = nullptr);
