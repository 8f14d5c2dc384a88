// The commands of lirnctl (see commands.h): the setting commands, the record actions, the status
// and the day files on the card.
#include "commands.h"

#include "image.h"

#include "partial_file.h"
#include "update.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace lirnctl {

namespace {

using Json = nlohmann::ordered_json;

// The caps of a listing: ten years of days are about 40 kB.
const StreamCaps kListingCaps = {std::size_t{1} << 20, Millis(120000), ""};
const char kRaiseDayCaps[] = "a larger day file needs --max-bytes or --max-time; else ";

Json JsonValue(const Setting& s, const std::string& v)
{
    if (s.kind == Kind::Number) return std::stoi(v);  // checked as a number by the reply parser
    return v;
}

std::string Line(const Setting& s)
{
    return std::string("@") + s.key;
}

std::string SetLine(const Setting& s, const std::string& value)
{
    return Line(s) + ";" + value;
}

const Setting& KnownSetting(const std::string& key)
{
    const Setting* s = FindSetting(key);
    if (s != nullptr) return *s;
    std::string known;
    for (const Setting& k : Settings()) known += std::string(known.empty() ? "" : " ") + k.key;
    throw Failure(kExitUsage, "unknown setting \"" + key + "\" (known: " + known + ")");
}

// An extension setting met silence: firmware without it, or a gateway that went quiet.
[[noreturn]] void NoReplyTo(Session& session, const Setting& s, const std::string& line)
{
    if (session.Answers())
        throw Failure(
            kExitRefused,
            session.PortPath() + ": the gateway does not know " + s.key + " (its firmware has no such setting)", line);
    throw session.Silence(line);
}

std::string QueryOrFail(Session& session, const Setting& s)
{
    std::optional<std::string> v = session.Query(s);
    if (!v) NoReplyTo(session, s, Line(s));
    return *v;
}

// Sets one value; false when the gateway refused it (ER).
bool SetOne(Session& session, const Setting& s, const std::string& value)
{
    std::string line = SetLine(s, value);
    std::optional<Reply> r = session.Ask(line, ExpectSet(s), s.group != kCoreSettings);
    if (!r) NoReplyTo(session, s, line);
    return r->outcome == Outcome::Ok;
}

using Change = std::pair<const Setting*, std::string>;

// What became of one change: the value the gateway holds now, and why it is not the one asked
// for ("" when it is).
struct Taken {
    std::string held, why;
};

// Sets every value, reads each one back, and puts the earlier value back where the gateway
// refused the new one or holds another (a firmware that cuts a longer text than it keeps): the
// console keeps even a refused value in memory, where a later save would write it. The earlier
// values are queried first, which also makes sure a console answers before any value goes out
// (on the tunnel road the port carries every byte to the remote peer: no place for a password).
// Over the broker a secret comes back masked: the mask of the value sent counts as that value,
// and its earlier value, unknown here, cannot be put back.
std::vector<Taken> SetAll(Session& session, const std::vector<Change>& changes)
{
    std::vector<std::string> before;
    for (const auto& [s, value] : changes) before.push_back(QueryOrFail(session, *s));
    std::vector<Taken> taken;
    for (const auto& [s, value] : changes)
        taken.push_back({value, SetOne(session, *s, value) ? "" : "refused by the gateway"});
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const auto& [s, value] = changes[i];
        bool masked = s->secret && session.Masked();
        if (taken[i].why.empty()) {
            taken[i].held = QueryOrFail(session, *s);
            if (masked ? SameMasked(value, taken[i].held) : SameValue(*s, value, taken[i].held)) continue;
            taken[i].why = "the gateway took it as \"" + ShownText(taken[i].held) + "\"";
        }
        if (masked) {
            taken[i].why += " (its earlier value is masked over the broker: not put back)";
            continue;
        }
        SetOne(session, *s, before[i]);
        taken[i].held = before[i];
    }
    return taken;
}

