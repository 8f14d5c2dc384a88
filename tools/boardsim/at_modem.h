// The simulated LTE module's AT command interpreter, served to the firmware on "dev/smd8".
//
// It answers as the SIMCom module does on its AT port: the command line echoed as it arrives,
// information text framed in "\r\n", a final "OK", "ERROR" or numeric "+CME ERROR: <n>" (and
// "+CMS ERROR: <n>" where the message commands name a bad index). Behind the answers sits the
// module's state: the SIM and its PIN counter, the radio, registration, signal and system mode, the
// GPS session and fix, and the SIM's message storage in PDU mode with read-and-delete. The board's
// control channel changes that state while the firmware runs (verbs in AT_CONTROL.md), and the log
// of received command lines shows what the firmware asked.
//
// The pty runner (DevicePty) serialises every call; the class itself is not thread-safe.
#pragma once

#include "sim_device.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

enum class SimCard { Ready, Pin, Puk, Absent };

// One message in the SIM's storage: its status as PDU mode numbers it (0 received unread,
// 1 received read, 2 stored unsent, 3 stored sent) and the PDU, service centre first, upper-case hex.
struct AtStoredSms {
    int stat = 0;
    std::string pdu;
};

// The nine fields of "+CGPSINFO: " as the receiver gives them with a fix.
struct AtGpsFix {
    std::string lat;     // ddmm.mmmmmm
    std::string ns;      // "N" or "S"
    std::string lon;     // dddmm.mmmmmm
    std::string ew;      // "E" or "W"
    std::string date;    // ddmmyy
    std::string utc;     // hhmmss.s
    std::string alt;     // metres
    std::string speed;   // knots
    std::string course;  // degrees
};

constexpr int kSimPinTries = 3;        // wrong PINs before the SIM wants its PUK
constexpr std::size_t kSmsSlots = 30;  // a typical SIM's storage

struct AtModemState {
    // Identity, as ATI and AT+SIMEI? report it. The IMEI's last digit is its Luhn check digit.
    std::string manufacturer = "SIMCOM INCORPORATED";
    std::string model = "SIMCOM_SIM7100E";
    std::string revision = "4534B05SIM7100E";
    std::string imei = "862631039274815";

    // SIM: pinLock says the card asks for its PIN after every power-up of the module.
    SimCard sim = SimCard::Ready;
    bool pinLock = false;
    std::string pin = "1234";
    int pinTriesLeft = kSimPinTries;
    std::string puk = "12345678";

    // Radio and network. cfun is 1 (full), 0 (minimum) or 4 (radio off); only 1 has the radio on.
    int cfun = 1;
    int registerDelayMs = 0;  // after the radio comes on, time spent searching before registering
    int cregStat = 1;         // registration while the radio is on and the SIM ready (1 home)
    int rssi = 20;
    int ber = 99;
    int netMode = 8;     // system mode while registered (8 LTE)

    // GPS session (AT+CGPS) and the receiver's fix.
    bool gpsOn = false;
    int gpsMode = 1;  // 1 standalone
    bool hasFix = false;
    AtGpsFix fix;

    // Message storage "SM": one slot per index, from 0.
    std::vector<std::optional<AtStoredSms>> sms = std::vector<std::optional<AtStoredSms>>(kSmsSlots);

    // The line: answer delay applied to every answer, mute (no bytes at all).
    int delayMs = 0;
    bool mute = false;
    // Command lines answered with these exact bytes (after the echo) instead of by the module:
    // the malformed and over-long answers a test needs.
    std::map<std::string, std::string> scripted;
};

// One received command line and when it came, in board milliseconds.
struct AtLogEntry {
    int64_t atMs;
    std::string line;
};

class AtModem : public SimDevice {
public:
    // Replaces the whole state (before the board starts, or between tests).
    void SetState(const AtModemState& state) { state_ = state; }
    const AtModemState& State() const { return state_; }
    const std::deque<AtLogEntry>& Log() const { return log_; }

    void Input(const char* data, std::size_t len, int64_t nowMs) override;
    void Output(std::string& out, int64_t nowMs) override;
    int64_t NextDue() const override;
    std::string Control(const std::vector<std::string>& words) override;
    // As "at restart": the module powers up again when its node comes back.
    void PowerLost() override { CtlRestart(); }

    // Longest command line kept; the rest of a longer line is dropped and the line fails.
    static constexpr std::size_t kMaxLineBytes = 1024;
    // Answers waiting for a reader beyond this are lost, as with a full UART buffer.
    static constexpr std::size_t kMaxPendingBytes = 64 * 1024;
    // Received lines kept for the control channel's log.
    static constexpr std::size_t kMaxLogEntries = 1000;

    // A command's outcome: its information lines and its final result ("" for OK).
    struct Result {
        std::vector<std::string> lines;
        std::string error;
    };
    // How a command was written: AT+X, AT+X?, AT+X=?, AT+X=<args>.
    enum class Form { Exec, Read, Test, Set };
    struct Call {
        Form form;
        std::vector<std::string> args;
        int64_t nowMs;
    };

private:
    void Emit(const std::string& bytes, int64_t dueMs);
    void EndOfLine(int64_t nowMs);
    std::string Execute(const std::string& line, int64_t nowMs);
    Result RunOne(const std::string& command, int64_t nowMs);

    // Command handlers.
    Result Ati(const Call& c);
    Result Gmm(const Call& c);
    Result Simei(const Call& c);
    Result Cgps(const Call& c);
    Result Cgpsinfo(const Call& c);
    Result Cpin(const Call& c);
    Result Cfun(const Call& c);
    Result Creg(const Call& c);
    Result Csq(const Call& c);
    Result Cnsmod(const Call& c);
    Result Cpms(const Call& c);
    Result Cmgd(const Call& c);
    Result Cmgrd(const Call& c);

    // What the network side reports now.
    bool RadioOn() const { return state_.cfun == 1; }
    int RegistrationNow(int64_t nowMs) const;
    std::string SimError() const;
    void SetCfun(int cfun, int64_t nowMs);
    int UsedSlots() const;

    // Control verbs.
    std::string CtlState() const;
    std::string CtlSim(const std::vector<std::string>& w);
    std::string CtlSms(const std::vector<std::string>& w);
    std::string CtlFix(const std::vector<std::string>& w);
    std::string CtlLog(const std::vector<std::string>& w);
    std::string CtlRestart();

    struct Chunk {
        int64_t dueMs;
        std::string bytes;
    };

    AtModemState state_;
    std::string line_;           // the command line received so far
    bool lineOverflow_ = false;  // bytes of this line were dropped
    bool afterCr_ = false;       // the previous byte ended a line: a line feed now is ignored
    std::deque<Chunk> pending_;  // bytes for the firmware, in order, each not before its time
    std::size_t pendingBytes_ = 0;
    int64_t nowMs_ = 0;           // latest board time seen, for changes made over the control channel
    int64_t registeredAtMs_ = 0;  // when registration is back after the radio came on
    std::deque<AtLogEntry> log_;
    uint64_t linesReceived_ = 0;
};
