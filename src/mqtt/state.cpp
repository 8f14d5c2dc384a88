// The MQTT mode's state document: what fleet monitoring reads from PREFIX/ID/state.
#include "mqtt/mqtt.h"

#include <cstdio>

int MqttFormatState(char* out, std::size_t cap, const MqttState& s, const char* firmware)
{
    char gps[64] = "";
    if (s.fix) std::snprintf(gps, sizeof gps, ",\"gps\":{\"lat\":%.6f,\"lon\":%.6f}", s.lat, s.lon);
    char config[32] = "";
    if (s.config != nullptr) std::snprintf(config, sizeof config, ",\"config\":\"%s\"", s.config);
    char build[24] = "";
    char update[168] = "";
    if (s.update) {
        std::snprintf(build, sizeof build, ",\"build\":%u", s.build);
        char result[sizeof s.updateResult];
        MqttJsonText(result, sizeof result, s.updateResult);
        std::snprintf(update, sizeof update, ",\"update\":{\"state\":\"%s\",\"version\":%u,\"result\":\"%s\"}",
                      s.updateState, s.updateVersion, result);
    }
    int n = std::snprintf(out, cap,
                          "{\"signal\":%d,\"registration\":%d,\"network\":%d%s,\"firmware\":\"%s\"%s,\"commands\":%s%s%s,"
                          "\"uptime\":%llu,\"bytes_up\":%llu,\"bytes_down\":%llu,\"lost\":%llu}",
                          s.csq, s.creg, s.netType, gps, firmware, build, s.commands ? "true" : "false", config, update,
                          s.uptimeS, s.bytesUp, s.bytesDown, s.lost);
    return n > 0 && static_cast<std::size_t>(n) < cap ? n : -1;
}

void MqttJsonText(char* out, std::size_t cap, const char* text)
{
    std::size_t n = 0;
    for (; n + 1 < cap && text[n] != '\0'; ++n) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        out[n] = c < 0x20 || c >= 0x7f || c == '"' || c == '\\' ? '?' : static_cast<char>(c);
    }
    if (cap > 0) out[n] = '\0';
}
