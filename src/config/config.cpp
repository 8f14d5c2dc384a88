// Configuration record: defaults, the reader with its echo lines, and the writer.
#include "config/config.h"
#include "config/internal.h"

#include "logging/log.h"
#include "platform/resolver.h"
#include "platform/safefile.h"
#include "platform/sysroot.h"
#include "platform/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

TunnelConfig lirnSet;
char modem_pin_code[5];
char modem_APN[64];
char modem_usr[32];
char modem_pwd[32];

namespace {

// Event code of a configuration file that cannot be opened.
constexpr int kLogConfigOpenFailed = 0;

void ConfigPath(char* out, std::size_t n)
{
    std::snprintf(out, n, "%s/%s", CONFIG_DIR, CONFIG_FILE);
}

// The value of a token-valued key: CR and LF separate tokens; leading ones are skipped. Returns
// nullptr when the value is empty (the field then keeps its value). Cuts in place, re-entrantly.
char* Token(char* value)
{
    char* save = nullptr;
    return strtok_r(value, "\r\n", &save);
}

// A text value up to CR, cut to its field and always terminated.
void CopyTextValue(char* field, unsigned size, const char* value)
{
    STRNCPY_CHR(field, value, size, '\r');
    field[size - 1] = '\0';
}

// Formats the twelve lines of the file, in file order (the extension lines follow them).
int FormatConfig(char* out, std::size_t n, const TunnelConfig& c)
{
    return std::snprintf(out, n,
                         "@LIRNMODE;%d\r\n@LIRNIP;%s\r\n@LIRNPORT;%d\r\n@LIRNHB;%d\r\n"
                         "@UARTBR;%d\r\n@UARTPB;%c\r\n@UARTDB;%d\r\n@UARTSB;%d\r\n"
                         "@PINCODE;%s\r\n@APN;%s\r\n@MODEMUSR;%s\r\n@MODEMPWD;%s\r\n",
                         c.mode, c.serverIp, c.port, c.hbInterval, c.uartBaud, c.uartParity, c.uartDataBits,
                         c.uartStopBits, c.pinCode, c.apn, c.modemUser, c.modemPassword);
}

// The opt-in extension keys, read and written by one table: a value outside its range is
// refused when read (the field keeps its value), and a line is written only for a value that
// differs from its default.
struct ExtensionKey {
    const char* key;
    int32_t* field;
    int32_t low, high, byDefault;
    bool zeroToo;  // 0 (off) is taken besides the range
};

const ExtensionKey kExtensionKeys[] = {
    {"@LIRNRAW;", &lirnSet.rawChunks, 0, 1, kRawChunksDefault, false},
    {"@LIRNGAP;", &lirnSet.quietGapMs, kQuietGapMinMs, kQuietGapMaxMs, kQuietGapDefaultMs, false},
    {"@LIRNBUF;", &lirnSet.outageBytes, 0, kOutageBytesMax, kOutageBytesDefault, false},
    {"@LIRNKA;", &lirnSet.keepAliveSec, kKeepAliveMinSec, kKeepAliveMaxSec, kKeepAliveDefaultSec, true},
    {"@MQTTPORT;", &lirnSet.mqttPort, 1, 65535, kMqttPortDefault, false},
    {"@MQTTTLS;", &lirnSet.mqttTls, 0, 1, 0, false},
    {"@MQTTCMD;", &lirnSet.mqttCmd, 0, 1, 0, false},
};

// The text extensions: read up to the line end, written only when they differ
// from their defaults. A value that fails its check, or does not fit its field when it has a
// check, is refused and the field keeps its value.
struct TextExtensionKey {
    const char* key;
    char* field;
    unsigned size;
    const char* byDefault;
    bool (*acceptable)(const char* value);  // nullptr: any text, cut to the field
};

const TextExtensionKey kTextExtensionKeys[] = {
    {"@MQTTHOST;", lirnSet.mqttHost, sizeof lirnSet.mqttHost, "", MqttHostAcceptable},
    {"@MQTTUSR;", lirnSet.mqttUser, sizeof lirnSet.mqttUser, "", nullptr},
    {"@MQTTPWD;", lirnSet.mqttPassword, sizeof lirnSet.mqttPassword, "", nullptr},
    {"@MQTTTOPIC;", lirnSet.mqttTopic, sizeof lirnSet.mqttTopic, kMqttTopicDefault, MqttTopicAcceptable},
};

// The longest line the reader takes whole: a text extension with the longest host name. The
// twelve core settings keep their 127-character pieces.
constexpr std::size_t kLongLineMax = 320;
constexpr std::size_t kPieceMax = 128;

// Appends the extension lines that differ from their defaults. Returns the new length, or -1
// when they do not fit.
int FormatExtensions(char* out, std::size_t n, int len)
{
    for (const ExtensionKey& k : kExtensionKeys) {
        if (*k.field == k.byDefault) continue;
        int more = std::snprintf(out + len, n - static_cast<std::size_t>(len), "%s%d\r\n", k.key, *k.field);
        if (more < 0 || static_cast<std::size_t>(len + more) >= n) return -1;
        len += more;
    }
    for (const TextExtensionKey& k : kTextExtensionKeys) {
        if (std::strcmp(k.field, k.byDefault) == 0) continue;
        int more = std::snprintf(out + len, n - static_cast<std::size_t>(len), "%s%s\r\n", k.key, k.field);
        if (more < 0 || static_cast<std::size_t>(len + more) >= n) return -1;
        len += more;
    }
    return len;
}

bool ReadExtensionLine(char* line)
{
    for (const ExtensionKey& k : kExtensionKeys) {
        std::size_t len = std::strlen(k.key);
        if (std::strncmp(line, k.key, len) != 0) continue;
        char* tok = Token(line + len);
        int32_t value = tok ? DecimalValue(tok) : *k.field;
        if ((value < k.low || value > k.high) && !(k.zeroToo && value == 0)) {
            std::printf("%.*s Out Of Range, Kept %d\r\n", static_cast<int>(len - 1), k.key, *k.field);
            return true;
        }
        *k.field = value;
        std::printf("%s%d\r\n", k.key, value);
        return true;
    }
    for (const TextExtensionKey& k : kTextExtensionKeys) {
        std::size_t len = std::strlen(k.key);
        if (std::strncmp(line, k.key, len) != 0) continue;
        char value[kLongLineMax];
        TextCopy(value, sizeof value, line + len);
        value[std::strcspn(value, "\r\n")] = '\0';  // an address or topic never holds a line end
        if (k.acceptable != nullptr && (std::strlen(value) >= k.size || !k.acceptable(value))) {
            std::printf("%.*s Out Of Range, Kept %s\r\n", static_cast<int>(len - 1), k.key, k.field);
            return true;
        }
        CopyTextValue(k.field, k.size, value);
        std::printf("%s%s\r\n", k.key, k.field);
        return true;
    }
    return false;
}

bool StartsWithTextExtension(const char* line)
{
    for (const TextExtensionKey& k : kTextExtensionKeys)
        if (std::strncmp(line, k.key, std::strlen(k.key)) == 0) return true;
    return false;
}

// The rest of a text extension's line after its first piece, up to kLongLineMax - 1 characters
// in all. A line longer still is read to its end and marked so that its check refuses it.
void ReadLineRest(FILE* f, char* line)
{
    std::size_t len = std::strlen(line);
    while (line[len - 1] != '\n' && len + 1 < kLongLineMax && std::fgets(line + len, static_cast<int>(kLongLineMax - len), f))
        len += std::strlen(line + len);
    if (line[len - 1] == '\n' || len + 1 < kLongLineMax) return;
    int c = std::fgetc(f);
    while (c != EOF && c != '\n') c = std::fgetc(f);
    line[len - 1] = '\x01';  // a control character: no checked value holds one
}

// How a key's value is taken, by the reader's table below.
enum class ValueKind { Number, Address, Parity, Pin, Text };

struct ConfigKey {
    const char* key;
    ValueKind kind;
    void* field;     // int32_t* for numbers, char* otherwise
    char* mirror;    // mirror text filled from the field, or nullptr
    unsigned size;   // field size of texts
};

// Keys in the order they are compared; the first key a line begins with decides.
const ConfigKey kConfigKeys[] = {
    {"@LIRNMODE;", ValueKind::Number, &lirnSet.mode, nullptr, 0},
    {"@LIRNIP;", ValueKind::Address, lirnSet.serverIp, nullptr, sizeof lirnSet.serverIp},
    {"@LIRNPORT;", ValueKind::Number, &lirnSet.port, nullptr, 0},
    {"@LIRNHB;", ValueKind::Number, &lirnSet.hbInterval, nullptr, 0},
    {"@UARTBR;", ValueKind::Number, &lirnSet.uartBaud, nullptr, 0},
    {"@UARTPB;", ValueKind::Parity, &lirnSet.uartParity, nullptr, 0},
    {"@UARTDB;", ValueKind::Number, &lirnSet.uartDataBits, nullptr, 0},
    {"@UARTSB;", ValueKind::Number, &lirnSet.uartStopBits, nullptr, 0},
    {"@PINCODE;", ValueKind::Pin, lirnSet.pinCode, modem_pin_code, sizeof lirnSet.pinCode},
    {"@APN;", ValueKind::Text, lirnSet.apn, modem_APN, sizeof lirnSet.apn},
    {"@MODEMUSR;", ValueKind::Text, lirnSet.modemUser, modem_usr, sizeof lirnSet.modemUser},
    {"@MODEMPWD;", ValueKind::Text, lirnSet.modemPassword, modem_pwd, sizeof lirnSet.modemPassword},
};

// Stores one key's value and prints its echo line: the key and the stored value. A token-valued key with
// an empty value keeps the field as it was.
void TakeConfigValue(const ConfigKey& k, char* value)
{
    if (k.kind == ValueKind::Text) {
        // Up to CR, so blanks stay and a bare LF stays as the last character.
        CopyTextValue(static_cast<char*>(k.field), k.size, value);
        TextCopy(k.mirror, k.size, static_cast<char*>(k.field));
        std::printf("%s%s\r\n", k.key, static_cast<char*>(k.field));
        return;
    }
    char* tok = Token(value);
    switch (k.kind) {
    case ValueKind::Number: {
        int32_t* field = static_cast<int32_t*>(k.field);
        if (tok) *field = DecimalValue(tok);
        std::printf("%s%d\r\n", k.key, *field);
        return;
    }
    case ValueKind::Parity: {
        char* field = static_cast<char*>(k.field);
        if (tok) *field = tok[0];
        std::printf("%s%c\r\n", k.key, *field);
        return;
    }
    case ValueKind::Address:
    case ValueKind::Pin:
    default: {
        // Cut to the field: an address keeps its first 15 characters, a PIN its first four.
        char* field = static_cast<char*>(k.field);
        if (tok) {
            TextCopy(field, k.size, tok);
            if (k.mirror) TextCopy(k.mirror, k.size, tok);
        }
        std::printf("%s%s\r\n", k.key, field);
        return;
    }
    }
}

// Handles one line of the file (or one 127-character piece of a longer line).
void ReadConfigLine(char* line)
{
    if (ReadExtensionLine(line)) return;
    for (const ConfigKey& k : kConfigKeys) {
        std::size_t len = std::strlen(k.key);
        if (std::strncmp(line, k.key, len) == 0) {
            TakeConfigValue(k, line + len);
            return;
        }
    }
}

}  // namespace

