// The simulated module's AT command interpreter (see at_modem.h).
//
// Input gathers bytes into a command line, echoes them as they come and runs the line at its
// carriage return; the answer is queued with the configured delay behind whatever is already
// queued, so a slow answer reaches the firmware at the front of its next read, never out of order.
#include "at_modem.h"

#include "sms_deliver.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// Numeric error codes of the module (27.007 +CME, 27.005 +CMS).
constexpr int kCmeNotAllowed = 3;
constexpr int kCmeSimNotInserted = 10;
constexpr int kCmeSimPin = 11;
constexpr int kCmeSimPuk = 12;
constexpr int kCmeWrongPassword = 16;
constexpr int kCmsInvalidIndex = 321;

// Registration statuses with service: home network and roaming.
bool Registered(int stat)
{
    return stat == 1 || stat == 5;
}

std::string Final(const std::string& result)
{
    return "\r\n" + result + "\r\n";
}

std::string Cme(int code)
{
    return "+CME ERROR: " + std::to_string(code);
}

std::string Cms(int code)
{
    return "+CMS ERROR: " + std::to_string(code);
}

AtModem::Result Ok(std::vector<std::string> lines = {})
{
    return AtModem::Result{std::move(lines), ""};
}

AtModem::Result Fail(const std::string& error = "ERROR")
{
    return AtModem::Result{{}, error};
}

