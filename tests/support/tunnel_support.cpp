// Test helpers for the tunnel (see tunnel_support.h).
#include "tunnel_support.h"

#include "cellular/datacall.h"
#include "config/config.h"
#include "logging/log.h"
#include "serial/uart.h"
#include "tunnel/tunnel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

namespace tunneltest {

PassLoop::PassLoop(std::function<void()> pass, std::function<void()> wake)
    : wake_(std::move(wake)), thread_([this, pass = std::move(pass)] {
          while (!stop_) pass();
      })
{
}

PassLoop::~PassLoop()
{
    stop_ = true;
    if (wake_) wake_();
    thread_.join();
}

void ShutDownListeners()
{
    lirnConnect = 0;  // ends the pacing of a full slot
    for (TunnelEndpoint* ep : {&lirnHb, &lirnData}) {
        int fd = ep->sock;
        if (fd > 0) shutdown(fd, SHUT_RDWR);
    }
}

void TunnelSetUp(int mode, int port, int hbInterval)
{
    InitLirnConfig();
    lirnSet.mode = mode;
    std::snprintf(lirnSet.serverIp, sizeof lirnSet.serverIp, "127.0.0.1");
    lirnSet.port = port;
    lirnSet.hbInterval = hbInterval;
    LirnInit();
    logInIdx = 0;
    logOutIdx = 0;
    std::memset(logBuffer, 0, sizeof logBuffer);
}

void TunnelTearDown()
{
    lirnConnect = 0;
    lirnDialup = 0;
    for (int i = 0; i < kLirnChildSlots; ++i) lirnChildConnect[i] = 0;
    LirnClose(lirnData);
    LirnClose(lirnHb);
    LirnChildCloseAll(lirnHbChild);
    LirnChildCloseAll(lirnDataChild);
    int fd = uartFd.exchange(0);
    if (fd > 0) close(fd);
}

std::vector<int> TunnelEvents()
{
    std::vector<int> codes;
    for (int i = logOutIdx; i != logInIdx; i = (i + 1) % kLogRingSlots)
        if (std::strcmp(logBuffer[i].eventClass, "2") == 0) codes.push_back(std::atoi(logBuffer[i].code));
    return codes;
}

}  // namespace tunneltest
