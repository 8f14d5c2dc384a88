// The modem module's own values and the steps of its poll cycle: for the files of modem/ and
// their tests, never for another folder (tools/check-layers). Other threads see the values they
// need through modem.h (the status words, ModemImeiCopy, ModemGpsCopy).
#pragma once

#include "modem/modem.h"

#include <cstddef>

// ---- Values of the poll ----

extern char modem_imei[16];   // as the module reports it, 15 digits (other folders: ModemImeiCopy)
extern char str_gmm[100];     // the whole raw reply to "AT+GMM\r\n", cut to fit
extern float gps_lat;         // decimal degrees, negative south; 0 without a fix
extern float gps_log;         // decimal degrees, negative west; 0 without a fix
extern char str_gprmc[200];   // RMC-style position sentence

extern SmsRecord recv_new_sms;
// 0 while the message step runs; 1 once a message has been taken, for the rest of the run.
extern int is_new_sms;

// ---- Control values of the cycle ----

extern int is_do_first_time_cmd;        // 1 once the once-per-run commands have gone out
extern unsigned int is_input_pin;       // cycles so far that found the SIM waiting for its PIN
extern unsigned int modem_count4reset;  // other SIM answers since start or the last radio reset

// ---- Steps of the poll ----

template <std::size_t N>
int strcpyWithStr(char (&dst)[N], const char* src, const char* delimiter)
{
    return strcpyWithStr(dst, N, src, delimiter);
}

// One pass of the modem thread: a poll cycle, then the pause before the next (1 s).
void ModemPass();
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
