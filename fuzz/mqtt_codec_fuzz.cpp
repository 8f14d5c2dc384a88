// Fuzz target: the MQTT codec on any bytes a broker could send. The input is parsed packet after
// packet from a heap area of exactly its size, as the session takes them from its receive area:
// every packet found lies within the bytes given, its topic and payload within the packet. A
// PUBLISH too long to hold has its head parsed alone. Each topic and payload found also goes
// through the encoder and must parse back to the same bytes.
#include "fuzz_input.h"
#include "mqtt/mqtt.h"

#include <memory>
#include <string>

namespace {

void CheckRoundTrip(const MqttPacket& p)
{
    std::string topic(reinterpret_cast<const char*>(p.topic), p.topicLen);
    if (topic.find('\0') != std::string::npos) return;  // the encoder takes terminated texts
    static uint8_t out[70000];
    MqttPublishInfo info = {topic.c_str(), "payload", 7, 1, false, true, 7};
    int n = MqttEncodePublish(out, sizeof out, info);
    fuzzinput::Check(n > 0, "a topic the parser took can be encoded");
    MqttPacket back;
    fuzzinput::Check(MqttParse(out, static_cast<std::size_t>(n), &back) == n, "an encoded publish parses whole");
    fuzzinput::Check(back.topicLen == p.topicLen && back.packetId == 7 && back.payloadLen == 7 && (back.flags & 0x08),
                     "an encoded publish parses back to its fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::unique_ptr<uint8_t[]> area(new uint8_t[size]);
    std::memcpy(area.get(), data, size);
    std::size_t off = 0;
    while (off < size) {
        const uint8_t* at = area.get() + off;
        std::size_t len = size - off;
        MqttPacket p;
        int rc = MqttParse(at, len, &p);
        if (rc == kMqttIncomplete) {
            int head = MqttParsePublishHead(at, len, &p);
            fuzzinput::Check(head <= 0 || static_cast<std::size_t>(head) <= len, "a publish head lies within the bytes");
            if (head > 0) fuzzinput::Check(p.payloadOffset + p.payloadLen == p.total, "the head's payload ends the packet");
            break;
        }
        if (rc < 0) break;
        fuzzinput::Check(static_cast<std::size_t>(rc) <= len && p.total == static_cast<std::size_t>(rc),
                         "a packet lies within the bytes");
        if (p.type == kMqttPublish) {
            fuzzinput::Check(p.topic >= at + 2 && p.topic + p.topicLen <= at + rc, "the topic lies within the packet");
            fuzzinput::Check(p.payloadOffset + p.payloadLen == p.total, "the payload ends the packet");
            CheckRoundTrip(p);
        }
        off += static_cast<std::size_t>(rc);
    }
    return 0;
}
