// Configuration record and the file /APP/config.ini.
//
// All settings live in lirnSet. At start-up main loads the defaults and then the file; the tunnel
// takes its copies from the record, and the reader hands the PIN and the data-call credentials to
// the modem poll and the data call through the mirror texts below. The console changes the record
// field by field and saves it; the SD card update replaces the file before the reader runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#define CONFIG_DIR "/APP"
#define CONFIG_FILE "config.ini"

struct TunnelConfig {
    int32_t mode;            // 0 client, 1 client with heartbeat connection, 2 server
    char serverIp[16];       // peer address (modes 0, 1) or local address to bind (mode 2)
    int32_t port;            // data connection port; the heartbeat connection uses port + 1
    int32_t hbInterval;      // heartbeat interval, seconds
    char pinCode[5];         // SIM PIN
    char apn[64];            // access point name of the data call
    char modemUser[32];      // data-call user name
    char modemPassword[32];  // data-call password
    int32_t uartBaud;        // tunnelled serial port: baud rate
    char uartParity;         // 'N', 'O' or 'E'
    int32_t uartDataBits;    // 7 or 8
    int32_t uartStopBits;    // 1 or 2
    // Opt-in tunnel extensions. They are written to the file only when they differ from their
    // defaults, so a file of defaults keeps its twelve lines.
    int32_t rawChunks;       // 1: chunks go out as exactly their bytes in every mode
    int32_t quietGapMs;      // quiet gap that ends a chunk on the serial side
    int32_t outageBytes;     // serial bytes kept while the link is down (0: dropped)
    int32_t keepAliveSec;    // idle seconds before a tunnel connection is probed (0: no probes)
    // Opt-in MQTT mode, written to the file likewise only when different from the defaults.
    char mqttHost[254];      // broker DNS name or IPv4 address; empty keeps the tunnel
    int32_t mqttPort;        // broker port
    int32_t mqttTls;         // 1: TLS, the broker verified against /APP/ca.pem
    char mqttUser[64];       // broker credentials; empty: none
    char mqttPassword[64];
    char mqttTopic[64];      // topic prefix
    int32_t mqttCmd;         // 1: console requests over the broker (with TLS only)
};

// Ranges and defaults of the extensions; the console and the file reader refuse other values.
constexpr int32_t kRawChunksDefault = 0;
constexpr int32_t kQuietGapDefaultMs = 100;
constexpr int32_t kQuietGapMinMs = 1;
constexpr int32_t kQuietGapMaxMs = 10000;
constexpr int32_t kOutageBytesDefault = 0;
constexpr int32_t kOutageBytesMax = 65536;
constexpr int32_t kKeepAliveDefaultSec = 0;  // off; otherwise kKeepAliveMinSec to kKeepAliveMaxSec
constexpr int32_t kKeepAliveMinSec = 10;
constexpr int32_t kKeepAliveMaxSec = 7200;
constexpr int32_t kMqttPortDefault = 1883;
constexpr char kMqttTopicDefault[] = "lirn";

// The MQTT text settings the console and the file reader refuse. A broker host is empty (the
// tunnel), an IPv4 address or a DNS name of at most 253 characters. A topic prefix is 1 to 63
// bytes of UTF-8 without control characters, "+" or "#", and does not start with "$" (the
// brokers' own topics).
bool MqttHostAcceptable(const char* host);
bool MqttTopicAcceptable(const char* prefix);

extern TunnelConfig lirnSet;

// Mirror texts, filled only by ReadLirnConfig from the lines present in the file.
extern char modem_pin_code[5];
extern char modem_APN[64];
extern char modem_usr[32];
extern char modem_pwd[32];

void InitLirnConfig();
int ReadLirnConfig();
// The reading itself: every line of an open file, in 127-character pieces, into the record.
void ReadLirnConfigFrom(FILE* f);
int SaveLirnConfig();

// Copies src into dst until the stop character or a zero byte (then terminates there and returns
// the count copied) or until limit characters were copied (then returns 0: the value does not fit).
unsigned STRNCPY_CHR(char* dst, const char* src, unsigned limit, char stop);

// ---- Our helpers ----

// ---- Settings saved over the broker: confirmed or reverted ----
//
// A save requested over the broker keeps the file the gateway started with (config.ini.prev) and
// marks the new one as on trial (the one word of config.trial). The next start on the tunnel road
// must reach the broker within a window; then the trial ends (confirmed), else the kept file is
// put back and the gateway restarts (reverted). Each step is a safe replacement or removal in an
// order that a power cut at any moment leaves a usable file behind: the old one, the new one on
// trial, or a revert that the next start completes. A save made on site (the console on its port,
// the command line, the SD card) ends any trial: the person there has decided.

#define CONFIG_PREV_FILE "config.ini.prev"
#define CONFIG_TRIAL_FILE "config.trial"

// At start, before ReadLirnConfig: completes a revert a power cut stopped, and reads the trial's
// state.
void ConfigTrialStart();
// On the tunnel road: a trial's window of windowMs starts now (elsewhere the broker is out of
// reach by design and the trial waits).
void ConfigTrialWatch(uint32_t windowMs);
// The save of a request over the broker: the kept file first (once per trial), then the new
// file. 0, or -1 when nothing was written (the old file could not be kept, or the write failed).
int SaveLirnConfigOnTrial();
// The broker was reached: a trial of this start is confirmed.
void ConfigTrialReached();
// When the window has passed without that: puts the kept file back and returns true (the caller
// restarts the gateway). False otherwise.
bool ConfigTrialRevertIfDue(uint32_t now);
// A local save: any trial ends and its kept file goes. SaveLirnConfig does it itself.
void ConfigTrialEnd();
// Whether settings saved over the broker wait for their confirmation (saved for the next start, or
// this start's not yet confirmed): nothing else that a broker link confirms may start meanwhile.
bool ConfigTrialAwaiting();
// What the state document says of the configuration: "confirmed" (a trial ended well at this
// start), "reverted" (the gateway runs the file it kept after a trial failed), or nullptr.
const char* ConfigTrialShown();

// Writes a whole file the safe way (platform/safefile.h), readable by all: a temporary file
// beside it, flushed to storage, then renamed over the old one, so a power cut leaves either the
// old file or the new one. Returns 0, or -1 when the temporary file cannot be opened for writing;
// -2 when writing, flushing or renaming failed (the old file is then untouched).
int SaveFileAtomically(const char* path, const char* text, std::size_t len);