void Save(Session& session, Report& r)
{
    session.Do("@SAVE", ExpectDone("SAVE"),
               session.PortPath() + ": the gateway could not write its configuration file");
    r.json["saved"] = true;
    r.text << "saved\n";
}

int RunShow(const Sources& from, const Args&, Report& r)
{
    Session& session = from.session();
    Json settings = Json::object();
    int silentGroup = -1;
    for (const Setting& s : Settings()) {
        if (s.group == silentGroup) continue;
        std::optional<std::string> v = session.Query(s);
        if (!v) {
            // Firmware without this extension group: it is left out, quietly.
            silentGroup = s.group;
            continue;
        }
        r.text << Line(s) << ";" << ShownText(*v) << "\n";
        settings[s.key] = JsonValue(s, *v);
    }
    r.json["settings"] = settings;
    return kExitDone;
}

int RunGet(const Sources& from, const Args& a, Report& r)
{
    std::vector<const Setting*> wanted;
    for (const std::string& w : a.words) wanted.push_back(&KnownSetting(w));
    Session& session = from.session();
    Json settings = Json::object();
    for (const Setting* s : wanted) {
        std::string v = QueryOrFail(session, *s);
        r.text << ShownText(v) << "\n";
        settings[s->key] = JsonValue(*s, v);
    }
    r.json["settings"] = settings;
    return kExitDone;
}

int RunSet(const Sources& from, const Args& a, Report& r)
{
    std::vector<Change> changes;
    for (const std::string& w : a.words) {
        std::size_t eq = w.find('=');
        if (eq == std::string::npos) throw Failure(kExitUsage, "\"" + w + "\" is not KEY=VALUE");
        const Setting& s = KnownSetting(w.substr(0, eq));
        Checked c = CheckValue(s, w.substr(eq + 1), Check::InRange);
        if (!c.ok) throw Failure(kExitUsage, std::string(s.key) + "=" + w.substr(eq + 1) + ": " + c.reason);
        changes.emplace_back(&s, c.value);
    }
    Session& session = from.session();
    std::vector<Taken> taken = SetAll(session, changes);
    for (std::size_t i = 0; i < changes.size(); ++i)
        if (!taken[i].why.empty())
            throw Failure(kExitRefused,
                          session.PortPath() + ": " + changes[i].first->key + "=" + changes[i].second + ": " +
                              taken[i].why + " (its earlier value was put back); nothing was saved",
                          SetLine(*changes[i].first, changes[i].second));
    Json set = Json::object();
    for (const auto& [s, value] : changes) {
        r.text << ShownText(SetLine(*s, value)) << "\n";
        set[s->key] = JsonValue(*s, value);
    }
    r.json["set"] = set;
    r.json["saved"] = false;
    if (a.save) Save(session, r);
    return kExitDone;
}

ConfigFile ReadConfigFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure(kExitUsage, path + ": cannot read the file");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ConfigFile f = ParseConfigFile(text);
    if (f.entries.empty() && f.problems.empty()) f.problems.push_back("no settings in the file");
    if (!f.problems.empty()) {
        std::string all;
        for (const std::string& p : f.problems) all += "\n  " + p;
        throw Failure(kExitUsage, path + ": nothing was sent:" + all);
    }
    return f;
}

int RunApply(const Sources& from, const Args& a, Report& r)
{
    ConfigFile file = ReadConfigFile(a.words.at(0));
    std::vector<Change> changes;
    for (const FileEntry& e : file.entries) changes.emplace_back(e.setting, e.value);
    Session& session = from.session();
    std::vector<Taken> taken = SetAll(session, changes);
    Json differences = Json::array(), settings = Json::object();
    for (std::size_t i = 0; i < file.entries.size(); ++i) {
        const FileEntry& e = file.entries[i];
        const auto& [held, why] = taken[i];
        settings[e.setting->key] = JsonValue(*e.setting, held);
        if (why.empty()) continue;
        r.text << e.setting->key << ": file \"" << ShownText(e.value) << "\", gateway \"" << ShownText(held) << "\" ("
               << why << ")\n";
        differences.push_back({{"key", e.setting->key}, {"file", e.value}, {"gateway", held}, {"why", why}});
    }
    r.json["saved"] = false;
    if (differences.empty()) Save(session, r);
    r.json["settings"] = settings;
    r.json["differences"] = differences;
    if (!differences.empty())
        r.text << "nothing was saved: the gateway did not take every value (the earlier ones were put back)\n";
    if (differences.empty()) r.text << "all " << file.entries.size() << " settings applied\n";
    return differences.empty() ? kExitDone : kExitRefused;
}

