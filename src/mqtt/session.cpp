// MQTT session: the state machine of the broker link, over the transport and the port it is given.
//
// A build sends CONNECT with the client id, a persistent session, the keep-alive and a retained
// will "offline" on PREFIX/ID/status. Once the broker accepts, the session publishes "online"
// there, subscribes to PREFIX/ID/down, resends what was in flight (marked as duplicates, with their
// packet ids, ahead of anything new) and publishes queued chunks to PREFIX/ID/up with QoS 1, up to
// kMqttWindow unacknowledged. A chunk leaves the session only with its PUBACK, so a link that
// drops loses nothing the queue kept.
//
// Down messages pass through the receive area to the port as far as the port takes them; while it
// takes nothing the session stops reading the broker but keeps publishing and pinging. A message is
// acknowledged once its last byte reached the port, and a redelivery after a lost link writes only
// what the port has not taken, so a slow port gets each message once.
//
// With commands on, the session also subscribes to PREFIX/ID/cmd/+: a request there goes to the
// command channel's inbox (remote.h), acknowledged once it is in; while the inbox is full the
// request waits in the receive area as a message waits for the port. The replies' messages are
// published as the runner fills them, held until their PUBACK and sent again after a reconnect.
#include "mqtt/queue.h"
#include "mqtt/session.h"

#include "board/module.h"
#include "board/ticks.h"
#include "config/config.h"
#include "modem/modem.h"
#include "update/receive.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kConnackWaitMs = kLirnWaitSeconds * 1000u;
constexpr uint32_t kStatePeriodMs = 60000;  // the state document at least this often
constexpr uint32_t kStateLookMs = 2000;     // its values compared this often (the supervisor's pace)

uint32_t Now(const MqttSession* s)
{
    return s->setup.clock();
}

// How long the broker may stay silent while it owes an answer: one and a half keep-alives, as long
// as a broker waits for its client.
uint32_t SilenceMs(const MqttSession* s)
{
    return s->setup.keepAliveMs + s->setup.keepAliveMs / 2;
}

uint32_t Left(uint32_t since, uint32_t now, uint32_t span)
{
    return TickDue(since, now, span) ? 0 : span - TickElapsed(since, now);
}

// ---- The link ----

bool SendPacket(MqttSession* s, int len)
{
    if (len < 0) return false;
    bool ok = s->setup.transport->write(s->tx, static_cast<std::size_t>(len)) == 0;
    s->sendCount++;
    s->lastSendTick = Now(s);
    return ok;
}

// A packet that the broker answers (PUBLISH, SUBSCRIBE, PINGREQ). The oldest unanswered one starts
// the silence that gives the link up; later ones do not move it.
bool Request(MqttSession* s, int len)
{
    bool ok = SendPacket(s, len);
    if (!s->awaiting) {
        s->awaiting = true;
        s->awaitTick = Now(s);
    }
    return ok;
}

// Bytes came from the broker: the silence ends. It starts again now if the broker still owes an
// answer (a chunk not yet acknowledged, a ping), else when the next request goes.
void Heard(MqttSession* s)
{
    s->awaiting = s->flightCount > 0 || s->partsOut > 0 || s->pingOut;
    s->awaitTick = Now(s);
}

// Bytes read into rx (> 0), 0 when none wait now, -1 when the link ended.
int ReadSome(MqttSession* s)
{
    return s->setup.transport->read(s->rx + s->rxLen, kMqttRxCap - s->rxLen);
}

void CloseLink(MqttSession* s)
{
    s->setup.transport->close();
    s->rxLen = 0;
    s->portHeld = false;
    s->inboxHeld = false;
    s->stream = MqttStream{0, 0, false, false, 0, 0, 0, -1};
}

MqttStep LinkDown(MqttSession* s, const char* why)
{
    std::printf("MQTT Link Down: %s\r\n", why);
    CloseLink(s);
    s->phase = MqttPhase::Down;
    return MqttStep::Down;
}

