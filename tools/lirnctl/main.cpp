// lirnctl: configures a gateway from a PC over the configuration console on its serial port, or
// over its command channel on an MQTT broker (--broker), and lists a fleet (fleet).
//
// The entry: the options and the command line built from the command table, the session opened
// only when a command needs the gateway, and the outcome printed as text (errors on standard
// error) or, with --json, as exactly one JSON document on standard output.
#include "broker.h"
#include "commands.h"
#include "port.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <unistd.h>

using namespace lirnctl;

namespace {

const char kFooter[] =
    "logs: logs list | logs get YYYY-MM-DD [-o FILE] | logs rm YYYY-MM-DD | logs on | logs off.\n"
    "Updates: keygen DIR | sign --key DIR/update.key -o IMAGE PROGRAM --build N (no gateway needed) |\n"
    "--broker HOST --id IMEI update IMAGE.\n"
    "lirnctl COMMAND --help tells more of each command.\n"
    "\n"
    "The gateway answers only on its configuration console: its INIT pin must not be asserted when it\n"
    "starts. Requests go one at a time, each as one burst, the next only after the reply (or --timeout\n"
    "of silence) of the one before. Every reply is matched to its request and checked: one that does\n"
    "not come, comes garbled or says ER is an error naming the port, the request and what came back.\n"
    "Values are checked before anything is sent. Texts may hold spaces and semicolons (the console\n"
    "carries them as they are); a line end, a text longer than the gateway keeps, or an empty PIN or\n"
    "peer address cannot be carried and is refused with the reason. Text from the gateway is shown with\n"
    "control characters as \\xNN escapes; --json gives it exactly, bytes that are not UTF-8 as U+FFFD.\n"
    "\n"
    "With --broker HOST[:PORT] --id IMEI every command goes over the broker instead, to a gateway with\n"
    "@MQTTCMD;1 over TLS (its secrets come back masked); lirnctl --broker HOST fleet lists the gateways\n"
    "under the prefix. The broker password comes from LIRNCTL_MQTT_PASSWORD.\n"
    "\n"
    "Exit status: 0 done, 1 the gateway refused or differs, 2 no answer, a garbled answer or a port\n"
    "error, 64 usage.";

// A reply over the broker crosses the broker twice and maybe a cellular link: it may take longer.
constexpr int kBrokerTimeoutMs = 10000;
// The fleet's retained messages come at once after the subscription: this much quiet ends them.
constexpr Millis kFleetQuiet(500);

// The options before the command.
struct Options {
    std::string port = "/dev/ttyUSB0";
    int baud = 115200;
    int timeoutMs = 1000;
    bool timeoutGiven = false;
    bool json = false;
    std::string broker;  // HOST[:PORT]; empty: the serial port
    BrokerOptions mqtt;
};

// The command line as parsed: the options, the chosen command and its arguments.
struct CommandLine {
    Options options;
    const Command* chosen = nullptr;
    Args args;
};

void AddOptions(CLI::App& app, Options& o)
{
    app.add_option("-p,--port", o.port, "serial port of the PC (default $LIRN_PORT, else /dev/ttyUSB0)")
        ->envname("LIRN_PORT");
    app.add_option("-b,--baud", o.baud, "baud rate, 8N1 (default 115200, the console's)")
        ->check([](const std::string& v) {
            return BaudSupported(std::atoi(v.c_str())) ? std::string() : "not a supported baud rate: " + v;
        });
    app.add_option("-t,--timeout", o.timeoutMs,
                   "ms a reply may take; also the silence that ends a listing or file (default 1000; 10000 "
                   "with --broker)")
        ->check(CLI::Range(100, 60000))
        ->each([&o](const std::string&) { o.timeoutGiven = true; });
    app.add_flag("--json", o.json, "print one JSON document for scripts");
    app.add_option("--broker", o.broker, "HOST[:PORT]: over this MQTT broker instead of the serial port");
    app.add_option("--id", o.mqtt.id, "the gateway's id on the broker (its IMEI)");
    app.add_option("--prefix", o.mqtt.prefix, "the topic prefix, the gateways' @MQTTTOPIC (default lirn)");
    CLI::Option* tls = app.add_flag("--tls", o.mqtt.tls, "TLS to the broker (port 8883 unless given)");
    app.add_option("--cafile", o.mqtt.cafile, "CA file that verifies the broker (default: the system's)")->needs(tls);
    app.add_option("--cert", o.mqtt.cert, "client certificate for the broker")->needs(tls);
    app.add_option("--key", o.mqtt.key, "its private key")->needs(tls);
    app.add_option("--user", o.mqtt.user, "broker user; its password from LIRNCTL_MQTT_PASSWORD");
}

// The parent of a command: the program, or its group ("logs" of "logs get"), made on first use.
CLI::App* Parent(CLI::App& app, std::map<std::string, CLI::App*>& groups, const std::string& path)
{
    std::size_t blank = path.find(' ');
    if (blank == std::string::npos) return &app;
    std::string group = path.substr(0, blank);
    if (!groups.count(group)) {
        groups[group] = app.add_subcommand(group, "day files on the card and the transcript switch");
        groups[group]->require_subcommand(1)->fallthrough();
    }
    return groups[group];
}

void AddCommand(CLI::App& parent, const Command& c, CommandLine& line)
{
    std::string path = c.path;
    std::size_t blank = path.find(' ');
    CLI::App* sub = parent.add_subcommand(blank == std::string::npos ? path : path.substr(blank + 1), c.summary);
    sub->fallthrough();
    if (!c.help.empty()) sub->footer(c.help);
    Args& a = line.args;
    if (c.wordsMax != 0) {
        CLI::Option* o = sub->add_option(c.words, a.words, c.words)->required(c.wordsMin > 0);
        if (c.wordsMax > 0) o->expected(c.wordsMin, c.wordsMax);
    }
    if (c.save) sub->add_flag("--save", a.save, "save the settings once all are set");
    if (c.signs) {
        sub->add_option("--key", a.key, "the private key (update.key of lirnctl keygen)")->required();
        sub->add_option("-o,--output", a.output, "the image to write")->required();
        sub->add_option("--build", a.build, "the build number, above the gateways' own (1 to 4294967295)")
            ->required()
            ->check(CLI::Range(uint32_t{1}, uint32_t{4294967295u}));
    }
    if (c.updates) {
        sub->add_option("--rate", a.rate, "bytes a second at most, to leave the cellular link room (K, M allowed; "
                                          "default: no limit)")
            ->transform(CLI::AsSizeValue(false));
        sub->add_option("--max-time", a.maxSeconds, "give up after this many seconds, the trial included (default 7200)")
            ->check(CLI::Range(1, 24 * 3600));
    }
    if (c.fetch) {
        sub->add_option("-o,--output", a.output, "the file to write; - for standard output");
        sub->add_option("--max-bytes", a.maxBytes, "give up past this size (default 64M; K, M, G allowed)")
            ->transform(CLI::AsSizeValue(false));
        sub->add_option("--max-time", a.maxSeconds, "give up after this many seconds (default 7200)")
            ->check(CLI::Range(1, 24 * 3600));
    }
    sub->callback([&line, &c] { line.chosen = &c; });
}

// Parses the command line into `line`; an exit status when the run ends here (help, usage error).
std::optional<int> Parse(int argc, char** argv, CommandLine& line)
{
    CLI::App app{"lirnctl: configure a lirn gateway from a PC over its serial configuration console", "lirnctl"};
    AddOptions(app, line.options);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(kFooter);
    std::map<std::string, CLI::App*> groups;
    for (const Command& c : Commands()) AddCommand(*Parent(app, groups, c.path), c, line);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return e.get_exit_code() == 0 ? kExitDone : kExitUsage;
    }
    return std::nullopt;
}