int RunSave(const Sources& from, const Args&, Report& r)
{
    Save(from.session(), r);
    return kExitDone;
}

int RunReset(const Sources& from, const Args&, Report& r)
{
    from.session().Do("@RESET", ExpectDone("RESET"), "the gateway refused the reset");
    r.text << "settings reset to the defaults and saved\n";
    r.json["reset"] = true;
    return kExitDone;
}

int RunReboot(const Sources& from, const Args&, Report& r)
{
    from.session().Do("@REBOOT", ExpectDone("REBOOT"), "the gateway refused the reboot");
    r.text << "the gateway reboots\n";
    r.json["reboot"] = true;
    return kExitDone;
}

int Number(Session& session, const char* keyword)
{
    return std::stoi(session.Value(std::string("@") + keyword, ExpectValue(keyword, true)));
}

int RunStatus(const Sources& from, const Args&, Report& r)
{
    Session& session = from.session();
    std::string firmware = session.Value("@FWVER", ExpectValue("FWVER", false));
    int percent = Number(session, "CSQ"), creg = Number(session, "CREG"), net = Number(session, "NETSTAT");
    int card = Number(session, "SDEXIST"), transcripts = Number(session, "LOGST");
    Signal sig = SignalFromPercent(percent);
    std::optional<Reply> space;
    if (card == 1) space = session.Ask("@LOGSD", ExpectValue("LOGSD", false));

    r.text << "firmware       " << ShownText(firmware) << "\n";
    Json signal = {{"percent", percent}};
    if (sig.measured) {
        r.text << "signal         " << SignalBar(sig) << " " << percent << "% (CSQ " << sig.csq << ", " << sig.dbm
               << " dBm)\n";
        signal["csq"] = sig.csq;
        signal["dbm"] = sig.dbm;
    } else {
        r.text << "signal         " << SignalBar(sig) << (sig.valid ? " no measurement" : " not a signal value") << " ("
               << percent << ")\n";
    }
    r.text << "registration   " << RegistrationText(creg) << " (" << creg << ")\n";
    r.text << "network        " << (net == 0 ? "data call up" : "data call not up") << " (" << net << ")\n";
    Json cardJson = {{"present", card == 1}};
    if (card != 1)
        r.text << "sd card        absent\n";
    else if (space->outcome != Outcome::Ok)
        r.text << "sd card        present, space unknown (the gateway answered ER)\n";
    else {
        // "used;size;use%" as df gives them.
        std::vector<std::string> f;
        std::istringstream figures(space->value);
        for (std::string one; std::getline(figures, one, ';');) f.push_back(one);
        if (f.size() == 3) {
            r.text << "sd card        present, " << f[0] << " of " << f[1] << " used (" << f[2] << ")\n";
            cardJson.update({{"used", f[0]}, {"size", f[1]}, {"use", f[2]}});
        } else {
            r.text << "sd card        present, space \"" << Printable(space->value) << "\"\n";
            cardJson["space"] = space->value;
        }
    }
    r.text << "transcripts    " << (transcripts == 1 ? "on" : "off") << " (" << transcripts << ")\n";
    r.json = {{"firmware", firmware},
              {"signal", signal},
              {"registration", {{"code", creg}, {"text", RegistrationText(creg)}}},
              {"network", {{"code", net}, {"up", net == 0}}},
              {"card", cardJson},
              {"transcripts", {{"code", transcripts}, {"on", transcripts == 1}}}};
    return kExitDone;
}

