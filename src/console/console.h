// Utility console: the configuration and maintenance protocol on the RS-232 port.
//
// When the INIT pin is not asserted at start-up, main starts ThreadUtility instead of the tunnel.
// The PC configuration tool then sends one "@" request line at a time on /dev/ttyHSL3 and gets one
// "!QRV-715M;" reply line back: it reads and changes every field of lirnSet, saves or resets the
// record, reboots the module, reads the status words and manages the day files on the SD card.
//
// The work splits in two halves that are tested on their own: framing (the pending-byte count of
// the port turned into one request line per burst) and dispatch (a line turned into reply bytes on
// a sink and the actions it asks for). The serial port is one sink; the MQTT mode's command
// channel (remote.cpp) is another, whose replies go to the broker.
#pragma once

#include "serial/uart.h"

#include <cstddef>
#include <cstdint>

// Receive buffer of one burst, and the most read from the port at once.
constexpr std::size_t kUtilityRecvSize = 1024;
constexpr int kUtilityReadLimit = 1000;
// A burst is read once the pending-byte count has been still this long, milliseconds.
constexpr uint32_t kUtilityQuietMs = 100;
// Reply buffer: the longest reply (a broker host query with a 253-character name) is 278
// characters.
constexpr std::size_t kUtilityReplySize = 320;

// The console thread: opens the port and handles requests for the life of the process. Returns
// only when the port cannot be opened.
void* ThreadUtility(void* arg);

// ---- Our helpers ----

// Opens /dev/ttyHSL3 at 115200 8N1 (whatever lirnSet says: those settings are the tunnel's),
// publishes it in uartFd and prints the outcome. Returns the descriptor, or -1.
int UtilityOpenPort();

// How a burst is cut from the port: once its count has been still for the quiet time, or at once
// (the first 1000 bytes) when more than 1000 wait; exactly 1000 still wait for the quiet time.
constexpr SerialGatherRule kUtilityGather = {kUtilityQuietMs, kUtilityReadLimit + 1, kUtilityReadLimit};

// The request of a burst of n bytes (n < kUtilityRecvSize): the first line, with leading CR and LF
// skipped and cut at the next CR or LF, in place. nullptr when the burst holds no line.
char* UtilityRequestLine(char* burst, std::size_t n);

// One pass of the framing loop on the port fd: poll, and read, print and dispatch a burst once
// its quiet time has passed.
void UtilityPass(int fd, SerialGather* g, SerialArrivals* arrivals);

// Where a request's reply goes: the serial port (UtilityPortSink), or the MQTT mode's command
// channel. The handlers write every byte through write, as the console always wrote them.
struct UtilitySink {
    void (*write)(const UtilitySink* sink, const char* data, std::size_t n);
    // Called before the process ends on the request (a reboot): what was written is delivered as
    // far as the carrier can tell, within its own bound. nullptr: nothing to wait for.
    void (*settle)(const UtilitySink* sink);
    int fd;       // the port's descriptor (the serial sink)
    bool remote;  // over the broker: secrets answered masked, a save kept for confirmation
};

// The MQTT mode's command channel (remote.cpp): its runner thread, started with the MQTT threads
// when commands are on, and one pass of it: waits up to waitMs for a request, runs it and ends its
// reply. False when none came.
void* ThreadRemoteConsole(void* arg);
bool RemoteConsolePass(uint32_t waitMs);

// The serial port as a sink: each write a uart_write of the whole piece on fd.
UtilitySink UtilityPortSink(int fd);

// Handles one request line: writes its reply (if any) to the sink and carries out its action.
// Unrecognised lines get no reply.
void UtilityDispatchTo(const UtilitySink* sink, const char* line);
// The same on the serial port fd.
void UtilityDispatch(int fd, const char* line);
