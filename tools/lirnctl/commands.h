// The commands of lirnctl as one table: each with its help texts, its own arguments and a run
// function that talks to the gateway through a Session and reports into a Report, which the
// entry prints as text or as one JSON document.
#pragma once

#include "broker.h"
#include "session.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace lirnctl {

// What a command says: text lines for people and the same facts as JSON for scripts.
struct Report {
    std::ostringstream text;
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    bool progress = false;  // show a progress line on standard error
};

// The caps of a day file's transfer: 64 MiB, about 97 minutes at the console's 115200 baud, and
// two hours. A gateway (or noise) that never falls silent ends there.
inline constexpr std::size_t kDayFileMaxBytes = std::size_t{64} << 20;
inline constexpr int kDayFileMaxSeconds = 7200;

// The arguments any command may take (each command fills only its own).
struct Args {
    std::vector<std::string> words;  // keys, KEY=VALUE pairs, a day or a file
    bool save = false;
    std::string output;  // logs get -o
    // logs get: the caps of a day file's transfer (the defaults suit a day file at 115200 baud).
    std::size_t maxBytes = kDayFileMaxBytes;
    int maxSeconds = kDayFileMaxSeconds;
    // sign: the private key and the build number
    std::string key;
    uint32_t build = 0;
    // update: bytes a second at most (0: no limit); its whole time is maxSeconds
    std::size_t rate = 0;
};

// Opens the session on first use, so that usage errors and --help never touch the port.
using SessionSource = std::function<Session&()>;

// The gateways under a prefix as the broker's retained messages show them (the fleet command).
struct FleetView {
    std::string broker, prefix;
    std::vector<FleetGateway> gateways;
};
using FleetSource = std::function<FleetView()>;

// The broker and the gateway that --broker and --id name (the update command).
using BrokerSource = std::function<BrokerOptions()>;

// Where a command's answers come from: a gateway's console, the fleet on a broker, or one
// gateway on a broker.
struct Sources {
    SessionSource session;
    FleetSource fleet;
    BrokerSource broker;
};

struct Command {
    const char* path;        // "show", "logs get"
    const char* summary;     // one line for the command list
    std::string help;        // the rest of "lirnctl COMMAND --help"
    const char* words;       // name of the positional arguments ("" for none)
    int wordsMin, wordsMax;  // how many (-1: any number)
    bool save;               // takes --save
    bool fetch;              // takes -o FILE and the caps --max-bytes, --max-time
    int (*run)(const Sources& from, const Args& a, Report& r);
    bool signs = false;      // takes --key, -o IMAGE and --build (and needs no gateway)
    bool fleet = false;      // reads the fleet (needs --broker, no gateway)
    bool updates = false;    // sends an image over the broker (needs --broker and --id; takes --rate, --max-time)
};

const std::vector<Command>& Commands();

}  // namespace lirnctl
