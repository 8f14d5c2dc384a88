// Parsing of the hub's gateway map (see gateway_map.h).
#include "gateway_map.h"

#include <arpa/inet.h>
#include <set>
#include <sstream>

namespace lirnhub {

namespace {

constexpr std::size_t kMaxIdLength = 64;

// A whole decimal number within [low, high].
bool Number(const std::string& text, long low, long high, int* out)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    long v = std::stol(text);
    if (v < low || v > high) return false;
    *out = static_cast<int>(v);
    return true;
}

bool Fail(std::string* error, const std::string& why)
{
    *error = why;
    return false;
}

// A topic level of its own: no separator, no wildcard, nothing unprintable.
bool GoodId(const std::string& id)
{
    if (id.empty() || id.size() > kMaxIdLength) return false;
    for (char c : id)
        if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
    return true;
}

bool ParseSetting(const std::string& item, GatewayMap* m, std::string* error)
{
    std::size_t eq = item.find('=');
    std::string key = item.substr(0, eq), value = eq == std::string::npos ? "" : item.substr(eq + 1);
    if (eq == std::string::npos) return Fail(error, "unknown setting \"" + item + "\"");
    if (m->face != Face::Modbus) return Fail(error, key + "= applies to modbus only");
    if (key == "timeout" && Number(value, 10, 60000, &m->timeoutMs)) return true;
    if (key == "unit" && Number(value, 1, 247, &m->unit)) return true;
    if (key == "queue" && Number(value, 1, 1024, &m->queue)) return true;
    if (key == "timeout") return Fail(error, "timeout must be 10 to 60000 ms");
    if (key == "unit") return Fail(error, "unit must be 1 to 247");
    if (key == "queue") return Fail(error, "queue must be 1 to 1024");
    return Fail(error, "unknown setting \"" + key + "\"");
}

}  // namespace

bool ParseGatewayMap(const std::string& text, GatewayMap* out, std::string* error)
{
    GatewayMap m;
    std::size_t eq = text.find('=');
    if (eq == std::string::npos) return Fail(error, "\"" + text + "\" is not ID=[ADDR:]PORT[,...]");
    m.id = text.substr(0, eq);
    if (!GoodId(m.id))
        return Fail(error, "\"" + m.id + "\" cannot be a gateway id (a topic level: no / + # or spaces)");
    std::vector<std::string> items;
    std::stringstream rest(text.substr(eq + 1));
    for (std::string item; std::getline(rest, item, ',');) items.push_back(item);
    if (items.empty()) return Fail(error, "no port for " + m.id);
    std::string where = items[0];
    std::size_t colon = where.rfind(':');
    if (colon != std::string::npos) {
        m.address = where.substr(0, colon);
        struct in_addr a;
        if (inet_pton(AF_INET, m.address.c_str(), &a) != 1)
            return Fail(error, "\"" + m.address + "\" is not an IPv4 address");
        where = where.substr(colon + 1);
    }
    if (!Number(where, 1, 65535, &m.port)) return Fail(error, "\"" + where + "\" is not a port (1 to 65535)");
    for (std::size_t i = 1; i < items.size(); ++i) {
        if (i == 1 && (items[i] == "raw" || items[i] == "modbus")) {
            m.face = items[i] == "raw" ? Face::Raw : Face::Modbus;
            continue;
        }
        if (!ParseSetting(items[i], &m, error)) return false;
    }
    *out = m;
    return true;
}

bool ParseMapFile(const std::string& content, std::vector<GatewayMap>* out, std::string* error)
{
    std::stringstream lines(content);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        GatewayMap m;
        if (!ParseGatewayMap(line, &m, error)) return Fail(error, "line " + std::to_string(number) + ": " + *error);
        out->push_back(m);
    }
    return true;
}

bool CheckMaps(const std::vector<GatewayMap>& maps, std::string* error)
{
    std::set<std::string> ids;
    std::set<int> ports;
    for (const GatewayMap& m : maps) {
        if (!ids.insert(m.id).second) return Fail(error, "gateway " + m.id + " is mapped twice");
        if (!ports.insert(m.port).second) return Fail(error, "port " + std::to_string(m.port) + " is mapped twice");
    }
    if (maps.empty()) return Fail(error, "no gateway mapped (--map or --map-file)");
    return true;
}

}  // namespace lirnhub
