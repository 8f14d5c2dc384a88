// The simulated board: the sysroot tree, its devices, the firmware process and the control channel.
//
// SimBoard builds the tree in its root (APP/, media/card/, sys/class/gpio/, dev/, pc/, bin/, and
// board/ for its own state), creates every device (null-modem serial port, GPIO lines, I2C image,
// the device table's ptys, the command stand-ins), and then Run() starts the firmware and serves,
// on one thread: control requests on root/board.sock, reboot requests from the init stand-in, and
// the end of the firmware process. Control requests are described in CONTROL.md.
#pragma once

#include "board_loop.h"

#include "board_faults.h"
#include "devices.h"
#include "firmware.h"
#include "gpio_bank.h"
#include "i2c_image.h"
#include "null_modem.h"
#include "sim_device.h"
#include "stand_ins.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct BoardOptions {
    std::string root;                       // the sysroot directory (made when missing)
    std::string firmware;                   // program of the first start; "" runs no firmware
    std::vector<std::string> firstArgs;     // arguments of the first start only
    PinLevel init = PinLevel::Low;          // INIT pin level (low: asserted, the tunnel road)
    bool cardMounted = true;
    CardSizes card;
    bool exported = false;                  // GPIO lines exported before the firmware starts
    std::optional<int64_t> clock;           // clock setting in calendar seconds; else host local time
    int firmwareStdout = -1;                // -1: the firmware writes to the board's standard output
    std::vector<DeviceEntry> devices = DeviceTable();  // simulated devices behind device nodes
    // Control requests applied in order once the devices exist, before the firmware's first start,
    // so that its very first exchange already meets them ("at sim pin", "qmi connect never").
    std::vector<std::string> settings;
};

// The lines the firmware sets up, and the two it blinks.
extern const std::vector<int> kBoardGpioLines;
constexpr int kStatusLedGpio = 77;
constexpr int kGpsLedGpio = 92;

class SimBoard {
public:
    // Builds the sysroot and every device, and applies the settings. Throws std::runtime_error
    // when it cannot, or when a setting is refused.
    explicit SimBoard(const BoardOptions& options);
    ~SimBoard();
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    // Starts the firmware (unless the options name none) and serves until RequestStop; then
    // stops the firmware. Call it once, on the thread that is to own the firmware process.
    void Run();
    // Ends Run. Safe from a signal handler.
    void RequestStop();

    // One control request line; returns the reply line without its line end.
    std::string Request(const std::string& line);

    const std::string& Root() const { return root_; }
    std::string SocketPath() const { return root_ + "/board.sock"; }

private:
    struct Verb;
    struct Device;
    struct Client;

    void ApplySettings();
    void CloseControl();
    std::string NextProgram() const;
    void Reboot();
    void OnFirmwareExit();
    void ServeClient(Client& c);

    std::string Ping(const std::vector<std::string>& a);
    std::string Help(const std::vector<std::string>& a);
    std::string Pids(const std::vector<std::string>& a);
    std::string Fw(const std::vector<std::string>& a);
    std::string Reboots(const std::vector<std::string>& a);
    std::string Init(const std::vector<std::string>& a);
    std::string Gpio(const std::vector<std::string>& a);
    std::string Led(const std::vector<std::string>& a);
    std::string Now(const std::vector<std::string>& a);
    std::string Date(const std::vector<std::string>& a);
    std::string Clock(const std::vector<std::string>& a);
    std::string Adc(const std::vector<std::string>& a);
    std::string I2c(const std::vector<std::string>& a);
    std::string Card(const std::vector<std::string>& a);
    std::string Serial(const std::vector<std::string>& a);
    std::string Node(const std::vector<std::string>& a);
    std::string App(const std::vector<std::string>& a);
    std::string CardFault(const std::vector<std::string>& a);
    Device* DeviceAt(const std::string& path);

    static const Verb kVerbs[];

    BoardOptions options_;
    std::string root_;
    std::unique_ptr<NullModem> serial_;
    std::unique_ptr<GpioBank> gpio_;
    std::unique_ptr<I2cImage> i2c_;
    std::unique_ptr<StandIns> standIns_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::unique_ptr<BoardFaults> faults_;
    Firmware firmware_;
    int listen_ = -1;
    BoardLoop loop_;  // runs on the caller's thread (Run); woken by requests and RequestStop

    std::mutex lock_;  // requests and the loop's own events, one at a time
    int reboots_ = 0;
};
