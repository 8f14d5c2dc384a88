// Console dispatch: the keyword table, the setting commands and the record actions.
//
// A line is compared with the keywords in table order, each on its own number of characters, and
// the first match decides. The compared lengths carry two rules of the protocol: "@APN" is
// compared on five characters, its terminator included, so only the exact line is the APN query;
// "@CREG" on four, so every line beginning with "@CRE" is the registration query. A query keyword
// with other characters after it is still that query.
//
// Setting values are stored before their range is tested: an out-of-range value stays in lirnSet
// and is answered ER, and a later "@SAVE" writes it. The replies of three settings name a
// neighbouring keyword; the PC tool expects exactly those texts. The tunnel extensions (raw
// chunks, quiet gap, outage ring, keep-alive) and the MQTT settings are later additions: they
// refuse such a value without storing it (a broker host that is no address or name, a topic prefix
// a broker would refuse).
#include "console/commands.h"
#include "console/console.h"

#include "board/module.h"
#include "config/config.h"
#include "platform/text.h"
#include "serial/uart.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

// How a setting's value is taken from a set request.
enum class SettingKind {
    Number,  // the first `width` characters, read as a decimal number
    Text,    // the whole value, cut to the field's capacity
    Parity,  // the one character after the semicolon (the terminator when there is none)
    Bounded, // a number like Number, but an out-of-range value is refused and not stored
    BoundedOrOff, // as Bounded, and 0 (off) besides the range
    Checked, // a text that must fit its field whole and pass its check, else refused and not stored
};

struct UtilitySetting {
    SettingKind kind;
    void* field;            // int32_t* for numbers, char* for texts and the parity letter
    unsigned width;         // numbers: characters read; texts: size of the field
    const char* setName;    // keyword in the set replies
    const char* queryName;  // keyword in the query reply
    int low, high;          // accepted range of a number (when there is no list of choices)
    const int* choices;     // accepted values, or nullptr
    std::size_t choiceCount;
    bool (*acceptable)(const char* value);  // the check of a Checked text, else nullptr
};