MqttStep BuildFailed(MqttSession* s, MqttStep how)
{
    CloseLink(s);
    s->phase = MqttPhase::Down;
    return how;
}

// ---- Publishing ----

uint16_t NextId(MqttSession* s)
{
    if (++s->nextId == 0) s->nextId = 1;
    return s->nextId;
}

bool Publish(MqttSession* s, const char* topic, const void* payload, std::size_t len, bool retain, bool dup,
             uint16_t id)
{
    MqttPublishInfo p = {topic, payload, len, 1, retain, dup, id};
    return Request(s, MqttEncodePublish(s->tx, sizeof s->tx, p));
}

MqttState StateNow(const MqttSession* s)
{
    MqttState st = {};
    st.csq = modem_csq;
    st.creg = modem_creg;
    st.netType = modem_net_type;
    st.fix = gps_flag == 1;
    if (st.fix) ModemGpsCopy(&st.lat, &st.lon);
    st.lost = s->lost;
    st.commands = s->setup.commands;
    st.config = ConfigTrialShown();
    st.update = s->setup.commands;
    if (st.update) {
        UpdateRecord r;
        UpdateRecordShown(&r);
        st.build = kFirmwareBuild;
        st.updateState = UpdateStateText(r.state);
        st.updateVersion = r.version;
        std::memcpy(st.updateResult, r.result, sizeof st.updateResult);
    }
    return st;
}

// Whether a value the document is published for on change differs (not the running counters).
bool StateChanged(const MqttState& a, const MqttState& b)
{
    return a.csq != b.csq || a.creg != b.creg || a.netType != b.netType || a.fix != b.fix || a.lat != b.lat ||
           a.lon != b.lon || a.lost != b.lost || a.config != b.config || a.updateState != b.updateState ||
           a.updateVersion != b.updateVersion || std::strcmp(a.updateResult, b.updateResult) != 0;
}

bool PublishState(MqttSession* s, const MqttState& now)
{
    MqttState st = now;
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    st.uptimeS = static_cast<unsigned long long>(t.tv_sec - s->started.tv_sec);
    st.bytesUp = s->bytesUp;
    st.bytesDown = s->bytesDown;
    char text[kMqttStateMax];
    int n = MqttFormatState(text, sizeof text, st, kFirmwareVersion);
    s->shown = now;
    s->stateTick = Now(s);
    return n > 0 && Publish(s, s->topicState, text, static_cast<std::size_t>(n), true, false, NextId(s));
}

MqttInFlight& FlightAt(MqttSession* s, int i)
{
    return s->flight[(s->flightHead + i) % kMqttWindow];
}

// Moves queued chunks into the window and publishes them. False when a send failed.
bool FillWindow(MqttSession* s)
{
    std::uint64_t dropped = ChunkQueueTakeDropped();
    if (dropped > 0) {
        std::printf("Outage Ring Dropped %llu Bytes\r\n", static_cast<unsigned long long>(dropped));
        LirnLogOutageDropped(dropped);
        s->lost += dropped;
    }
    while (s->flightCount < kMqttWindow) {
        MqttInFlight& f = FlightAt(s, s->flightCount);
        f.len = ChunkQueueTake(f.data);
        if (f.len == 0) return true;
        f.id = NextId(s);
        f.acked = false;
        s->flightCount++;
        if (!Publish(s, s->topicUp, f.data, f.len, false, false, f.id)) return false;
        f.sentAt = s->sendCount;
    }
    return true;
}

// The broker has answered the packet with send count `answered` on this link, so it has read every
// packet the link carried before it: the PUBACKs among them arrived, and those messages will not
// come again. Their entries are freed (a later DUP with the same id is then another message).
void Confirmed(MqttSession* s, uint64_t answered)
{
    for (MqttDelivery& d : s->delivered)
        if (d.ackedAt >= s->linkFirstSend && d.ackedAt < answered) d = MqttDelivery{};
}

