// The MQTT mode's state document: what fleet monitoring reads from PREFIX/ID/state.
#include "mqtt/mqtt.h"

#include <cstdio>

int MqttFormatState(char* out, std::size_t cap, const MqttState& s, const char* firmware)
{
    char gps[64] = "";
    if (s.fix) std::snprintf(gps, sizeof gps, ",\"gps\":{\"lat\":%.6f,\"lon\":%.6f}", s.lat, s.lon);
    char config[32] = "";
    if (s.config != nullptr) std::snprintf(config, sizeof config, ",\"config\":\"%s\"", s.config);
    int n = std::snprintf(out, cap,
                          "{\"signal\":%d,\"registration\":%d,\"network\":%d%s,\"firmware\":\"%s\",\"commands\":%s%s,"
                          "\"uptime\":%llu,\"bytes_up\":%llu,\"bytes_down\":%llu,\"lost\":%llu}",
                          s.csq, s.creg, s.netType, gps, firmware, s.commands ? "true" : "false", config, s.uptimeS,
                          s.bytesUp, s.bytesDown, s.lost);
    return n > 0 && static_cast<std::size_t>(n) < cap ? n : -1;
}
