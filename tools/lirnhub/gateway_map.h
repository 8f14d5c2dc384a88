// The hub's gateway map: ID=[ADDR:]PORT[,raw|,modbus[,timeout=MS][,unit=N][,queue=N]], from the
// command line (--map) or a file of such lines (--map-file).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lirnhub {

enum class Face { Raw, Modbus };

struct GatewayMap {
    std::string id;                  // the gateway's topic level: its IMEI
    std::string address = "127.0.0.1";  // where its listener binds
    int port = 0;
    Face face = Face::Raw;
    int timeoutMs = 1000;  // modbus: the wait for a reply
    int unit = -1;         // modbus: the RTU address every request goes to; -1 the request's unit id
    int queue = 32;        // modbus: requests waiting behind the one on the line
};

// Parses one map entry. False with *error saying why.
bool ParseGatewayMap(const std::string& text, GatewayMap* out, std::string* error);

// Parses a map file: an entry a line, blank lines and lines starting with # skipped. False with
// *error naming the line.
bool ParseMapFile(const std::string& content, std::vector<GatewayMap>* out, std::string* error);

// Checks a whole map: ids and listening ports each used once. False with *error.
bool CheckMaps(const std::vector<GatewayMap>& maps, std::string* error);

}  // namespace lirnhub
