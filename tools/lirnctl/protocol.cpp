// The console's settings table, value checks and reply parsing (see protocol.h).
#include "protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <utility>
#include <arpa/inet.h>

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
    return std::any_of(s.accepted.begin(), s.accepted.end(), [v](Span a) { return v >= a.low && v <= a.high; });
}

// "10 to 3600", "0 or 10 to 7200", "2400, 4800 or 9600".
std::string RangeText(const Setting& s)
{
    if (s.kind == Kind::Parity) return "N, O or E";
    std::string t;
    for (std::size_t i = 0; i < s.accepted.size(); ++i) {
        Span a = s.accepted[i];
        t += i == 0 ? "" : i + 1 == s.accepted.size() ? " or " : ", ";
        t += std::to_string(a.low) + (a.high == a.low ? "" : " to " + std::to_string(a.high));
    }
    return t;
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

Checked CheckText(const Setting& s, std::string_view value, Check level)
{
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return Refuse("a line end cannot be carried: it ends the console's request line");
    if (value.size() > s.width)
        return Refuse("longer than the gateway's " + std::to_string(s.width) + " characters (it would be cut)");
    if (value.empty() && !s.emptyKept)
        return Refuse(
            "the configuration file does not keep an empty value: after a restart the gateway "
            "would use its default again");
    // The gateway judges a file's values; a value set by hand is checked here first.
    const char* why = level == Check::InRange && s.form != nullptr ? s.form(value) : nullptr;
    if (why != nullptr) return Refuse(why);
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
        {.key = "LIRNMODE", .kind = Kind::Number, .accepted = {{0, 2}}, .width = 1, .about = "tunnel mode (0 client, 1 client with heartbeat, 2 server)"},
        {.key = "LIRNIP", .kind = Kind::Text, .accepted = {}, .width = 15, .about = "peer address (modes 0, 1) or local address (mode 2)", .emptyKept = false},
        {.key = "LIRNPORT", .kind = Kind::Number, .accepted = {{0, 65535}}, .width = 5, .about = "data port (the heartbeat uses port + 1)"},
        {.key = "LIRNHB", .kind = Kind::Number, .accepted = {{10, 3600}}, .width = 4, .about = "heartbeat interval, seconds"},
        {.key = "UARTBR", .kind = Kind::Number, .accepted = {{2400, 2400}, {4800, 4800}, {9600, 9600}, {19200, 19200}, {38400, 38400}, {57600, 57600}, {115200, 115200}}, .width = 6, .about = "serial baud rate"},
        {.key = "UARTPB", .kind = Kind::Parity, .accepted = {{'N', 'N'}, {'O', 'O'}, {'E', 'E'}}, .width = 1, .about = "serial parity", .setReply = "UARTBR", .queryReply = "UARTBR"},
        {.key = "UARTDB", .kind = Kind::Number, .accepted = {{7, 8}}, .width = 1, .about = "serial data bits"},
        {.key = "UARTSB", .kind = Kind::Number, .accepted = {{1, 2}}, .width = 1, .about = "serial stop bits", .queryReply = "UARTDB"},
        {.key = "PINCODE", .kind = Kind::Text, .accepted = {}, .width = 4, .about = "SIM PIN", .emptyKept = false, .queryReply = "LIRNHB", .secret = true},
        {.key = "APN", .kind = Kind::Text, .accepted = {}, .width = 63, .about = "access point name"},
        {.key = "MODEMUSR", .kind = Kind::Text, .accepted = {}, .width = 31, .about = "data-call user name"},
        {.key = "MODEMPWD", .kind = Kind::Text, .accepted = {}, .width = 31, .about = "data-call password", .secret = true},
        // Extension settings: firmware without them gives no reply.
        {.key = "LIRNRAW", .kind = Kind::Number, .accepted = {{0, 1}}, .width = 1, .group = kTunnelSettings, .about = "raw tunnel chunks (0 off, 1 on)"},
        {.key = "LIRNGAP", .kind = Kind::Number, .accepted = {{1, 10000}}, .width = 5, .group = kTunnelSettings, .about = "raw tunnel quiet gap, ms"},
        {.key = "LIRNBUF", .kind = Kind::Number, .accepted = {{0, 65536}}, .width = 5, .group = kTunnelSettings, .about = "raw tunnel outage buffer, bytes"},
        {.key = "MQTTHOST", .kind = Kind::Text, .accepted = {}, .width = 253, .group = kMqttSettings, .about = "MQTT broker, an IPv4 address or DNS name (empty: the tunnel)", .form = BrokerHostForm},
        {.key = "MQTTPORT", .kind = Kind::Number, .accepted = {{1, 65535}}, .width = 5, .group = kMqttSettings, .about = "MQTT broker port"},
        {.key = "MQTTTLS", .kind = Kind::Number, .accepted = {{0, 1}}, .width = 1, .group = kMqttSettings, .about = "MQTT over TLS (0 off, 1 on)"},
        {.key = "MQTTUSR", .kind = Kind::Text, .accepted = {}, .width = 63, .group = kMqttSettings, .about = "MQTT user name (empty: none)"},
        {.key = "MQTTPWD", .kind = Kind::Text, .accepted = {}, .width = 63, .group = kMqttSettings, .about = "MQTT password", .secret = true},
        {.key = "MQTTTOPIC", .kind = Kind::Text, .accepted = {}, .width = 63, .group = kMqttSettings, .about = "MQTT topic prefix", .form = TopicPrefixForm},
        {.key = "MQTTCMD", .kind = Kind::Number, .accepted = {{0, 1}}, .width = 1, .group = kMqttCommandSettings, .about = "console requests over the broker, TLS only (0 off, 1 on)"},
        {.key = "LIRNKA", .kind = Kind::Number, .accepted = {{0, 0}, {10, 7200}}, .width = 4, .group = kKeepAliveSettings, .about = "tunnel keep-alive, idle seconds (0 off)"},
        // Settings of later firmware go here, each with a group of its own unless they come in one
        // firmware together; then into docs/lirnctl.1 and tools/lirnctl/lirnctl.bash (the tool
        // tests check both). A number that is 0 or a range: .accepted = {{0, 0}, {10, 7200}}.
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
    default: return CheckText(s, value, level);
    }
}

