// The AT poll cycle: once-per-run commands, SIM check with PIN entry and radio reset,
// registration, signal and system mode; the GPS and message steps live in gps.cpp and sms.cpp.
//
// The cycle paces itself with a fixed wait per command and takes whatever reply arrived within it;
// only the markers below are searched for, never the final result code. The channel is opened at
// the start of every cycle and closed at its end, which also drops any answer still pending.
#include "modem/internal.h"

#include "board/ticks.h"
#include "config/config.h"
#include "logging/log.h"
#include "platform/text.h"
#include "serial/uart.h"

#include <cstdio>
#include <cstring>
#include <mutex>

// Status words (read by the LED policy, the console and the tunnel's event records).
std::atomic<int> modem_cpin_status{0};
std::atomic<int> modem_creg{0};
std::atomic<int> modem_csq{0};
std::atomic<int> modem_net_type{0};
std::atomic<int> gps_flag{0};

// The IMEI is read by the MQTT session too (ModemImeiCopy), so it is written under gImeiLock.
char modem_imei[16];
namespace {
std::mutex gImeiLock;
}

// Values of the modem thread alone.
char str_gmm[100];
int is_do_first_time_cmd = 0;
unsigned int is_input_pin = 0;
unsigned int modem_count4reset = 0;

namespace {

// Waits after writing a command, before its single read.
constexpr unsigned kQueryWaitMs = 100;
constexpr unsigned kPinWaitMs = 3000;
constexpr unsigned kRadioOffWaitMs = 500;
constexpr unsigned kRadioOffPauseMs = 2000;  // the radio stays off this long before it is switched on
constexpr unsigned kRadioOnWaitMs = 2000;
// Pause of the thread between two cycles.
constexpr unsigned kModemPauseMs = 1000;

// The PIN goes out on the first two cycles that find the SIM waiting for it, never again in the
// run: each wrong PIN costs one of the SIM's few attempts before it locks behind its PUK.
constexpr unsigned kPinEntriesPerRun = 2;
// The counter is cleared only by a radio reset, so the fifth other answer since start or since
// the last reset triggers the next one, consecutive or not.
constexpr unsigned kOtherAnswersBeforeReset = 4;

constexpr int kAtBaud = 115200;
constexpr char kAtDataBits = 8;
constexpr char kAtParity = 'N';
constexpr char kAtStopBits = 1;

// Field of a reply, before it is converted: at most 19 characters.
constexpr std::size_t kFieldSize = 20;

struct AtCommand {
    const char* text;
    unsigned waitMs;
    ReplyUse use;
};

// Sent on the first cycle whose channel opens, exactly once per run, whatever the replies.
const AtCommand kOncePerRun[] = {
    {"ATI\r\n", kQueryWaitMs, ReplyUse::Transcript},
    {"AT+GMM\r\n", kQueryWaitMs, ReplyUse::Model},
    {"AT+SIMEI?\r\n", kQueryWaitMs, ReplyUse::Imei},
    {"AT+CGPS?\r\n", kQueryWaitMs, ReplyUse::Transcript},
    {"AT+CGPS=1\r\n", kQueryWaitMs, ReplyUse::Transcript},    // GPS receiver on
    {"AT+CMGD=4,4\r\n", kQueryWaitMs, ReplyUse::Transcript},  // drop every stored message
};

// Sent on every cycle, after the SIM check.
const AtCommand kEveryCycle[] = {
    {"AT+CREG?\r\n", kQueryWaitMs, ReplyUse::Registration},
    {"AT+CSQ\r\n", kQueryWaitMs, ReplyUse::Signal},
    {"AT+CNSMOD?\r\n", kQueryWaitMs, ReplyUse::SystemMode},
};

// Where a value sits in its reply: after the marker (and, with afterComma, after the first comma
// that follows it), up to the delimiter; and the status word it is read into as a number
// (nullptr: the IMEI, kept as text).
struct FieldRule {
    ReplyUse use;
    const char* marker;
    bool afterComma;
    const char* delimiter;
    std::atomic<int>* word;
};

const FieldRule kFieldRules[] = {
    {ReplyUse::Imei, "+SIMEI: ", false, "\r", nullptr},
    {ReplyUse::Registration, "+CREG: ", true, "\r", &modem_creg},  // <n>,<stat>[,...]: the second number
    {ReplyUse::Signal, "+CSQ: ", false, ",", &modem_csq},
    {ReplyUse::SystemMode, "+CNSMOD:", true, "\r", &modem_net_type},  // <n>,<mode>: the second number
};

// The SIM check, tested in this order: a reply holding both markers counts as ready, and
// "SIM PIN2" waits for a PIN like "SIM PIN". Everything else ("SIM PUK", "ERROR", no answer)
// moves toward a radio reset.
struct SimAnswer {
    const char* marker;  // nullptr: any other answer
    int status;          // modem_cpin_status
    SimAction action;    // what the answer may call for
};

const SimAnswer kSimAnswers[] = {
    {"+CPIN: READY", 0, SimAction::None},
    {"SIM PIN", 1, SimAction::EnterPin},
    {nullptr, 2, SimAction::RadioReset},
};

// Cuts the field of a rule out of reply; 0 when its marker, comma or delimiter is missing.
int CutField(const char* reply, const FieldRule& rule, char* field, std::size_t fieldSize)
{
    const char* p = std::strstr(reply, rule.marker);
    if (p == nullptr) return 0;
    p += std::strlen(rule.marker);
    if (rule.afterComma) {
        p = std::strchr(p, ',');
        if (p == nullptr) return 0;
        ++p;
    }
    return strcpyWithStr(field, fieldSize, p, rule.delimiter);
}

const FieldRule* RuleFor(ReplyUse use)
{
    for (const FieldRule& r : kFieldRules)
        if (r.use == use) return &r;
    return nullptr;
}

// A PIN is configured only by a "@PINCODE;" line at start-up; without one nothing is sent, since a
// guessed PIN would only burn the SIM's attempts.
bool PinConfigured()
{
    return modem_pin_code[0] != '\0';
}

void EnterPin(AtChannel& at)
{
    std::snprintf(at.command, sizeof at.command, "AT+CPIN=%.4s\r\n", modem_pin_code);
    AtExchange(at, kPinWaitMs);
}

// One command of the radio reset, echoed on the console.
void RadioCommand(AtChannel& at, const char* command, unsigned waitMs)
{
    std::printf("send: %s\n", command);
    AtSend(at, command, waitMs);
    std::printf("recv:\n%s\n", at.reply);
}

void RadioReset(AtChannel& at)
{
    RadioCommand(at, "AT+CFUN=0\r\n", kRadioOffWaitMs);
    SleepMs(kRadioOffPauseMs);
    RadioCommand(at, "AT+CFUN=1\r\n", kRadioOnWaitMs);
}

void SimStep(AtChannel& at)
{
    AtSend(at, "AT+CPIN?\r\n", kQueryWaitMs);
    switch (SimCheck(at.reply)) {
    case SimAction::EnterPin: EnterPin(at); break;
    case SimAction::RadioReset: RadioReset(at); break;
    case SimAction::None: break;
    }
}

void SendCommands(AtChannel& at, const AtCommand* commands, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        AtSend(at, commands[i].text, commands[i].waitMs);
        ModemUseReply(commands[i].use, at.reply);
    }
}

}  // namespace

