// The simulated board's assembly, its loop and its control requests (see sim_board.h, CONTROL.md).
#include "sim_board.h"

#include "board_util.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

const std::vector<int> kBoardGpioLines = {27, 26, 28, 30, 7, 5, 80, 29, 4, 25, 6, 92, 77, 0};

namespace {

// Control connections served at once, and the longest request line.
constexpr std::size_t kMaxClients = 32;
constexpr std::size_t kMaxRequestBytes = 4096;
// A control client that does not take its reply within this time is dropped.
constexpr int kReplySendTimeoutMs = 2000;

// The tree every board has, relative to its root.
const char* const kTree[] = {"APP", "media/card", "sys/class/gpio", "dev", "pc", "bin", "board"};

std::string Ok(const std::string& text = "")
{
    return text.empty() ? "ok" : "ok " + text;
}

std::string Err(const std::string& text)
{
    return "err " + text;
}

std::string StatusText(int status)
{
    if (WIFEXITED(status)) return "exited " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed " + std::to_string(WTERMSIG(status));
    return "ended " + std::to_string(status);
}

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

int LedGpio(const std::string& name)
{
    if (name == "status") return kStatusLedGpio;
    if (name == "gps") return kGpsLedGpio;
    return -1;
}

// "ok COUNT" or "ok COUNT LAST": the count of a record and its newest entry.
std::string CountAndLast(std::size_t count, const std::string& last)
{
    return Ok(std::to_string(count) + (count > 0 ? " " + last : ""));
}

int ListenUnix(const std::string& path)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot listen on " + path + ": " + std::strerror(errno));
    }
    return fd;
}

// The root as an absolute path without links: the firmware's mapped paths must compare equal to
// the ones the board and its stand-ins use.
std::string CanonicalRoot(const std::string& dir)
{
    if (!MakeDirs(dir)) throw std::runtime_error("cannot make " + dir);
    char* real = realpath(dir.c_str(), nullptr);
    if (real == nullptr) throw std::runtime_error("cannot resolve " + dir);
    std::string out = real;
    free(real);
    return out;
}

}  // namespace

struct SimBoard::Verb {
    const char* name;
    std::string (SimBoard::*handle)(const std::vector<std::string>& args);
    const char* usage;
};

struct SimBoard::Device {
    std::string prefix;
    std::string path;  // the node, relative to the root
    std::unique_ptr<SimDevice> device;
    std::unique_ptr<DevicePty> pty;  // declared after the device: it goes first
};

struct SimBoard::Client {
    int fd;
    std::string pending;
};

// The board's own requests, in the order help lists them.
const SimBoard::Verb SimBoard::kVerbs[] = {
    {"ping", &SimBoard::Ping, "ping"},
    {"help", &SimBoard::Help, "help"},
    {"pids", &SimBoard::Pids, "pids"},
    {"fw", &SimBoard::Fw, "fw [start|stop|restart|usage | env [NAME=VALUE]]"},
    {"reboots", &SimBoard::Reboots, "reboots"},
    {"init", &SimBoard::Init, "init [low|high|missing]"},
    {"gpio", &SimBoard::Gpio, "gpio [N]"},
    {"led", &SimBoard::Led, "led status|gps [history [SINCE_MS]]"},
    {"now", &SimBoard::Now, "now"},
    {"date", &SimBoard::Date, "date [N]"},
    {"clock", &SimBoard::Clock, "clock [set YYYY-MM-DD HH:MM:SS | writes]"},
    {"adc", &SimBoard::Adc, "adc [result VALUE]"},
    {"i2c", &SimBoard::I2c, "i2c [fault none|short|missing | read ADDR REG [COUNT] | write ADDR REG BYTE...]"},
    {"card", &SimBoard::Card, "card [mount [SIZE USED AVAIL USE%] | unmount | remove | insert | full on|off]"},
    {"serial", &SimBoard::Serial, "serial [pace on|off]"},
    {"node", &SimBoard::Node, "node [remove|restore|opens PATH]"},
    {"app", &SimBoard::App, "app [writable|readonly]"},
};