void Acknowledged(MqttSession* s, uint16_t id)
{
    uint64_t partSentAt = 0;
    if (RemoteAcked(id, &partSentAt)) {
        s->partsOut--;
        Confirmed(s, partSentAt);
        return;
    }
    for (int i = 0; i < s->flightCount; ++i) {
        MqttInFlight& f = FlightAt(s, i);
        if (f.id != id || f.acked) continue;
        f.acked = true;
        Confirmed(s, f.sentAt);
    }
    while (s->flightCount > 0 && FlightAt(s, 0).acked) {
        s->bytesUp += FlightAt(s, 0).len;
        s->flightHead = (s->flightHead + 1) % kMqttWindow;
        s->flightCount--;
    }
}

// ---- Receiving ----

bool TopicIs(const MqttPacket& p, const char* topic)
{
    return p.topicLen == std::strlen(topic) && std::memcmp(p.topic, topic, p.topicLen) == 0;
}

bool Ack(MqttSession* s, uint16_t id)
{
    return id == 0 || SendPacket(s, MqttEncodePuback(s->tx, sizeof s->tx, id));
}

void Reached(MqttSession* s)
{
    if (s->setup.reached != nullptr) s->setup.reached();
}

void Subscribed(MqttSession* s, const MqttPacket& p)
{
    bool requests = s->setup.commands && p.packetId == s->cmdSubscription;
    if (p.returnCode == 0x80) {
        bool update = s->setup.commands && !requests &&
                      (p.packetId == s->updateSubscription[0] || p.packetId == s->updateSubscription[1]);
        const char* level = !update ? "" : p.packetId == s->updateSubscription[0] ? "begin" : "data/+";
        std::printf("MQTT Subscribe Refused: %s%s\r\n", update ? s->topicUpdate : requests ? s->topicCmd : s->topicDown,
                    level);
    } else if (requests) {
        Reached(s);
    }
}

// Acts on one whole packet other than a PUBLISH. False when the link must go (a send failed).
bool Handle(MqttSession* s, const MqttPacket& p)
{
    switch (p.type) {
    case kMqttPuback: Acknowledged(s, p.packetId); return true;
    case kMqttPingresp: Confirmed(s, s->pingSentAt); return true;
    case kMqttSuback: Subscribed(s, p); return true;
    default: return true;  // a late CONNACK changes nothing
    }
}

// The entry for a new down message with this packet id: its own earlier one, else a free one,
// else the oldest taken.
int DeliveryFor(MqttSession* s, uint16_t id)
{
    int free = -1;
    for (int i = 0; i < kMqttRemembered; ++i) {
        if (s->delivered[i].id == id) return i;
        if (free < 0 && s->delivered[i].id == 0) free = i;
    }
    if (free >= 0) return free;
    int i = s->deliveredNext;
    s->deliveredNext = (i + 1) % kMqttRemembered;
    return i;
}

// The request id of a PUBLISH on PREFIX/ID/cmd/RID, into rid; false for any other topic, and for
// every topic while commands are off (a subscription the broker kept from an earlier run).
bool RequestTopic(const MqttSession* s, const MqttPacket& p, char* rid)
{
    std::size_t base = std::strlen(s->topicCmd) - 1;  // without the "+"
    if (!s->setup.commands || p.topicLen <= base || p.topicLen - base > kRemoteRidMax ||
        std::memcmp(p.topic, s->topicCmd, base) != 0)
        return false;
    for (std::size_t i = base; i < p.topicLen; ++i) {
        char c = static_cast<char>(p.topic[i]);
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    }
    std::memcpy(rid, p.topic + base, p.topicLen - base);
    rid[p.topicLen - base] = '\0';
    return true;
}

// ---- Updates ----

