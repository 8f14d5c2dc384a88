// lirnctl: configures a gateway from a PC over the configuration console on its serial port.
//
// The entry: the options and the command line built from the command table, the session opened
// only when a command needs the port, and the outcome printed as text (errors on standard error)
// or, with --json, as exactly one JSON document on standard output.
#include "commands.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <unistd.h>

using namespace lirnctl;

namespace {

const char kFooter[] =
    "logs: logs list | logs get YYYY-MM-DD [-o FILE] | logs rm YYYY-MM-DD | logs on | logs off.\n"
    "lirnctl COMMAND --help tells more of each command.\n"
    "\n"
    "The gateway answers only on its configuration console: its INIT pin must not be asserted when it\n"
    "starts. Requests go one at a time, each as one burst, the next only after the reply (or --timeout\n"
    "of silence) of the one before. Every reply is matched to its request and checked: one that does\n"
    "not come, comes garbled or says ER is an error naming the port, the request and what came back.\n"
    "Values are checked before anything is sent. Texts may hold spaces and semicolons (the console\n"
    "carries them as they are); a line end, a text longer than the gateway keeps, or an empty PIN or\n"
    "peer address cannot be carried and is refused with the reason.\n"
    "\n"
    "Exit status: 0 done, 1 the gateway refused or differs, 2 no answer, a garbled answer or a port\n"
    "error, 64 usage.";

void PrintFailure(const Failure& f)
{
    std::cerr << "lirnctl: " << f.what() << "\n";
    if (!f.request.empty()) std::cerr << "  request: " << f.request << "\n";
    if (!f.reply.empty()) std::cerr << "  reply:   \"" << f.reply << "\"\n";
    if (!f.hint.empty()) std::cerr << "  hint:    " << f.hint << "\n";
}

nlohmann::ordered_json FailureJson(const Failure& f)
{
    nlohmann::ordered_json e = {{"status", f.status}, {"message", f.what()}};
    if (!f.request.empty()) e["request"] = f.request;
    if (!f.reply.empty()) e["reply"] = f.reply;
    if (!f.hint.empty()) e["hint"] = f.hint;
    return e;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"lirnctl: configure a lirn gateway from a PC over its serial configuration console", "lirnctl"};
    std::string port = "/dev/ttyUSB0";
    int baud = 115200, timeoutMs = 1000;
    bool json = false;
    app.add_option("-p,--port", port, "serial port of the PC (default $LIRN_PORT, else /dev/ttyUSB0)")
        ->envname("LIRN_PORT");
    app.add_option("-b,--baud", baud, "baud rate, 8N1 (default 115200, the console's)")
        ->check([](const std::string& v) {
            return BaudSupported(std::atoi(v.c_str())) ? std::string() : "not a supported baud rate: " + v;
        });
    app.add_option("-t,--timeout", timeoutMs,
                   "ms a reply may take; also the silence that ends a listing or file (default 1000)")
        ->check(CLI::Range(100, 60000));
    app.add_flag("--json", json, "print one JSON document for scripts");
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(kFooter);

    Args args;
    const Command* chosen = nullptr;
    std::map<std::string, CLI::App*> groups;
    for (const Command& c : Commands()) {
        std::string path = c.path, name = path;
        CLI::App* parent = &app;
        if (std::size_t blank = path.find(' '); blank != std::string::npos) {
            std::string group = path.substr(0, blank);
            name = path.substr(blank + 1);
            if (!groups.count(group)) {
                groups[group] = app.add_subcommand(group, "day files on the card and the transcript switch");
                groups[group]->require_subcommand(1)->fallthrough();
            }
            parent = groups[group];
        }
        CLI::App* sub = parent->add_subcommand(name, c.summary);
        sub->fallthrough();
        if (!c.help.empty()) sub->footer(c.help);
        if (c.wordsMax != 0) {
            CLI::Option* o = sub->add_option(c.words, args.words, c.words)->required(c.wordsMin > 0);
            if (c.wordsMax > 0) o->expected(c.wordsMin, c.wordsMax);
        }
        if (c.save) sub->add_flag("--save", args.save, "save the settings once all are set");
        if (c.output) sub->add_option("-o,--output", args.output, "the file to write; - for standard output");
        sub->callback([&chosen, &c] { chosen = &c; });
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return e.get_exit_code() == 0 ? kExitDone : kExitUsage;
    }

    std::unique_ptr<Session> session;
    SessionSource source = [&]() -> Session& {
        if (!session) {
            try {
                session = std::make_unique<Session>(port, baud, Millis(timeoutMs));
            } catch (const PortError& e) {
                throw Failure(kExitNoAnswer, e.what(), "", "", "give the gateway's port with -p PORT or LIRN_PORT");
            }
        }
        return *session;
    };
    Report report;
    report.progress = !json && isatty(STDERR_FILENO) && args.output != "-";
    int status = kExitDone;
    std::unique_ptr<Failure> failure;
    try {
        if (json && args.output == "-")
            throw Failure(kExitUsage, "--json and -o - would both write to standard output");
        status = chosen->run(source, args, report);
    } catch (const Failure& f) {
        failure = std::make_unique<Failure>(f);
        status = f.status;
    }
    if (json) {
        nlohmann::ordered_json doc = {{"port", port}, {"status", status}};
        doc.update(report.json);
        if (failure) doc["error"] = FailureJson(*failure);
        std::cout << doc.dump(2) << "\n";
    } else {
        std::cout << report.text.str();
        if (failure) PrintFailure(*failure);
    }
    std::cout.flush();
    return status;
}
