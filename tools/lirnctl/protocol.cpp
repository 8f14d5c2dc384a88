// The console's settings table, value checks and reply parsing (see protocol.h).
#include "protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace lirnctl {

namespace {

bool IsDigits(std::string_view t)
{
    return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A whole decimal number with an optional sign; false for anything else (blanks included).
bool ParseInt(std::string_view t, int* out)
{
    std::string_view digits = !t.empty() && (t[0] == '-' || t[0] == '+') ? t.substr(1) : t;
    if (!IsDigits(digits)) return false;
    if (t[0] == '+') t.remove_prefix(1);
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), *out);
    return ec == std::errc() && end == t.data() + t.size();
}

bool Accepted(const Setting& s, int v)
{
    if (s.choices.empty()) return v >= s.low && v <= s.high;
    return std::find(s.choices.begin(), s.choices.end(), v) != s.choices.end();
}

std::string RangeText(const Setting& s)
{
    if (s.kind == Kind::Parity) return "N, O or E";
    if (s.choices.empty()) return std::to_string(s.low) + " to " + std::to_string(s.high);
    std::string t;
    for (int c : s.choices) t += (t.empty() ? "" : ", ") + std::to_string(c);
    return "one of " + t;
}

Checked Refuse(std::string reason)
{
    return {false, "", std::move(reason)};
}

Checked CheckNumber(const Setting& s, std::string_view value, Check level)
{
    int v = 0;
    if (!ParseInt(value, &v)) return Refuse("not a whole number");
    if (level == Check::Carriable) {
        // The console reads only the first `width` characters: a longer text would be cut.
        if (value.size() > s.width)
            return Refuse("the console reads only " + std::to_string(s.width) + " character(s) of this setting");
        return {true, std::string(value), ""};
    }
    if (!Accepted(s, v)) return Refuse("out of range (" + RangeText(s) + ")");
    return {true, std::to_string(v), ""};
}

Checked CheckParity(const Setting& s, std::string_view value, Check level)
{
    if (value.size() != 1) return Refuse("one letter: N, O or E");
    char letter = value[0];
    if (level == Check::InRange) {
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
        if (!Accepted(s, letter)) return Refuse("one letter: N, O or E");
    }
    return {true, std::string(1, letter), ""};
}

Checked CheckText(const Setting& s, std::string_view value)
{
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return Refuse("a line end cannot be carried: it ends the console's request line");
    if (value.size() > s.width)
        return Refuse("longer than the gateway's " + std::to_string(s.width) + " characters (it would be cut)");
    if (value.empty() && !s.emptyKept)
        return Refuse(
            "the configuration file does not keep an empty value: after a restart the gateway "
            "would use its default again");
    return {true, std::string(value), ""};
}

bool EndsWith(std::string_view t, std::string_view tail)
{
    return t.size() >= tail.size() && t.substr(t.size() - tail.size()) == tail;
}

Reply Bad(std::string problem)
{
    return {Outcome::Bad, "", std::move(problem)};
}

}  // namespace

