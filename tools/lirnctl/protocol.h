// What the gateway's configuration console accepts and answers, as pure functions.
//
// The table of settings (the twelve of the configuration file and the extension settings that
// newer firmware adds), the checks a value passes before it is sent, the request lines, and the
// parsing of every reply form into a result or a precise complaint. Nothing here touches a port,
// so every rule can be tried on plain text; the session module feeds it what the port delivered.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace lirnctl {

// Every reply line starts with this: the device model name.
inline constexpr std::string_view kReplyPrefix = "!QRV-715M;";

enum class Kind { Number, Text, Parity };

// A closed span of accepted numbers; a single value is a span of one.
struct Span {
    int low, high;
};

// Setting groups: the twelve of every firmware, then extensions that firmware gains (and a tool
// meets) together; a gateway that does not answer one setting of a group knows none of them.
enum SettingGroup : int {
    kCoreSettings = 0, kTunnelSettings = 1, kMqttSettings = 2, kMqttCommandSettings = 3, kKeepAliveSettings = 4
};

// Why a text cannot be sent, for a rule on its form; nullptr when it may.
using FormRule = const char* (*)(std::string_view value);

struct Setting {
    const char* key;  // request keyword without "@", upper case
    Kind kind;
    std::vector<Span> accepted;  // numbers: accepted values; parity: the accepted letters
    unsigned width;              // numbers: characters the console reads; texts: most characters kept
    int group = kCoreSettings;
    const char* about = "";           // one line for the help text
    bool emptyKept = true;            // texts: whether the configuration file keeps an empty value
    FormRule form = nullptr;          // texts: what else the value must be (a host name, a topic)
    const char* setReply = nullptr;   // keyword of the set replies, when not the key
    const char* queryReply = nullptr; // keyword of the query reply (three settings answer a neighbour's)
    bool secret = false;              // answered masked over the broker (each character a '*')
};

// Every known setting, in the order of the configuration file; extension groups last.
const std::vector<Setting>& Settings();
// A setting by its keyword in any case, with or without the leading "@"; nullptr when unknown.
const Setting* FindSetting(std::string_view key);

// How far a value is checked before it is sent. Carriable: what the console can take at all
// (line ends, field capacity, the characters a number is read from). InRange: also the ranges
// the console accepts, so that the gateway has no reason to refuse.
enum class Check { Carriable, InRange };

struct Checked {
    bool ok = false;
    std::string value;   // the text to send (numbers without leading zeros, parity upper case)
    std::string reason;  // why the value cannot be sent
};
Checked CheckValue(const Setting& s, std::string_view value, Check level);

// What a setting accepts, for help texts: "0 to 2", "one of ...", "text, up to 15 characters".
std::string Accepts(const Setting& s);

// Whether a value read back from the gateway is the value that was sent or written in a file.
bool SameValue(const Setting& s, std::string_view wanted, std::string_view got);
// The same for a secret read back masked (over the broker): as many '*' as the value has bytes.
bool SameMasked(std::string_view wanted, std::string_view got);

// The reply a request expects: its keyword, and whether it carries a value (";OK;value") or
// only says done or refused (";OK" / ";ER").
struct Expect {
    std::string keyword;
    bool value = false;
    bool numeric = false;           // the value must be a decimal number
    bool endsWithLineFeed = false;  // the card-space figures keep their own line feed
};
Expect ExpectQuery(const Setting& s);
Expect ExpectSet(const Setting& s);
Expect ExpectDone(std::string_view keyword);
Expect ExpectValue(std::string_view keyword, bool numeric);

enum class Outcome { Ok, Refused, Bad };
struct Reply {
    Outcome outcome = Outcome::Bad;
    std::string value;    // of an Ok query
    std::string problem;  // of a Bad reply: what is wrong with it
};
// text: the bytes received for the request, up to and including the first "\r\n" (or all that
// came when none did).
Reply ParseReply(const Expect& e, std::string_view text);

