// The commands of lirnctl as one table: each with its help texts, its own arguments and a run
// function that talks to the gateway through a Session and reports into a Report, which the
// entry prints as text or as one JSON document.
#pragma once

#include "session.h"

#include <nlohmann/json.hpp>

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

// The arguments any command may take (each command fills only its own).
struct Args {
    std::vector<std::string> words;  // keys, KEY=VALUE pairs, a day or a file
    bool save = false;
    std::string output;  // logs get -o
};

// Opens the session on first use, so that usage errors and --help never touch the port.
using SessionSource = std::function<Session&()>;

struct Command {
    const char* path;        // "show", "logs get"
    const char* summary;     // one line for the command list
    std::string help;        // the rest of "lirnctl COMMAND --help"
    const char* words;       // name of the positional arguments ("" for none)
    int wordsMin, wordsMax;  // how many (-1: any number)
    bool save;               // takes --save
    bool output;             // takes -o FILE
    int (*run)(const SessionSource& session, const Args& a, Report& r);
};

const std::vector<Command>& Commands();

}  // namespace lirnctl