Day DayArgument(const std::string& text)
{
    Day d;
    if (!ParseDay(text, &d)) throw Failure(kExitUsage, "\"" + text + "\" is not a day YYYY-MM-DD");
    return d;
}

// The day-file listing. Silence is an empty card or a silent gateway: the second is told apart.
Listing List(Session& session)
{
    std::string text;
    std::size_t n = session.Stream("@LOGFILE", kListingCaps, [&](const char* p, std::size_t k) { text.append(p, k); });
    if (n == 0 && !session.Answers()) throw session.Silence("@LOGFILE");
    Listing l = ParseListing(text);
    if (!l.problem.empty())
        throw Failure(kExitNoAnswer, session.PortPath() + ": bad listing: " + l.problem, "@LOGFILE");
    return l;
}

int RunLogsList(const Sources& from, const Args&, Report& r)
{
    Listing l = List(from.session());
    Json days = Json::array(), other = Json::array();
    for (const ListedDay& d : l.days) {
        r.text << ShownText(d.text) << (d.isDay ? "" : "  (not a day file name)") << "\n";
        (d.isDay ? days : other).push_back(d.text);
    }
    r.json["days"] = days;
    if (!other.empty()) r.json["other"] = other;
    return kExitDone;
}

// Progress of a transfer whose size nobody knows: bytes so far and a moving mark. Called with
// each piece as it comes, and once at the end.
void ShowProgress(std::size_t piece, bool done)
{
    static const char kSpin[] = "|/-\\";
    static std::size_t bytes = 0;
    bytes += piece;
    std::fprintf(stderr, "\r%c %zu bytes%s", done ? ' ' : kSpin[(bytes / 4096) % 4], bytes, done ? "\n" : "");
}

// Sends one day file to out; the byte count. Nothing at all is told apart by the listing: an
// empty day file is listed, a missing day is not, and a silent gateway fails the listing.
std::size_t FetchDay(Session& session, const Day& day, const StreamCaps& caps, FILE* out, bool progress)
{
    bool written = true;
    std::size_t n = session.Stream(DayRequest("LOGDATA", day), caps, [&](const char* p, std::size_t k) {
        written = std::fwrite(p, 1, k, out) == k && written;
        if (progress) ShowProgress(k, false);
    });
    if (!written || std::fflush(out) != 0) throw Failure(kExitUsage, "cannot write the fetched day file");
    if (n == 0) {
        bool listed = false;
        for (const ListedDay& d : List(session).days) listed = listed || d.text == day.Text();
        if (!listed)
            throw Failure(kExitRefused, session.PortPath() + ": no day file " + day.Text() + " on the card",
                          DayRequest("LOGDATA", day));
    }
    if (progress) ShowProgress(0, true);
    return n;
}

int RunLogsGet(const Sources& from, const Args& a, Report& r)
{
    Day day = DayArgument(a.words.at(0));
    StreamCaps caps = {a.maxBytes, Millis(std::int64_t{a.maxSeconds} * 1000), kRaiseDayCaps};
    std::size_t n = 0;
    std::string target = a.output.empty() ? day.Text() + ".txt" : a.output;
    if (target == "-") {
        n = FetchDay(from.session(), day, caps, stdout, r.progress);
    } else {
        Session& session = from.session();
        PartialFile out(target);
        n = FetchDay(session, day, caps, out.Stream(), r.progress);
        out.Commit();
        r.text << day.Text() << ": " << n << " bytes to " << target << "\n";
    }
    r.json = {{"day", day.Text()}, {"file", target}, {"bytes", n}};
    return kExitDone;
}

int RunLogsRm(const Sources& from, const Args& a, Report& r)
{
    Day day = DayArgument(a.words.at(0));
    Session& session = from.session();
    session.Do(DayRequest("LOGDEL", day), ExpectDone("LOGDEL"),
               session.PortPath() + ": no day file " + day.Text() + " on the card (the gateway answered ER)");
    r.text << day.Text() << " removed\n";
    r.json["removed"] = day.Text();
    return kExitDone;
}

