// The broker session of the MQTT mode, inside the mqtt folder: the transport it reaches the broker
// through, the port it writes down messages to, and the session state machine over both.
//
// The state machine never waits: the session thread (threads.cpp) blocks on what MqttSessionWaits
// names, then calls MqttSessionStep, and acts on what it returns (the pacing of builds, the hang-up,
// the link word). The transport and the port are tables of operations chosen once, so tests drive
// the same machine with a broker and a port of their own in memory, and with their own clock.
#pragma once

#include "mqtt/mqtt.h"
#include "mqtt/remote.h"
#include "tunnel/tunnel.h"
#include "update/image_format.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

// What opening a transport came to; each failure has said why.
enum MqttOpen {
    kMqttOpened,       // connected (and, with TLS, the handshake done)
    kMqttRefused,      // no link, but the data call is not to blame (a refused handshake, a name
                       // the name servers do not know)
    kMqttUnreachable,  // the fault may lie with the data call: no connect after the build's five
                       // tries, or no name server answered
};

// The broker link's operations: plain TCP or TLS (transport.cpp), or a test's.
struct MqttTransport {
    MqttOpen (*open)();
    // Bytes read (> 0), 0 when none wait now, -1 when the link ended or failed. Never blocks.
    int (*read)(uint8_t* out, std::size_t cap);
    // 0 when all n bytes went out (it waits for room within the tunnel's 5 s bound), -1 on failure.
    int (*write)(const uint8_t* data, std::size_t n);
    // Ends the link and frees what it holds; nothing when none is open.
    void (*close)();
    // The descriptor that turns readable when broker bytes arrive; -1 without a link.
    int (*fd)();
};

// Where down messages go: the RS-232 port, or a test's.
struct MqttPort {
    // Bytes of data the port took (0 when it has no room now). With no port open, all of them
    // (they are counted and dropped).
    std::size_t (*write)(const uint8_t* data, std::size_t n);
    // The descriptor that turns writable when the port has room again; -1 when there is none.
    int (*fd)();
};

struct MqttSessionSetup {
    const MqttTransport* transport;
    const MqttPort* port;
    uint32_t (*clock)();  // the tick counter (GetTimeTicks)
    uint32_t keepAliveMs;
    const char* user;  // CONNECT's user name and password ("" for none)
    const char* password;
    bool commands;       // console requests on PREFIX/ID/cmd/+ (remote.h)
    void (*reached)();   // the broker was reached: it accepted the session and, with commands, the
                         // command subscription; nullptr: nobody to tell
};

constexpr int kMqttWindow = 8;             // QoS 1 chunks in flight at once
constexpr std::size_t kMqttRxCap = 4096;   // broker bytes held; payloads pass through them
constexpr std::size_t kMqttTopicMax = 160;
// A reply's topic: the reply prefix, the request id and "/end" or a part number.
constexpr std::size_t kMqttReplyTopicMax = kMqttTopicMax + kRemoteRidMax + 16;
constexpr std::size_t kMqttPayloadMax = kLirnChunkMax > kRemotePartMax ? kLirnChunkMax : kRemotePartMax;
constexpr std::size_t kMqttTxCap = kMqttPayloadMax + kMqttReplyTopicMax + 8;

constexpr int kMqttRemembered = 16;         // down messages remembered for a redelivery

// One chunk published and not yet acknowledged.
struct MqttInFlight {
    uint16_t id;
    bool acked;
    std::size_t len;
    uint64_t sentAt;  // the session's send count when it last went out
    char data[kLirnChunkMax];
};

// A down message (QoS 1) whose payload went to the port, kept across reconnects: a redelivery of
// it (DUP, the same packet id and length) writes only what the port has not taken yet.
struct MqttDelivery {
    uint16_t id;          // 0: a free entry
    std::size_t len;      // the payload's length
    std::size_t written;  // payload bytes the port took
    uint64_t ackedAt;     // the send count of its PUBACK, 0 before it went
};

// The PUBLISH whose payload is passing through, as its bytes arrive.
struct MqttStream {
    std::size_t left;  // payload bytes still to come from the broker
    std::size_t skip;  // of those, how many the port took before (a redelivery): not written again
    bool toPort;       // it came on the down topic
    bool toInbox;      // a console request (remote.h)
    uint8_t toUpdate;  // kUpdateBegin, kUpdateData: an update's header or its bytes; 0 neither
    uint32_t updateAt; // update bytes: the image offset of the next payload byte
    uint16_t ackId;    // its QoS 1 packet id, 0 for QoS 0
    int delivery;      // its entry in MqttSession::delivered, -1 for none
};

// The update topics (with commands): PREFIX/ID/update/begin carries an image's header,
// PREFIX/ID/update/data/OFFSET its bytes from OFFSET on, at most kUpdateDataMax of them; the
// gateway answers on PREFIX/ID/update/status. The bytes pass through the receive area to the
// update's file as they arrive: nothing holds a whole message.
constexpr uint8_t kUpdateBegin = 1;
constexpr uint8_t kUpdateData = 2;
constexpr std::size_t kUpdateDataMax = 65536;
constexpr std::size_t kUpdateStatusMax = 256;

enum class MqttPhase { Down, AwaitingConnack, Up };

