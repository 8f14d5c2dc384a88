// MQTT mode: the serial port carried over an MQTT broker instead of the tunnel's TCP peer.
//
// With a broker address configured (@MQTTHOST), the tunnel road starts two threads of this module
// instead of the tunnel's four: ThreadMqttSerial cuts the port's input into chunks with the
// tunnel's gathering rule and queues them in the outage ring; ThreadMqtt holds the broker session
// (paced connects as the link manager paces its builds, CONNECT with a retained last will, QoS 1
// publishing of the queued chunks in order, the down topic written to the port, keep-alive pings
// and the retained state document). The codec below is ours: small, bounded, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Codec (MQTT 3.1.1) ----

enum MqttType : uint8_t {
    kMqttConnect = 1,
    kMqttConnack = 2,
    kMqttPublish = 3,
    kMqttPuback = 4,
    kMqttSubscribe = 8,
    kMqttSuback = 9,
    kMqttPingreq = 12,
    kMqttPingresp = 13,
    kMqttDisconnect = 14,
};

// The largest remaining length the protocol can express (four length bytes).
constexpr std::size_t kMqttRemainingMax = 268435455;

struct MqttConnectInfo {
    const char* clientId;
    const char* user;        // nullptr or "": none (a password then goes unsent, as the protocol asks)
    const char* password;    // nullptr or "": none
    const char* willTopic;   // nullptr: no will
    const char* willMessage;
    bool willRetain;
    uint16_t keepAliveS;
    bool cleanSession;
};

struct MqttPublishInfo {
    const char* topic;
    const void* payload;
    std::size_t payloadLen;
    int qos;            // 0 or 1
    bool retain;
    bool dup;           // a resend of a QoS 1 message
    uint16_t packetId;  // QoS 1 only; never 0
};

// Encoders write one whole packet into out (cap bytes) and return its length, or -1 when it does
// not fit or a value is out of range (a text longer than 65535, a packet id of 0 with QoS 1).
int MqttEncodeConnect(uint8_t* out, std::size_t cap, const MqttConnectInfo& c);
int MqttEncodePublish(uint8_t* out, std::size_t cap, const MqttPublishInfo& p);
int MqttEncodeSubscribe(uint8_t* out, std::size_t cap, uint16_t packetId, const char* topic, int qos);
int MqttEncodePuback(uint8_t* out, std::size_t cap, uint16_t packetId);
// PINGREQ and DISCONNECT: a fixed header alone.
int MqttEncodeBare(uint8_t* out, std::size_t cap, MqttType type);

// One packet from the broker. Pointers point into the caller's bytes.
struct MqttPacket {
    uint8_t type;            // MqttType
    uint8_t flags;           // low nibble of the first byte (PUBLISH: dup, qos, retain)
    std::size_t total;       // bytes of the whole packet, fixed header included
    uint16_t packetId;       // PUBLISH with QoS 1, PUBACK, SUBACK
    const uint8_t* topic;    // PUBLISH
    std::size_t topicLen;
    std::size_t payloadOffset;  // PUBLISH: where the payload starts, from the packet's first byte
    std::size_t payloadLen;     // PUBLISH: the whole payload's length
    uint8_t returnCode;      // CONNACK: the return code; SUBACK: the first granted QoS (0x80 refused)
    bool sessionPresent;     // CONNACK
};

constexpr int kMqttIncomplete = 0;
constexpr int kMqttMalformed = -1;

// Parses the packet at the start of in (len bytes). Returns its length (> 0) with packet filled,
// kMqttIncomplete while it has not all come, or kMqttMalformed: a remaining length over four
// bytes, a publish of QoS 2 or 3 (never sent to a QoS 1 subscription) or with packet id 0, lengths that run past the packet, a packet of a type or
// form a client never receives.
int MqttParse(const uint8_t* in, std::size_t len, MqttPacket* packet);
// The same for the head of a PUBLISH too long to wait for whole: returns how many bytes its
// header, topic and packet id take (payloadOffset; payloadLen is the whole payload's), 0 while
// those have not all come, or kMqttMalformed (also for any other type).
int MqttParsePublishHead(const uint8_t* in, std::size_t len, MqttPacket* packet);

// ---- Our helpers ----

// The threads of the mode; the tunnel road starts them when a broker address is set.
void* ThreadMqtt(void* arg);        // the broker session
void* ThreadMqttSerial(void* arg);  // serial input into the queue

// True when the configuration selects the MQTT mode (a broker address is set).
bool MqttModeOn();

// The set-up both threads need before they start; once.
void MqttInit();

// Whether console requests over the broker are on for this run (MqttInit decided: @MQTTCMD;1
// with TLS).
bool MqttCommandsOn();

// The retained state document: a JSON object of at most kMqttStateMax bytes (room left for more).
constexpr std::size_t kMqttStateMax = 512;
struct MqttState {
    int csq, creg, netType;
    bool fix;
    float lat, lon;
    unsigned long long uptimeS, bytesUp, bytesDown, lost;
    bool commands;       // console requests over the broker are on
    const char* config;  // what became of settings saved over the broker (ConfigTrialShown), or nullptr
    // With commands on, updates over the broker are too: the running build and the update record.
    bool update;
    unsigned build;
    const char* updateState;  // "idle", "receiving", "trial"
    unsigned updateVersion;
    char updateResult[96];  // "" none yet, "ok", "refused: ...", "rolled back: ..."
};
int MqttFormatState(char* out, std::size_t cap, const MqttState& s, const char* firmware);
// Text for a JSON string of at most cap - 1 bytes: a quote, a backslash or any byte outside
// printable ASCII becomes '?' (texts from files the gateway keeps, which it does not trust).
void MqttJsonText(char* out, std::size_t cap, const char* text);