unsigned STRNCPY_CHR(char* dst, const char* src, unsigned limit, char stop)
{
    for (unsigned i = 0; i < limit; ++i) {
        if (src[i] == stop || src[i] == '\0') {
            dst[i] = '\0';
            return i;
        }
        dst[i] = src[i];
    }
    return 0;
}

void InitLirnConfig()
{
    std::memset(&lirnSet, 0, sizeof lirnSet);
    lirnSet.mode = 0;
    TextCopy(lirnSet.serverIp, sizeof lirnSet.serverIp, "127.0.0.1");
    lirnSet.port = 8080;
    lirnSet.hbInterval = 10;
    TextCopy(lirnSet.pinCode, sizeof lirnSet.pinCode, "8406");
    TextCopy(lirnSet.apn, sizeof lirnSet.apn, "INTERNET");
    lirnSet.uartBaud = 115200;
    lirnSet.uartParity = 'N';
    lirnSet.uartDataBits = 8;
    lirnSet.uartStopBits = 1;
    lirnSet.rawChunks = kRawChunksDefault;
    lirnSet.quietGapMs = kQuietGapDefaultMs;
    lirnSet.outageBytes = kOutageBytesDefault;
    lirnSet.keepAliveSec = kKeepAliveDefaultSec;
    lirnSet.mqttPort = kMqttPortDefault;
    TextCopy(lirnSet.mqttTopic, sizeof lirnSet.mqttTopic, kMqttTopicDefault);
}

