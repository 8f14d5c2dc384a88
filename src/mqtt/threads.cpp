// The MQTT mode's two threads: ThreadMqtt drives the broker session (waits for the data call, the
// client id and the paced build, blocks on what the session waits for, and follows the link with
// lirnConnect as the tunnel's link manager does); ThreadMqttSerial feeds the chunk queue.
//
// MqttInit, on the main thread before both start, takes everything the mode needs from lirnSet
// (the broker, the credentials, the prefix, the port's line and chunk rule): with commands on, the
// console's runner changes lirnSet for the next start while these threads run.
#include "mqtt/mqtt.h"
#include "mqtt/queue.h"
#include "mqtt/session.h"
#include "mqtt/transport.h"

#include "board/ticks.h"
#include "cellular/datacall.h"
#include "config/config.h"
#include "modem/modem.h"
#include "platform/sysroot.h"
#include "platform/text.h"
#include "serial/uart.h"
#include "tunnel/tunnel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

constexpr std::size_t kQueueDefaultBytes = 8192;  // the queue when @LIRNBUF is 0
constexpr uint32_t kImeiWaitMs = 30000;           // how long the first connect waits for the IMEI
constexpr char kIdFile[] = "/APP/mqtt_id";        // the fallback client id, kept across runs

// The settings of the run, copied from lirnSet by MqttInit.
struct MqttSettings {
    char topic[sizeof lirnSet.mqttTopic];
    char user[sizeof lirnSet.mqttUser];
    char password[sizeof lirnSet.mqttPassword];
    bool commands;  // @MQTTCMD;1 over TLS
};
MqttSettings gSettings;

// The session thread's state: the session, the pacing of its builds, when it started, and the
// epoll set it waits in (-1 until the first wait).
MqttSession gSession;
LinkPacing gPacing;
bool gConfigured;  // MqttInit found a usable host and prefix
bool gPortOpen;    // MqttInit opened the port
uint32_t gStartTick;
int gEpollFd = -1;
int gBrokerWatched = -1;  // the descriptors in the epoll set for broker bytes and port room
int gPortWatched = -1;
int gPortNonBlocking = -1;  // the port descriptor made non-blocking

// The link word follows the broker link, as it follows the tunnel's (the link manager owns it).
void ShowLink(bool up)
{
    if (up)
        LinkRaise();
    else
        LinkDrop();
}

// ---- The port ----

// Writes what the port takes now. Its descriptor is made non-blocking at the first write (the
// serial thread only reads what the port holds), so a slow or stopped reader at the PC end holds
// the session back without blocking it.
std::size_t PortWrite(const uint8_t* data, std::size_t n)
{
    int fd = uartFd;
    if (fd <= 0) return n;  // no port: the bytes go nowhere
    if (fd != gPortNonBlocking) {
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) gPortNonBlocking = fd;
    }
    ssize_t took = write(fd, data, n);
    if (took >= 0) return static_cast<std::size_t>(took);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return n;  // a port that fails drops what it was given
}

int PortFd()
{
    int fd = uartFd;
    return fd > 0 ? fd : -1;
}

const MqttPort kPort = {PortWrite, PortFd};

// ---- Identity ----

bool ValidImei(const char* imei)
{
    std::size_t n = std::strlen(imei);
    return n == 15 && std::strspn(imei, "0123456789") == n;
}

