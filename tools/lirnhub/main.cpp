// lirnhub: the back office's end of a fleet of gateways in the MQTT mode. Each mapped gateway
// becomes a TCP port on this machine (its serial bytes as they are, or a Modbus TCP server in
// front of its RTU line) and, with --pty, a pseudo-terminal.
#include "hub.h"
#include "gateway_map.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

using namespace lirnhub;

namespace {

const char kFooter[] =
    "MAP is ID=[ADDR:]PORT[,raw|,modbus[,timeout=MS][,unit=N][,queue=N]]: ID the gateway's topic\n"
    "level (its IMEI), ADDR the address to listen on (default 127.0.0.1), raw (default) passes bytes\n"
    "as they are, one client at a time; modbus serves Modbus TCP masters, each request one RTU\n"
    "transaction on the gateway's line: timeout the wait for its reply (default 1000 ms, then\n"
    "exception 0x0B), unit the RTU address every request goes to (default the request's unit id),\n"
    "queue the requests that may wait behind the one on the line (default 32, then exception 0x06).\n"
    "A map file holds one MAP a line; blank lines and lines starting with # are skipped.\n"
    "\n"
    "The broker password, if any, is read from the environment variable LIRNHUB_PASSWORD.\n"
    "Exit status: 0 after SIGINT or SIGTERM, 1 when the set-up failed, 64 usage.";

// HOST or HOST:PORT.
bool SplitBroker(const std::string& text, std::string* host, int* port)
{
    std::size_t colon = text.rfind(':');
    *host = text.substr(0, colon);
    if (colon == std::string::npos) return !host->empty();
    std::string p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    *port = std::stoi(p);
    return !host->empty() && *port >= 1 && *port <= 65535;
}

int Usage(const std::string& why)
{
    std::cerr << "lirnhub: " << why << "\n";
    return 64;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"lirnhub: each gateway of an MQTT fleet as a local TCP port, a Modbus TCP server or a pty",
                 "lirnhub"};
    HubOptions o;
    std::string broker, mapFile;
    std::vector<std::string> maps;
    bool portGiven = false;
    app.add_option("--broker", broker, "the broker, HOST[:PORT] (port 1883, 8883 with --tls)")->required();
    app.add_option("--prefix", o.prefix, "topic prefix of the fleet (default lirn)");
    app.add_flag("--tls", o.tls, "TLS to the broker, verified against --cafile");
    app.add_option("--cafile", o.cafile, "CA certificates that the broker's certificate must chain to");
    app.add_option("--cert", o.certfile, "client certificate (PEM), with --key");
    app.add_option("--key", o.keyfile, "client key (PEM)");
    app.add_option("--user", o.user, "broker user name");
    app.add_option("--map", maps, "a gateway: MAP (see below); repeatable");
    app.add_option("--map-file", mapFile, "a file of MAP lines");
    app.add_option("--pty", o.ptyDir, "make DIR/ID, a pseudo-terminal, for every raw gateway");
    app.add_option("--json-status", o.jsonStatus, "keep a live status table (JSON) in FILE");
    app.add_option("--keepalive", o.keepalive, "MQTT keep-alive in seconds (default 30)")->check(CLI::Range(5, 3600));
    app.footer(kFooter);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 64;
    }

    portGiven = broker.find(':') != std::string::npos;
    if (o.tls && !portGiven) o.port = 8883;
    if (!SplitBroker(broker, &o.host, &o.port)) return Usage("--broker wants HOST or HOST:PORT, not " + broker);
    if (o.tls && o.cafile.empty()) return Usage("--tls needs --cafile");
    if (!o.tls && (!o.cafile.empty() || !o.certfile.empty() || !o.keyfile.empty()))
        return Usage("--cafile, --cert and --key go with --tls");
    if (o.certfile.empty() != o.keyfile.empty()) return Usage("--cert and --key go together");
    if (o.prefix.empty() || o.prefix.find_first_of("+#") != std::string::npos)
        return Usage("--prefix cannot be empty or hold + or #");
    if (const char* pw = std::getenv("LIRNHUB_PASSWORD")) o.password = pw;
    if (!o.password.empty() && o.user.empty()) return Usage("LIRNHUB_PASSWORD goes with --user");

    std::string error;
    for (const std::string& m : maps) {
        GatewayMap g;
        if (!ParseGatewayMap(m, &g, &error)) return Usage("--map " + m + ": " + error);
        o.maps.push_back(g);
    }
    if (!mapFile.empty()) {
        std::ifstream in(mapFile);
        std::stringstream content;
        content << in.rdbuf();
        if (!in) return Usage("cannot read " + mapFile);
        if (!ParseMapFile(content.str(), &o.maps, &error)) return Usage(mapFile + ": " + error);
    }
    if (!CheckMaps(o.maps, &error)) return Usage(error);

    Hub hub(o);
    return hub.Run();
}