SimBoard::SimBoard(const BoardOptions& options)
    : options_(options), root_(CanonicalRoot(options.root)), firmware_(root_, options.firmwareStdout)
{
    for (const char* dir : kTree)
        if (!MakeDirs(root_ + "/" + dir)) throw std::runtime_error("cannot make " + root_ + "/" + dir);

    serial_ = std::make_unique<NullModem>(root_ + "/dev/ttyHSL3", root_ + "/pc/ttyS0");
    gpio_ = std::make_unique<GpioBank>(root_ + "/sys/class/gpio", root_ + "/board/gpio", options.init, options.exported,
                                       kBoardGpioLines, std::vector<int>{kStatusLedGpio, kGpsLedGpio});
    i2c_ = std::make_unique<I2cImage>(root_ + "/dev/i2c-0", options.clock ? *options.clock : HostLocalCalendarNow());
    standIns_ = std::make_unique<StandIns>(root_);
    faults_ = std::make_unique<BoardFaults>(root_);
    standIns_->SetCard(options.cardMounted ? std::optional<CardSizes>(options.card) : std::nullopt);
    for (const DeviceEntry& entry : options.devices) {
        auto d = std::make_unique<Device>();
        d->prefix = entry.prefix;
        d->path = entry.path;
        d->device = entry.make();
        d->pty = std::make_unique<DevicePty>(*d->device, root_ + "/" + entry.path);
        devices_.push_back(std::move(d));
    }
    listen_ = ListenUnix(SocketPath());

    serial_->Start();
    gpio_->Start();
    i2c_->Start();
    for (auto& d : devices_) d->pty->Start();
    try {
        ApplySettings();
    } catch (...) {
        CloseControl();  // no destructor runs for a board that was never built
        throw;
    }
}

void SimBoard::ApplySettings()
{
    for (const std::string& line : options_.settings) {
        std::vector<std::string> words = SplitWords(line);
        // Which firmware runs, and when, is the options' business (--firmware, --no-firmware); its
        // environment may be set.
        if (!words.empty() && words[0] == "fw" && (words.size() < 2 || words[1] != "env"))
            throw std::runtime_error("--set \"" + line + "\": fw is not a setting");
        std::string reply = Request(line);
        if (reply.compare(0, 2, "ok") != 0) throw std::runtime_error("--set \"" + line + "\": " + reply);
        BoardLog("set %s: %s", line.c_str(), reply.c_str());
    }
}

SimBoard::~SimBoard()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        firmware_.Stop();
    }
    for (auto& d : devices_) d->pty->Stop();
    CloseControl();
}

void SimBoard::CloseControl()
{
    if (listen_ >= 0) {
        close(listen_);
        unlink(SocketPath().c_str());
    }
    listen_ = -1;
}

void SimBoard::RequestStop()
{
    loop_.RequestStop();
}

std::string SimBoard::NextProgram() const
{
    // An installed update runs from the application directory, as on the module.
    std::string installed = root_ + "/APP/fw";
    struct stat st;
    if (stat(installed.c_str(), &st) != 0) return options_.firmware;
    if (S_ISREG(st.st_mode) && access(installed.c_str(), X_OK) == 0) return installed;
    BoardLog("%s is not an executable file; the board's own firmware runs instead", installed.c_str());
    return options_.firmware;
}

void SimBoard::Reboot()
{
    ++reboots_;
    BoardLog("reboot %d: the firmware asked for init 6", reboots_);
    firmware_.Stop();
    std::string program = NextProgram();
    if (program.empty()) {
        BoardLog("no firmware to start after the reboot");
        return;
    }
    firmware_.Start(program, {});
}

void SimBoard::OnFirmwareExit()
{
    if (!firmware_.Running()) return;
    struct pollfd pfd = {firmware_.ExitFd(), POLLIN, 0};
    if (poll(&pfd, 1, 0) <= 0) return;
    int status = firmware_.Reap();
    BoardLog("firmware %s", StatusText(status).c_str());
}

