// Serial ports: open in raw mode with a line setting, byte-count reads and writes, the pending
// byte count, the AT channel's write-wait-read step, and the gathering of chunks by that count.
#include "serial/uart.h"

#include "board/ticks.h"
#include "platform/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

std::atomic<int> uartFd{0};

namespace {

struct BaudEntry {
    int baud;
    speed_t speed;
};

// Rates the line can run at; any other value runs at 115200.
const BaudEntry kBaudTable[] = {
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800},
};

speed_t BaudSpeed(int baud)
{
    for (const BaudEntry& e : kBaudTable)
        if (e.baud == baud) return e.speed;
    return B115200;
}

}  // namespace

int uart_open(const char* path, int baud, char dataBits, char parity, char stopBits)
{
    int fd = SysOpen(path, O_RDWR);
    if (fd < 0) {
        std::printf("open %s error: %d\n", path, fd);
        return fd;
    }
    int rc = set_opt(fd, baud, dataBits, parity, stopBits);
    if (rc < 0) {
        std::printf("set opt error: %d\n", rc);
        close(fd);
        return rc;
    }
    return fd;
}

void UartLineAttributes(struct termios* t, int baud, char dataBits, char parity, char stopBits)
{
    std::memset(t, 0, sizeof *t);
    t->c_cflag |= CLOCAL | CREAD;
    if (dataBits == 7) t->c_cflag |= CS7;
    if (dataBits == 8) t->c_cflag |= CS8;
    switch (parity) {
    case 'O':
        t->c_cflag |= PARENB | PARODD;
        t->c_iflag |= INPCK;
        break;
    case 'E':
        t->c_iflag |= INPCK;
        t->c_cflag |= PARENB;
        t->c_cflag &= ~PARODD;
        break;
    default:  // 'N' and anything unrecognised: no parity
        t->c_cflag &= ~PARENB;
        break;
    }
    speed_t speed = BaudSpeed(baud);
    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
    if (stopBits == 2)
        t->c_cflag |= CSTOPB;
    else
        t->c_cflag &= ~CSTOPB;
    t->c_cc[VTIME] = 30;
    t->c_cc[VMIN] = 1;
}

int set_opt(int fd, int baud, char dataBits, char parity, char stopBits)
{
    struct termios old;
    if (tcgetattr(fd, &old) != 0) {
        int err = errno;  // before any print can change it
        std::puts("setupserial 1");
        std::printf("errno=%d\n", err);
        return -1;
    }
    struct termios t;
    UartLineAttributes(&t, baud, dataBits, parity, stopBits);
    tcflush(fd, TCIFLUSH);
    tcflush(fd, TCOFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        std::puts("com set error");
        return -1;
    }
    return 0;
}

void uart_close(int fd)
{
    close(fd);
}

ssize_t uart_write(int fd, const void* data, size_t count)
{
    // Keep writing until everything is out: a short write must not lose the rest.
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A full device: sleep until it takes bytes again instead of re-trying on the clock.
                struct pollfd room = {fd, POLLOUT, 0};
                poll(&room, 1, -1);
                continue;
            }
            return done > 0 ? static_cast<ssize_t>(done) : n;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t uart_read(int fd, void* buf, size_t count)
{
    return read(fd, buf, count);
}

int uart_datasize_in_com(int fd)
{
    if (fd < 0) return -1;
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) return -2;
    return waiting;
}

ssize_t uart_write_read(int fd, const char* cmd, size_t cmdLen, char* response, unsigned waitMs)
{
    uart_write(fd, cmd, cmdLen);
    SleepMs(waitMs);
    std::memset(response, 0, kUartResponseSize);
    struct pollfd p = {fd, POLLIN, 0};
    int ready;
    while ((ready = poll(&p, 1, kUartFirstByteWaitMs)) < 0 && errno == EINTR) {
    }
    if (ready == 0) return 0;
    // A failed wait must not fall into a read that could block the modem thread for ever.
    if (ready < 0) return -1;
    return uart_read(fd, response, kUartResponseSize - 1);
}

void SerialArrivalsInit(SerialArrivals* a)
{
    if (a->epollFd >= 0) close(a->epollFd);
    a->epollFd = -1;
    a->fd = -1;
}

void SerialWaitArrival(SerialArrivals* a, int fd, uint32_t timeoutMs)
{
    if (a->epollFd < 0) {
        a->epollFd = epoll_create1(EPOLL_CLOEXEC);
        struct epoll_event change = {};
        change.events = EPOLLIN | EPOLLET;
        change.data.fd = SharedChangeFd();
        if (a->epollFd >= 0 && change.data.fd >= 0) epoll_ctl(a->epollFd, EPOLL_CTL_ADD, change.data.fd, &change);
    }
    if (a->fd != fd && a->epollFd >= 0) {
        if (a->fd >= 0) epoll_ctl(a->epollFd, EPOLL_CTL_DEL, a->fd, nullptr);
        struct epoll_event port = {};
        port.events = EPOLLIN | EPOLLET;
        port.data.fd = fd;
        a->fd = epoll_ctl(a->epollFd, EPOLL_CTL_ADD, fd, &port) == 0 ? fd : -1;
        // Bytes that came before the watch began made no edge: the caller looks at the count
        // once more before it waits for the next one.
        if (a->fd >= 0) return;
    }
    if (a->epollFd < 0 || a->fd < 0) {
        SleepMs(timeoutMs < kIdlePauseMs ? timeoutMs : kIdlePauseMs);  // no edge to wait for: re-test soon
        return;
    }
    struct epoll_event ready[2];
    int ms = timeoutMs == kWaitForever ? -1 : static_cast<int>(timeoutMs);
    epoll_wait(a->epollFd, ready, 2, ms);
}

void SerialGatherInit(SerialGather* g, uint32_t now)
{
    g->count = 0;
    g->changeTick = now;
}

SerialGatherStep SerialGatherPoll(SerialGather* g, int waiting, uint32_t now, const SerialGatherRule& rule)
{
    if (waiting <= 0) return {0, 0};
    if (waiting != g->count) {
        g->count = waiting;
        g->changeTick = now;
    }
    if (g->count >= rule.readAtOnce) {
        // A full chunk is read at once; the rest stays in the port for the next one.
        if (g->count > rule.maxChunk) g->count = rule.maxChunk;
        return {g->count, 0};
    }
    uint32_t elapsed = TickElapsed(g->changeTick, now);
    if (elapsed < rule.quietGapMs) return {0, rule.quietGapMs - elapsed};
    return {g->count, 0};
}