// "lirn-" and twelve hex digits, made once and kept in kIdFile.
void FallbackId(char* out, std::size_t size)
{
    char text[32] = {};
    FILE* f = SysFopen(kIdFile, "r");
    if (f != nullptr) {
        if (std::fgets(text, sizeof text, f) == nullptr) text[0] = '\0';
        std::fclose(f);
    }
    text[std::strcspn(text, "\r\n")] = '\0';
    if (std::strncmp(text, "lirn-", 5) != 0 || std::strlen(text) != 17 || std::strspn(text + 5, "0123456789abcdef") != 12) {
        unsigned char r[6] = {};
        if (getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
            struct timespec t;
            clock_gettime(CLOCK_REALTIME, &t);
            std::memcpy(r, &t.tv_nsec, sizeof r < sizeof t.tv_nsec ? sizeof r : sizeof t.tv_nsec);
        }
        std::snprintf(text, sizeof text, "lirn-%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2], r[3], r[4], r[5]);
        char line[32];
        int n = std::snprintf(line, sizeof line, "%s\n", text);
        if (SaveFileAtomically(kIdFile, line, static_cast<std::size_t>(n)) != 0)
            std::puts("MQTT Client Id Not Saved\r");
    }
    TextCopy(out, size, text);
}

// The client id, chosen once per run: the IMEI, waited for up to kImeiWaitMs, else the fallback.
// False while still waiting (the wait is done here).
bool ClientIdReady(uint32_t seen)
{
    if (gSession.clientId[0] != '\0') return true;
    char id[32];
    ModemImeiCopy(id, sizeof id);
    if (!ValidImei(id)) {
        uint32_t waited = TickElapsed(gStartTick, GetTimeTicks());
        if (waited < kImeiWaitMs) {
            SharedWait(seen, kImeiWaitMs - waited);  // the poll announces the IMEI as a change
            return false;
        }
        FallbackId(id, sizeof id);
    }
    MqttSessionName(&gSession, id, gSettings.topic);
    std::printf("MQTT Client Id: %s\r\n", gSession.clientId);
    return true;
}

// ---- Following the session ----

void Follow(MqttStep step)
{
    switch (step) {
    case MqttStep::Steady: return;
    case MqttStep::Up:
        LinkPacingUp(&gPacing);
        ShowLink(true);
        return;
    case MqttStep::Down:
        LinkPacingDown(&gPacing);
        ShowLink(false);
        return;
    case MqttStep::Failed: LinkPacingFailed(&gPacing); return;
    case MqttStep::Unreachable:
        LinkPacingFailed(&gPacing);
        LirnHangUp(false);
        return;
    }
}

void BuildLink()
{
    uint32_t seen = SharedSeq();
    if (lirnDialup != 1) {
        SharedWait(seen, kWaitForever);  // until the data call is up
        return;
    }
    uint32_t wait = LinkPacingWaitMs(&gPacing);
    if (wait > 0) {
        SharedWait(seen, wait);
        return;
    }
    if (!ClientIdReady(seen)) return;
    Follow(MqttSessionBuild(&gSession));
}

void Watch(int fd, uint32_t events)
{
    struct epoll_event e = {};
    e.events = events;
    e.data.fd = fd;
    if (fd >= 0 && epoll_ctl(gEpollFd, EPOLL_CTL_ADD, fd, &e) != 0 && errno == EEXIST)
        epoll_ctl(gEpollFd, EPOLL_CTL_MOD, fd, &e);
}

// Watches fd (-1: nothing) in place of *watched.
void WatchOnly(int* watched, int fd, uint32_t events)
{
    if (*watched >= 0 && *watched != fd) epoll_ctl(gEpollFd, EPOLL_CTL_DEL, *watched, nullptr);
    Watch(fd, events);
    *watched = fd;
}

// Blocks until the broker sends, the port has room, a chunk is queued, a shared word changes or
// the session's due time comes.
void WaitForWork(const MqttWaits& w)
{
    if (gEpollFd < 0) {
        gEpollFd = epoll_create1(EPOLL_CLOEXEC);
        Watch(ChunkQueueWakeFd(), EPOLLIN);
        Watch(RemoteWakeFd(), EPOLLIN);
        Watch(SharedChangeFd(), EPOLLIN | EPOLLET);  // other threads watch it too: never read here
    }
    WatchOnly(&gBrokerWatched, w.brokerFd, EPOLLIN);  // each link has a socket of its own
    WatchOnly(&gPortWatched, w.portFd, EPOLLOUT);
    struct epoll_event ready[5];
    epoll_wait(gEpollFd, ready, 5, static_cast<int>(w.dueMs));
}

// The serial thread's chunker: chunks as the tunnel's raw chunks, each cut by its own quiet gap.
LirnChunker gChunker = {{}, {}, {-1, -1}, true};

// One pass of each thread body.
void MqttSessionPass()
{
    if (gSession.phase == MqttPhase::Down) {
        BuildLink();
        return;
    }
    WaitForWork(MqttSessionWaits(&gSession));
    if (gSession.phase == MqttPhase::Up && lirnDialup != 1) {
        Follow(MqttSessionDrop(&gSession, "Data Call Down"));
        return;
    }
    ChunkQueueClearWake();
    RemoteClearWake();
    Follow(MqttSessionStep(&gSession));
}

void MqttSerialPass()
{
    char chunk[kLirnChunkMax];
    int got = LirnChunkRead(&gChunker, uartFd, chunk);
    if (got > 0) ChunkQueuePut(chunk, static_cast<std::size_t>(got));
}

}  // namespace

bool MqttModeOn()
{
    return lirnSet.mqttHost[0] != '\0';
}

bool MqttCommandsOn()
{
    return gSettings.commands;
}

void MqttInit()
{
    TextCopy(gSettings.topic, sizeof gSettings.topic, lirnSet.mqttTopic);
    TextCopy(gSettings.user, sizeof gSettings.user, lirnSet.mqttUser);
    TextCopy(gSettings.password, sizeof gSettings.password, lirnSet.mqttPassword);
    // Requests over the broker change settings and reboot: never on a link nobody has verified.
    gSettings.commands = lirnSet.mqttCmd == 1 && lirnSet.mqttTls == 1;
    if (lirnSet.mqttCmd == 1 && lirnSet.mqttTls != 1) std::puts("MQTT Commands Need TLS\r");
    int32_t hb = lirnSet.hbInterval > 0 ? lirnSet.hbInterval : 10;
    MqttSessionSetup setup = {MqttTransportFor(lirnSet.mqttTls == 1, lirnSet.mqttHost, lirnSet.mqttPort),
                              &kPort,
                              GetTimeTicks,
                              static_cast<uint32_t>(hb > 65535 ? 65535 : hb) * 1000u,
                              gSettings.user,
                              gSettings.password,
                              gSettings.commands,
                              ConfigTrialReached};
    MqttSessionInit(&gSession, setup);
    RemoteInit();
    gPacing = LinkPacing{};
    gConfigured = false;
    gStartTick = GetTimeTicks();
    ChunkQueueInit(LirnOutageBytes(kQueueDefaultBytes));
    gPortOpen = LirnRecvOpen() >= 0;
    LirnChunkerStart(&gChunker, true);
    // The settings are checked when read; a record changed otherwise is still refused here.
    if (!MqttHostAcceptable(lirnSet.mqttHost)) {
        std::printf("MQTT Host Not A Name Or Address: %s\r\n", lirnSet.mqttHost);
        return;
    }
    if (!MqttTopicAcceptable(lirnSet.mqttTopic)) {
        std::printf("MQTT Topic Prefix Unusable: \"%s\"\r\n", lirnSet.mqttTopic);
        return;
    }
    gConfigured = true;
}

void* ThreadMqtt(void*)
{
    ThreadName("lirn-mqtt");
    if (!gConfigured) return nullptr;  // said why at start
    for (;;) MqttSessionPass();
}

void* ThreadMqttSerial(void*)
{
    ThreadName("lirn-mqtt-port");
    ThreadShortSlice();
    if (!gPortOpen) return nullptr;  // no port: nothing to carry
    for (;;) MqttSerialPass();
}