// Which update topic a PUBLISH came on (kUpdateBegin, kUpdateData with its offset in *at), or 0:
// any other topic, commands off, an offset that is no decimal number, or a data message longer
// than kUpdateDataMax or reaching past what an offset can name.
uint8_t UpdateTopic(const MqttSession* s, const MqttPacket& p, uint32_t* at)
{
    static const char kBegin[] = "begin", kData[] = "data/";
    std::size_t base = std::strlen(s->topicUpdate);
    if (!s->setup.commands || p.topicLen <= base || std::memcmp(p.topic, s->topicUpdate, base) != 0) return 0;
    const char* rest = reinterpret_cast<const char*>(p.topic) + base;
    std::size_t n = p.topicLen - base;
    if (n == sizeof kBegin - 1 && std::memcmp(rest, kBegin, n) == 0) return kUpdateBegin;
    const std::size_t digits = n - (sizeof kData - 1);
    if (n <= sizeof kData - 1 || digits > 10 || std::memcmp(rest, kData, sizeof kData - 1) != 0) return 0;
    uint64_t value = 0;
    for (std::size_t i = sizeof kData - 1; i < n; ++i) {
        if (rest[i] < '0' || rest[i] > '9') return 0;
        value = value * 10 + static_cast<uint64_t>(rest[i] - '0');
    }
    if (p.payloadLen > kUpdateDataMax || value + p.payloadLen > UINT32_MAX) return 0;
    *at = static_cast<uint32_t>(value);
    return kUpdateData;
}

// Publishes where the update stands on PREFIX/ID/update/status; resend asks the sender to go on
// from the offset given.
bool PublishUpdateStatus(MqttSession* s, bool resend)
{
    UpdateWhere w = UpdateReceiveWhere();
    char result[sizeof w.result];
    MqttJsonText(result, sizeof result, w.result);
    char topic[kMqttTopicMax + 8], text[kUpdateStatusMax];
    std::snprintf(topic, sizeof topic, "%sstatus", s->topicUpdate);
    int n = std::snprintf(text, sizeof text,
                          "{\"state\":\"%s\",\"version\":%u,\"offset\":%u,\"size\":%u,\"result\":\"%s\",\"resend\":%s}",
                          UpdateStateText(w.state), static_cast<unsigned>(w.version), static_cast<unsigned>(w.offset),
                          static_cast<unsigned>(w.size), result, resend ? "true" : "false");
    s->updateShown = w.stored;
    if (resend) s->updateAsked = w.offset;
    return n > 0 && Publish(s, topic, text, static_cast<std::size_t>(n), false, false, NextId(s));
}

// The header has come whole (or the message ended): the transfer begins or resumes, or the
// image is refused or held; the sender is told which.
bool UpdateBegun(MqttSession* s)
{
    // A message of another length than a header's is refused by its length alone.
    UpdateStep step = UpdateReceiveBegin(s->updateHeader, s->updateHeaderLen);
    return PublishUpdateStatus(s, step == UpdateStep::Progress);
}

// Bytes of an update message: to the update's file. The sender hears of a refusal, the staging,
// a hold (once a message), each new flush, and of a piece beyond the offset awaited (once for
// each offset, so a window of pieces sent ahead gets one answer).
bool UpdateBytes(MqttSession* s, const uint8_t* data, std::size_t n)
{
    uint32_t at = s->stream.updateAt;
    s->stream.updateAt += static_cast<uint32_t>(n);
    UpdateStep step = UpdateReceiveData(at, data, n);
    UpdateWhere w = UpdateReceiveWhere();
    switch (step) {
    case UpdateStep::Refused:
    case UpdateStep::Staged: return PublishUpdateStatus(s, false);
    case UpdateStep::Held:
        if (s->updateHeld) return true;
        s->updateHeld = true;
        return PublishUpdateStatus(s, false);
    case UpdateStep::Progress: return w.stored == s->updateShown || PublishUpdateStatus(s, false);
    case UpdateStep::Ignored: break;
    }
    bool ahead = w.state == UpdateState::Receiving && at > w.offset && s->updateAsked != w.offset;
    return !ahead || PublishUpdateStatus(s, true);
}

