// Console thread: the port, and the framing of request lines from the pending-byte count.
//
// The PC tool sends a request as one burst of bytes. A burst is complete once the count of
// waiting bytes has been still for the quiet time; it is then read (at most 1000 bytes) and its
// first line is the request. The count seen at the previous poll is remembered across bursts on
// purpose: a new burst whose first poll shows the same count as the last poll of the previous one
// does not restart the quiet time and is read at that very poll, as the PC tool has always seen.
#include "console/console.h"

#include "board/ticks.h"
#include "serial/uart.h"

#include <cstdio>
#include <cstring>

namespace {

// The console's line setting: fixed, so the PC tool can always reach the device.
constexpr int kUtilityBaud = 115200;
constexpr char kUtilityDataBits = 8;
constexpr char kUtilityParity = 'N';
constexpr char kUtilityStopBits = 1;

}  // namespace

int UtilityOpenPort()
{
    int fd = uart_open(UART_TUNNEL_DEV, kUtilityBaud, kUtilityDataBits, kUtilityParity, kUtilityStopBits);
    if (fd < 0) {
        std::puts("Open Utility Port Failed\r");
        return -1;
    }
    uartFd = fd;
    std::puts("Open Utility Port Successfully\r");
    return fd;
}

void* ThreadUtility(void*)
{
    int fd = UtilityOpenPort();
    if (fd < 0) return nullptr;  // no retry: the rest of the system runs on without a console
    SerialGather gather;
    SerialGatherInit(&gather, GetTimeTicks());
    for (;;) UtilityPass(fd, &gather);
}

char* UtilityRequestLine(char* burst, std::size_t n)
{
    burst[n] = '\0';
    char* line = burst + std::strspn(burst, "\r\n");
    if (*line == '\0') return nullptr;
    line[std::strcspn(line, "\r\n")] = '\0';  // a second request in the same burst is dropped
    return line;
}

void UtilityPass(int fd, SerialGather* g)
{
    SerialGatherStep step = SerialGatherPoll(g, uart_datasize_in_com(fd), GetTimeTicks(), kUtilityGather);
    if (step.readCount == 0) {
        // Bytes are waiting: test again soon, so the quiet time keeps its meaning.
        SleepMs(step.gapLeftMs > 0 ? kPollPauseMs : kIdlePauseMs);
        return;
    }
    char burst[kUtilityRecvSize];
    ssize_t n = uart_read(fd, burst, static_cast<std::size_t>(step.readCount));
    if (n <= 0) {
        SleepMs(kIdlePauseMs);
        return;
    }
    char* line = UtilityRequestLine(burst, static_cast<std::size_t>(n));
    if (line == nullptr) return;
    std::printf("Utility Command: \"%s\"\r\n", line);
    UtilityDispatch(fd, line);
}