void SimBoard::Run()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!options_.firmware.empty()) firmware_.Start(options_.firmware, options_.firstArgs);
    }
    std::vector<Client> clients;
    while (!loop_.Stopping()) {
        int exitFd;
        {
            std::lock_guard<std::mutex> hold(lock_);
            exitFd = firmware_.ExitFd();  // -1 (ignored by poll) while nothing runs
        }
        std::vector<struct pollfd> pfd = {{loop_.WakeFd(), POLLIN, 0},
                                          {listen_, POLLIN, 0},
                                          {standIns_->InitFd(), POLLIN, 0},
                                          {exitFd, POLLIN, 0},
                                          {faults_->WatchFd(), POLLIN, 0}};
        constexpr std::size_t kClientsFrom = 5;
        for (const Client& c : clients) pfd.push_back({c.fd, POLLIN, 0});
        if (poll(pfd.data(), pfd.size(), -1) < 0) {
            if (errno == EINTR) continue;
            BoardLog("poll failed: %s", std::strerror(errno));
            break;
        }
        if (pfd[0].revents & POLLIN) loop_.Drain();
        if (pfd[2].revents & POLLIN) {
            std::lock_guard<std::mutex> hold(lock_);
            if (standIns_->TakeInitRequests() > 0) Reboot();
        }
        if (pfd[3].revents & POLLIN) {
            std::lock_guard<std::mutex> hold(lock_);
            OnFirmwareExit();
        }
        if (pfd[4].revents & POLLIN) {
            std::lock_guard<std::mutex> hold(lock_);
            faults_->TakeEvents();
        }
        for (std::size_t i = 0; i < clients.size(); ++i)
            if (pfd[kClientsFrom + i].revents & (POLLIN | POLLHUP | POLLERR)) ServeClient(clients[i]);
        std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
        if (pfd[1].revents & POLLIN) {
            int fd;
            while ((fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
                if (clients.size() >= kMaxClients) {
                    close(fd);
                    continue;
                }
                struct timeval tv = {kReplySendTimeoutMs / 1000, 0};
                setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                clients.push_back({fd, {}});
            }
        }
    }
    for (Client& c : clients) close(c.fd);
    std::lock_guard<std::mutex> hold(lock_);
    firmware_.Stop();
}

void SimBoard::ServeClient(Client& c)
{
    char buf[1024];
    ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        close(c.fd);
        c.fd = -1;
        return;
    }
    c.pending.append(buf, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = c.pending.find('\n')) != std::string::npos) {
        std::string reply = Request(c.pending.substr(0, end)) + "\n";
        c.pending.erase(0, end + 1);
        if (send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size())) {
            close(c.fd);
            c.fd = -1;
            return;
        }
    }
    if (c.pending.size() > kMaxRequestBytes) {
        std::string reply = Err("request longer than " + std::to_string(kMaxRequestBytes) + " bytes") + "\n";
        send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(c.fd);
        c.fd = -1;
    }
}

std::string SimBoard::Request(const std::string& line)
{
    std::vector<std::string> words = SplitWords(line);
    if (words.empty()) return Err("empty request");
    std::vector<std::string> args(words.begin() + 1, words.end());
    std::string reply;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& d : devices_)
            if (words[0] == d->prefix) return d->pty->Control(args);
        for (const Verb& v : kVerbs)
            if (words[0] == v.name) {
                reply = (this->*v.handle)(args);
                if (reply.empty()) reply = Err(std::string("usage: ") + v.usage);
                break;
            }
    }
    loop_.Wake();  // the request may have changed what the loop waits on (a firmware started or stopped)
    return reply.empty() ? Err("unknown request \"" + words[0] + "\" (try help)") : reply;
}

// Handlers run under lock_. An empty reply means the arguments did not fit: the caller answers
// with the verb's usage.

std::string SimBoard::Ping(const std::vector<std::string>& a)
{
    return a.empty() ? Ok("pong") : "";
}

std::string SimBoard::Help(const std::vector<std::string>&)
{
    std::string names;
    for (const Verb& v : kVerbs) names += std::string(names.empty() ? "" : " ") + v.name;
    for (auto& d : devices_) names += " " + d->prefix;
    return Ok(names);
}