namespace {

const int kBaudChoices[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
const int kParityChoices[] = {'N', 'O', 'E'};

#define CHOICES(list) list, sizeof list / sizeof list[0]

// clang-format off
const UtilitySetting kMode     = {SettingKind::Number, &lirnSet.mode, 1, "LIRNMODE", "LIRNMODE", 0, 2, nullptr, 0, nullptr};
const UtilitySetting kServerIp = {SettingKind::Text, lirnSet.serverIp, sizeof lirnSet.serverIp, "LIRNIP", "LIRNIP", 0, 0, nullptr, 0, nullptr};
const UtilitySetting kPort     = {SettingKind::Number, &lirnSet.port, 5, "LIRNPORT", "LIRNPORT", 0, 65535, nullptr, 0, nullptr};
const UtilitySetting kHb       = {SettingKind::Number, &lirnSet.hbInterval, 4, "LIRNHB", "LIRNHB", 10, 3600, nullptr, 0, nullptr};
const UtilitySetting kPin      = {SettingKind::Text, lirnSet.pinCode, sizeof lirnSet.pinCode, "PINCODE", "LIRNHB", 0, 0, nullptr, 0, nullptr};
const UtilitySetting kApn      = {SettingKind::Text, lirnSet.apn, sizeof lirnSet.apn, "APN", "APN", 0, 0, nullptr, 0, nullptr};
const UtilitySetting kUser     = {SettingKind::Text, lirnSet.modemUser, sizeof lirnSet.modemUser, "MODEMUSR", "MODEMUSR", 0, 0, nullptr, 0, nullptr};
const UtilitySetting kPassword = {SettingKind::Text, lirnSet.modemPassword, sizeof lirnSet.modemPassword, "MODEMPWD", "MODEMPWD", 0, 0, nullptr, 0, nullptr};
const UtilitySetting kBaud     = {SettingKind::Number, &lirnSet.uartBaud, 6, "UARTBR", "UARTBR", 0, 0, CHOICES(kBaudChoices), nullptr};
const UtilitySetting kParity   = {SettingKind::Parity, &lirnSet.uartParity, 1, "UARTBR", "UARTBR", 0, 0, CHOICES(kParityChoices), nullptr};
const UtilitySetting kDataBits = {SettingKind::Number, &lirnSet.uartDataBits, 1, "UARTDB", "UARTDB", 7, 8, nullptr, 0, nullptr};
const UtilitySetting kStopBits = {SettingKind::Number, &lirnSet.uartStopBits, 1, "UARTSB", "UARTDB", 1, 2, nullptr, 0, nullptr};
// The tunnel extensions read one digit more than their largest value, so a longer number is
// refused rather than cut to a valid one.
const UtilitySetting kRaw      = {SettingKind::Bounded, &lirnSet.rawChunks, 2, "LIRNRAW", "LIRNRAW", 0, 1, nullptr, 0, nullptr};
const UtilitySetting kGap      = {SettingKind::Bounded, &lirnSet.quietGapMs, 6, "LIRNGAP", "LIRNGAP", kQuietGapMinMs, kQuietGapMaxMs, nullptr, 0, nullptr};
const UtilitySetting kOutage   = {SettingKind::Bounded, &lirnSet.outageBytes, 6, "LIRNBUF", "LIRNBUF", 0, kOutageBytesMax, nullptr, 0, nullptr};
const UtilitySetting kKeep     = {SettingKind::BoundedOrOff, &lirnSet.keepAliveSec, 5, "LIRNKA", "LIRNKA", kKeepAliveMinSec, kKeepAliveMaxSec, nullptr, 0, nullptr};
// MQTT mode settings (added with it, like the tunnel extensions).
const UtilitySetting kMqttHost = {SettingKind::Checked, lirnSet.mqttHost, sizeof lirnSet.mqttHost, "MQTTHOST", "MQTTHOST", 0, 0, nullptr, 0, MqttHostAcceptable};
const UtilitySetting kMqttPort = {SettingKind::Bounded, &lirnSet.mqttPort, 6, "MQTTPORT", "MQTTPORT", 1, 65535, nullptr, 0, nullptr};
const UtilitySetting kMqttTls  = {SettingKind::Bounded, &lirnSet.mqttTls, 2, "MQTTTLS", "MQTTTLS", 0, 1, nullptr, 0, nullptr};
const UtilitySetting kMqttUser = {SettingKind::Text, lirnSet.mqttUser, sizeof lirnSet.mqttUser, "MQTTUSR", "MQTTUSR", 0, 0, nullptr, 0, nullptr};
const UtilitySetting kMqttPwd  = {SettingKind::Text, lirnSet.mqttPassword, sizeof lirnSet.mqttPassword, "MQTTPWD", "MQTTPWD", 0, 0, nullptr, 0, nullptr};
const UtilitySetting kMqttTop  = {SettingKind::Checked, lirnSet.mqttTopic, sizeof lirnSet.mqttTopic, "MQTTTOPIC", "MQTTTOPIC", 0, 0, nullptr, 0, MqttTopicAcceptable};
const UtilitySetting kMqttCmd  = {SettingKind::Bounded, &lirnSet.mqttCmd, 2, "MQTTCMD", "MQTTCMD", 0, 1, nullptr, 0, nullptr};
// clang-format on

// Queries answered masked over the broker: each character of the value a '*'.
const UtilitySetting* const kSecrets[] = {&kPin, &kPassword, &kMqttPwd};

bool Secret(const UtilitySetting* s)
{
    for (const UtilitySetting* secret : kSecrets)
        if (s == secret) return true;
    return false;
}

void PortWrite(const UtilitySink* sink, const char* data, std::size_t n)
{
    uart_write(sink->fd, data, n);
}

bool Accepted(const UtilitySetting& s, int value)
{
    if (s.choices == nullptr) return value >= s.low && value <= s.high;
    for (std::size_t i = 0; i < s.choiceCount; ++i)
        if (s.choices[i] == value) return true;
    return false;
}

// Stores the value of a set request (the text after the keyword's semicolon). Returns whether
// the stored value is in range; texts have no test.
bool StoreSetting(const UtilitySetting& s, const char* value)
{
    switch (s.kind) {
    case SettingKind::Text:
        TextCopy(static_cast<char*>(s.field), s.width, value);
        return true;
    case SettingKind::Checked:
        if (std::strlen(value) >= s.width || !s.acceptable(value)) return false;
        TextCopy(static_cast<char*>(s.field), s.width, value);
        return true;
    case SettingKind::Parity: {
        char* letter = static_cast<char*>(s.field);
        *letter = value[0];
        return Accepted(s, *letter);
    }
    case SettingKind::Number:
    case SettingKind::Bounded:
    case SettingKind::BoundedOrOff:
    default: {
        char digits[8];
        TextCopy(digits, s.width + 1 < sizeof digits ? s.width + 1 : sizeof digits, value);
        int32_t candidate = DecimalValue(digits);
        bool accepted = Accepted(s, candidate) || (s.kind == SettingKind::BoundedOrOff && candidate == 0);
        if (accepted || s.kind == SettingKind::Number) *static_cast<int32_t*>(s.field) = candidate;
        return accepted;
    }
    }
}

// The keyword of the request that reached a set handler is its table keyword, so the value
// starts right after it.
std::size_t SetValueOffset(const char* line)
{
    const char* semicolon = std::strchr(line, ';');
    return semicolon ? static_cast<std::size_t>(semicolon - line) + 1 : std::strlen(line);
}

void SettingSet(const UtilitySink* out, const char* line, const UtilitySetting* s)
{
    if (StoreSetting(*s, line + SetValueOffset(line)))
        UtilityReply(out, UTILITY_MODEL "%s;OK\r\n", s->setName);
    else
        UtilityReply(out, UTILITY_MODEL "%s;ER\r\n", s->setName);
}

void SettingQuery(const UtilitySink* out, const char*, const UtilitySetting* s)
{
    switch (s->kind) {
    case SettingKind::Text:
    case SettingKind::Checked: {
        const char* value = static_cast<const char*>(s->field);
        char stars[kUtilityReplySize];
        if (out->remote && Secret(s)) {
            std::size_t n = std::strlen(value) < sizeof stars ? std::strlen(value) : sizeof stars - 1;
            std::memset(stars, '*', n);
            stars[n] = '\0';
            value = stars;
        }
        UtilityReply(out, UTILITY_MODEL "%s;OK;%s\r\n", s->queryName, value);
        return;
    }
    case SettingKind::Parity:
        UtilityReply(out, UTILITY_MODEL "%s;OK;%c\r\n", s->queryName, *static_cast<const char*>(s->field));
        return;
    case SettingKind::Number:
    default:
        UtilityReply(out, UTILITY_MODEL "%s;OK;%d\r\n", s->queryName, *static_cast<const int32_t*>(s->field));
        return;
    }
}

// A save asked over the broker is on trial until the next start reaches the broker.
int Save(const UtilitySink* out)
{
    return out->remote ? SaveLirnConfigOnTrial() : SaveLirnConfig();
}

void UtilitySave(const UtilitySink* out, const char*, const UtilitySetting*)
{
    if (Save(out) == 0)
        UtilityReply(out, UTILITY_MODEL "SAVE;OK\r\n");
    else
        UtilityReply(out, UTILITY_MODEL "SAVE;ER\r\n");
}

void UtilityReset(const UtilitySink* out, const char*, const UtilitySetting*)
{
    InitLirnConfig();
    Save(out);  // the defaults are in memory either way; the reply says so
    UtilityReply(out, UTILITY_MODEL "RESET;OK\r\n");
}

void UtilityReboot(const UtilitySink* out, const char*, const UtilitySetting*)
{
    // The reply goes out first: nothing after the reboot call may count on the process.
    UtilityReply(out, UTILITY_MODEL "REBOOT;OK\r\n");
    if (out->settle != nullptr) out->settle(out);
    ResetSIM7100();
}

struct UtilityCommand {
    const char* keyword;
    std::size_t compared;  // characters of the line compared with the keyword
    void (*run)(const UtilitySink* out, const char* line, const UtilitySetting* setting);
    const UtilitySetting* setting;  // the field of a setting command, else nullptr
};

// Compared in this order; the first match decides.
const UtilityCommand kUtilityCommands[] = {
    {"@LIRNMODE;", 10, SettingSet, &kMode},
    {"@LIRNMODE", 9, SettingQuery, &kMode},
    {"@LIRNIP;", 8, SettingSet, &kServerIp},
    {"@LIRNIP", 7, SettingQuery, &kServerIp},
    {"@LIRNPORT;", 10, SettingSet, &kPort},
    {"@LIRNPORT", 9, SettingQuery, &kPort},
    {"@LIRNHB;", 8, SettingSet, &kHb},
    {"@LIRNHB", 7, SettingQuery, &kHb},
    {"@PINCODE;", 9, SettingSet, &kPin},
    {"@PINCODE", 8, SettingQuery, &kPin},
    {"@APN;", 5, SettingSet, &kApn},
    {"@APN", 5, SettingQuery, &kApn},  // the terminator is compared too: the exact line only
    {"@MODEMUSR;", 10, SettingSet, &kUser},
    {"@MODEMUSR", 9, SettingQuery, &kUser},
    {"@MODEMPWD;", 10, SettingSet, &kPassword},
    {"@MODEMPWD", 9, SettingQuery, &kPassword},
    {"@UARTBR;", 8, SettingSet, &kBaud},
    {"@UARTBR", 7, SettingQuery, &kBaud},
    {"@UARTPB;", 8, SettingSet, &kParity},
    {"@UARTPB", 7, SettingQuery, &kParity},
    {"@UARTDB;", 8, SettingSet, &kDataBits},
    {"@UARTDB", 7, SettingQuery, &kDataBits},
    {"@UARTSB;", 8, SettingSet, &kStopBits},
    {"@UARTSB", 7, SettingQuery, &kStopBits},
    {"@LIRNRAW;", 9, SettingSet, &kRaw},
    {"@LIRNRAW", 8, SettingQuery, &kRaw},
    {"@LIRNGAP;", 9, SettingSet, &kGap},
    {"@LIRNGAP", 8, SettingQuery, &kGap},
    {"@LIRNBUF;", 9, SettingSet, &kOutage},
    {"@LIRNBUF", 8, SettingQuery, &kOutage},
    {"@LIRNKA;", 8, SettingSet, &kKeep},
    {"@LIRNKA", 7, SettingQuery, &kKeep},
    {"@MQTTHOST;", 10, SettingSet, &kMqttHost},
    {"@MQTTHOST", 9, SettingQuery, &kMqttHost},
    {"@MQTTPORT;", 10, SettingSet, &kMqttPort},
    {"@MQTTPORT", 9, SettingQuery, &kMqttPort},
    {"@MQTTTLS;", 9, SettingSet, &kMqttTls},
    {"@MQTTTLS", 8, SettingQuery, &kMqttTls},
    {"@MQTTUSR;", 9, SettingSet, &kMqttUser},
    {"@MQTTUSR", 8, SettingQuery, &kMqttUser},
    {"@MQTTPWD;", 9, SettingSet, &kMqttPwd},
    {"@MQTTPWD", 8, SettingQuery, &kMqttPwd},
    {"@MQTTTOPIC;", 11, SettingSet, &kMqttTop},
    {"@MQTTTOPIC", 10, SettingQuery, &kMqttTop},
    {"@MQTTCMD;", 9, SettingSet, &kMqttCmd},
    {"@MQTTCMD", 8, SettingQuery, &kMqttCmd},
    {"@SAVE", 5, UtilitySave, nullptr},
    {"@FWVER", 6, UtilityFwVer, nullptr},
    {"@CSQ", 4, UtilityCsq, nullptr},
    {"@CREG", 4, UtilityCreg, nullptr},  // "@CRE" and anything after it
    {"@NETSTAT", 8, UtilityNetStat, nullptr},
    {"@RESET", 6, UtilityReset, nullptr},
    {"@REBOOT", 7, UtilityReboot, nullptr},
    {"@LOGFILE", 8, UtilityLogFile, nullptr},
    {"@LOGDATA", 8, UtilityLogData, nullptr},
    {"@LOGDEL", 7, UtilityLogDel, nullptr},
    {"@LOGEN", 6, UtilityLogEn, nullptr},
    {"@LOGSAVE", 8, UtilityLogSave, nullptr},
    {"@LOGSD", 6, UtilityLogSd, nullptr},
    {"@LOGST", 6, UtilityLogSt, nullptr},
    {"@SDEXIST", 8, UtilitySdExist, nullptr},
};

}  // namespace

void UtilityReply(const UtilitySink* out, const char* format, ...)
{
    char reply[kUtilityReplySize];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(reply, sizeof reply, format, args);
    va_end(args);
    if (n < 0) return;
    // The formatted length, not the text length: a parity stored as the terminator still ends
    // its reply line with "\r\n".
    std::size_t len = static_cast<std::size_t>(n) < sizeof reply ? static_cast<std::size_t>(n) : sizeof reply - 1;
    out->write(out, reply, len);
}

UtilitySink UtilityPortSink(int fd)
{
    return UtilitySink{PortWrite, nullptr, fd, false};
}

void UtilityDispatchTo(const UtilitySink* out, const char* line)
{
    for (const UtilityCommand& c : kUtilityCommands) {
        if (std::strncmp(line, c.keyword, c.compared) == 0) {
            c.run(out, line, c.setting);
            return;
        }
    }
}

void UtilityDispatch(int fd, const char* line)
{
    UtilitySink port = UtilityPortSink(fd);
    UtilityDispatchTo(&port, line);
}