bool SameValue(const Setting& s, std::string_view wanted, std::string_view got)
{
    if (s.kind != Kind::Number) return wanted == got;
    int a = 0, b = 0;
    return ParseInt(wanted, &a) && ParseInt(got, &b) && a == b;
}

bool SameMasked(std::string_view wanted, std::string_view got)
{
    return got.size() == wanted.size() && got.find_first_not_of('*') == std::string_view::npos;
}

Expect ExpectQuery(const Setting& s)
{
    return {s.queryReply != nullptr ? s.queryReply : s.key, true, s.kind == Kind::Number, false};
}

Expect ExpectSet(const Setting& s)
{
    return {s.setReply != nullptr ? s.setReply : s.key, false, false, false};
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

std::size_t Utf8SequenceAt(std::string_view text, std::size_t at)
{
    auto byte = [&](std::size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u; };
    unsigned lead = byte(0);
    if (lead < 0x80) return at < text.size() ? 1 : 0;
    // The second byte's range excludes overlong forms, surrogates and code points above U+10FFFF.
    std::size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                         : lead >= 0xe0 && lead <= 0xef ? 3
                         : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                        : 0;
    unsigned low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    unsigned high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (length == 0 || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(i) & 0xc0) != 0x80) return 0;
    return length;
}

namespace {

// Parts a reply may send ahead of a missing one before the reader gives up on it (1 MiB).
constexpr std::size_t kEarlyPartsMax = 256;

}  // namespace

bool ReplyParts::Take(std::string_view rest, std::string_view payload)
{
    if (rest.substr(0, rid_.size()) != rid_) return false;
    rest.remove_prefix(rid_.size());
    if (!rest.empty() && rest[0] != '/') return false;
    started_ = true;
    if (rest.empty()) {
        if (!whole_ && next_ == 1) ready_.append(payload);
        whole_ = true;
        return true;
    }
    rest.remove_prefix(1);
    int n = 0;
    bool end = rest == "end";
    if (!ParseInt(end ? payload : rest, &n) || n < (end ? 0 : 1)) {
        problem_ = "a reply message on \"" + Printable(rest) + "\" holding \"" + Printable(payload.substr(0, 32)) + "\"";
        return true;
    }
    if (end) {
        total_ = n;
    } else if (n >= next_ && !early_.count(n)) {
        early_[n] = std::string(payload);
    }
    while (!early_.empty() && early_.begin()->first == next_) {
        ready_ += early_.begin()->second;
        early_.erase(early_.begin());
        ++next_;
    }
    if ((total_ >= 0 && !early_.empty() && early_.rbegin()->first > total_) || early_.size() > kEarlyPartsMax)
        problem_ = "the reply's parts do not add up (" + Progress() + ")";
    return true;
}

