// What the fleet benchmarks share: their knobs from the environment, percentiles, and gateways in
// the MQTT mode on simulated boards, each with an IMEI of its own.
#pragma once

#include "board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A positive number from the environment, else fallback.
inline int EnvInt(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

inline double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// The IMEI of the fleet's gateway number n (below 100000).
inline std::string FleetImei(int n)
{
    char text[32];
    std::snprintf(text, sizeof text, "8626310390%05d", n % 100000);
    return text;
}

// Gateway n in the MQTT mode under the topic prefix, the data call up; true once its MQTT thread runs.
inline bool StartMqttGateway(Board& board, int n, int brokerPort, int gapMs, const std::string& prefix)
{
    Scenario s;
    s.init = "low";
    s.files = {{"APP/config.ini", "@LIRNMODE;0\r\n@LIRNGAP;" + std::to_string(gapMs) +
                                      "\r\n@MQTTHOST;127.0.0.1\r\n@MQTTPORT;" + std::to_string(brokerPort) +
                                      "\r\n@MQTTTOPIC;" + prefix + "\r\n"}};
    s.settings = {"qmi call up", "at script AT+SIMEI? \\r\\n+SIMEI: " + FleetImei(n) + "\\r\\n\\r\\nOK\\r\\n"};
    s.ready = "Create ThreadMqtt Successfully\r\n";
    return board.Run(s);
}
