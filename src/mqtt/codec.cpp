// MQTT 3.1.1 codec: the packets a gateway sends, and the parsing of what a broker sends back.
//
// Pure functions over caller buffers: every write is checked against the capacity, every read
// against the bytes present and the packet's own remaining length, so a broker's bytes can never
// move a read past the packet they claim to be.
#include "mqtt/mqtt.h"

#include <cstring>

namespace {

// Writes one packet into a bounded buffer; a write past the end marks the whole packet failed.
struct Writer {
    uint8_t* out;
    std::size_t cap;
    std::size_t len;
    bool failed;

    void Byte(uint8_t b)
    {
        if (len >= cap) {
            failed = true;
            return;
        }
        out[len++] = b;
    }
    void Bytes(const void* data, std::size_t n)
    {
        if (n > cap - len || len > cap) {
            failed = true;
            return;
        }
        if (n > 0) std::memcpy(out + len, data, n);
        len += n;
    }
    void Word(uint16_t w)
    {
        Byte(static_cast<uint8_t>(w >> 8));
        Byte(static_cast<uint8_t>(w & 0xFF));
    }
    void Text(const char* s)
    {
        std::size_t n = std::strlen(s);
        if (n > 0xFFFF) {
            failed = true;
            return;
        }
        Word(static_cast<uint16_t>(n));
        Bytes(s, n);
    }
    // The fixed header for a packet whose body takes `remaining` bytes.
    void Header(uint8_t first, std::size_t remaining)
    {
        if (remaining > kMqttRemainingMax) {
            failed = true;
            return;
        }
        Byte(first);
        do {
            uint8_t digit = remaining % 128;
            remaining /= 128;
            Byte(static_cast<uint8_t>(remaining > 0 ? digit | 0x80 : digit));
        } while (remaining > 0);
    }
    int Result() const { return failed ? -1 : static_cast<int>(len); }
};

bool Given(const char* s)
{
    return s != nullptr && s[0] != '\0';
}

std::size_t TextSize(const char* s)
{
    return 2 + std::strlen(s);
}

uint16_t WordAt(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// The fixed header: 1 with the first byte, the header's length and the remaining length;
// kMqttIncomplete; or kMqttMalformed for a fifth length byte.
int FixedHeader(const uint8_t* in, std::size_t len, std::size_t* headerLen, std::size_t* remaining)
{
    std::size_t value = 0;
    for (std::size_t i = 1; i <= 4; ++i) {
        if (i >= len) return kMqttIncomplete;
        value |= static_cast<std::size_t>(in[i] & 0x7F) << (7 * (i - 1));
        if ((in[i] & 0x80) == 0) {
            *headerLen = i + 1;
            *remaining = value;
            return 1;
        }
    }
    return kMqttMalformed;
}

// The PUBLISH variable header of a packet whose fixed header took headerLen of the len bytes present.
int PublishHead(const uint8_t* in, std::size_t len, std::size_t headerLen, std::size_t remaining, MqttPacket* p)
{
    int qos = (p->flags >> 1) & 3;
    if (qos > 1) return kMqttMalformed;  // the session subscribes with QoS 1: a broker never sends 2
    std::size_t need = 2 + (qos > 0 ? 2 : 0);
    if (remaining < need) return kMqttMalformed;
    if (len < headerLen + 2) return kMqttIncomplete;
    std::size_t topicLen = WordAt(in + headerLen);
    need += topicLen;
    if (remaining < need) return kMqttMalformed;
    std::size_t head = headerLen + need;
    if (len < head) return kMqttIncomplete;
    p->topic = in + headerLen + 2;
    p->topicLen = topicLen;
    p->packetId = qos > 0 ? WordAt(in + headerLen + 2 + topicLen) : 0;
    if (qos > 0 && p->packetId == 0) return kMqttMalformed;
    p->payloadOffset = head;
    p->payloadLen = remaining - need;
    return static_cast<int>(head);
}

}  // namespace

int MqttEncodeConnect(uint8_t* out, std::size_t cap, const MqttConnectInfo& c)
{
    bool user = Given(c.user);
    bool password = user && Given(c.password);
    bool will = c.willTopic != nullptr;
    std::size_t remaining = 10 + TextSize(c.clientId);
    if (will) remaining += TextSize(c.willTopic) + TextSize(c.willMessage);
    if (user) remaining += TextSize(c.user);
    if (password) remaining += TextSize(c.password);
    uint8_t flags = static_cast<uint8_t>((user ? 0x80 : 0) | (password ? 0x40 : 0) | (will && c.willRetain ? 0x20 : 0) |
                                         (will ? 0x0C : 0) |  // the will at QoS 1
                                         (c.cleanSession ? 0x02 : 0));
    Writer w{out, cap, 0, false};
    w.Header(kMqttConnect << 4, remaining);
    w.Text("MQTT");
    w.Byte(4);  // protocol level 3.1.1
    w.Byte(flags);
    w.Word(c.keepAliveS);
    w.Text(c.clientId);
    if (will) {
        w.Text(c.willTopic);
        w.Text(c.willMessage);
    }
    if (user) w.Text(c.user);
    if (password) w.Text(c.password);
    return w.Result();
}

int MqttEncodePublish(uint8_t* out, std::size_t cap, const MqttPublishInfo& p)
{
    if (p.qos < 0 || p.qos > 1 || (p.qos == 1 && p.packetId == 0)) return -1;
    std::size_t remaining = TextSize(p.topic) + (p.qos > 0 ? 2 : 0) + p.payloadLen;
    uint8_t first = static_cast<uint8_t>(kMqttPublish << 4 | (p.dup && p.qos > 0 ? 0x08 : 0) | p.qos << 1 |
                                         (p.retain ? 0x01 : 0));
    Writer w{out, cap, 0, false};
    w.Header(first, remaining);
    w.Text(p.topic);
    if (p.qos > 0) w.Word(p.packetId);
    w.Bytes(p.payload, p.payloadLen);
    return w.Result();
}

int MqttEncodeSubscribe(uint8_t* out, std::size_t cap, uint16_t packetId, const char* topic, int qos)
{
    if (packetId == 0 || qos < 0 || qos > 2) return -1;
    Writer w{out, cap, 0, false};
    w.Header(kMqttSubscribe << 4 | 0x02, 2 + TextSize(topic) + 1);
    w.Word(packetId);
    w.Text(topic);
    w.Byte(static_cast<uint8_t>(qos));
    return w.Result();
}

int MqttEncodePuback(uint8_t* out, std::size_t cap, uint16_t packetId)
{
    Writer w{out, cap, 0, false};
    w.Header(kMqttPuback << 4, 2);
    w.Word(packetId);
    return w.Result();
}

int MqttEncodeBare(uint8_t* out, std::size_t cap, MqttType type)
{
    Writer w{out, cap, 0, false};
    w.Header(static_cast<uint8_t>(type << 4), 0);
    return w.Result();
}

int MqttParsePublishHead(const uint8_t* in, std::size_t len, MqttPacket* packet)
{
    std::size_t headerLen = 0, remaining = 0;
    int rc = FixedHeader(in, len, &headerLen, &remaining);
    if (rc != 1) return rc;
    *packet = MqttPacket{};
    packet->type = in[0] >> 4;
    packet->flags = in[0] & 0x0F;
    packet->total = headerLen + remaining;
    if (packet->type != kMqttPublish) return kMqttMalformed;
    return PublishHead(in, len, headerLen, remaining, packet);
}

int MqttParse(const uint8_t* in, std::size_t len, MqttPacket* packet)
{
    std::size_t headerLen = 0, remaining = 0;
    int rc = FixedHeader(in, len, &headerLen, &remaining);
    if (rc != 1) return rc;
    std::size_t total = headerLen + remaining;
    if (len < total) return kMqttIncomplete;
    *packet = MqttPacket{};
    packet->type = in[0] >> 4;
    packet->flags = in[0] & 0x0F;
    packet->total = total;
    const uint8_t* body = in + headerLen;
    switch (packet->type) {
    case kMqttPublish:
        rc = PublishHead(in, len, headerLen, remaining, packet);
        return rc > 0 ? static_cast<int>(total) : kMqttMalformed;
    case kMqttConnack:
        if (remaining != 2 || packet->flags != 0) return kMqttMalformed;
        packet->sessionPresent = (body[0] & 0x01) != 0;
        packet->returnCode = body[1];
        return static_cast<int>(total);
    case kMqttPuback:
        if (remaining != 2 || packet->flags != 0) return kMqttMalformed;
        packet->packetId = WordAt(body);
        return static_cast<int>(total);
    case kMqttSuback:
        if (remaining < 3 || packet->flags != 0) return kMqttMalformed;
        packet->packetId = WordAt(body);
        packet->returnCode = body[2];
        return static_cast<int>(total);
    case kMqttPingresp:
        if (remaining != 0 || packet->flags != 0) return kMqttMalformed;
        return static_cast<int>(total);
    default:
        return kMqttMalformed;
    }
}