// What --broker and its options must be; the usage error when they are not.
void CheckBrokerUse(const CommandLine& line)
{
    const Options& o = line.options;
    if (line.chosen->fleet && o.broker.empty()) throw Failure(kExitUsage, "fleet reads a broker: give --broker HOST");
    if (line.chosen->updates && o.broker.empty())
        throw Failure(kExitUsage, "update goes over a broker: give --broker HOST and --id");
    if (o.broker.empty()) return;
    BrokerOptions address = o.mqtt;
    std::string wrong = ParseBrokerAddress(o.broker, &address);
    if (!wrong.empty()) throw Failure(kExitUsage, "--broker " + o.broker + ": " + wrong);
    if (line.chosen->fleet && !o.mqtt.id.empty()) throw Failure(kExitUsage, "fleet lists every gateway: no --id");
    if (!line.chosen->fleet && o.mqtt.id.empty())
        throw Failure(kExitUsage, "--broker needs --id, the gateway's id on the broker (its IMEI)");
    if (o.mqtt.id.find_first_of("/+#") != std::string::npos)
        throw Failure(kExitUsage, "--id " + o.mqtt.id + ": one topic level, without /, + or #");
    if (const char* why = TopicPrefixForm(o.mqtt.prefix)) throw Failure(kExitUsage, "--prefix: " + std::string(why));
    if (o.mqtt.cert.empty() != o.mqtt.key.empty()) throw Failure(kExitUsage, "--cert and --key go together");
}