const std::vector<Setting>& Settings()
{
    // clang-format off
    static const std::vector<Setting> table = {
        {"LIRNMODE", Kind::Number, 0, 2, {}, 1, "LIRNMODE", "LIRNMODE", 0, true, "tunnel mode (0 client, 1 client with heartbeat, 2 server)"},
        {"LIRNIP", Kind::Text, 0, 0, {}, 15, "LIRNIP", "LIRNIP", 0, false, "peer address (modes 0, 1) or local address (mode 2)"},
        {"LIRNPORT", Kind::Number, 0, 65535, {}, 5, "LIRNPORT", "LIRNPORT", 0, true, "data port (the heartbeat uses port + 1)"},
        {"LIRNHB", Kind::Number, 10, 3600, {}, 4, "LIRNHB", "LIRNHB", 0, true, "heartbeat interval, seconds"},
        {"UARTBR", Kind::Number, 0, 0, {2400, 4800, 9600, 19200, 38400, 57600, 115200}, 6, "UARTBR", "UARTBR", 0, true, "serial baud rate"},
        {"UARTPB", Kind::Parity, 0, 0, {'N', 'O', 'E'}, 1, "UARTBR", "UARTBR", 0, true, "serial parity"},
        {"UARTDB", Kind::Number, 7, 8, {}, 1, "UARTDB", "UARTDB", 0, true, "serial data bits"},
        {"UARTSB", Kind::Number, 1, 2, {}, 1, "UARTSB", "UARTDB", 0, true, "serial stop bits"},
        {"PINCODE", Kind::Text, 0, 0, {}, 4, "PINCODE", "LIRNHB", 0, false, "SIM PIN"},
        {"APN", Kind::Text, 0, 0, {}, 63, "APN", "APN", 0, true, "access point name"},
        {"MODEMUSR", Kind::Text, 0, 0, {}, 31, "MODEMUSR", "MODEMUSR", 0, true, "data-call user name"},
        {"MODEMPWD", Kind::Text, 0, 0, {}, 31, "MODEMPWD", "MODEMPWD", 0, true, "data-call password"},
        // Extension settings: firmware without them gives no reply.
        {"LIRNRAW", Kind::Number, 0, 1, {}, 1, "LIRNRAW", "LIRNRAW", 1, true, "raw tunnel chunks (0 off, 1 on)"},
        {"LIRNGAP", Kind::Number, 1, 10000, {}, 5, "LIRNGAP", "LIRNGAP", 1, true, "raw tunnel quiet gap, ms"},
        {"LIRNBUF", Kind::Number, 0, 65536, {}, 5, "LIRNBUF", "LIRNBUF", 1, true, "raw tunnel outage buffer, bytes"},
    };
    // clang-format on
    return table;
}

const Setting* FindSetting(std::string_view key)
{
    if (!key.empty() && key[0] == '@') key.remove_prefix(1);
    for (const Setting& s : Settings()) {
        std::string_view name(s.key);
        if (name.size() == key.size() && std::equal(name.begin(), name.end(), key.begin(), [](char a, char b) {
                return a == std::toupper(static_cast<unsigned char>(b));
            }))
            return &s;
    }
    return nullptr;
}

std::string Accepts(const Setting& s)
{
    if (s.kind != Kind::Text) return RangeText(s);
    return "text, up to " + std::to_string(s.width) + " characters" + (s.emptyKept ? "" : ", not empty");
}

Checked CheckValue(const Setting& s, std::string_view value, Check level)
{
    switch (s.kind) {
    case Kind::Number: return CheckNumber(s, value, level);
    case Kind::Parity: return CheckParity(s, value, level);
    case Kind::Text:
    default: return CheckText(s, value);
    }
}

bool SameValue(const Setting& s, std::string_view wanted, std::string_view got)
{
    if (s.kind != Kind::Number) return wanted == got;
    int a = 0, b = 0;
    return ParseInt(wanted, &a) && ParseInt(got, &b) && a == b;
}

Expect ExpectQuery(const Setting& s)
{
    return {s.queryReply, true, s.kind == Kind::Number, false};
}

Expect ExpectSet(const Setting& s)
{
    return {s.setReply, false, false, false};
}

Expect ExpectDone(std::string_view keyword)
{
    return {std::string(keyword), false, false, false};
}

Expect ExpectValue(std::string_view keyword, bool numeric)
{
    return {std::string(keyword), true, numeric, keyword == "LOGSD"};
}

Reply ParseReply(const Expect& e, std::string_view text)
{
    if (text.empty()) return Bad("no reply");
    if (!EndsWith(text, "\r\n")) return Bad("cut short: no line end");
    text.remove_suffix(2);
    if (text.substr(0, kReplyPrefix.size()) != kReplyPrefix)
        return Bad(text.substr(0, 1) == "!" ? "a reply of another device model" : "not a console reply");
    text.remove_prefix(kReplyPrefix.size());
    std::size_t semi = text.find(';');
    if (semi == std::string_view::npos) return Bad("no OK or ER after the keyword");
    std::string_view keyword = text.substr(0, semi), rest = text.substr(semi + 1);
    if (keyword != e.keyword)
        return Bad("answers " + std::string(keyword) + ", not " + e.keyword + " (a reply to another request?)");
    if (rest == "ER") return {Outcome::Refused, "", ""};
    if (!e.value) return rest == "OK" ? Reply{Outcome::Ok, "", ""} : Bad("neither OK nor ER");
    if (rest.substr(0, 3) != "OK;") return Bad(rest == "OK" ? "no value after OK" : "neither OK nor ER");
    std::string_view value = rest.substr(3);
    if (e.endsWithLineFeed) {
        if (!EndsWith(value, "\n")) return Bad("the value lacks its line feed");
        value.remove_suffix(1);
    }
    int number = 0;
    if (e.numeric && !ParseInt(value, &number)) return Bad("the value is not a number");
    return {Outcome::Ok, std::string(value), ""};
}

