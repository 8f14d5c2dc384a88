// Modem supervision over the AT channel.
//
// thread_modem runs one poll cycle (get_modem_info) about every 1.6 s on the module's AT device
// "/dev/smd8": the once-per-run commands, the SIM check with PIN entry and radio reset,
// registration, signal, system mode, the GPS position report and, until one message has been
// taken, the message storage. It keeps the status words below current; the LED policy, the
// console and the tunnel's event records read them. Every exchange goes to the AT transcript.
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

// ---- Values read by no other thread ----

extern char modem_imei[16];   // as the module reports it, 15 digits (other threads: ModemImeiCopy)
extern char str_gmm[100];     // the whole raw reply to "AT+GMM\r\n", cut to fit
extern float gps_lat;         // decimal degrees, negative south; 0 without a fix
extern float gps_log;         // decimal degrees, negative west; 0 without a fix
extern char str_gprmc[200];   // RMC-style position sentence

// One received message, as the message step keeps it.
struct SmsRecord {
    char phone[30];              // originator address, terminated
    char time[20];               // YY/MM/DD HH:MM:SS, terminated; the last 2 bytes stay untouched
    char message[161];           // decoded user data, messageLength bytes, not terminated here
    unsigned char messageLength; // user data length of the decoder (septets for 7-bit, else octets)
    unsigned char mode;          // data coding scheme: 0 7-bit, 8 UCS2, any other 8-bit
};
static_assert(sizeof(SmsRecord) == 213, "the message record has no gaps");

extern SmsRecord recv_new_sms;
// 0 while the message step runs; 1 once a message has been taken, for the rest of the run.
extern int is_new_sms;

// ---- Control values of the cycle ----

extern int is_do_first_time_cmd;        // 1 once the once-per-run commands have gone out
extern unsigned int is_input_pin;       // cycles so far that found the SIM waiting for its PIN
extern unsigned int modem_count4reset;  // other SIM answers since start or the last radio reset

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

template <std::size_t N>
int strcpyWithStr(char (&dst)[N], const char* src, const char* delimiter)
{
    return strcpyWithStr(dst, N, src, delimiter);
}

// The IMEI as the last poll took it ("" before), and the GPS position (0, 0 without a fix), for
// readers on other threads: copied under the lock their writer holds.
void ModemImeiCopy(char* out, std::size_t size);
void ModemGpsCopy(float* lat, float* lon);
void GpsResetPosition();

// Returns every value of this module to its process-start state. The firmware never needs it
// (the process starts once); tests do, to run several "runs" in one process.
void ModemResetState();

// What a reply is used for.
enum class ReplyUse { Transcript, Model, Imei, Registration, Signal, SystemMode };

// Takes a reply into the value it feeds; a missing marker, comma or delimiter leaves it unchanged.
void ModemUseReply(ReplyUse use, const char* reply);

// What the SIM check asks the cycle to do next.
enum class SimAction { None, EnterPin, RadioReset };

// The SIM check on the reply to "AT+CPIN?\r\n": sets modem_cpin_status and the counters.
SimAction SimCheck(const char* reply);

// The GPS step on the reply to "AT+CGPSINFO\r\n". Fields after "+CGPSINFO: " (at most 19
// characters each); returns 0 without the marker.
constexpr int kGpsItems = 9;
constexpr std::size_t kGpsItemSize = 20;
int GpsSplit(const char* reply, char items[kGpsItems][kGpsItemSize]);
void GpsReport(const char* reply);
// ddmm.mmmm (or dddmm.mmmm) to decimal degrees, in 32-bit floats.
float GpsDegrees(const char* field);

// Occupancy of the first storage in a "+CPMS: " answer; values not found stay 0.
void SmsStorageOccupancy(const char* reply, int* used, int* size);
// How many storage indexes one message step reads for a storage of the given size: all of them,
// but never more than a SIM can hold, whatever a garbled occupancy answer claims.
int SmsIndexesToRead(int storageSize);

// The AT channel of one cycle.
constexpr std::size_t kAtBufferSize = 1024;

struct AtChannel {
    int fd;
    char command[kAtBufferSize];  // text of the current exchange
    char reply[kAtBufferSize];    // its reply, always terminated
};

// One exchange of the text in at.command: write, wait, read, transcript.
void AtExchange(AtChannel& at, unsigned waitMs);
// The same for a constant command text.
void AtSend(AtChannel& at, const char* command, unsigned waitMs);

// The message step of the cycle (storage query and index reads).
void SmsStep(AtChannel& at);
