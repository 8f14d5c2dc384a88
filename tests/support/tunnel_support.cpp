// Test helpers for the tunnel (see tunnel_support.h).
#include "tunnel_support.h"

#include "board/ticks.h"
#include "cellular/datacall.h"
#include "config/config.h"
#include "logging/log.h"
#include "serial/uart.h"
#include "tunnel/internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace tunneltest {

bool ThreadAsleep(pid_t tid)
{
    std::string stat = ReadWholeFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    return tid != 0 && stat.find(") S ") != std::string::npos;
}

PassLoop::PassLoop(std::function<void()> pass, std::function<void()> wake)
    : wake_(std::move(wake)), thread_([this, pass = std::move(pass)] {
          tid_ = gettid();
          while (!stop_) pass();
      })
{
}

bool PassLoop::WaitAsleep(Millis timeout) const
{
    return WaitUntil([this] { return ThreadAsleep(tid_); }, timeout, Millis(1));
}

PassLoop::~PassLoop()
{
    stop_ = true;
    if (wake_) wake_();
    SharedChanged();  // a pass waiting for a shared word or for serial input returns
    thread_.join();
}

void ShutDownListeners()
{
    LinkDrop();  // ends the pacing of a full slot
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
    LogRingClear();
}

void TunnelTearDown()
{
    LinkDrop();
    DialupLower();
    for (LirnChild& child : lirnChild) child.lirnChildConnect = 0;
    LirnClose(lirnData);
    LirnClose(lirnHb);
    LirnChildCloseAll();
    int fd = uartFd.exchange(0);
    if (fd > 0) close(fd);
}

void TunnelTest::TearDown()
{
    loops_.clear();
    TunnelTearDown();
    for (int fd : fds_) close(fd);
}

int TunnelTest::Keep(int fd)
{
    fds_.push_back(fd);
    return fd;
}

PassLoop& TunnelTest::Run(std::function<void()> pass, std::function<void()> wake)
{
    loops_.push_back(std::make_unique<PassLoop>(std::move(pass), std::move(wake)));
    return *loops_.back();
}

std::vector<int> TunnelEvents()
{
    std::vector<int> codes;
    for (int i = 0; i < LogPushIdx(); ++i) {
        LogEvent e = LogEventAt(i);
        if (std::strcmp(e.eventClass, "2") == 0) codes.push_back(std::atoi(e.code));
    }
    return codes;
}

}  // namespace tunneltest
