// MQTT session: the broker link of the MQTT mode, held by ThreadMqtt, and the serial thread that
// feeds it.
//
// The session waits for the data call, then connects (five tries, paced and followed by a hang-up
// of the call as the tunnel's client builds are), runs TLS when asked, and sends CONNECT with the
// client id (the module's IMEI), a persistent session, the heartbeat interval as keep-alive and a
// retained will "offline" on PREFIX/ID/status. Once the broker accepts, it publishes "online"
// there, subscribes to PREFIX/ID/down, resends what was in flight (marked as duplicates) and
// publishes queued chunks to PREFIX/ID/up with QoS 1, up to kWindow unacknowledged. A chunk
// leaves the session only with its PUBACK, so a link that drops loses nothing the queue kept.
// lirnConnect follows the broker link, as it follows the tunnel's.
#include "mqtt/broker_address.h"
#include "mqtt/mqtt.h"
#include "mqtt/queue.h"
#include "mqtt/tls.h"

#include "board/module.h"
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
#include <poll.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>

namespace {

constexpr int kWindow = 8;                    // QoS 1 chunks in flight at once
constexpr std::size_t kRxCap = 4096;          // broker bytes held; a longer PUBLISH is streamed
constexpr std::size_t kTopicMax = 160;
constexpr std::size_t kTxCap = kLirnChunkMax + kTopicMax + 8;
constexpr std::size_t kQueueDefaultBytes = 8192;  // the queue when @LIRNBUF is 0
constexpr uint32_t kConnackWaitMs = kLirnWaitSeconds * 1000u;
constexpr uint32_t kStatePeriodMs = 60000;    // the state document at least this often
constexpr uint32_t kStateLookMs = 2000;       // its values compared this often (the supervisor's pace)
constexpr uint32_t kImeiWaitMs = 30000;       // how long the first connect waits for the IMEI
constexpr char kIdFile[] = "/APP/mqtt_id";    // the fallback client id, kept across runs

// One chunk published and not yet acknowledged.
struct InFlight {
    uint16_t id;
    bool acked;
    std::size_t len;
    char data[kLirnChunkMax];
};

// A PUBLISH too long to hold, passed through as its bytes arrive.
struct Stream {
    std::size_t left;  // payload bytes still to come
    bool toPort;       // it came on the down topic
    uint16_t ackId;    // its QoS 1 packet id, 0 for QoS 0
};

// The session, the session thread's alone (the counters are read by the state document only).
struct Session {
    bool configured;  // MqttInit found a usable host and prefix
    bool up;
    char clientId[32];
    char topicUp[kTopicMax], topicDown[kTopicMax], topicStatus[kTopicMax], topicState[kTopicMax];
    uint16_t nextId;
    InFlight flight[kWindow];  // in publish order from flightHead
    int flightHead, flightCount;
    uint8_t rx[kRxCap];
    std::size_t rxLen;
    Stream stream;
    uint32_t keepAliveMs;
    uint32_t lastSendTick, pingTick, stateTick, stateLookTick, startTick;
    bool pingOut;
    MqttState shown;  // the values of the last state document
    LinkPacing pacing;
    unsigned long long bytesUp, bytesDown, lost;
    struct timespec started;
    int epollFd;
};
Session gS;
TunnelEndpoint gBroker;
uint8_t gTx[kTxCap];

// ---- Transport ----

bool SendPacket(const uint8_t* data, int len)
{
    if (len < 0) return false;
    bool ok = lirnSet.mqttTls == 1 ? MqttTlsWrite(data, static_cast<std::size_t>(len)) == 0
                                   : LirnSendBytes(gBroker, reinterpret_cast<const char*>(data), len) == 0;
    gS.lastSendTick = GetTimeTicks();
    return ok;
}

// Bytes read into rx (> 0), 0 when none wait now, -1 when the link ended.
int ReadSome()
{
    std::size_t room = kRxCap - gS.rxLen;
    if (lirnSet.mqttTls == 1) return MqttTlsRead(gS.rx + gS.rxLen, room);
    ssize_t n = recv(gBroker.sock, gS.rx + gS.rxLen, room, MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return -1;
}

void CloseLink()
{
    if (lirnSet.mqttTls == 1) MqttTlsEnd();
    LirnClose(gBroker);
    gS.rxLen = 0;
    gS.stream = Stream{};
}

void LinkDown(const char* why)
{
    std::printf("MQTT Link Down: %s\r\n", why);
    CloseLink();
    gS.up = false;
    LinkPacingDown(&gS.pacing);
    SharedSet(lirnConnect, 0);
}

// ---- Identity and topics ----

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

void BuildTopics()
{
    const char* p = lirnSet.mqttTopic;
    std::snprintf(gS.topicUp, kTopicMax, "%s/%s/up", p, gS.clientId);
    std::snprintf(gS.topicDown, kTopicMax, "%s/%s/down", p, gS.clientId);
    std::snprintf(gS.topicStatus, kTopicMax, "%s/%s/status", p, gS.clientId);
    std::snprintf(gS.topicState, kTopicMax, "%s/%s/state", p, gS.clientId);
}

// The client id, chosen once per run: the IMEI, waited for up to kImeiWaitMs, else the fallback.
// False while still waiting (the wait is done here).
bool ClientIdReady(uint32_t seen)
{
    if (gS.clientId[0] != '\0') return true;
    char imei[16];
    ModemImeiCopy(imei, sizeof imei);
    if (ValidImei(imei)) {
        TextCopy(gS.clientId, sizeof gS.clientId, imei);
    } else {
        uint32_t waited = TickElapsed(gS.startTick, GetTimeTicks());
        if (waited < kImeiWaitMs) {
            SharedWait(seen, kImeiWaitMs - waited);  // the poll announces the IMEI as a change
            return false;
        }
        FallbackId(gS.clientId, sizeof gS.clientId);
    }
    BuildTopics();
    std::printf("MQTT Client Id: %s\r\n", gS.clientId);
    return true;
}

// ---- Publishing ----

uint16_t NextId()
{
    if (++gS.nextId == 0) gS.nextId = 1;
    return gS.nextId;
}

bool Publish(const char* topic, const void* payload, std::size_t len, bool retain, bool dup, uint16_t id)
{
    MqttPublishInfo p = {topic, payload, len, 1, retain, dup, id};
    return SendPacket(gTx, MqttEncodePublish(gTx, sizeof gTx, p));
}

MqttState StateNow()
{
    MqttState s = {};
    s.csq = modem_csq;
    s.creg = modem_creg;
    s.netType = modem_net_type;
    s.fix = gps_flag == 1;
    if (s.fix) ModemGpsCopy(&s.lat, &s.lon);
    s.lost = gS.lost;
    return s;
}

// Whether a value the document is published for on change differs (not the running counters).
bool StateChanged(const MqttState& a, const MqttState& b)
{
    return a.csq != b.csq || a.creg != b.creg || a.netType != b.netType || a.fix != b.fix || a.lat != b.lat ||
           a.lon != b.lon || a.lost != b.lost;
}

bool PublishState(const MqttState& now)
{
    MqttState s = now;
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    s.uptimeS = static_cast<unsigned long long>(t.tv_sec - gS.started.tv_sec);
    s.bytesUp = gS.bytesUp;
    s.bytesDown = gS.bytesDown;
    char text[kMqttStateMax];
    int n = MqttFormatState(text, sizeof text, s, kFirmwareVersion);
    gS.shown = now;
    gS.stateTick = GetTimeTicks();
    return n > 0 && Publish(gS.topicState, text, static_cast<std::size_t>(n), true, false, NextId());
}

InFlight& FlightAt(int i)
{
    return gS.flight[(gS.flightHead + i) % kWindow];
}

// Moves queued chunks into the window and publishes them. False when a send failed.
bool FillWindow()
{
    std::uint64_t dropped = ChunkQueueTakeDropped();
    if (dropped > 0) {
        std::printf("Outage Ring Dropped %llu Bytes\r\n", static_cast<unsigned long long>(dropped));
        LirnLogOutageDropped(dropped);
        gS.lost += dropped;
    }
    while (gS.flightCount < kWindow) {
        InFlight& f = FlightAt(gS.flightCount);
        f.len = ChunkQueueTake(f.data);
        if (f.len == 0) return true;
        f.id = NextId();
        f.acked = false;
        gS.flightCount++;
        if (!Publish(gS.topicUp, f.data, f.len, false, false, f.id)) return false;
    }
    return true;
}

void Acknowledged(uint16_t id)
{
    for (int i = 0; i < gS.flightCount; ++i)
        if (FlightAt(i).id == id && !FlightAt(i).acked) FlightAt(i).acked = true;
    while (gS.flightCount > 0 && FlightAt(0).acked) {
        gS.bytesUp += FlightAt(0).len;
        gS.flightHead = (gS.flightHead + 1) % kWindow;
        gS.flightCount--;
    }
}

// ---- Receiving ----

bool TopicIs(const MqttPacket& p, const char* topic)
{
    return p.topicLen == std::strlen(topic) && std::memcmp(p.topic, topic, p.topicLen) == 0;
}

void ToPort(const uint8_t* data, std::size_t n)
{
    if (n == 0) return;
    int fd = uartFd;
    if (fd > 0) uart_write(fd, data, n);
    gS.bytesDown += n;
}

bool Ack(uint16_t id)
{
    return id == 0 || SendPacket(gTx, MqttEncodePuback(gTx, sizeof gTx, id));
}

// Acts on one whole packet. False when the link must go (a send failed).
bool Handle(const MqttPacket& p, const uint8_t* bytes)
{
    gS.pingOut = false;  // any packet shows the broker alive
    switch (p.type) {
    case kMqttPuback: Acknowledged(p.packetId); return true;
    case kMqttPublish:
        if (TopicIs(p, gS.topicDown)) ToPort(bytes + p.payloadOffset, p.payloadLen);
        return Ack(p.packetId);
    case kMqttSuback:
        if (p.returnCode == 0x80) std::printf("MQTT Subscribe Refused: %s\r\n", gS.topicDown);
        return true;
    default: return true;  // PINGRESP; a late CONNACK changes nothing
    }
}

// Passes stream bytes at the start of rx on. Returns the bytes used.
std::size_t Passthrough(const uint8_t* data, std::size_t n, bool* ok)
{
    std::size_t take = n < gS.stream.left ? n : gS.stream.left;
    if (gS.stream.toPort) ToPort(data, take);
    gS.stream.left -= take;
    if (gS.stream.left == 0) *ok = Ack(gS.stream.ackId);
    return take;
}

// Handles every whole packet in rx and keeps the rest. False when the link must go.
bool TakePackets(const char** why)
{
    std::size_t off = 0;
    bool ok = true;
    while (ok && off < gS.rxLen) {
        const uint8_t* at = gS.rx + off;
        std::size_t len = gS.rxLen - off;
        if (gS.stream.left > 0) {
            off += Passthrough(at, len, &ok);
            continue;
        }
        MqttPacket p;
        int rc = MqttParse(at, len, &p);
        if (rc == kMqttIncomplete) {
            int head = MqttParsePublishHead(at, len, &p);
            if (head <= 0 || p.total <= kRxCap) break;
            // Too long to hold whole: its payload goes on as it comes.
            gS.stream = {p.payloadLen, TopicIs(p, gS.topicDown), p.packetId};
            off += static_cast<std::size_t>(head);
            if (p.payloadLen == 0) ok = Ack(p.packetId);
            continue;
        }
        if (rc < 0) {
            *why = "Malformed Packet";
            return false;
        }
        ok = Handle(p, at);
        off += static_cast<std::size_t>(rc);
    }
    std::memmove(gS.rx, gS.rx + off, gS.rxLen - off);
    gS.rxLen -= off;
    if (!ok) *why = "Send Failed";
    if (ok && gS.rxLen == kRxCap) {
        *why = "Packet Too Long";
        return false;
    }
    return ok;
}

// Reads what the broker sent and acts on it. False, with the reason, when the link must go.
bool ReadBroker(const char** why)
{
    for (;;) {
        int n = ReadSome();
        if (n < 0) {
            *why = "Broker Closed";
            return false;
        }
        if (n == 0) return true;
        gS.rxLen += static_cast<std::size_t>(n);
        if (!TakePackets(why)) return false;
    }
}

// ---- Building the link ----

// Waits for CONNACK. True when the broker accepted the session.
bool AwaitConnack()
{
    uint32_t start = GetTimeTicks();
    for (;;) {
        MqttPacket p;
        int rc = MqttParse(gS.rx, gS.rxLen, &p);
        if (rc > 0) {
            std::memmove(gS.rx, gS.rx + rc, gS.rxLen - static_cast<std::size_t>(rc));
            gS.rxLen -= static_cast<std::size_t>(rc);
            if (p.type == kMqttConnack && p.returnCode == 0) return true;
            std::printf("MQTT Connect Refused: %d\r\n", p.type == kMqttConnack ? p.returnCode : -1);
            return false;
        }
        uint32_t elapsed = TickElapsed(start, GetTimeTicks());
        if (rc < 0 || elapsed >= kConnackWaitMs || gS.rxLen == kRxCap) break;
        int n = ReadSome();
        if (n < 0) break;
        gS.rxLen += static_cast<std::size_t>(n);
        struct pollfd w = {gBroker.sock, POLLIN, 0};
        if (n == 0 && poll(&w, 1, static_cast<int>(kConnackWaitMs - elapsed)) <= 0) break;
    }
    std::puts("MQTT No Connect Acknowledgement\r");
    return false;
}

bool SendConnect()
{
    MqttConnectInfo c = {gS.clientId, lirnSet.mqttUser, lirnSet.mqttPassword, gS.topicStatus, "offline", true,
                         static_cast<uint16_t>(gS.keepAliveMs / 1000), false};
    return SendPacket(gTx, MqttEncodeConnect(gTx, sizeof gTx, c));
}

// The session opens: online, the subscription, what was in flight again, then the state.
bool OpenSession()
{
    if (!Publish(gS.topicStatus, "online", 6, true, false, NextId())) return false;
    if (!SendPacket(gTx, MqttEncodeSubscribe(gTx, sizeof gTx, NextId(), gS.topicDown, 1))) return false;
    for (int i = 0; i < gS.flightCount; ++i) {
        InFlight& f = FlightAt(i);
        if (!f.acked && !Publish(gS.topicUp, f.data, f.len, false, true, f.id)) return false;
    }
    gS.pingOut = false;
    return PublishState(StateNow());
}

void BuildFailed(bool hangUp)
{
    CloseLink();
    LinkPacingFailed(&gS.pacing);
    if (hangUp) LirnHangUp(false);
}

void BuildLink()
{
    uint32_t seen = SharedSeq();
    if (lirnDialup != 1) {
        SharedWait(seen, kWaitForever);  // until the data call is up
        return;
    }
    uint32_t wait = LinkPacingWaitMs(&gS.pacing);
    if (wait > 0) {
        SharedWait(seen, wait);
        return;
    }
    if (!ClientIdReady(seen)) return;
    CloseLink();
    bool hangUp = false;
    if (!MqttBrokerAddress(lirnSet.mqttHost, gBroker.ipAddr, sizeof gBroker.ipAddr, &hangUp)) {
        BuildFailed(hangUp);
        return;
    }
    if (!LirnConnectWithRetries(gBroker)) {
        std::puts("MQTT Broker Connect Failed\r");
        BuildFailed(true);
        return;
    }
    if (lirnSet.mqttTls == 1 && !MqttTlsStart(gBroker, lirnSet.mqttHost)) {
        BuildFailed(false);
        return;
    }
    if (!SendConnect() || !AwaitConnack()) {
        BuildFailed(false);
        return;
    }
    gS.up = true;
    LinkPacingUp(&gS.pacing);
    SharedSet(lirnConnect, 1);
    std::printf("MQTT Connected: %s\r\n", gS.topicUp);
    // A resumed session's messages may have come right behind the CONNACK, already read.
    const char* why = "Send Failed";
    if (!OpenSession() || !TakePackets(&why)) LinkDown(why);
}

// ---- The link that is up ----

// Milliseconds until the next timed step: a ping or the broker's answer to it, a state look.
uint32_t NextDueMs(uint32_t now)
{
    uint32_t ping = gS.pingOut ? gS.pingTick : gS.lastSendTick;
    uint32_t pingLeft = TickDue(ping, now, gS.keepAliveMs) ? 0 : gS.keepAliveMs - TickElapsed(ping, now);
    uint32_t stateLeft =
        TickDue(gS.stateLookTick, now, kStateLookMs) ? 0 : kStateLookMs - TickElapsed(gS.stateLookTick, now);
    return pingLeft < stateLeft ? pingLeft : stateLeft;
}

// Ping and state steps that are due. False, with the reason, when the link must go.
bool TimedSteps(const char** why)
{
    uint32_t now = GetTimeTicks();
    if (gS.pingOut && TickDue(gS.pingTick, now, gS.keepAliveMs)) {
        *why = "Broker Silent";
        return false;
    }
    if (!gS.pingOut && TickDue(gS.lastSendTick, now, gS.keepAliveMs)) {
        if (!SendPacket(gTx, MqttEncodeBare(gTx, sizeof gTx, kMqttPingreq))) {
            *why = "Send Failed";
            return false;
        }
        gS.pingOut = true;
        gS.pingTick = now;
    }
    if (TickDue(gS.stateLookTick, now, kStateLookMs)) {
        gS.stateLookTick = now;
        MqttState s = StateNow();
        if ((StateChanged(s, gS.shown) || TickDue(gS.stateTick, now, kStatePeriodMs)) && !PublishState(s)) {
            *why = "Send Failed";
            return false;
        }
    }
    return true;
}

void WatchFd(int fd, uint32_t events)
{
    struct epoll_event e = {};
    e.events = events;
    e.data.fd = fd;
    if (fd >= 0 && epoll_ctl(gS.epollFd, EPOLL_CTL_ADD, fd, &e) != 0 && errno == EEXIST)
        epoll_ctl(gS.epollFd, EPOLL_CTL_MOD, fd, &e);
}

// Blocks until the broker sends, a chunk is queued, a shared word changes or timeoutMs pass.
void WaitForWork(uint32_t timeoutMs)
{
    if (gS.epollFd < 0) {
        gS.epollFd = epoll_create1(EPOLL_CLOEXEC);
        WatchFd(ChunkQueueWakeFd(), EPOLLIN);
        WatchFd(SharedChangeFd(), EPOLLIN | EPOLLET);  // other threads watch it too: never read here
    }
    WatchFd(gBroker.sock, EPOLLIN);  // each link has a socket of its own
    struct epoll_event ready[3];
    epoll_wait(gS.epollFd, ready, 3, static_cast<int>(timeoutMs));
}

void ServeLink()
{
    const char* why = "";
    ChunkQueueClearWake();
    if (!FillWindow()) {
        LinkDown("Send Failed");
        return;
    }
    WaitForWork(NextDueMs(GetTimeTicks()));
    if (lirnDialup != 1) {
        LinkDown("Data Call Down");
        return;
    }
    if (!ReadBroker(&why) || !TimedSteps(&why)) LinkDown(why);
}

}  // namespace

bool MqttModeOn()
{
    return lirnSet.mqttHost[0] != '\0';
}

void MqttInit()
{
    gS = Session{};
    gS.epollFd = -1;
    gS.startTick = GetTimeTicks();
    clock_gettime(CLOCK_MONOTONIC, &gS.started);
    int32_t hb = lirnSet.hbInterval > 0 ? lirnSet.hbInterval : 10;
    gS.keepAliveMs = static_cast<uint32_t>(hb > 65535 ? 65535 : hb) * 1000u;
    ChunkQueueInit(LirnOutageBytes(kQueueDefaultBytes));

    // The settings are checked when read; a record changed otherwise is still refused here.
    if (!MqttHostAcceptable(lirnSet.mqttHost)) {
        std::printf("MQTT Host Not A Name Or Address: %s\r\n", lirnSet.mqttHost);
        return;
    }
    if (!MqttTopicAcceptable(lirnSet.mqttTopic)) {
        std::printf("MQTT Topic Prefix Unusable: \"%s\"\r\n", lirnSet.mqttTopic);
        return;
    }
    gBroker.port = lirnSet.mqttPort;
    gBroker.sock = 0;
    gS.configured = true;
}

void MqttSessionPass()
{
    if (gS.up)
        ServeLink();
    else
        BuildLink();
}

void* ThreadMqtt(void*)
{
    ThreadName("lirn-mqtt");
    if (!gS.configured) return nullptr;  // said why at start
    for (;;) MqttSessionPass();
}

// ---- The serial side ----

namespace {

// The serial thread's chunker: chunks as the tunnel's raw chunks, each cut by its own quiet gap.
LirnChunker gChunker = {{}, {}, {-1, -1}, true};

}  // namespace

void MqttSerialPass()
{
    char chunk[kLirnChunkMax];
    int got = LirnChunkRead(&gChunker, uartFd, chunk);
    if (got > 0) ChunkQueuePut(chunk, static_cast<std::size_t>(got));
}

void* ThreadMqttSerial(void*)
{
    ThreadName("lirn-mqtt-port");
    ThreadShortSlice();
    if (LirnRecvOpen() < 0) return nullptr;  // no port: nothing to carry
    LirnChunkerStart(&gChunker, true);
    for (;;) MqttSerialPass();
}
