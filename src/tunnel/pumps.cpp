// Data pumps: the payload of the tunnel, between the RS-232 port and the data connection.
//
// ThreadLirnRecv opens the port, publishes its descriptor in uartFd and writes to it whatever the
// data connection delivers. ThreadLirnSend gathers the bytes arriving on the port into chunks of
// at most one block (read once 128 bytes wait, or once the waiting count has been still for the
// quiet gap) and sends each chunk in the mode's wire form. Both act only while the link is up and
// lower lirnConnect when the data connection fails; the link manager then rebuilds the link.
// Bytes read from the port while the link is down are dropped, never sent later. Each pass reads
// into a block of its own and hands the chunk (pointer and length) down to the send or write.
#include "tunnel/tunnel.h"

#include "board/ticks.h"
#include "config/config.h"
#include "serial/uart.h"

#include <cstdio>
#include <cstring>
#include <poll.h>

namespace {

// A chunk is read once the waiting count has been still this long, or at once when a block waits.
constexpr uint32_t kQuietGapMs = 100;
constexpr SerialGatherRule kTunnelGather = {kQuietGapMs, kLirnBlockSize, kLirnBlockSize};

// Gathering state of the send pump, touched by that thread only.
SerialGather gGather;

// The data slot that belongs to a supervised heartbeat slot, or -1.
int DataSlotOf(int hbSlot)
{
    int idx = lirnChildIdx[hbSlot];
    return idx >= 0 && idx < kLirnChildSlots ? idx : -1;
}

// False once the heartbeat thread (a silent client) or the link manager has freed the slot. Its
// connections then end under the pump's feet; that is the end of one client, not a failure of the
// link, and must not take the listeners (and a client waiting at them) down.
bool SlotStillServed(int hbSlot)
{
    return lirnChildConnect[hbSlot] == 1;
}

void WriteSerial(int fd, const char* data, int count)
{
    uart_write(fd, data, static_cast<size_t>(count));
}

void RecvMode0(int fd)
{
    if (lirnConnect != 1) {
        SleepMs(kIdlePauseMs);
        return;
    }
    char block[kLirnBlockSize];
    int got = LirnRecv(lirnData, block);
    if (got > 0)
        WriteSerial(fd, block, got);
    else if (LirnLinkFailed(got))
        lirnConnect = 0;
}

void RecvMode1(int fd)
{
    if (lirnConnect != 1) {
        SleepMs(kIdlePauseMs);
        return;
    }
    char block[kLirnBlockSize];
    int got = LirnRecv(lirnData, block);
    if (got == 0) {
        std::puts("Receive No Packet\r");
        return;
    }
    if (got == kLirnSocketGone) return;  // the link manager is rebuilding
    if (got < 0) {
        std::puts("Receive Packet Failed\r");
        lirnConnect = 0;
        return;
    }
    // The console shows the first line; the port gets the bytes exactly as received.
    char text[kLirnBlockSize + 1];
    LirnLineText(text, block, got);
    std::printf("Receive Packet Successfully: \"%s\"\r\n", text);
    WriteSerial(fd, block, got);
}

void RecvMode2(int fd)
{
    bool served = false;
    for (int i = 0; i < kLirnChildSlots; ++i) {
        int data = DataSlotOf(i);
        if (lirnChildConnect[i] != 1 || data < 0) continue;
        served = true;
        char block[kLirnBlockSize];
        int got = LirnChildRecv(lirnDataChild[data], block);
        if (got <= 0 && !SlotStillServed(i)) continue;
        if (got == 0) {
            std::printf("[%d] Receive No Packet\r\n", i);
        } else if (got < 0) {
            std::printf("[%d] Receive Packet Failed\r\n", i);
            lirnConnect = 0;
            // The slot's socket stays broken until the link manager rebuilds: wait for that
            // instead of failing on it again at once, which would flood the console and spin.
            while (lirnConnect == 0 && lirnChildConnect[i] == 1) SleepMs(kIdlePauseMs);
        } else {
            std::printf("[%d] Receive Packet Successfully\r\n", i);
            WriteSerial(fd, block, got);
        }
    }
    if (!served) SleepMs(kIdlePauseMs);
}

// Sends one chunk in the mode's wire form: a block holding the chunk and zero bytes after it, all
// of it for a client, up to its first zero byte for a server.
void SendChunk(const char* chunk, int len)
{
    char block[kLirnBlockSize] = {};
    std::memcpy(block, chunk, static_cast<std::size_t>(len));
    switch (lirnMode) {
    case 0:
        if (LirnLinkFailed(LirnSend(lirnData, block))) lirnConnect = 0;
        break;
    case 1: {
        int rc = LirnSend(lirnData, block);
        if (rc == kLirnSocketGone) break;  // the link manager is rebuilding
        if (rc < 0) {
            std::printf("res: %d\r\n", rc);
            std::puts("Send Packet Failed\r");
            lirnConnect = 0;
        } else {
            std::puts("Send Packet Successfully\r");
        }
        break;
    }
    case 2:
        for (int i = 0; i < kLirnChildSlots; ++i) {
            int data = DataSlotOf(i);
            if (lirnChildConnect[i] != 1 || data < 0) continue;
            if (LirnChildSend(lirnDataChild[data], block) < 0) {
                if (!SlotStillServed(i)) continue;
                std::printf("[%d] Send Packet Failed\r\n", i);
                lirnConnect = 0;
            } else {
                std::printf("[%d] Send Packet Successfully\r\n", i);
            }
        }
        break;
    default: break;
    }
}

// Nothing waits on the port: sleep until a byte arrives, at most an idle pause. A port whose far
// side has hung up stays "ready" with nothing to read, so that case pauses the full time.
void WaitSerialInput(int fd)
{
    if (fd < 1) {
        SleepMs(kIdlePauseMs);
        return;
    }
    struct pollfd p = {fd, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(kIdlePauseMs));
    if (rc < 0 || (rc > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)) SleepMs(kIdlePauseMs);
}

}  // namespace