bool ParseDay(std::string_view t, Day* out)
{
    if (t.size() != 10 || t[4] != '-' || t[7] != '-') return false;
    Day d{std::string(t.substr(0, 4)), std::string(t.substr(5, 2)), std::string(t.substr(8, 2))};
    if (!IsDigits(d.year) || !IsDigits(d.month) || !IsDigits(d.day)) return false;
    int m = std::stoi(d.month), day = std::stoi(d.day);
    if (m < 1 || m > 12 || day < 1 || day > 31) return false;
    *out = d;
    return true;
}

std::string DayRequest(std::string_view keyword, const Day& d)
{
    return "@" + std::string(keyword) + ";" + d.year + ";" + d.month + ";" + d.day;
}

Listing ParseListing(std::string_view text)
{
    Listing l;
    while (!text.empty()) {
        std::size_t end = text.find("\r\n");
        if (end == std::string_view::npos) {
            l.problem = "listing cut short: \"" + Printable(text) + "\"";
            break;
        }
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 2);
        std::size_t a = line.find(';'), b = a == std::string_view::npos ? a : line.find(';', a + 1);
        if (b == std::string_view::npos || line.find(';', b + 1) != std::string_view::npos) {
            l.problem = "not a listing line: \"" + Printable(line) + "\"";
            break;
        }
        std::string dashed(line);
        dashed[a] = dashed[b] = '-';
        Day d;
        bool isDay = ParseDay(dashed, &d);
        l.days.push_back({isDay ? dashed : std::string(line), isDay});
    }
    return l;
}

Signal SignalFromPercent(int percent)
{
    // The console sends (csq * 100) >> 5: every CSQ gives its own value, 99 gives 309.
    for (int csq : {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                    17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 99}) {
        if ((csq * 100) >> 5 != percent) continue;
        if (csq == 99) return {true, false, 99, 0};
        return {true, true, csq, -113 + 2 * csq};
    }
    return {};
}

std::string SignalBar(const Signal& s)
{
    int marks = s.measured ? (s.csq * 10 + 15) / 31 : 0;
    return "[" + std::string(static_cast<std::size_t>(marks), '#') +
           std::string(static_cast<std::size_t>(10 - marks), '-') + "]";
}

const char* RegistrationText(int creg)
{
    static const char* const texts[] = {"not registered, not searching",
                                        "registered, home network",
                                        "not registered, searching",
                                        "registration denied",
                                        "unknown",
                                        "registered, roaming"};
    return creg >= 0 && creg < 6 ? texts[creg] : "not a registration state";
}

ConfigFile ParseConfigFile(std::string_view text)
{
    ConfigFile f;
    int number = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == '#') continue;
        std::size_t semi = line.find(';');
        const Setting* s =
            line[0] == '@' && semi != std::string_view::npos ? FindSetting(line.substr(0, semi)) : nullptr;
        std::string where = "line " + std::to_string(number) + ": ";
        if (s == nullptr) {
            f.problems.push_back(where + "not a known @KEY;value line: \"" + Printable(line) + "\"");
            continue;
        }
        bool twice =
            std::any_of(f.entries.begin(), f.entries.end(), [&](const FileEntry& e) { return e.setting == s; });
        Checked c = CheckValue(*s, line.substr(semi + 1), Check::Carriable);
        if (twice)
            f.problems.push_back(where + s->key + " is given twice");
        else if (!c.ok)
            f.problems.push_back(where + s->key + ": " + c.reason);
        else
            f.entries.push_back({s, c.value, number});
    }
    return f;
}

std::string Printable(std::string_view bytes)
{
    std::string out;
    for (char c : bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (u < 0x20 || u == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else
            out += c;
    }
    return out;
}

}  // namespace lirnctl
