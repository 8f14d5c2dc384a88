// Serial port access: raw terminal devices for the RS-232 port and the modem's AT channel.
//
// A thin layer over termios on plain file descriptors. The device paths are the system's own
// ("/dev/ttyHSL3", "/dev/smd8"); they are mapped into the sysroot here. Both readers of the RS-232
// port (the tunnel's send pump and the console) cut its input into chunks with SerialGatherPoll.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#define UART_TUNNEL_DEV "/dev/ttyHSL3"
#define UART_AT_DEV "/dev/smd8"

// Descriptor of the RS-232 port, published by whichever road opened it (the tunnel's
// network-to-serial pump or the console); 0 until then.
extern std::atomic<int> uartFd;

// Size of an AT response area. uart_write_read reads at most one byte less, so the answer it
// leaves is always a terminated text.
constexpr std::size_t kUartResponseSize = 1024;

// How long uart_write_read waits, after its pause, for the first byte of an answer that has not
// begun to arrive. A module that never answers then gives an empty reply instead of blocking the
// caller for good; its absence is handled like any other missing answer.
constexpr int kUartFirstByteWaitMs = 5000;

int uart_open(const char* path, int baud, char dataBits, char parity, char stopBits);
int set_opt(int fd, int baud, char dataBits, char parity, char stopBits);
void uart_close(int fd);
ssize_t uart_write(int fd, const void* data, size_t count);
ssize_t uart_read(int fd, void* buf, size_t count);
int uart_datasize_in_com(int fd);
ssize_t uart_write_read(int fd, const char* cmd, size_t cmdLen, char* response, unsigned waitMs);

// ---- Our helpers ----

struct termios;
// The attribute record set_opt applies for a line setting, built from all zeros.
void UartLineAttributes(struct termios* t, int baud, char dataBits, char parity, char stopBits);

// Gathering a chunk from the port's pending-byte count: a chunk is read once the count has been
// still for the quiet gap, or at once when enough bytes wait.
struct SerialGatherRule {
    uint32_t quietGapMs;  // the count must have been still this long
    int readAtOnce;       // ... unless at least this many bytes wait
    int maxChunk;         // the most read as one chunk
};

// The count seen at the previous poll that found bytes waiting, and the tick it last changed at.
// It outlives a read on purpose: a new burst whose first poll shows the same count does not
// restart the quiet gap.
struct SerialGather {
    int count;
    uint32_t changeTick;
};

// What one poll leads to: read readCount bytes now; or (readCount 0) nothing is due yet, and
// gapLeftMs is the time until the quiet gap ends (0 when nothing waits at all).
struct SerialGatherStep {
    int readCount;
    uint32_t gapLeftMs;
};

void SerialGatherInit(SerialGather* g, uint32_t now);
// One poll that found `waiting` bytes at tick `now`. A negative count (a failed query) counts as
// nothing waiting.
SerialGatherStep SerialGatherPoll(SerialGather* g, int waiting, uint32_t now, const SerialGatherRule& rule);