// Passes update payload bytes on: the header into its buffer, the image's bytes to the file.
bool UpdatePassthrough(MqttSession* s, const uint8_t* data, std::size_t n)
{
    if (s->stream.toUpdate == kUpdateData) return UpdateBytes(s, data, n);
    std::size_t room = sizeof s->updateHeader - std::min(s->updateHeaderLen, sizeof s->updateHeader);
    std::memcpy(s->updateHeader + (sizeof s->updateHeader - room), data, std::min(room, n));
    s->updateHeaderLen += n;
    return true;
}

// The PUBLISH is through: its PUBACK goes once the port took the last byte, or once a request is
// in the inbox, or once an update's bytes are stored.
bool PublishDone(MqttSession* s)
{
    if (s->stream.toInbox) RemotePut(s->requestRid, s->request, s->requestLen);
    if (s->stream.toUpdate == kUpdateBegin && !UpdateBegun(s)) return false;
    bool ok = Ack(s, s->stream.ackId);
    if (s->stream.delivery >= 0) s->delivered[s->stream.delivery].ackedAt = s->sendCount;
    return ok;
}

// A PUBLISH whose head has come: its payload passes through as it arrives. A redelivery of a down
// message (DUP, a remembered id and length) skips what the port took the first time.
bool PublishStart(MqttSession* s, const MqttPacket& p)
{
    uint32_t at = 0;
    uint8_t update = UpdateTopic(s, p, &at);
    s->stream = {p.payloadLen, 0, TopicIs(p, s->topicDown), RequestTopic(s, p, s->requestRid), update, at, p.packetId, -1};
    s->requestLen = 0;
    s->updateHeaderLen = 0;
    s->updateHeld = false;
    if (s->stream.toPort && p.packetId != 0) {
        int i = DeliveryFor(s, p.packetId);
        MqttDelivery& d = s->delivered[i];
        bool again = (p.flags & 0x08) != 0 && d.id == p.packetId && d.len == p.payloadLen;
        if (again)
            s->stream.skip = d.written;
        else
            d = {p.packetId, p.payloadLen, 0, 0};
        s->stream.delivery = i;
    }
    return p.payloadLen > 0 || PublishDone(s);
}

// Passes stream bytes at the start of data on (n of them): to the port as far as it takes them.
// Returns the bytes used.
std::size_t Passthrough(MqttSession* s, const uint8_t* data, std::size_t n, bool* ok)
{
    MqttStream& st = s->stream;
    std::size_t take = n < st.left ? n : st.left;
    if (st.skip > 0) {
        take = take < st.skip ? take : st.skip;
        st.skip -= take;
    } else if (st.toPort) {
        std::size_t took = s->setup.port->write(data, take);
        s->portHeld = took < take;
        take = took;
        s->bytesDown += took;
        if (st.delivery >= 0) s->delivered[st.delivery].written += took;
    } else if (st.toInbox) {
        // What the console would not read of a burst is dropped.
        std::size_t keep = std::min(take, sizeof s->request - s->requestLen);
        std::memcpy(s->request + s->requestLen, data, keep);
        s->requestLen += keep;
    } else if (st.toUpdate != 0 && !UpdatePassthrough(s, data, take)) {
        *ok = false;
    }
    st.left -= take;
    if (st.left == 0 && *ok) *ok = PublishDone(s);
    return take;
}