// A calendar day as the log commands name it.
struct Day {
    std::string year, month, day;  // four, two and two digits
    std::string Text() const { return year + "-" + month + "-" + day; }
};
// "YYYY-MM-DD" with a month 01-12 and a day 01-31; false otherwise.
bool ParseDay(std::string_view text, Day* out);
// "@LOGDATA;YYYY;MM;DD" and the like.
std::string DayRequest(std::string_view keyword, const Day& d);

// One line of a day-file listing: "YYYY;MM;DD". A name that is not a day (a stray file on the
// card) keeps its raw text and day = false.
struct ListedDay {
    std::string text;
    bool isDay = false;
};
struct Listing {
    std::vector<ListedDay> days;
    std::string problem;  // a garbled or cut line; empty when the listing is whole
};
Listing ParseListing(std::string_view text);

// The signal value of the console: the CSQ number as a percentage of 32, fraction dropped.
struct Signal {
    bool valid = false;     // the value is one the console can send
    bool measured = false;  // false for CSQ 99 (no measurement)
    int csq = 0;
    int dbm = 0;
};
Signal SignalFromPercent(int percent);
// "[#####-----]": ten marks for CSQ 0 to 31.
std::string SignalBar(const Signal& s);
const char* RegistrationText(int creg);

// A configuration file's lines "@KEY;value" (CR LF or LF), blank lines and "#" comments skipped;
// every value checked to be one the console can carry.
struct FileEntry {
    const Setting* setting;
    std::string value;
    int line;
};
struct ConfigFile {
    std::vector<FileEntry> entries;
    std::vector<std::string> problems;  // "line N: why"
};
ConfigFile ParseConfigFile(std::string_view text);

// The reply to one request over the broker (lirnctl --broker), from its messages: the whole reply
// on PREFIX/ID/reply/RID, or parts on .../RID/1 to .../RID/N and .../RID/end holding N. Parts are
// kept by number (a QoS 1 duplicate lands on its own number again) and given out in order as far
// as they have come, so a long reply needs no more memory than the parts that came early.
class ReplyParts {
public:
    explicit ReplyParts(std::string rid = "") : rid_(std::move(rid)) {}
    // A message on PREFIX/ID/reply/ + rest. False when it belongs to another reply; a message of
    // this reply that makes no sense (a part number that is no number, more parts than the end
    // says) sets Problem().
    bool Take(std::string_view rest, std::string_view payload);
    // The bytes that came in order and were not taken yet; they are handed over.
    std::string TakeReady();
    bool Started() const { return started_; }
    // Every byte of the reply has come.
    bool Complete() const { return whole_ || (total_ >= 0 && next_ > total_); }
    const std::string& Problem() const { return problem_; }
    // "part 3 of 7" or "part 3", for a message about a reply that stopped.
    std::string Progress() const;

private:
    std::string rid_;
    bool started_ = false, whole_ = false;
    int next_ = 1;    // the part given out next
    int total_ = -1;  // the part count the end message gave, -1 before it came
    std::string ready_, problem_;
    std::map<int, std::string> early_;  // parts that came before one with a lower number
};

// The form rules of the MQTT settings: the broker's address (empty, an IPv4 address or a DNS
// name) and the topic prefix (no wildcard, no leading "$", UTF-8 without control characters).
const char* BrokerHostForm(std::string_view value);
const char* TopicPrefixForm(std::string_view value);

// The length of the valid UTF-8 sequence at text[at]; 0 when the bytes there are not one.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at);

// Request and reply bytes for quoted messages: CR, LF, other controls and every byte of 0x80 or
// above as escapes (\r, \n, \xNN), quotes and backslashes escaped.
std::string Printable(std::string_view bytes);
// Text from the gateway made safe for a terminal: control characters (C0, DEL and C1) and bytes
// that are not UTF-8 become \xNN escapes; other text, valid UTF-8 included, stays as it is.
std::string ShownText(std::string_view bytes);

}  // namespace lirnctl