std::string ReplyParts::TakeReady()
{
    return std::exchange(ready_, std::string());
}

std::string ReplyParts::Progress() const
{
    return "part " + std::to_string(next_ - 1) + (total_ >= 0 ? " of " + std::to_string(total_) : "");
}

const char* BrokerHostForm(std::string_view v)
{
    if (v.empty()) return nullptr;
    if (v.find_first_not_of("0123456789.") == std::string_view::npos) {
        // Digits and dots only: meant as an address (no top-level domain is a number).
        in_addr address{};
        return inet_pton(AF_INET, std::string(v).c_str(), &address) == 1 ? nullptr
                                                                         : "not an IPv4 address (four numbers 0 to 255)";
    }
    const char* notName =
        "neither an IPv4 address nor a DNS name (dot-separated labels of letters, digits and hyphens, 1 to 63 "
        "characters each, no hyphen at either end of a label)";
    for (std::size_t start = 0;;) {
        std::size_t end = std::min(v.find('.', start), v.size());
        std::string_view label = v.substr(start, end - start);
        bool letters = std::all_of(label.begin(), label.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
        });
        if (label.empty() || label.size() > 63 || !letters || label.front() == '-' || label.back() == '-')
            return notName;
        if (end == v.size()) {
            // The gateway takes a name whose last label is all digits for a mistyped address.
            if (label.find_first_not_of("0123456789") == std::string_view::npos) return notName;
            return v.size() > 253 ? "a DNS name has at most 253 characters" : nullptr;
        }
        start = end + 1;
    }
}

const char* TopicPrefixForm(std::string_view v)
{
    if (v.empty()) return "the topic prefix cannot be empty";
    if (v[0] == '$') return "a topic starting with $ is the broker's own";
    if (v.find_first_of("+#") != std::string_view::npos) return "a topic prefix holds no wildcard (+ or #)";
    for (std::size_t at = 0, n = 0; at < v.size(); at += n) {
        n = Utf8SequenceAt(v, at);
        if (n == 0) return "not valid UTF-8";
        unsigned char u = static_cast<unsigned char>(v[at]);
        bool c1 = n == 2 && u == 0xc2 && static_cast<unsigned char>(v[at + 1]) < 0xa0;
        if (u < 0x20 || u == 0x7f || c1) return "a topic holds no control characters";
    }
    return nullptr;
}

namespace {

// Escapes one byte as \r, \n or \xNN.
void AppendEscape(std::string& out, unsigned char u)
{
    if (u == '\r') {
        out += "\\r";
    } else if (u == '\n') {
        out += "\\n";
    } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", u);
        out += hex;
    }
}

}  // namespace

std::string Printable(std::string_view bytes)
{
    std::string out;
    for (char c : bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (u < 0x20 || u >= 0x7f)
            AppendEscape(out, u);
        else
            out += c;
    }
    return out;
}

std::string ShownText(std::string_view bytes)
{
    std::string out;
    for (std::size_t at = 0, n = 0; at < bytes.size(); at += n) {
        n = Utf8SequenceAt(bytes, at);
        unsigned char u = static_cast<unsigned char>(bytes[at]);
        // A C1 control is the UTF-8 sequence C2 80 to C2 9F.
        bool c1 = n == 2 && u == 0xc2 && static_cast<unsigned char>(bytes[at + 1]) < 0xa0;
        bool control = n == 1 ? (u < 0x20 || u == 0x7f) : c1;
        if (n == 0 || control) {
            n = n == 0 ? 1 : n;
            for (std::size_t i = 0; i < n; ++i) AppendEscape(out, static_cast<unsigned char>(bytes[at + i]));
        } else {
            out.append(bytes.substr(at, n));
        }
    }
    return out;
}

}  // namespace lirnctl