// Acts on the packets in rx as far as the port lets it and keeps the rest. False when the link
// must go.
bool TakePackets(MqttSession* s, const char** why)
{
    std::size_t off = 0;
    bool ok = true;
    s->portHeld = false;
    while (ok && !s->portHeld && off < s->rxLen) {
        const uint8_t* at = s->rx + off;
        std::size_t len = s->rxLen - off;
        if (s->stream.left > 0) {
            off += Passthrough(s, at, len, &ok);
            continue;
        }
        MqttPacket p;
        bool publish = at[0] >> 4 == kMqttPublish;
        int rc = publish ? MqttParsePublishHead(at, len, &p) : MqttParse(at, len, &p);
        if (rc == kMqttIncomplete) break;
        if (rc < 0) {
            *why = "Malformed Packet";
            return false;
        }
        char rid[kRemoteRidMax + 1];
        s->inboxHeld = publish && RequestTopic(s, p, rid) && !RemoteRoom();
        if (s->inboxHeld) break;  // the runner's wake brings the session back here
        off += static_cast<std::size_t>(rc);
        s->pingOut = false;  // any packet shows the broker alive
        ok = publish ? PublishStart(s, p) : Handle(s, p);
    }
    std::memmove(s->rx, s->rx + off, s->rxLen - off);
    s->rxLen -= off;
    if (!ok) *why = "Send Failed";
    if (ok && !s->portHeld && !s->inboxHeld && s->rxLen == kMqttRxCap) {
        *why = "Packet Too Long";
        return false;
    }
    return ok;
}

// Reads what the broker sent and acts on it. False, with the reason, when the link must go.
// While the port holds bytes back, reading stops once rx is full.
bool ReadBroker(MqttSession* s, const char** why)
{
    bool heard = false;
    for (;;) {
        if (!TakePackets(s, why)) return false;
        if (s->rxLen == kMqttRxCap) break;
        int n = ReadSome(s);
        if (n < 0) {
            *why = "Broker Closed";
            return false;
        }
        if (n == 0) break;
        s->rxLen += static_cast<std::size_t>(n);
        heard = true;
    }
    if (heard) Heard(s);
    return true;
}

// ---- Building the link ----

bool SendConnect(MqttSession* s)
{
    MqttConnectInfo c = {s->clientId,
                         s->setup.user,
                         s->setup.password,
                         s->topicStatus,
                         "offline",
                         true,
                         static_cast<uint16_t>(s->setup.keepAliveMs / 1000),
                         false};
    return SendPacket(s, MqttEncodeConnect(s->tx, sizeof s->tx, c));
}

// The broker's first packet: Up when it is a CONNACK that accepts the session, else Failed.
MqttStep Connack(MqttSession* s, const MqttPacket& p, int len)
{
    std::memmove(s->rx, s->rx + len, s->rxLen - static_cast<std::size_t>(len));
    s->rxLen -= static_cast<std::size_t>(len);
    if (p.type != kMqttConnack || p.returnCode != 0) {
        std::printf("MQTT Connect Refused: %d\r\n", p.type == kMqttConnack ? p.returnCode : -1);
        return BuildFailed(s, MqttStep::Failed);
    }
    s->phase = MqttPhase::Up;
    s->opened = false;
    std::printf("MQTT Connected: %s\r\n", s->topicUp);
    if (!s->setup.commands) Reached(s);
    return MqttStep::Up;
}

// Reads toward the CONNACK: Steady while it may still come within the wait.
MqttStep AwaitConnack(MqttSession* s)
{
    for (;;) {
        MqttPacket p;
        int rc = MqttParse(s->rx, s->rxLen, &p);
        if (rc > 0) return Connack(s, p, rc);
        bool hopeless = rc < 0 || s->rxLen == kMqttRxCap || TickDue(s->connectTick, Now(s), kConnackWaitMs);
        int n = hopeless ? -1 : ReadSome(s);
        if (n == 0) return MqttStep::Steady;
        if (n < 0) {
            std::puts("MQTT No Connect Acknowledgement\r");
            return BuildFailed(s, MqttStep::Failed);
        }
        s->rxLen += static_cast<std::size_t>(n);
    }
}

// The topic of a reply message: reply/RID, reply/RID/N or reply/RID/end.
void ReplyTopic(const MqttSession* s, const RemotePart& r, char* topic)
{
    if (r.number == 0)
        std::snprintf(topic, kMqttReplyTopicMax, "%s%s", s->topicReply, r.rid);
    else if (r.number == kRemoteEndPart)
        std::snprintf(topic, kMqttReplyTopicMax, "%s%s/end", s->topicReply, r.rid);
    else
        std::snprintf(topic, kMqttReplyTopicMax, "%s%s/%d", s->topicReply, r.rid, r.number);
}

