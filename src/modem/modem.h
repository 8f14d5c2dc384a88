// Modem supervision over the AT channel.
//
// thread_modem runs one poll cycle (get_modem_info) about every 1.6 s on the module's AT device
// "/dev/smd8": the once-per-run commands, the SIM check with PIN entry and radio reset,
// registration, signal, system mode, the GPS position report and, until one message has been
// taken, the message storage. It keeps the status words below current; the LED policy, the
// console and the tunnel's event records read them. Every exchange goes to the AT transcript.
// The module's other values and the steps of its cycle are in modem/internal.h.
#pragma once

#include <atomic>
#include <cstddef>

// ---- Status words, read by other threads ----

// SIM state: 0 ready, 1 waiting for its PIN, 2 any other answer.
extern std::atomic<int> modem_cpin_status;
// Registration status of "+CREG: " (1 home, 5 roaming, others not registered).
extern std::atomic<int> modem_creg;
// Signal strength of "+CSQ: " (0 to 31, 99 no measurement).
extern std::atomic<int> modem_csq;
// Network system mode of "+CNSMOD:".
extern std::atomic<int> modem_net_type;
// GPS fix: 1 the module reports a position, 0 none (the LED policy shows it).
extern std::atomic<int> gps_flag;

// One received message, as the message step keeps it.
struct SmsRecord {
    char phone[30];              // originator address, terminated
    char time[20];               // YY/MM/DD HH:MM:SS, terminated; the last 2 bytes stay untouched
    char message[161];           // decoded user data, messageLength bytes, not terminated here
    unsigned char messageLength; // user data length of the decoder (septets for 7-bit, else octets)
    unsigned char mode;          // data coding scheme: 0 7-bit, 8 UCS2, any other 8-bit
};
static_assert(sizeof(SmsRecord) == 213, "the message record has no gaps");

// ---- The poll ----

void* thread_modem(void* arg);

// One poll cycle. 0 after a completed cycle, -1 when the AT channel could not be opened.
int get_modem_info();

// Copies the text of src before the first occurrence of delimiter into dst, cut to dstSize - 1
// characters, terminates it and returns 1; returns 0 and leaves dst untouched when the delimiter
// does not occur.
int strcpyWithStr(char* dst, std::size_t dstSize, const char* src, const char* delimiter);

// A read-and-delete reply into the record: 1 when it held a header and a PDU, else 0 with the
// record untouched.
int gmSMS_getReadMsg(const char* reply, SmsRecord* record);

// ---- Our helpers ----

// The IMEI as the last poll took it ("" before), and the GPS position (0, 0 without a fix), for
// readers on other threads: copied under the lock their writer holds.
void ModemImeiCopy(char* out, std::size_t size);
void ModemGpsCopy(float* lat, float* lon);