int ReadLirnConfig()
{
    char path[64];
    ConfigPath(path, sizeof path);
    FILE* f = SysFopen(path, "r");
    if (f == nullptr) {
        std::puts("Open Config File Error\r");
        LogPush(kLogClassConfig, kLogConfigOpenFailed, nullptr);
        return -1;
    }
    std::puts("Content Of Config File:\r");
    ReadLirnConfigFrom(f);
    std::fclose(f);
    return 0;
}

void ReadLirnConfigFrom(FILE* f)
{
    char line[kLongLineMax];
    while (std::fgets(line, kPieceMax, f) != nullptr) {
        if (StartsWithTextExtension(line)) ReadLineRest(f, line);
        ReadConfigLine(line);
    }
}

bool MqttHostAcceptable(const char* host)
{
    return host[0] == '\0' || HostClassify(host) != HostKind::Invalid;
}

bool MqttTopicAcceptable(const char* prefix)
{
    std::size_t len = std::strlen(prefix);
    return len > 0 && len < sizeof lirnSet.mqttTopic && prefix[0] != '$' && std::strpbrk(prefix, "+#") == nullptr &&
           !HasControlCharacter(prefix) && Utf8Valid(prefix, len);
}

int SaveLirnConfig()
{
    ConfigTrialEnd();  // first: a power cut in between must not revert what was saved here
    return WriteLirnConfig();
}

int WriteLirnConfig()
{
    char text[2048];
    int len = FormatConfig(text, sizeof text, lirnSet);
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof text) return -1;  // cannot happen: fields are bounded
    len = FormatExtensions(text, sizeof text, len);
    if (len < 0) return -1;
    char path[64];
    ConfigPath(path, sizeof path);
    if (SaveFileAtomically(path, text, static_cast<std::size_t>(len)) != 0) return -1;
    std::fputs(text, stdout);
    return 0;
}

int SaveFileAtomically(const char* path, const char* text, std::size_t len)
{
    return SafeWriteFile(path, text, len, 0644);
}