int strcpyWithStr(char* dst, std::size_t dstSize, const char* src, const char* delimiter)
{
    const char* end = std::strstr(src, delimiter);
    if (end == nullptr || dstSize == 0) return 0;
    std::size_t n = static_cast<std::size_t>(end - src);
    if (n > dstSize - 1) n = dstSize - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return 1;
}

void ModemUseReply(ReplyUse use, const char* reply)
{
    if (use == ReplyUse::Transcript) return;
    if (use == ReplyUse::Model) {
        TextCopy(str_gmm, sizeof str_gmm, reply);
        return;
    }
    const FieldRule* rule = RuleFor(use);
    if (rule == nullptr) return;
    if (rule->word == nullptr) {
        {
            std::lock_guard<std::mutex> hold(gImeiLock);
            CutField(reply, *rule, modem_imei, sizeof modem_imei);
        }
        SharedChanged();  // a session waiting for the IMEI as its client id
        return;
    }
    char field[kFieldSize];
    if (CutField(reply, *rule, field, sizeof field)) *rule->word = DecimalValue(field);
}

SimAction SimCheck(const char* reply)
{
    const SimAnswer* answer = &kSimAnswers[0];
    for (const SimAnswer& a : kSimAnswers) {
        answer = &a;
        if (a.marker == nullptr || std::strstr(reply, a.marker) != nullptr) break;
    }
    modem_cpin_status = answer->status;
    switch (answer->action) {
    case SimAction::EnterPin:
        ++is_input_pin;
        return is_input_pin <= kPinEntriesPerRun && PinConfigured() ? SimAction::EnterPin : SimAction::None;
    case SimAction::RadioReset:
        if (++modem_count4reset <= kOtherAnswersBeforeReset) return SimAction::None;
        modem_count4reset = 0;
        return SimAction::RadioReset;
    case SimAction::None:
        break;
    }
    return SimAction::None;
}

