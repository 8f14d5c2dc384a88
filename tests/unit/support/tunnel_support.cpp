// Test helpers for the tunnel (see tunnel_support.h).
#include "support/tunnel_support.h"

#include "config/config.h"
#include "logging/log.h"
#include "platform/sysroot.h"
#include "serial/uart.h"
#include "tunnel/tunnel.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tunneltest {

ConsoleCapture::ConsoleCapture()
{
    char tmpl[] = "/tmp/lirn-console.XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

ConsoleCapture::~ConsoleCapture()
{
    // GoogleTest's own failure reports went into the capture too: show them with the console.
    if (::testing::Test::HasFailure()) std::fprintf(stderr, "--- console ---\n%s--- end ---\n", Text().c_str());
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    unlink(path_.c_str());
}

std::string ConsoleCapture::Text()
{
    std::fflush(stdout);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool ConsoleCapture::WaitFor(const std::string& needle, int ms)
{
    return WaitUntil([&] { return Text().find(needle) != std::string::npos; }, ms);
}

int ConsoleCapture::Count(const std::string& needle)
{
    std::string text = Text();
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

SerialPty::SerialPty(const TempSysroot& root)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pty");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
    root.MakeDirs("/dev");
    std::string link = root.Path(UART_TUNNEL_DEV);
    if (symlink(name, link.c_str()) != 0) throw std::runtime_error("symlink " + link);
}

SerialPty::~SerialPty()
{
    if (master_ >= 0) close(master_);
}

void SerialPty::Write(const std::string& bytes)
{
    WriteAll(master_, bytes.data(), bytes.size());
}

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

TestClient::~TestClient()
{
    if (hb >= 0) close(hb);
    if (data >= 0) close(data);
}

bool TestClient::Knock(int port)
{
    hb = ConnectTo(port + 1);
    char p[10];
    if (hb < 0 || !ReadExactly(hb, p, sizeof p, 8000)) return false;
    packet.assign(p, sizeof p);
    return true;
}

void TestClient::Reply(int port, const std::string& reply)
{
    data = ConnectTo(port);
    if (data >= 0) WriteAll(data, reply.data(), reply.size());
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