std::string SimBoard::Pids(const std::vector<std::string>& a)
{
    if (!a.empty()) return "";
    std::string fw = firmware_.Running() ? std::to_string(firmware_.Pid()) : "-";
    return Ok("board=" + std::to_string(getpid()) + " fw=" + fw);
}

std::string SimBoard::Fw(const std::vector<std::string>& a)
{
    if (a.empty()) {
        if (firmware_.Running()) return Ok("running " + std::to_string(firmware_.Pid()) + " " + firmware_.Program());
        return Ok(firmware_.LastStatus() < 0 ? "stopped" : StatusText(firmware_.LastStatus()));
    }
    if (a[0] == "env" && a.size() <= 2) {
        if (a.size() == 2 && !firmware_.SetEnv(a[1])) return Err("not a variable to set: " + a[1]);
        std::string all;
        for (const std::string& e : firmware_.ExtraEnv()) all += (all.empty() ? "" : " ") + e;
        return Ok(all);
    }
    if (a.size() != 1) return "";
    if (a[0] == "usage") {
        if (!firmware_.Running()) return Err("no firmware running");
        ProcessUsage u = ReadProcessUsage(firmware_.Pid());
        return Ok("cpu_ms=" + std::to_string(u.cpuMs) + " rss_kb=" + std::to_string(u.rssKb));
    }
    if (a[0] == "stop") {
        firmware_.Stop();
        return Ok();
    }
    if (a[0] != "start" && a[0] != "restart") return "";
    if (a[0] == "start" && firmware_.Running()) return Err("firmware already running");
    firmware_.Stop();
    std::string program = NextProgram();
    if (program.empty()) return Err("no firmware to start");
    if (!firmware_.Start(program, {})) return Err("cannot start " + program);
    return Ok("running " + std::to_string(firmware_.Pid()) + " " + program);
}

std::string SimBoard::Reboots(const std::vector<std::string>& a)
{
    return a.empty() ? Ok(std::to_string(reboots_)) : "";
}

std::string SimBoard::Init(const std::vector<std::string>& a)
{
    if (a.size() > 1) return "";
    if (a.size() == 1) {
        std::optional<PinLevel> level = ParsePinLevel(a[0]);
        if (!level) return "";
        gpio_->SetInitLevel(*level);
    }
    return Ok(PinLevelName(gpio_->InitLevel()));
}

std::string SimBoard::Gpio(const std::vector<std::string>& a)
{
    if (a.empty()) {
        std::string lines;
        for (int gpio : gpio_->Exported()) lines += (lines.empty() ? "" : " ") + std::to_string(gpio);
        return Ok(lines);
    }
    std::optional<long long> gpio = a.size() == 1 ? ParseNumber(a[0]) : std::nullopt;
    if (!gpio || *gpio < 0 || *gpio > INT_MAX) return "";
    std::optional<GpioLine> line = gpio_->Line(static_cast<int>(*gpio));
    if (!line) return Err("gpio " + a[0] + " not exported");
    return Ok("direction=" + line->direction + " active_low=" + line->activeLow +
              " value=" + (line->value ? *line->value : "none"));
}

std::string SimBoard::Led(const std::vector<std::string>& a)
{
    int gpio = a.empty() ? -1 : LedGpio(a[0]);
    if (gpio < 0 || a.size() > 3) return "";
    if (a.size() == 1) {
        return Ok(std::to_string(gpio_->Level(gpio)) + " " + std::to_string(gpio_->History(gpio).size()));
    }
    if (a[1] != "history") return "";
    std::optional<long long> since = a.size() == 3 ? ParseNumber(a[2]) : std::optional<long long>(INT64_MIN);
    if (!since) return "";
    std::string changes;
    for (const LevelChange& c : gpio_->History(gpio, *since))
        changes += (changes.empty() ? "" : " ") + std::to_string(c.atMs) + ":" + std::to_string(c.level);
    return Ok(changes);
}

std::string SimBoard::Now(const std::vector<std::string>& a)
{
    return a.empty() ? Ok(std::to_string(BoardNowMs())) : "";
}