// The session: one per broker link owner (the session thread has one), touched by its thread alone.
struct MqttSession {
    MqttSessionSetup setup;
    MqttPhase phase;
    bool opened;  // Up: the session's opening packets went out
    char clientId[32];
    char topicUp[kMqttTopicMax], topicDown[kMqttTopicMax], topicStatus[kMqttTopicMax], topicState[kMqttTopicMax];
    char topicCmd[kMqttTopicMax];    // PREFIX/ID/cmd/+, the requests' subscription
    char topicReply[kMqttTopicMax];  // PREFIX/ID/reply/, where the replies' topics start
    char topicUpdate[kMqttTopicMax];  // PREFIX/ID/update/, where the update topics start
    uint8_t updateHeader[image::kHeaderSize];  // the header passing through
    std::size_t updateHeaderLen;               // its bytes so far (all of them counted)
    bool updateHeld;          // this message was answered as held already
    uint32_t updateAsked;     // the offset the sender was last asked to go on from
    uint32_t updateShown;     // the stored offset last told
    uint16_t nextId;
    MqttInFlight flight[kMqttWindow];  // in publish order from flightHead
    int flightHead, flightCount;
    uint8_t rx[kMqttRxCap];
    std::size_t rxLen;
    bool portHeld;  // the port took less than it was offered: the rest waits in rx
    bool inboxHeld;  // a request waits in rx for room in the inbox
    MqttStream stream;
    char request[kRemoteRequestMax];  // the request passing through, as far as it is kept
    std::size_t requestLen;
    char requestRid[kRemoteRidMax + 1];
    uint16_t cmdSubscription;  // the packet id of the requests' SUBSCRIBE
    uint16_t updateSubscription[2];  // those of the update topics' (begin, data/+)
    int partsOut;              // reply parts published and not yet acknowledged
    MqttDelivery delivered[kMqttRemembered];
    int deliveredNext;  // the entry a new message takes when none is free
    uint64_t sendCount;      // packets sent since the start
    uint64_t linkFirstSend;  // the send count of the link's first packet
    uint64_t pingSentAt;
    uint8_t tx[kMqttTxCap];
    uint32_t connectTick, lastSendTick, stateTick, stateLookTick;
    bool pingOut;   // a PINGREQ went and nothing has come since
    bool awaiting;  // the broker owes an answer and has sent nothing since awaitTick
    uint32_t awaitTick;
    MqttState shown;  // the values of the last state document
    unsigned long long bytesUp, bytesDown, lost;
    struct timespec started;
};

// A reply message of the command channel (remote.cpp), handed to the session once filled.
constexpr int kRemoteEndPart = -1;
struct RemotePart {
    char rid[kRemoteRidMax + 1];
    int number;  // 0: the whole reply (reply/RID); 1..N: a part (reply/RID/N); kRemoteEndPart: the end
    std::size_t len;
    char data[kRemotePartMax];
    uint16_t id;      // the session's, while it publishes it
    uint64_t sentAt;  // the session's send count when it last went out
};

// The command channel as the session uses it (remote.cpp). RemoteInit empties it; once, before
// the threads start (and in tests).
void RemoteInit();
// Whether the inbox takes a request now; else the session holds it in rx and waits for the wake.
bool RemoteRoom();
// A whole request (its first kRemoteRequestMax bytes) under its id; a repeat is not run again.
void RemotePut(const char* rid, const char* data, std::size_t len);
// The oldest reply message ready, now the session's to publish until RemoteAcked; nullptr for none.
RemotePart* RemoteNextPart();
// The messages the session publishes and the broker has not acknowledged, oldest first (room for
// kRemoteParts); their count.
int RemoteSentParts(RemotePart** out);
// The PUBACK of a reply message: it is freed, and sentAt says when it went. False when no message
// has this id.
bool RemoteAcked(uint16_t id, uint64_t* sentAt);
// Readable when a message is ready or the inbox has room again; the session reads it empty
// before it steps.
int RemoteWakeFd();
void RemoteClearWake();

// What a build or a step came to, for the thread to act on.
enum class MqttStep {
    Steady,       // nothing for the thread to do
    Up,           // the broker accepted the session
    Down,         // the link that was up is gone (said why)
    Failed,       // the build failed, the data call kept (said why)
    Unreachable,  // the build failed, the data call to be hung up (said why)
};

// What the thread waits for before the next step: readability of brokerFd, room on portFd (each
// -1 for none), or dueMs passing.
struct MqttWaits {
    int brokerFd;
    int portFd;
    uint32_t dueMs;
};

void MqttSessionInit(MqttSession* s, const MqttSessionSetup& setup);
// The client id, and the topics under prefix named by it.
void MqttSessionName(MqttSession* s, const char* clientId, const char* prefix);
// Opens the transport and sends CONNECT; Steady while the CONNACK is awaited.
MqttStep MqttSessionBuild(MqttSession* s);
// Acts on what the broker sent, the queue and the due times.
MqttStep MqttSessionStep(MqttSession* s);
MqttWaits MqttSessionWaits(const MqttSession* s);
// Gives the link up from outside (the data call went down); Down.
MqttStep MqttSessionDrop(MqttSession* s, const char* why);