void AtExchange(AtChannel& at, unsigned waitMs)
{
    uart_write_read(at.fd, at.command, std::strlen(at.command), at.reply, waitMs);
    // The serial layer reads one byte less than the area, so the reply is always terminated; this
    // keeps it so even if that ever changes.
    at.reply[kAtBufferSize - 1] = '\0';
    AtCmdLog(at.command, at.reply);
}

void AtSend(AtChannel& at, const char* command, unsigned waitMs)
{
    TextCopy(at.command, sizeof at.command, command);
    AtExchange(at, waitMs);
}

int get_modem_info()
{
    static_assert(kAtBufferSize >= kUartResponseSize, "the reply area holds a whole read");
    AtChannel at;
    at.fd = uart_open(UART_AT_DEV, kAtBaud, kAtDataBits, kAtParity, kAtStopBits);
    if (at.fd < 0) {
        std::puts("open com_at fails");
        return -1;
    }
    if (is_do_first_time_cmd == 0) {
        SendCommands(at, kOncePerRun, sizeof kOncePerRun / sizeof kOncePerRun[0]);
        is_do_first_time_cmd = 1;
    }
    SimStep(at);
    SendCommands(at, kEveryCycle, sizeof kEveryCycle / sizeof kEveryCycle[0]);
    AtSend(at, "AT+CGPSINFO\r\n", kQueryWaitMs);
    GpsReport(at.reply);
    if (is_new_sms == 0) SmsStep(at);
    uart_close(at.fd);
    return 0;
}

void ModemPass()
{
    get_modem_info();
    SleepMs(kModemPauseMs);
}

void* thread_modem(void*)
{
    ThreadName("lirn-modem");
    for (;;) ModemPass();
}

void ModemResetState()
{
    modem_cpin_status = 0;
    modem_creg = 0;
    modem_csq = 0;
    modem_net_type = 0;
    gps_flag = 0;
    {
        std::lock_guard<std::mutex> hold(gImeiLock);
        std::memset(modem_imei, 0, sizeof modem_imei);
    }
    std::memset(str_gmm, 0, sizeof str_gmm);
    is_do_first_time_cmd = 0;
    is_input_pin = 0;
    modem_count4reset = 0;
    GpsResetPosition();
    std::memset(str_gprmc, 0, sizeof str_gprmc);
    std::memset(&recv_new_sms, 0, sizeof recv_new_sms);
    is_new_sms = 0;
}

void ModemImeiCopy(char* out, std::size_t size)
{
    std::lock_guard<std::mutex> hold(gImeiLock);
    TextCopy(out, size, modem_imei);
}