std::string SimBoard::Date(const std::vector<std::string>& a)
{
    std::vector<std::string> times = standIns_->DateSettings();
    if (a.empty()) return CountAndLast(times.size(), times.empty() ? "" : times.back());
    std::optional<long long> n = a.size() == 1 ? ParseNumber(a[0]) : std::nullopt;
    if (!n) return "";
    if (*n < 1 || static_cast<std::size_t>(*n) > times.size()) return Err("no date setting " + a[0]);
    return Ok(times[static_cast<std::size_t>(*n - 1)]);
}

std::string SimBoard::Clock(const std::vector<std::string>& a)
{
    if (a.size() == 1 && a[0] == "writes") {
        std::vector<int64_t> writes = i2c_->ClockWrites();
        return CountAndLast(writes.size(), writes.empty() ? "" : FormatCalendar(writes.back()));
    }
    if (a.size() == 3 && a[0] == "set") {
        std::optional<int64_t> t = ParseCalendar(a[1] + " " + a[2]);
        if (!t) return Err("not a time: " + a[1] + " " + a[2]);
        i2c_->SetClock(*t);
    } else if (!a.empty()) {
        return "";
    }
    int64_t now = i2c_->ClockNow();
    RtcRegisters regs = RtcEncode(now);
    int weekday = __builtin_ctz(regs[3]);
    return Ok(FormatCalendar(now) + " " + std::to_string(weekday));
}

std::string SimBoard::Adc(const std::vector<std::string>& a)
{
    if (a.size() == 2 && a[0] == "result") {
        std::optional<long long> v = ParseNumber(a[1]);
        if (!v || *v < 0 || *v > 0xFFFF) return Err("result must be 0 to 65535");
        i2c_->SetAdcResult(static_cast<uint16_t>(*v));
    } else if (!a.empty()) {
        return "";
    }
    std::vector<uint16_t> configs = i2c_->AdcConfigWrites();
    return Ok("result=" + Hex(i2c_->AdcResult(), 4) + " config=" + (configs.empty() ? "none" : Hex(configs.back(), 4)) +
              " writes=" + std::to_string(configs.size()));
}

std::string SimBoard::I2c(const std::vector<std::string>& a)
{
    if (a.empty()) return Ok(std::string("fault=") + ImageFaultName(i2c_->Fault()));
    if (a[0] == "fault" && a.size() == 2) {
        std::optional<ImageFault> f = ParseImageFault(a[1]);
        if (!f) return "";
        i2c_->SetFault(*f);
        return Ok(std::string("fault=") + ImageFaultName(*f));
    }
    if (a.size() < 3 || (a[0] != "read" && a[0] != "write")) return "";
    std::vector<long long> n;
    for (std::size_t i = 1; i < a.size(); ++i) {
        std::optional<long long> v = ParseNumber(a[i]);
        if (!v || *v < 0 || *v > 0xFFFF) return Err("not a number: " + a[i]);
        n.push_back(*v);
    }
    int address = static_cast<int>(n[0]);
    int reg = static_cast<int>(n[1]);
    if (a[0] == "read") {
        if (n.size() > 3) return "";
        std::optional<std::vector<uint8_t>> bytes = i2c_->Read(address, reg, n.size() == 3 ? static_cast<int>(n[2]) : 1);
        if (!bytes) return Err("no such registers in the image");
        std::string text;
        for (uint8_t b : *bytes) text += (text.empty() ? "" : " ") + Hex(b, 2);
        return Ok(text);
    }
    if (n.size() < 3) return "";
    std::vector<uint8_t> bytes;
    for (std::size_t i = 2; i < n.size(); ++i) {
        if (n[i] > 0xFF) return Err("not a byte: " + a[i + 1]);
        bytes.push_back(static_cast<uint8_t>(n[i]));
    }
    return i2c_->Write(address, reg, bytes) ? Ok() : Err("no such registers in the image");
}