int LirnRecvOpen()
{
    int fd = uart_open(UART_TUNNEL_DEV, lirnSet.uartBaud, static_cast<char>(lirnSet.uartDataBits),
                       lirnSet.uartParity, static_cast<char>(lirnSet.uartStopBits));
    uartFd = fd;
    return fd;
}

void LirnRecvPass()
{
    int fd = uartFd;
    switch (lirnMode) {
    case 0: RecvMode0(fd); break;
    case 1: RecvMode1(fd); break;
    case 2: RecvMode2(fd); break;
    default: SleepMs(kIdlePauseMs); break;
    }
}

void* ThreadLirnRecv(void*)
{
    if (LirnRecvOpen() < 0) return nullptr;  // no port: the tunnel carries nothing
    int mode = lirnMode;
    if (mode < 0 || mode > 2) return nullptr;
    for (;;) LirnRecvPass();
}

void LirnSendStart()
{
    SerialGatherInit(&gGather, GetTimeTicks());
}

void LirnSendPass()
{
    int fd = uartFd;
    int waiting = uart_datasize_in_com(fd);
    if (waiting <= 0) {
        WaitSerialInput(fd);
        return;
    }
    SerialGatherStep step = SerialGatherPoll(&gGather, waiting, GetTimeTicks(), kTunnelGather);
    if (step.readCount == 0) {
        SleepMs(kPollPauseMs);
        return;
    }
    char chunk[kLirnBlockSize];
    ssize_t got = uart_read(fd, chunk, static_cast<size_t>(step.readCount));
    if (got > 0 && lirnConnect == 1) SendChunk(chunk, static_cast<int>(got));
}

void* ThreadLirnSend(void*)
{
    LirnSendStart();
    while (uartFd < 1) SleepMs(kIdlePauseMs);
    for (;;) LirnSendPass();
}