int Transcripts(Session& session, bool on, Report& r)
{
    session.Do(on ? "@LOGEN;1" : "@LOGEN;0", ExpectDone("LOGEN"), "the gateway refused the transcript switch");
    session.Do("@LOGSAVE", ExpectDone("LOGSAVE"), session.PortPath() + ": the gateway could not write log.ini");
    r.text << "transcripts " << (on ? "on" : "off") << ", saved\n";
    r.json["transcripts"] = on;
    r.json["saved"] = true;
    return kExitDone;
}

int RunLogsOn(const Sources& from, const Args&, Report& r)
{
    return Transcripts(from.session(), true, r);
}

int RunLogsOff(const Sources& from, const Args&, Report& r)
{
    return Transcripts(from.session(), false, r);
}

// ---- The fleet ----

using Row = std::vector<std::string>;

// A field of a state document as text; "-" when it has none.
std::string Field(const Json& state, const char* key)
{
    if (!state.is_object() || !state.contains(key)) return "-";
    const Json& v = state[key];
    if (v.is_string()) return ShownText(v.get<std::string>());
    if (v.is_boolean()) return v.get<bool>() ? "on" : "off";
    return v.dump();
}

std::string Uptime(const Json& state)
{
    if (!state.is_object() || !state.contains("uptime") || !state["uptime"].is_number_unsigned()) return "-";
    unsigned long long s = state["uptime"].get<unsigned long long>();
    char text[48];
    if (s >= 86400)
        std::snprintf(text, sizeof text, "%llud%02lluh%02llum", s / 86400, s / 3600 % 24, s / 60 % 60);
    else
        std::snprintf(text, sizeof text, "%lluh%02llum%02llus", s / 3600, s / 60 % 60, s % 60);
    return text;
}

std::string Position(const Json& state)
{
    if (!state.is_object() || !state.contains("gps") || !state["gps"].is_object()) return "-";
    const Json& g = state["gps"];
    return g.contains("lat") && g.contains("lon") ? g["lat"].dump() + "," + g["lon"].dump() : "-";
}

// The last update as "BUILD RESULT" ("43 ok", "44 refused: bad signature"), or "BUILD STATE"
// while one is under way ("44 receiving", "44 trial").
std::string LastUpdate(const Json& state)
{
    if (!state.is_object() || !state.contains("update") || !state["update"].is_object()) return "-";
    const Json& u = state["update"];
    std::string version = Field(u, "version"), what = Field(u, "state");
    if (what == "idle") what = Field(u, "result");
    return version == "0" && what.empty() ? "-" : version + " " + what;
}

// The columns of the fleet table, each from the gateway's status and state document. Later
// documents carry more (an update's version and result): a column here shows them.
struct FleetColumn {
    const char* title;
    std::string (*cell)(const FleetGateway& g, const Json& state);
};

const FleetColumn kFleetColumns[] = {
    {"ID", [](const FleetGateway& g, const Json&) { return ShownText(g.id); }},
    {"STATUS", [](const FleetGateway& g, const Json&) { return g.status ? ShownText(*g.status) : "-"; }},
    {"SIGNAL", [](const FleetGateway&, const Json& s) { return Field(s, "signal"); }},
    {"REG", [](const FleetGateway&, const Json& s) { return Field(s, "registration"); }},
    {"NET", [](const FleetGateway&, const Json& s) { return Field(s, "network"); }},
    {"GPS", [](const FleetGateway&, const Json& s) { return Position(s); }},
    {"FIRMWARE", [](const FleetGateway&, const Json& s) { return Field(s, "firmware"); }},
    {"UPTIME", [](const FleetGateway&, const Json& s) { return Uptime(s); }},
    {"UP", [](const FleetGateway&, const Json& s) { return Field(s, "bytes_up"); }},
    {"DOWN", [](const FleetGateway&, const Json& s) { return Field(s, "bytes_down"); }},
    {"LOST", [](const FleetGateway&, const Json& s) { return Field(s, "lost"); }},
    {"CMDS", [](const FleetGateway&, const Json& s) { return Field(s, "commands"); }},
    {"CONFIG", [](const FleetGateway&, const Json& s) { return Field(s, "config"); }},
    {"BUILD", [](const FleetGateway&, const Json& s) { return Field(s, "build"); }},
    {"UPDATE", [](const FleetGateway&, const Json& s) { return LastUpdate(s); }},
};