bool PublishPart(MqttSession* s, RemotePart& r, bool dup)
{
    char topic[kMqttReplyTopicMax];
    ReplyTopic(s, r, topic);
    bool ok = Publish(s, topic, r.data, r.len, false, dup, r.id);
    r.sentAt = s->sendCount;
    return ok;
}

// Publishes the reply messages the runner has filled. False when a send failed.
bool PublishReplies(MqttSession* s)
{
    for (RemotePart* r = RemoteNextPart(); r != nullptr; r = RemoteNextPart()) {
        r->id = NextId(s);
        s->partsOut++;
        if (!PublishPart(s, *r, false)) return false;
    }
    return true;
}

// The session opens: online, the subscriptions, what was in flight again, then the state.
bool OpenSession(MqttSession* s)
{
    if (!Publish(s, s->topicStatus, "online", 6, true, false, NextId(s))) return false;
    if (!Request(s, MqttEncodeSubscribe(s->tx, sizeof s->tx, NextId(s), s->topicDown, 1))) return false;
    if (s->setup.commands) {
        s->cmdSubscription = NextId(s);
        if (!Request(s, MqttEncodeSubscribe(s->tx, sizeof s->tx, s->cmdSubscription, s->topicCmd, 1))) return false;
        char topic[kMqttTopicMax + 8];
        const char* levels[] = {"begin", "data/+"};
        for (int i = 0; i < 2; ++i) {
            std::snprintf(topic, sizeof topic, "%s%s", s->topicUpdate, levels[i]);
            s->updateSubscription[i] = NextId(s);
            if (!Request(s, MqttEncodeSubscribe(s->tx, sizeof s->tx, s->updateSubscription[i], topic, 1))) return false;
        }
    }
    for (int i = 0; i < s->flightCount; ++i) {
        MqttInFlight& f = FlightAt(s, i);
        if (f.acked) continue;
        if (!Publish(s, s->topicUp, f.data, f.len, false, true, f.id)) return false;
        f.sentAt = s->sendCount;
    }
    RemotePart* sent[kRemoteParts];
    for (int i = 0, n = RemoteSentParts(sent); i < n; ++i)
        if (!PublishPart(s, *sent[i], true)) return false;
    s->pingOut = false;
    // A transfer under way (a lost link, a restart): the sender goes on from what is held.
    s->updateAsked = UINT32_MAX;
    if (s->setup.commands && UpdateReceiveWhere().state == UpdateState::Receiving && !PublishUpdateStatus(s, true))
        return false;
    return PublishState(s, StateNow(s));
}

// ---- The link that is up ----

// Ping and state steps that are due. False, with the reason, when the link must go.
bool TimedSteps(MqttSession* s, const char** why)
{
    uint32_t now = Now(s);
    uint32_t keepAlive = s->setup.keepAliveMs;
    // Held back by the port (or a request by the inbox), the session reads nothing: the broker's
    // answers wait behind the bytes it sent, so its silence means nothing. The pings still go, so
    // the broker keeps the link.
    if (s->rxLen == kMqttRxCap || s->inboxHeld) {
        s->pingOut = false;
        s->awaitTick = now;
    }
    if (s->awaiting && TickDue(s->awaitTick, now, SilenceMs(s))) {
        *why = "Broker Silent";
        return false;
    }
    if (!s->pingOut && TickDue(s->lastSendTick, now, keepAlive)) {
        if (!Request(s, MqttEncodeBare(s->tx, sizeof s->tx, kMqttPingreq))) {
            *why = "Send Failed";
            return false;
        }
        s->pingOut = true;
        s->pingSentAt = s->sendCount;
    }
    if (TickDue(s->stateLookTick, now, kStateLookMs)) {
        s->stateLookTick = now;
        MqttState st = StateNow(s);
        if ((StateChanged(st, s->shown) || TickDue(s->stateTick, now, kStatePeriodMs)) && !PublishState(s, st)) {
            *why = "Send Failed";
            return false;
        }
    }
    return true;
}

