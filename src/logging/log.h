// Event log and transcript files.
//
// Two kinds of record live here: the in-memory event ring, into which the configuration reader,
// the I2C bus and the tunnel's socket primitives push short entries, and the AT and QMI
// transcripts, day files on the SD card written while the switch logEnable is 1. The switch is
// read at start-up from /APP/log.ini; the console changes and saves it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

// Storage layout on the card.
#define LOG_ROOT_DIR "/media/card"
#define USR_LOG "USR_LOG"
#define AT_CMD_LOG "AT_CMD_LOG"
#define QMI_LOG "QMI_LOG"
#define LOG_CFG_DIR "/APP"
#define LOG_CFG_FILE "log.ini"

// Transcript switch: records are written only while it equals 1.
extern std::atomic<int> logEnable;

// One event of the ring. Class and code are at most two digits.
struct LogEvent {
    char time[9];       // local time of the push, HH:MM:SS
    char eventClass[3]; // decimal text
    char code[3];       // decimal text
    char phone[21];     // cleared at start; nothing writes it
    int32_t creg;       // registration status at the push, for events with modem state
    int32_t csq;        // signal strength at the push, for events with modem state
    int32_t withModem;  // 1 when the two modem fields were filled
    int32_t count;      // a number the event carries (bytes the outage ring dropped), else 0
};

constexpr int kLogRingSlots = 30;  // one slot always stays free: the ring holds 29 events

void LogInit();
int ReadLogConfig();
// The reading itself: the switch from every "@LOGEN;" line of an open file, the last one winning.
void ReadLogConfigFrom(FILE* f);

struct LogModemState;
// Pushes one event; modem, when not null, is the modem state the event carries.
void LogPush(int eventClass, int code, const LogModemState* modem);
int LogPushIdx();

// One record of the AT transcript (a command and its answer) and of the QMI transcript (a call
// and its value); each is cut to 1023 characters per text, so a record is always written whole.
void AtCmdLog(const char* cmd, const char* answer);
void QmiLog(const char* api, const char* value);

// Current local date ('d': YYYY/MM/DD, 11 bytes) or time ('t': HH:MM:SS, 9 bytes).
void getTimeStr(char* buf, char mode);

// 0 when "dir/name" can be opened for reading (a directory counts), -1 otherwise.
int FileExist(const char* dir, const char* name);

// ---- Our helpers ----

// Event classes of the ring, one per pushing module.
constexpr int kLogClassI2c = 0;
constexpr int kLogClassConfig = 1;
constexpr int kLogClassTunnel = 2;
constexpr int kLogClassQmi = 3;  // the QMI device: code 0 lost, 1 back

// The modem state an event carries, taken by its caller when it happened.
struct LogModemState {
    int32_t creg;
    int32_t csq;
};

// LogPush for an event that carries a number (its count field; 0 in every other event).
void LogPushCount(int eventClass, int code, const LogModemState* modem, int32_t count);
// The ring's slot i (0 the oldest event; an empty slot is all zero), copied under the ring's lock.
LogEvent LogEventAt(int i);
// Empties the ring (LogInit does it first).
void LogRingClear();