// The state document, parsed; null when there is none or it is no JSON object.
Json StateOf(const FleetGateway& g)
{
    if (!g.state) return nullptr;
    Json state = Json::parse(*g.state, nullptr, false);
    return state.is_object() ? state : Json(nullptr);
}

void PrintTable(const std::vector<Row>& rows, std::ostringstream& out)
{
    std::vector<std::size_t> width(rows[0].size(), 0);
    for (const Row& r : rows)
        for (std::size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
    for (const Row& r : rows) {
        std::string line;
        for (std::size_t c = 0; c < r.size(); ++c)
            line += r[c] + (c + 1 < r.size() ? std::string(width[c] - r[c].size() + 2, ' ') : "");
        out << line << "\n";
    }
}

int RunFleet(const Sources& from, const Args&, Report& r)
{
    FleetView view = from.fleet();
    std::vector<Row> rows(1);
    for (const FleetColumn& c : kFleetColumns) rows[0].push_back(c.title);
    Json gateways = Json::array();
    for (const FleetGateway& g : view.gateways) {
        Json state = StateOf(g);
        Row row;
        for (const FleetColumn& c : kFleetColumns) row.push_back(c.cell(g, state));
        rows.push_back(row);
        Json one = {{"id", g.id}, {"online", g.status == "online"}, {"status", g.status ? Json(*g.status) : Json(nullptr)},
                    {"state", state}};
        if (g.state && state.is_null()) one["state_text"] = *g.state;
        gateways.push_back(one);
    }
    if (view.gateways.empty())
        r.text << "no gateway under " << ShownText(view.prefix) << "/ on " << view.broker << "\n";
    else
        PrintTable(rows, r.text);
    r.json["prefix"] = view.prefix;
    r.json["gateways"] = gateways;
    return kExitDone;
}

// ---- Updates ----

// The transfer on a terminal: a bar redrawn in place, and a line of its own for each step.
void ShowBar(const UpdateProgress& p)
{
    constexpr int kWidth = 30;
    int done = p.size == 0 ? 0 : static_cast<int>(p.held * kWidth / p.size);
    if (!p.event.empty()) std::fprintf(stderr, "\r\033[K%s\n", p.event.c_str());
    std::fprintf(stderr, "\r[%s%s] %3d%% %llu of %llu bytes", std::string(static_cast<std::size_t>(done), '#').c_str(),
                 std::string(static_cast<std::size_t>(kWidth - done), '.').c_str(),
                 p.size == 0 ? 0 : static_cast<int>(p.held * 100 / p.size), static_cast<unsigned long long>(p.held),
                 static_cast<unsigned long long>(p.size));
    if (p.held == p.size) std::fputc('\n', stderr);
}

// Elsewhere (a log, a pipe): each step, and a line at every tenth of the image.
void ShowLines(const UpdateProgress& p, int* tenth)
{
    if (!p.event.empty()) std::fprintf(stderr, "%s\n", p.event.c_str());
    int now = p.size == 0 ? 0 : static_cast<int>(p.held * 10 / p.size);
    if (now > *tenth && p.event.empty())
        std::fprintf(stderr, "%d%%: %llu of %llu bytes\n", now * 10, static_cast<unsigned long long>(p.held),
                     static_cast<unsigned long long>(p.size));
    *tenth = std::max(now, *tenth);
}

int RunUpdate(const Sources& from, const Args& a, Report& r)
{
    BrokerOptions o = from.broker();
    UpdatePlan plan = {a.rate, Millis(10000), Clock::now() + std::chrono::seconds(a.maxSeconds)};
    int tenth = 0;
    bool bar = r.progress;
    UpdateOutcome u;
    try {
        u = SendUpdate(o, a.words.at(0), plan, [&](const UpdateProgress& p) {
            if (bar)
                ShowBar(p);
            else
                ShowLines(p, &tenth);
        });
    } catch (const PortError& e) {
        throw Failure(kExitNoAnswer, e.what(), "", "", "check --broker, --tls and its files, --user and "
                                                       "LIRNCTL_MQTT_PASSWORD, and that the ACL lets the user write "
                                                       "PREFIX/ID/update/# and read PREFIX/ID/update/status and PREFIX/ID/state");
    }
    r.text << o.id << ": build " << u.build << " " << (u.ok ? "promoted" : "not installed") << ": " << ShownText(u.result)
           << "\n";
    r.json = {{"image", a.words.at(0)}, {"build", u.build}, {"size", u.size}, {"resumes", u.resumes},
              {"result", u.result}, {"ok", u.ok}};
    return u.ok ? kExitDone : kExitRefused;
}

int RunKeygen(const Sources&, const Args& a, Report& r)
{
    KeyPair k = MakeKeyPair(a.words.at(0));
    r.text << "private key " << k.privatePath << " (keep it safe and off the gateways)\n"
           << "public key  " << k.publicPath << " (on each gateway's card as update/update.pub)\n"
           << "key id      " << k.keyId << "\n";
    r.json = {{"private_key", k.privatePath}, {"public_key", k.publicPath}, {"key_id", k.keyId}};
    return kExitDone;
}

int RunSign(const Sources&, const Args& a, Report& r)
{
    SignedImage i = SignProgram(a.key, a.words.at(0), a.build, a.output);
    r.text << a.output << ": build " << i.build << ", " << (i.elfClass == 1 ? 32 : 64) << "-bit ELF machine " << i.machine
           << ", " << i.size << " bytes, SHA-256 " << i.sha256 << ", key id " << i.keyId << "\n";
    r.json = {{"image", a.output}, {"build", i.build},      {"elf_class", i.elfClass == 1 ? 32 : 64},
              {"machine", i.machine}, {"size", i.size}, {"sha256", i.sha256}, {"key_id", i.keyId}};
    return kExitDone;
}

// The settings, for the help of the commands that name them.
std::string SettingsHelp()
{
    std::string t = "\n\nSettings (KEY: meaning; accepted):";
    for (const Setting& s : Settings())
        t += std::string("\n  ") + s.key + ": " + s.about + "; " + Accepts(s) +
             (s.group != kCoreSettings ? " (newer firmware)" : "");
    return t;
}

}  // namespace