MqttStep ServeLink(MqttSession* s)
{
    const char* why = "Send Failed";
    if (!s->opened) {
        // A resumed session's messages may have come right behind the CONNACK, already read.
        s->opened = true;
        if (!OpenSession(s) || !TakePackets(s, &why)) return LinkDown(s, why);
    }
    if (!FillWindow(s) || !PublishReplies(s)) return LinkDown(s, "Send Failed");
    if (!ReadBroker(s, &why) || !TimedSteps(s, &why)) return LinkDown(s, why);
    return MqttStep::Steady;
}

}  // namespace

void MqttSessionInit(MqttSession* s, const MqttSessionSetup& setup)
{
    *s = MqttSession{};
    s->setup = setup;
    s->stream.delivery = -1;
    clock_gettime(CLOCK_MONOTONIC, &s->started);
}

void MqttSessionName(MqttSession* s, const char* clientId, const char* prefix)
{
    std::snprintf(s->clientId, sizeof s->clientId, "%s", clientId);
    std::snprintf(s->topicUp, kMqttTopicMax, "%s/%s/up", prefix, s->clientId);
    std::snprintf(s->topicDown, kMqttTopicMax, "%s/%s/down", prefix, s->clientId);
    std::snprintf(s->topicStatus, kMqttTopicMax, "%s/%s/status", prefix, s->clientId);
    std::snprintf(s->topicState, kMqttTopicMax, "%s/%s/state", prefix, s->clientId);
    std::snprintf(s->topicCmd, kMqttTopicMax, "%s/%s/cmd/+", prefix, s->clientId);
    std::snprintf(s->topicReply, kMqttTopicMax, "%s/%s/reply/", prefix, s->clientId);
    std::snprintf(s->topicUpdate, kMqttTopicMax, "%s/%s/update/", prefix, s->clientId);
}

MqttStep MqttSessionBuild(MqttSession* s)
{
    CloseLink(s);
    switch (s->setup.transport->open()) {
    case kMqttOpened: break;
    case kMqttUnreachable: return BuildFailed(s, MqttStep::Unreachable);
    case kMqttRefused: return BuildFailed(s, MqttStep::Failed);
    }
    s->connectTick = Now(s);
    s->linkFirstSend = s->sendCount + 1;
    s->awaiting = false;
    if (!SendConnect(s)) return BuildFailed(s, MqttStep::Failed);
    s->phase = MqttPhase::AwaitingConnack;
    return AwaitConnack(s);
}

MqttStep MqttSessionStep(MqttSession* s)
{
    switch (s->phase) {
    case MqttPhase::AwaitingConnack: return AwaitConnack(s);
    case MqttPhase::Up: return ServeLink(s);
    case MqttPhase::Down: break;
    }
    return MqttStep::Steady;
}

MqttWaits MqttSessionWaits(const MqttSession* s)
{
    uint32_t now = Now(s);
    MqttWaits w = {s->rxLen < kMqttRxCap ? s->setup.transport->fd() : -1, s->portHeld ? s->setup.port->fd() : -1, 0};
    if (s->phase == MqttPhase::AwaitingConnack) {
        w.dueMs = Left(s->connectTick, now, kConnackWaitMs);
    } else if (s->phase == MqttPhase::Up && s->opened) {
        uint32_t keepAlive = s->setup.keepAliveMs;
        uint32_t due = Left(s->stateLookTick, now, kStateLookMs);
        if (!s->pingOut) due = std::min(due, Left(s->lastSendTick, now, keepAlive));
        if (s->awaiting) due = std::min(due, Left(s->awaitTick, now, SilenceMs(s)));
        w.dueMs = due;
    }
    return w;
}

MqttStep MqttSessionDrop(MqttSession* s, const char* why)
{
    return LinkDown(s, why);
}