std::string Upper(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool AllDigits(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// A decimal parameter: digits only, within [lo, hi]. value changes only when it is one.
bool Number(const std::string& s, int lo, int hi, int& value)
{
    if (s.empty() || s.size() > 9 || !AllDigits(s)) return false;
    int v = std::stoi(s);
    if (v < lo || v > hi) return false;
    value = v;
    return true;
}

// Splits at separators outside quoted strings.
std::vector<std::string> SplitOutsideQuotes(const std::string& s, char separator)
{
    std::vector<std::string> parts(1);
    bool quoted = false;
    for (char c : s) {
        if (c == '"') quoted = !quoted;
        if (c == separator && !quoted)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

std::vector<std::string> Parameters(const std::string& s)
{
    std::vector<std::string> args = SplitOutsideQuotes(s, ',');
    for (std::string& a : args)
        if (a.size() >= 2 && a.front() == '"' && a.back() == '"') a = a.substr(1, a.size() - 2);
    return args;
}

// Bytes as one word of a control reply: printable characters as they are, the rest as \xHH.
std::string Escaped(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c > 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// The reverse for texts given on the control channel: \r, \n, \\ and \xHH.
std::string Unescaped(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char k = s[++i];
        if (k == 'r') {
            out += '\r';
        } else if (k == 'n') {
            out += '\n';
        } else if (k == 'x' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += k;
        }
    }
    return out;
}

std::string Joined(const std::vector<std::string>& w, std::size_t from)
{
    std::string out;
    for (std::size_t i = from; i < w.size(); ++i) out += (i > from ? " " : "") + w[i];
    return out;
}

const char* SimName(SimCard s)
{
    switch (s) {
    case SimCard::Ready: return "ready";
    case SimCard::Pin: return "pin";
    case SimCard::Puk: return "puk";
    case SimCard::Absent: return "absent";
    }
    return "?";
}

bool IsDigits(const std::string& s, std::size_t lo, std::size_t hi)
{
    return s.size() >= lo && s.size() <= hi && AllDigits(s);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The line

void AtModem::Input(const char* data, std::size_t len, int64_t nowMs)
{
    nowMs_ = std::max(nowMs_, nowMs);
    std::string echo;
    for (std::size_t i = 0; i < len; ++i) {
        char c = data[i];
        bool lineFeedAfterCr = afterCr_ && c == '\n';
        afterCr_ = false;
        if (lineFeedAfterCr) continue;  // "\r\n" ends one line, not two
        if (c == '\r') {
            echo += c;
            Emit(echo, nowMs);
            echo.clear();
            EndOfLine(nowMs);
            afterCr_ = true;
        } else if (line_.size() < kMaxLineBytes) {
            line_ += c;
            echo += c;
        } else {
            lineOverflow_ = true;  // the module's line buffer is full: the byte is lost
        }
    }
    if (!echo.empty()) Emit(echo, nowMs);
}

void AtModem::Output(std::string& out, int64_t nowMs)
{
    nowMs_ = std::max(nowMs_, nowMs);
    while (!pending_.empty() && pending_.front().dueMs <= nowMs) {
        out += pending_.front().bytes;
        pendingBytes_ -= pending_.front().bytes.size();
        pending_.pop_front();
    }
}

int64_t AtModem::NextDue() const
{
    return pending_.empty() ? -1 : pending_.front().dueMs;
}

void AtModem::Emit(const std::string& bytes, int64_t dueMs)
{
    if (state_.mute || bytes.empty()) return;
    if (pendingBytes_ + bytes.size() > kMaxPendingBytes) return;
    pendingBytes_ += bytes.size();
    // Bytes never overtake what is queued: due no later than the last chunk, they go out with it.
    if (!pending_.empty() && pending_.back().dueMs >= dueMs)
        pending_.back().bytes += bytes;
    else
        pending_.push_back(Chunk{dueMs, bytes});
}

void AtModem::EndOfLine(int64_t nowMs)
{
    std::string line;
    line.swap(line_);
    bool overflow = lineOverflow_;
    lineOverflow_ = false;
    log_.push_back(AtLogEntry{nowMs, line});
    if (log_.size() > kMaxLogEntries) log_.pop_front();
    ++linesReceived_;
    if (state_.mute) return;  // a hung module runs nothing
    auto scripted = state_.scripted.find(line);
    std::string answer = overflow                             ? Final("ERROR")
                         : scripted != state_.scripted.end() ? scripted->second
                                                              : Execute(line, nowMs);
    Emit(answer, nowMs + state_.delayMs);
}

// Runs one command line: one command, as the firmware writes them. Characters before the "AT"
// prefix are line noise the module skips; a line without it gets no answer at all.
std::string AtModem::Execute(const std::string& line, int64_t nowMs)
{
    std::size_t at = line.find("AT");
    if (at == std::string::npos) return "";
    std::string command = line.substr(at + 2);
    if (command.empty()) return Final("OK");
    Result r = RunOne(command, nowMs);
    std::string answer;
    if (!r.lines.empty()) {
        answer += "\r\n";
        for (std::size_t i = 0; i < r.lines.size(); ++i) answer += (i > 0 ? "\r\n" : "") + r.lines[i];
        answer += "\r\n";
    }
    return answer + Final(r.error.empty() ? "OK" : r.error);
}

AtModem::Result AtModem::RunOne(const std::string& command, int64_t nowMs)
{
    using Handler = Result (AtModem::*)(const Call&);
    struct Entry {
        const char* name;
        Handler run;
    };
    static const Entry kCommands[] = {
        {"I", &AtModem::Ati},          {"+GMM", &AtModem::Gmm},
        {"+CGMM", &AtModem::Gmm},      {"+SIMEI", &AtModem::Simei},    {"+CGPS", &AtModem::Cgps},
        {"+CGPSINFO", &AtModem::Cgpsinfo}, {"+CPIN", &AtModem::Cpin},  {"+CFUN", &AtModem::Cfun},
        {"+CREG", &AtModem::Creg},     {"+CSQ", &AtModem::Csq},        {"+CNSMOD", &AtModem::Cnsmod},
        {"+CPMS", &AtModem::Cpms},     {"+CMGD", &AtModem::Cmgd},      {"+CMGRD", &AtModem::Cmgrd},
    };

    Call call{Form::Exec, {}, nowMs};
    std::string name, rest;
    if (command[0] == '+') {
        std::size_t end = 1;
        while (end < command.size() && std::isalnum(static_cast<unsigned char>(command[end]))) ++end;
        name = command.substr(0, end);
        rest = command.substr(end);
        if (rest == "?") {
            call.form = Form::Read;
        } else if (rest == "=?") {
            call.form = Form::Test;
        } else if (!rest.empty() && rest[0] == '=') {
            call.form = Form::Set;
            call.args = Parameters(rest.substr(1));
        } else if (!rest.empty()) {
            return Fail();
        }
    } else if (std::isalpha(static_cast<unsigned char>(command[0]))) {
        // A basic command: one letter and an optional number.
        name = command.substr(0, 1);
        rest = command.substr(1);
        int unused = 0;
        if (!rest.empty() && !Number(rest, 0, 255, unused)) return Fail();
        if (!rest.empty()) call = Call{Form::Set, {rest}, nowMs};
    } else {
        return Fail();
    }
    for (const Entry& e : kCommands)
        if (name == e.name) return call.form == Form::Test ? Ok() : (this->*e.run)(call);
    return Fail();
}

// ---------------------------------------------------------------------------------------------
// Identity

AtModem::Result AtModem::Ati(const Call& c)
{
    if (c.form != Form::Exec && !(c.form == Form::Set && c.args[0] == "0")) return Fail();
    return Ok({"Manufacturer: " + state_.manufacturer, "Model: " + state_.model, "Revision: " + state_.revision,
               "IMEI: " + state_.imei, "+GCAP: +CGSM,+DS,+ES"});
}

AtModem::Result AtModem::Gmm(const Call& c)
{
    return c.form == Form::Exec ? Ok({state_.model}) : Fail();
}

AtModem::Result AtModem::Simei(const Call& c)
{
    return c.form == Form::Read ? Ok({"+SIMEI: " + state_.imei}) : Fail();
}

// ---------------------------------------------------------------------------------------------
// GPS

AtModem::Result AtModem::Cgps(const Call& c)
{
    if (c.form == Form::Read)
        return Ok({"+CGPS: " + std::to_string(state_.gpsOn ? 1 : 0) + "," + std::to_string(state_.gpsMode)});
    int on = 0, mode = state_.gpsMode;
    if (c.form != Form::Set || c.args.size() > 2 || !Number(c.args[0], 0, 1, on)) return Fail();
    if (c.args.size() == 2 && (on == 0 || !Number(c.args[1], 1, 3, mode))) return Fail();
    // Starting a running session, or stopping a stopped one, is refused.
    if ((on == 1) == state_.gpsOn) return Fail();
    state_.gpsOn = on == 1;
    state_.gpsMode = mode;
    return Ok();
}

AtModem::Result AtModem::Cgpsinfo(const Call& c)
{
    if (c.form != Form::Exec) return Fail();
    if (!state_.gpsOn || !state_.hasFix) return Ok({"+CGPSINFO: ,,,,,,,,"});
    const AtGpsFix& f = state_.fix;
    return Ok({"+CGPSINFO: " + f.lat + "," + f.ns + "," + f.lon + "," + f.ew + "," + f.date + "," + f.utc + "," +
               f.alt + "," + f.speed + "," + f.course});
}

// ---------------------------------------------------------------------------------------------
// SIM

std::string AtModem::SimError() const
{
    switch (state_.sim) {
    case SimCard::Ready: return "";
    case SimCard::Pin: return Cme(kCmeSimPin);
    case SimCard::Puk: return Cme(kCmeSimPuk);
    case SimCard::Absent: return Cme(kCmeSimNotInserted);
    }
    return Cme(kCmeSimNotInserted);
}

AtModem::Result AtModem::Cpin(const Call& c)
{
    if (c.form == Form::Read) {
        switch (state_.sim) {
        case SimCard::Ready: return Ok({"+CPIN: READY"});
        case SimCard::Pin: return Ok({"+CPIN: SIM PIN"});
        case SimCard::Puk: return Ok({"+CPIN: SIM PUK"});
        case SimCard::Absent: break;
        }
        return Fail(Cme(kCmeSimNotInserted));
    }
    if (c.form != Form::Set || c.args.size() > 2 || c.args[0].empty()) return Fail();
    switch (state_.sim) {
    case SimCard::Absent: return Fail(Cme(kCmeSimNotInserted));
    case SimCard::Ready: return Fail(Cme(kCmeNotAllowed));  // nothing is asked for
    case SimCard::Pin:
        if (c.args[0] != state_.pin) {
            if (--state_.pinTriesLeft <= 0) {
                state_.pinTriesLeft = 0;
                state_.sim = SimCard::Puk;
            }
            return Fail(Cme(kCmeWrongPassword));
        }
        break;
    case SimCard::Puk:
        // The PUK comes with the new PIN.
        if (c.args.size() != 2 || c.args[0] != state_.puk || c.args[1].empty()) return Fail(Cme(kCmeWrongPassword));
        state_.pin = c.args[1];
        break;
    }
    state_.sim = SimCard::Ready;
    state_.pinTriesLeft = kSimPinTries;
    registeredAtMs_ = c.nowMs + state_.registerDelayMs;
    return Ok();
}

// ---------------------------------------------------------------------------------------------
// Radio and network

void AtModem::SetCfun(int cfun, int64_t nowMs)
{
    bool wasOn = RadioOn();
    state_.cfun = cfun;
    if (!wasOn && RadioOn()) registeredAtMs_ = nowMs + state_.registerDelayMs;
}

int AtModem::RegistrationNow(int64_t nowMs) const
{
    if (!RadioOn() || state_.sim != SimCard::Ready) return 0;
    if (nowMs < registeredAtMs_) return 2;  // searching
    return state_.cregStat;
}

AtModem::Result AtModem::Cfun(const Call& c)
{
    if (c.form == Form::Read) return Ok({"+CFUN: " + std::to_string(state_.cfun)});
    int cfun = 0;
    if (c.form != Form::Set || c.args.size() != 1 || !Number(c.args[0], 0, 4, cfun) || cfun == 2 || cfun == 3)
        return Fail();
    SetCfun(cfun, c.nowMs);
    return Ok();
}

AtModem::Result AtModem::Creg(const Call& c)
{
    if (c.form != Form::Read) return Fail();
    return Ok({"+CREG: 0," + std::to_string(RegistrationNow(c.nowMs))});
}

AtModem::Result AtModem::Csq(const Call& c)
{
    if (c.form != Form::Exec) return Fail();
    bool on = RadioOn();
    return Ok({"+CSQ: " + std::to_string(on ? state_.rssi : 99) + "," + std::to_string(on ? state_.ber : 99)});
}

AtModem::Result AtModem::Cnsmod(const Call& c)
{
    if (c.form != Form::Read) return Fail();
    int mode = Registered(RegistrationNow(c.nowMs)) ? state_.netMode : 0;  // 0: no service
    return Ok({"+CNSMOD: 0," + std::to_string(mode)});
}

// ---------------------------------------------------------------------------------------------
// Message storage

int AtModem::UsedSlots() const
{
    return static_cast<int>(std::count_if(state_.sms.begin(), state_.sms.end(), [](const auto& s) { return s.has_value(); }));
}

AtModem::Result AtModem::Cpms(const Call& c)
{
    std::string counts = std::to_string(UsedSlots()) + "," + std::to_string(state_.sms.size());
    if (c.form != Form::Read) return Fail();
    if (!SimError().empty()) return Fail(SimError());
    return Ok({"+CPMS: \"SM\"," + counts + ",\"SM\"," + counts + ",\"SM\"," + counts});
}

AtModem::Result AtModem::Cmgd(const Call& c)
{
    int index = 0, flag = 0;
    if (c.form != Form::Set || c.args.size() > 2 || !Number(c.args[0], 0, 65535, index)) return Fail();
    if (c.args.size() == 2 && !Number(c.args[1], 0, 4, flag)) return Fail();
    if (!SimError().empty()) return Fail(SimError());
    if (flag == 0) {
        if (static_cast<std::size_t>(index) >= state_.sms.size()) return Fail(Cms(kCmsInvalidIndex));
        state_.sms[static_cast<std::size_t>(index)].reset();
        return Ok();
    }
    // With a delete flag the index is ignored; flag n removes the statuses up to its row.
    static const bool kDeletes[5][4] = {
        // unread  read   unsent  sent
        {false, false, false, false},
        {false, true, false, false},  // 1: read
        {false, true, false, true},   // 2: read and sent
        {false, true, true, true},    // 3: read, sent and unsent
        {true, true, true, true},     // 4: all
    };
    for (auto& slot : state_.sms)
        if (slot && slot->stat >= 0 && slot->stat <= 3 && kDeletes[flag][slot->stat]) slot.reset();
    return Ok();
}

AtModem::Result AtModem::Cmgrd(const Call& c)
{
    int index = 0;
    if (c.form != Form::Set || c.args.size() != 1 || !Number(c.args[0], 0, 65535, index)) return Fail();
    if (!SimError().empty()) return Fail(SimError());
    if (static_cast<std::size_t>(index) >= state_.sms.size()) return Fail(Cms(kCmsInvalidIndex));
    std::optional<AtStoredSms>& slot = state_.sms[static_cast<std::size_t>(index)];
    if (!slot) return Ok();
    Result r = Ok({"+CMGRD: " + std::to_string(slot->stat) + ",," + std::to_string(PduTransferLength(slot->pdu)),
                   slot->pdu});
    slot.reset();
    return r;
}

// ---------------------------------------------------------------------------------------------
// Control channel

std::string AtModem::Control(const std::vector<std::string>& w)
{
    struct IntSetting {
        const char* verb;
        int AtModemState::*field;
        int lo, hi;
    };
    static const IntSetting kInts[] = {
        {"creg", &AtModemState::cregStat, 0, 10},      {"cnsmod", &AtModemState::netMode, 0, 16},
        {"delay", &AtModemState::delayMs, 0, 600000},  {"regdelay", &AtModemState::registerDelayMs, 0, 600000},
    };
    struct BoolSetting {
        const char* verb;
        bool AtModemState::*field;
    };
    static const BoolSetting kBools[] = {
        {"mute", &AtModemState::mute}, {"gps", &AtModemState::gpsOn}};

    if (w.empty()) return "err no verb";
    const std::string& verb = w[0];
    for (const IntSetting& s : kInts)
        if (verb == s.verb) {
            if (w.size() != 2 || !Number(w[1], s.lo, s.hi, state_.*s.field))
                return "err usage: " + verb + " <" + std::to_string(s.lo) + ".." + std::to_string(s.hi) + ">";
            return "ok";
        }
    for (const BoolSetting& s : kBools)
        if (verb == s.verb) {
            if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return "err usage: " + verb + " on|off";
            state_.*s.field = w[1] == "on";
            return "ok";
        }
    if (verb == "state") return CtlState();
    if (verb == "sim") return CtlSim(w);
    if (verb == "sms") return CtlSms(w);
    if (verb == "fix") return CtlFix(w);
    if (verb == "log") return CtlLog(w);
    if (verb == "restart") return CtlRestart();
    if (verb == "radio") {
        if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return "err usage: radio on|off";
        SetCfun(w[1] == "on" ? 1 : 0, nowMs_);
        return "ok";
    }
    if (verb == "csq") {
        int rssi = 0, ber = 99;
        bool ok = (w.size() == 2 || w.size() == 3) && (Number(w[1], 0, 31, rssi) || Number(w[1], 99, 99, rssi)) &&
                  (w.size() == 2 || Number(w[2], 0, 7, ber) || Number(w[2], 99, 99, ber));
        if (!ok) return "err usage: csq <0..31|99> [<0..7|99>]";
        state_.rssi = rssi;
        state_.ber = ber;
        return "ok";
    }
    if (verb == "script") {
        if (w.size() < 2) return "err usage: script <command line> [<answer>]";
        if (w.size() == 2) state_.scripted.erase(w[1]);
        else state_.scripted[w[1]] = Unescaped(Joined(w, 2));
        return "ok";
    }
    if (verb == "urc" || verb == "raw") {
        std::string text = Unescaped(Joined(w, 1));
        Emit(verb == "urc" ? "\r\n" + text + "\r\n" : text, nowMs_);
        return "ok";
    }
    return "err unknown verb " + verb;
}

std::string AtModem::CtlState() const
{
    const AtModemState& s = state_;
    return std::string("ok sim=") + SimName(s.sim) + " pinlock=" + (s.pinLock ? "1" : "0") + " pin=" + s.pin +
           " tries=" + std::to_string(s.pinTriesLeft) + " puk=" + s.puk + " cfun=" + std::to_string(s.cfun) +
           " creg=" + std::to_string(s.cregStat) + " reg=" + std::to_string(RegistrationNow(nowMs_)) +
           " csq=" + std::to_string(s.rssi) + "," + std::to_string(s.ber) + " mode=" + std::to_string(s.netMode) +
           " gps=" + (s.gpsOn ? "1" : "0") + " fix=" + (s.hasFix ? "1" : "0") + " sms=" + std::to_string(UsedSlots()) +
           "/" + std::to_string(s.sms.size()) + " delay=" + std::to_string(s.delayMs) +
           " regdelay=" + std::to_string(s.registerDelayMs) + " mute=" + (s.mute ? "1" : "0") +
           " lines=" + std::to_string(linesReceived_);
}

std::string AtModem::CtlSim(const std::vector<std::string>& w)
{
    const std::string usage = "err usage: sim ready|absent|pin [<pin> [<tries>]]|puk [<puk>]|lock on|off";
    if (w.size() < 2) return usage;
    const std::string& what = w[1];
    if (what == "ready" && w.size() == 2) {
        state_.sim = SimCard::Ready;
        registeredAtMs_ = nowMs_ + state_.registerDelayMs;
    } else if (what == "absent" && w.size() == 2) {
        state_.sim = SimCard::Absent;
    } else if (what == "pin" && w.size() <= 4) {
        int tries = kSimPinTries;
        if (w.size() >= 3 && !IsDigits(w[2], 4, 8)) return "err the PIN is 4 to 8 digits";
        if (w.size() == 4 && !Number(w[3], 1, kSimPinTries, tries)) return "err tries 1..3";
        if (w.size() >= 3) state_.pin = w[2];
        state_.sim = SimCard::Pin;
        state_.pinLock = true;
        state_.pinTriesLeft = tries;
    } else if (what == "puk" && w.size() <= 3) {
        if (w.size() == 3 && !IsDigits(w[2], 8, 8)) return "err the PUK is 8 digits";
        if (w.size() == 3) state_.puk = w[2];
        state_.sim = SimCard::Puk;
        state_.pinTriesLeft = 0;
    } else if (what == "lock" && w.size() == 3 && (w[2] == "on" || w[2] == "off")) {
        state_.pinLock = w[2] == "on";
    } else {
        return usage;
    }
    return "ok";
}

std::string AtModem::CtlFix(const std::vector<std::string>& w)
{
    if (w.size() == 2 && w[1] == "none") {
        state_.hasFix = false;
        return "ok";
    }
    const std::string usage = "err usage: fix none | fix <lat> N|S <lon> E|W <date> <utc> <alt> <speed> <course>";
    if (w.size() != 10 || (w[2] != "N" && w[2] != "S") || (w[4] != "E" && w[4] != "W")) return usage;
    std::vector<std::string> f;
    for (std::size_t i = 1; i < w.size(); ++i) {
        if (w[i].find(',') != std::string::npos) return usage;
        f.push_back(w[i] == "-" ? "" : w[i]);  // "-" stands for a field the receiver leaves empty
    }
    state_.fix = AtGpsFix{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8]};
    state_.hasFix = true;
    return "ok";
}

std::string AtModem::CtlSms(const std::vector<std::string>& w)
{
    auto store = [this](const std::string& pdu, const std::string& okExtra) -> std::string {
        for (std::size_t i = 0; i < state_.sms.size(); ++i)
            if (!state_.sms[i]) {
                state_.sms[i] = AtStoredSms{0, Upper(pdu)};
                return "ok " + std::to_string(i) + okExtra;
            }
        return "err storage full";
    };
    const std::string what = w.size() >= 2 ? w[1] : "";
    if (what == "add" && w.size() == 3) {
        if (PduTransferLength(w[2]) < 0) return "err not a PDU in hexadecimal";
        return store(w[2], "");
    }
    if (what == "deliver" && w.size() >= 5) {
        std::string error;
        std::string pdu = BuildDeliverPdu(SmsDeliver{w[2] == "-" ? "" : w[2], w[3], w[4], Joined(w, 5)}, error);
        if (pdu.empty()) return "err " + error;
        return store(pdu, " " + pdu);
    }
    if (what == "count" && w.size() == 2) return "ok " + std::to_string(UsedSlots()) + " " + std::to_string(state_.sms.size());
    if (what == "clear" && w.size() == 2) {
        for (auto& slot : state_.sms) slot.reset();
        return "ok";
    }
    if (what == "list" && w.size() == 2) {
        std::string out = "ok " + std::to_string(UsedSlots());
        for (std::size_t i = 0; i < state_.sms.size(); ++i)
            if (state_.sms[i])
                out += " " + std::to_string(i) + ":" + std::to_string(state_.sms[i]->stat) + ":" +
                       std::to_string(PduTransferLength(state_.sms[i]->pdu)) + ":" + state_.sms[i]->pdu;
        return out;
    }
    int size = 0;
    if (what == "size" && w.size() == 3 && Number(w[2], 1, 255, size)) {
        for (std::size_t i = static_cast<std::size_t>(size); i < state_.sms.size(); ++i)
            if (state_.sms[i]) return "err slot " + std::to_string(i) + " holds a message";
        state_.sms.resize(static_cast<std::size_t>(size));
        return "ok";
    }
    return "err usage: sms add <pdu> | deliver <sca|-> <originator> <YYMMDDhhmmssZZ> <text> | list | count | "
           "clear | size <1..255>";
}

std::string AtModem::CtlLog(const std::vector<std::string>& w)
{
    if (w.size() == 2 && w[1] == "clear") {
        log_.clear();
        return "ok";
    }
    if (w.size() == 2 && w[1] == "count") return "ok " + std::to_string(linesReceived_);
    int last = static_cast<int>(log_.size());
    if (w.size() > 2 || (w.size() == 2 && !Number(w[1], 0, static_cast<int>(kMaxLogEntries), last)))
        return "err usage: log [<last n>] | log count | log clear";
    std::size_t from = log_.size() - std::min(log_.size(), static_cast<std::size_t>(last));
    std::string out = "ok " + std::to_string(log_.size() - from);
    for (std::size_t i = from; i < log_.size(); ++i) out += " " + std::to_string(log_[i].atMs) + ":" + Escaped(log_[i].line);
    return out;
}

// The module powers up again: what it was sending is lost, its settings return to their
// defaults, and a SIM with its PIN lock on asks for the PIN again. The SIM keeps its messages.
std::string AtModem::CtlRestart()
{
    pending_.clear();
    pendingBytes_ = 0;
    line_.clear();
    lineOverflow_ = false;
    afterCr_ = false;
    state_.gpsOn = false;
    state_.cfun = 0;
    SetCfun(1, nowMs_);
    if (state_.sim == SimCard::Ready && state_.pinLock) state_.sim = SimCard::Pin;
    return "ok";
}