const std::vector<Command>& Commands()
{
    // clang-format off
    static const std::vector<Command> table = {
        {"show", "every setting, as the lines of config.ini (@KEY;value)",
         "Queries every setting, the extension settings included; an extension the gateway's firmware does "
         "not have is left out.", "", 0, 0, false, false, RunShow},
        {"get", "the values of the named settings, one a line",
         "KEY without the @, in any case, for example: lirnctl get lirnport apn. An extension setting the "
         "gateway's firmware does not have is an error." + SettingsHelp(), "KEY", 1, -1, false, false, RunGet},
        {"set", "set settings (checked before anything is sent)",
         "Each KEY=VALUE is checked against the console's ranges and field sizes before anything is sent. "
         "Spaces and semicolons in a text are carried as they are; a line end cannot be, nor an empty PIN or "
         "peer address (the configuration file drops those). Changes live in the gateway's memory until "
         "saved (--save, or lirnctl save); when the gateway refuses a value or holds another than asked (a text "
         "cut), its earlier value is put back and nothing is saved." + SettingsHelp(),
         "KEY=VALUE", 1, -1, true, false, RunSet},
        {"apply", "set every setting of a config.ini-form file, read back, save, show what differs",
         "FILE holds @KEY;value lines (CR LF or LF; blank lines and # comments are skipped). Lines the console "
         "cannot carry stop everything before a byte is sent. The gateway judges the ranges: when it refuses "
         "a value or holds another than the file's, its earlier value is put back and nothing is saved. Exits 1 "
         "when anything differs." +
             SettingsHelp(),
         "FILE", 1, 1, false, false, RunApply},
        {"save", "save the settings to the gateway's configuration file", "", "", 0, 0, false, false, RunSave},
        {"reset", "reset every setting to its default and save", "", "", 0, 0, false, false, RunReset},
        {"reboot", "reboot the gateway", "", "", 0, 0, false, false, RunReboot},
        {"status", "firmware, signal, registration, network, SD card, transcript switch",
         "Signal as the console's percentage, with CSQ, dBm and a bar.", "", 0, 0, false, false, RunStatus},
        {"logs list", "the day files on the card", "", "", 0, 0, false, false, RunLogsList},
        {"logs get", "fetch a day file",
         "Writes YYYY-MM-DD.txt (or -o FILE; -o - for standard output) once the gateway has fallen silent: "
         "the console marks no end. A progress line shows on a terminal. A transfer that goes past --max-bytes "
         "(default 64 MiB) or --max-time (default 7200 s) fails and leaves no file, as does one that fails or "
         "is interrupted.", "YYYY-MM-DD", 1, 1, false, true, RunLogsGet},
        {"logs rm", "remove a day's files", "", "YYYY-MM-DD", 1, 1, false, false, RunLogsRm},
        {"logs on", "switch the transcripts on and save the switch", "", "", 0, 0, false, false, RunLogsOn},
        {"logs off", "switch the transcripts off and save the switch", "", "", 0, 0, false, false, RunLogsOff},
        {"keygen", "make an ECDSA P-256 key pair for signed updates",
         "Writes DIR/update.key (the private key, readable by you only: keep it safe and off the gateways) "
         "and DIR/update.pub (the public key: on each gateway's SD card as update/update.pub, installed at its "
         "next start). Never overwrites a key. Needs no gateway.", "DIR", 1, 1, false, false, RunKeygen},
        {"sign", "sign a firmware program into an update image",
         "Writes IMAGE: a manifest (the build number, the program's ELF class and machine, its size and "
         "SHA-256) signed with the private key, then the program. A gateway installs it only when the "
         "signature verifies against its update.pub and the build number is above its own. Needs no gateway.",
         "PROGRAM", 1, 1, false, false, RunSign, true},
        {"update", "send a signed image to the gateway over the broker and wait for its result",
         "Needs --broker and --id, and a gateway with @MQTTCMD;1 over TLS and the update key. Sends IMAGE (lirnctl "
         "sign) in chunks, going on from what the gateway holds: after a lost link, a restart of the gateway or a "
         "new run of this command, nothing it stored is sent again. The gateway checks the whole image, restarts "
         "into its trial and promotes the new program once it reaches the broker; this waits for that result (up "
         "to --max-time, default 7200 s). A bar shows the transfer on a terminal, plain lines elsewhere. Exits 0 "
         "once the new program is promoted, 1 when the gateway refused the image or rolled it back (the reason "
         "is printed), 2 when it did not answer in time.",
         "IMAGE", 1, 1, false, false, RunUpdate, false, false, true},
        {"fleet", "every gateway under the prefix on the broker: online, signal, network, firmware, counts, build, last update",
         "Needs --broker (and no --id): reads the retained status and state documents of PREFIX/+/, so it "
         "shows the gateways the broker has heard of, online or not. A gateway killed without a goodbye shows "
         "offline once the broker has given up on it (one and a half of its keep-alives, its @LIRNHB).",
         "", 0, 0, false, false, RunFleet, false, true},
    };
    // clang-format on
    return table;
}

}  // namespace lirnctl
