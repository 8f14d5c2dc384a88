// lirnhub and an RTU slave for the hub's tests and benchmark: see hub_support.h.
#include "hub_support.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

bool HubProcess::Start(const std::vector<std::string>& args)
{
    std::vector<std::string> all = {LIRN_BUILD_DIR "/lirnhub", "--json-status", dir_.Path("status.json")};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string err = dir_.Path("hub.err");
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid_ > 0;
}

int HubProcess::Stop()
{
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

nlohmann::json HubProcess::Status() const
{
    return nlohmann::json::parse(dir_.ReadFile("status.json"), nullptr, false);
}

nlohmann::json HubProcess::Gateway(const std::string& id) const
{
    nlohmann::json s = Status();
    if (s.is_object() && s["gateways"].is_array())
        for (const nlohmann::json& g : s["gateways"])
            if (g.value("id", "") == id) return g;
    return nlohmann::json::object();
}

bool HubProcess::WaitOnline(const std::string& id, Millis timeout, bool online) const
{
    return WaitUntil([&] { return Gateway(id).value("online", !online) == online; }, timeout, Millis(50));
}

uint16_t RtuSlave::Value(int i)
{
    if (i % 3 == 0) return 0;
    return static_cast<uint16_t>(i % 3 == 1 ? (i + 1) << 8 : i + 1);
}

RtuSlave::RtuSlave(const std::string& device, int baud)
{
    modbus_t* ctx = modbus_new_rtu(device.c_str(), baud, 'N', 8, 1);
    if (ctx == nullptr || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        if (ctx != nullptr) modbus_free(ctx);
        return;
    }
    serving_ = true;
    // Wakes every 100 ms without a request to look at the stop flag.
    modbus_set_indication_timeout(ctx, 0, 100000);
    thread_ = std::thread([this, ctx] {
        modbus_mapping_t* map = modbus_mapping_new(0, 0, kRegisters, 0);
        for (int i = 0; i < kRegisters; ++i) map->tab_registers[i] = Value(i);
        uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            int n = modbus_receive(ctx, request);
            if (n > 0) modbus_reply(ctx, request, n, map);
        }
        modbus_mapping_free(map);
        modbus_close(ctx);
        modbus_free(ctx);
    });
}

RtuSlave::~RtuSlave()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

_modbus* ModbusMaster(int port, int timeoutMs)
{
    modbus_t* m = modbus_new_tcp("127.0.0.1", port);
    if (m == nullptr) return nullptr;
    modbus_set_slave(m, 1);
    modbus_set_response_timeout(m, static_cast<uint32_t>(timeoutMs / 1000),
                                static_cast<uint32_t>(timeoutMs % 1000) * 1000);
    if (modbus_connect(m) != 0) {
        modbus_free(m);
        return nullptr;
    }
    return m;
}

bool PollChecked(_modbus* master, int addr, int count, int* error)
{
    uint16_t regs[MODBUS_MAX_READ_REGISTERS];
    int n = modbus_read_registers(master, addr, count, regs);
    if (error != nullptr) *error = n < 0 ? errno : 0;
    if (n != count) return false;
    for (int k = 0; k < count; ++k)
        if (regs[k] != RtuSlave::Value(addr + k)) return false;
    return true;
}