std::string SimBoard::Card(const std::vector<std::string>& a)
{
    if (!a.empty() && (a[0] == "remove" || a[0] == "insert" || a[0] == "full")) {
        std::string failed = CardFault(a);
        if (!failed.empty()) return failed == "usage" ? "" : Err(failed);
        return Ok(std::string(faults_->CardRemoved() ? "removed" : "in") + (faults_->CardFull() ? " full" : ""));
    }
    if (a.size() == 1 && a[0] == "unmount") {
        standIns_->SetCard(std::nullopt);
    } else if (!a.empty() && a[0] == "mount") {
        CardSizes sizes = options_.card;
        if (a.size() > 1) {
            std::optional<CardSizes> given = ParseCardSizes(std::vector<std::string>(a.begin() + 1, a.end()));
            if (!given) return "";
            sizes = *given;
        }
        standIns_->SetCard(sizes);
    } else if (!a.empty()) {
        return "";
    }
    std::optional<CardSizes> card = standIns_->Card();
    if (!card) return Ok("unmounted");
    return Ok("mounted " + card->size + " " + card->used + " " + card->avail + " " + card->usePercent);
}

std::string SimBoard::Serial(const std::vector<std::string>& a)
{
    if (a.size() == 2 && a[0] == "pace" && (a[1] == "on" || a[1] == "off"))
        serial_->SetPaced(a[1] == "on");
    else if (!a.empty())
        return "";
    return Ok("to_pc=" + std::to_string(serial_->BytesToPc()) + " to_board=" + std::to_string(serial_->BytesToBoard()) +
              " paced=" + (serial_->Paced() ? "on" : "off"));
}

// The card's faults: "" when done, "usage" when the words do not fit, else why it failed.
std::string SimBoard::CardFault(const std::vector<std::string>& a)
{
    if (a.size() == 1 && a[0] == "remove") {
        if (!faults_->RemoveCard()) return "cannot take the card's tree aside";
        standIns_->SetCard(std::nullopt);
        return "";
    }
    if (a.size() == 1 && a[0] == "insert") {
        if (!faults_->InsertCard()) return "cannot put the card's tree back";
        standIns_->SetCard(options_.card);
        return "";
    }
    if (a.size() != 2 || (a[1] != "on" && a[1] != "off")) return "usage";
    if (!faults_->SetCardFull(a[1] == "on")) return "cannot make the card full (is it removed?)";
    return "";
}

SimBoard::Device* SimBoard::DeviceAt(const std::string& path)
{
    for (auto& d : devices_)
        if (d->path == path) return d.get();
    return nullptr;
}

std::string SimBoard::Node(const std::vector<std::string>& a)
{
    if (a.empty()) {
        std::string nodes;
        for (auto& d : devices_) nodes += (nodes.empty() ? "" : " ") + d->path + (d->pty->Plugged() ? ":present" : ":removed");
        return Ok(nodes);
    }
    if (a.size() != 2) return "";
    Device* d = DeviceAt(a[1]);
    if (d == nullptr) return Err("no device node " + a[1]);
    if (a[0] == "opens") {
        std::string times;
        std::vector<int64_t> opens = faults_->NodeOpens(d->path);
        for (int64_t t : opens) times += " " + std::to_string(t);
        return Ok(std::to_string(opens.size()) + times);
    }
    if (a[0] == "remove") {
        if (!d->pty->Plugged()) return Err(d->path + " is removed already");
        d->pty->Unplug();
        if (!faults_->PlaceNodePlaceholder(d->path)) return Err("cannot place a file at " + d->path);
        return Ok("removed");
    }
    if (a[0] != "restore") return "";
    if (d->pty->Plugged()) return Err(d->path + " is present");
    faults_->ForgetNodePlaceholder(d->path);
    try {
        d->pty->Plug();
    } catch (const std::exception& e) {
        return Err(e.what());
    }
    return Ok("present");
}

std::string SimBoard::App(const std::vector<std::string>& a)
{
    if (a.size() > 1) return "";
    if (a.size() == 1) {
        if (a[0] != "writable" && a[0] != "readonly") return "";
        if (!faults_->SetAppWritable(a[0] == "writable")) return Err("cannot change APP");
    }
    return Ok(faults_->AppWritable() ? "writable" : "readonly");
}