BrokerOptions BrokerOf(const Options& o)
{
    BrokerOptions b = o.mqtt;
    ParseBrokerAddress(o.broker, &b);
    if (const char* password = std::getenv("LIRNCTL_MQTT_PASSWORD")) b.password = password;
    return b;
}

// The session over the serial port or the broker, opened when the command first needs it.
SessionSource OpenSession(const Options& o, std::unique_ptr<Session>& session)
{
    return [&o, &session]() -> Session& {
        if (session) return *session;
        try {
            std::unique_ptr<ConsoleLink> link;
            if (o.broker.empty())
                link = std::make_unique<Port>(o.port, o.baud);
            else
                link = std::make_unique<BrokerLink>(BrokerOf(o), Millis(o.timeoutMs));
            session = std::make_unique<Session>(std::move(link), Millis(o.timeoutMs));
        } catch (const PortError& e) {
            throw Failure(kExitNoAnswer, e.what(), "", "",
                          o.broker.empty() ? "give the gateway's port with -p PORT or LIRN_PORT"
                                           : "check --broker, --tls and its files, --user and LIRNCTL_MQTT_PASSWORD");
        }
        return *session;
    };
}

FleetSource OpenFleet(const Options& o)
{
    return [&o]() {
        FleetView view;
        view.prefix = o.mqtt.prefix;
        try {
            view.gateways = CollectFleet(BrokerOf(o), kFleetQuiet, Clock::now() + Millis(o.timeoutMs), &view.broker);
        } catch (const PortError& e) {
            throw Failure(kExitNoAnswer, e.what(), "", "", "check --broker, --tls and its files, --user and "
                                                           "LIRNCTL_MQTT_PASSWORD, and that the ACL lets the user "
                                                           "read PREFIX/+/status and PREFIX/+/state");
        }
        return view;
    };
}

// What a run came to: its exit status, its report and its failure, if any.
struct RunOutcome {
    int status = kExitDone;
    Report report;
    std::unique_ptr<Failure> failure;
};

void Run(const CommandLine& line, const Sources& from, RunOutcome& out)
{
    out.report.progress = !line.options.json && isatty(STDERR_FILENO) && line.args.output != "-";
    try {
        if (line.options.json && line.args.output == "-")
            throw Failure(kExitUsage, "--json and -o - would both write to standard output");
        CheckBrokerUse(line);
        out.status = line.chosen->run(from, line.args, out.report);
    } catch (const Failure& f) {
        out.failure = std::make_unique<Failure>(f);
        out.status = f.status;
    }
}

void PrintFailure(const Failure& f)
{
    std::cerr << "lirnctl: " << ShownText(f.what()) << "\n";
    if (!f.request.empty()) std::cerr << "  request: " << ShownText(f.request) << "\n";
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

// Text for people (errors on standard error), or exactly one JSON document on standard output.
void Print(const Options& o, const RunOutcome& out)
{
    if (o.json) {
        nlohmann::ordered_json doc = {{"port", o.port}};
        if (!o.broker.empty()) doc = {{"broker", o.broker}};
        if (!o.broker.empty() && !o.mqtt.id.empty()) doc["id"] = o.mqtt.id;
        doc["status"] = out.status;
        doc.update(out.report.json);
        if (out.failure) doc["error"] = FailureJson(*out.failure);
        // Bytes that are not UTF-8 (noise, a wrong baud rate) become U+FFFD instead of stopping the dump.
        std::cout << doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    } else {
        std::cout << out.report.text.str();
        if (out.failure) PrintFailure(*out.failure);
    }
    std::cout.flush();
}

}  // namespace

int main(int argc, char** argv)
{
    CommandLine line;
    if (std::optional<int> status = Parse(argc, argv, line)) return *status;
    if (!line.options.broker.empty() && !line.options.timeoutGiven) line.options.timeoutMs = kBrokerTimeoutMs;
    std::unique_ptr<Session> session;
    RunOutcome out;
    Run(line, Sources{OpenSession(line.options, session), OpenFleet(line.options), [&line] { return BrokerOf(line.options); }},
        out);
    Print(line.options, out);
    return out.status;
}
