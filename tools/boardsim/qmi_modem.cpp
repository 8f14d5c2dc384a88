// The board's QMI modem: QMUX requests in, responses out when due, scenario and record through
// the control channel.
#include "qmi_modem.h"

#include "board_util.h"
#include "platform/qmi_client.h"

#include <arpa/inet.h>
#include <cstdio>

namespace {

constexpr uint16_t kQmiErrorMissingArgument = 0x0011;
constexpr uint8_t kFirstClientId = 1;
constexpr uint8_t kLastClientId = 254;  // 255 addresses every client (broadcast)
// Longest response delay a scenario may set: a day, far beyond any wait of the firmware, and far
// from overflowing the due time (a response that must never come is "silent").
constexpr long long kMaxDelayMs = 24LL * 60 * 60 * 1000;

// Services and versions reported to a client that asks (CTL version information).
struct ServiceVersion {
    uint8_t service;
    uint16_t major;
    uint16_t minor;
};
constexpr ServiceVersion kVersions[] = {{kQmiServiceCtl, 1, 5}, {kQmiServiceWds, 1, 27}, {2, 1, 14},
                                        {kQmiServiceNas, 1, 49}};

const char* const kKindNames[QmiModem::kKinds] = {"ctl", "start", "stop", "status", "other"};

// A whole word as a number within [lo, hi].
bool NumberIn(const std::string& s, long long lo, long long hi, long long* out)
{
    std::optional<long long> v = ParseNumber(s);
    if (!v || *v < lo || *v > hi) return false;
    *out = *v;
    return true;
}

bool ParseU16(const std::string& s, uint16_t* out)
{
    long long v = 0;
    if (!NumberIn(s, 0, 0xFFFF, &v)) return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

// A received text for a reply line: printable characters as they are, the rest escaped, so that
// an empty text ("") and a missing one (-) stay apart.
std::string Quote(bool present, const std::string& s)
{
    if (!present) return "-";
    std::string q = "\"";
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            q += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            q += esc;
        }
    }
    return q + "\"";
}

// The text of a TLV, exactly as it arrived (without a terminator on the wire).
bool TlvText(const QmuxFrame& f, uint8_t type, std::string* out)
{
    const uint8_t* v = nullptr;
    std::size_t n = 0;
    if (QmuxTlvFind(f.tlv, f.tlvLen, type, &v, &n) != 0) return false;
    out->assign(reinterpret_cast<const char*>(v), n);
    return true;
}

std::string MessageName(uint8_t service, uint16_t msgId)
{
    if (service == kQmiServiceCtl) {
        switch (msgId) {
        case kQmiCtlAllocateCid: return "allocate";
        case kQmiCtlReleaseCid: return "release";
        case kQmiCtlGetVersionInfo: return "version";
        case kQmiCtlSync: return "sync";
        default: break;
        }
    } else if (service == kQmiServiceWds) {
        switch (msgId) {
        case kQmiWdsStartNetwork: return "start";
        case kQmiWdsStopNetwork: return "stop";
        case kQmiWdsGetPacketServiceStatus: return "status";
        case kQmiWdsGetRuntimeSettings: return "settings";
        default: break;
        }
    }
    char name[32];
    std::snprintf(name, sizeof name, "svc%u:0x%04X", service, msgId);
    return name;
}

}  // namespace

QmiModem::QmiModem() : reader_(std::make_unique<QmuxReader>())
{
    QmuxReaderReset(reader_.get());
}

QmiModem::Kind QmiModem::KindOf(uint8_t service, uint16_t msgId)
{
    if (service == kQmiServiceCtl) return kCtl;
    if (service != kQmiServiceWds) return kOther;
    switch (msgId) {
    case kQmiWdsStartNetwork: return kStart;
    case kQmiWdsStopNetwork: return kStop;
    case kQmiWdsGetPacketServiceStatus: return kStatus;
    default: return kOther;
    }
}

// ---- Wire side ----

void QmiModem::Input(const char* data, std::size_t len, int64_t nowMs)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
    while (len > 0) {
        std::size_t took = QmuxReaderFeed(reader_.get(), p, len);
        p += took;
        len -= took;
        QmuxFrame f;
        while (QmuxReaderNext(reader_.get(), &f) == 1) Handle(f, nowMs);
    }
}

void QmiModem::Output(std::string& out, int64_t nowMs)
{
    while (!outgoing_.empty() && outgoing_.begin()->first <= nowMs) {
        out += outgoing_.begin()->second;
        outgoing_.erase(outgoing_.begin());
    }
}

int64_t QmiModem::NextDue() const
{
    return outgoing_.empty() ? -1 : outgoing_.begin()->first;
}

void QmiModem::Handle(const QmuxFrame& f, int64_t nowMs)
{
    bool isRequest = f.qmuxFlags == kQmuxFromHost &&
                     f.sduFlags == (f.service == kQmiServiceCtl ? kQmiCtlRequest : kQmiSvcRequest);
    if (!isRequest) return;  // a modem answers requests only

    Request rec;
    rec.atMs = nowMs;
    rec.service = f.service;
    rec.clientId = f.clientId;
    rec.txn = f.txn;
    rec.msgId = f.msgId;

    uint8_t frame[kQmuxFrameMax];
    QmuxWriter w;
    uint8_t sdu = f.service == kQmiServiceCtl ? kQmiCtlResponse : kQmiSvcResponse;
    QmuxBegin(&w, frame, sizeof frame, kQmuxFromModem, f.service, f.clientId, sdu, f.txn, f.msgId);
    if (f.service == kQmiServiceCtl) {
        HandleCtl(f, &w);
    } else if (clients_[f.service].count(f.clientId) == 0) {
        QmuxPutResult(&w, kQmiResultFailure, kQmiErrorInvalidClientId);
    } else if (f.service == kQmiServiceWds) {
        HandleWds(f, &w, &rec);
    } else {
        QmuxPutResult(&w, kQmiResultFailure, kQmiErrorInvalidQmiCommand);
    }
    requests_.push_back(rec);
    if (requests_.size() > kKeptRequests) {
        requests_.pop_front();
        ++forgotten_;
    }

    Kind kind = KindOf(f.service, f.msgId);
    int len = QmuxFinish(&w);
    if (len < 0 || silent_[kind]) return;
    outgoing_.emplace(nowMs + delayMs_[kind], std::string(reinterpret_cast<char*>(frame), static_cast<std::size_t>(len)));
}

void QmiModem::HandleCtl(const QmuxFrame& f, QmuxWriter* w)
{
    const uint8_t* v = nullptr;
    std::size_t n = 0;
    bool hasIds = QmuxTlvFind(f.tlv, f.tlvLen, 0x01, &v, &n) == 0;
    switch (f.msgId) {
    case kQmiCtlAllocateCid: {
        if (!hasIds || n < 1) {
            QmuxPutResult(w, kQmiResultFailure, kQmiErrorMissingArgument);
            return;
        }
        std::set<uint8_t>& used = clients_[v[0]];
        uint8_t& next = nextClientId_[v[0]];
        for (int tries = 0; tries <= kLastClientId - kFirstClientId; tries++) {
            if (next < kFirstClientId || next > kLastClientId) next = kFirstClientId;
            uint8_t id = next++;
            if (used.insert(id).second) {
                QmuxPutResult(w, kQmiResultSuccess, 0);
                uint8_t ids[2] = {v[0], id};
                QmuxPutTlv(w, 0x01, ids, sizeof ids);
                return;
            }
        }
        QmuxPutResult(w, kQmiResultFailure, kQmiErrorClientIdsExhausted);
        return;
    }
    case kQmiCtlReleaseCid: {
        if (!hasIds || n < 2) {
            QmuxPutResult(w, kQmiResultFailure, kQmiErrorMissingArgument);
            return;
        }
        bool known = clients_[v[0]].erase(v[1]) > 0;
        // A call ends with the client that started it, as on a real modem.
        if (known && v[0] == kQmiServiceWds && v[1] == owner_ && (up_ || connecting_)) CallDown();
        QmuxPutResult(w, known ? kQmiResultSuccess : kQmiResultFailure, known ? 0 : kQmiErrorInvalidClientId);
        QmuxPutTlv(w, 0x01, v, 2);
        return;
    }
    case kQmiCtlGetVersionInfo: {
        QmuxPutResult(w, kQmiResultSuccess, 0);
        uint8_t list[1 + 5 * (sizeof kVersions / sizeof kVersions[0])];
        std::size_t at = 0;
        list[at++] = sizeof kVersions / sizeof kVersions[0];
        for (const ServiceVersion& s : kVersions) {
            list[at++] = s.service;
            list[at++] = static_cast<uint8_t>(s.major & 0xFF);
            list[at++] = static_cast<uint8_t>(s.major >> 8);
            list[at++] = static_cast<uint8_t>(s.minor & 0xFF);
            list[at++] = static_cast<uint8_t>(s.minor >> 8);
        }
        QmuxPutTlv(w, 0x01, list, at);
        return;
    }
    case kQmiCtlSync:
        // Every client id is given up, as a modem does on sync.
        clients_.clear();
        if (up_ || connecting_) CallDown();
        QmuxPutResult(w, kQmiResultSuccess, 0);
        return;
    default:
        QmuxPutResult(w, kQmiResultFailure, kQmiErrorInvalidQmiCommand);
        return;
    }
}

void QmiModem::HandleWds(const QmuxFrame& f, QmuxWriter* w, Request* rec)
{
    switch (f.msgId) {
    case kQmiWdsStartNetwork:
        rec->hasApn = TlvText(f, kWdsTlvApn, &rec->apn);
        rec->hasUser = TlvText(f, kWdsTlvUsername, &rec->user);
        rec->hasPassword = TlvText(f, kWdsTlvPassword, &rec->password);
        Start(f, w);
        return;
    case kQmiWdsStopNetwork:
        rec->hasHandle = QmuxTlvU32(f.tlv, f.tlvLen, kWdsTlvPacketDataHandle, &rec->handle) == 0;
        Stop(f, w);
        return;
    case kQmiWdsGetPacketServiceStatus:
        Status(w);
        return;
    case kQmiWdsGetRuntimeSettings:
        RuntimeSettings(w);
        return;
    default:
        QmuxPutResult(w, kQmiResultFailure, kQmiErrorInvalidQmiCommand);
        return;
    }
}

void QmiModem::Start(const QmuxFrame& f, QmuxWriter* w)
{
    starts_++;
    if (refuseStart_) {
        QmuxPutResult(w, kQmiResultFailure, refuseError_);
        if (refuseWithReason_) QmuxPutTlvU16(w, kWdsTlvCallEndReason, refuseReason_);
        return;
    }
    if (up_ || connecting_) {
        // A modem answers a second start of a running call with "no effect".
        QmuxPutResult(w, kQmiResultFailure, kQmiErrorNoEffect);
        return;
    }
    handle_ = nextHandle_++;
    owner_ = f.clientId;
    up_ = connect_ == Connect::Now;
    connecting_ = connect_ == Connect::AfterQueries;
    queriesLeft_ = connectAfter_;
    QmuxPutResult(w, kQmiResultSuccess, 0);
    QmuxPutTlvU32(w, kWdsTlvPacketDataHandle, handle_);
}

void QmiModem::Stop(const QmuxFrame& f, QmuxWriter* w)
{
    stops_++;
    uint32_t handle = 0;
    if (QmuxTlvU32(f.tlv, f.tlvLen, kWdsTlvPacketDataHandle, &handle) != 0) {
        QmuxPutResult(w, kQmiResultFailure, kQmiErrorMissingArgument);
        return;
    }
    if (!(up_ || connecting_) || handle != handle_) {
        QmuxPutResult(w, kQmiResultFailure, kQmiErrorInvalidHandle);
        return;
    }
    CallDown();
    QmuxPutResult(w, kQmiResultSuccess, 0);
}

void QmiModem::Status(QmuxWriter* w)
{
    queries_++;
    if (refuseStatus_ != 0) {
        if (refuseStatus_ > 0) refuseStatus_--;
        QmuxPutResult(w, kQmiResultFailure, refuseStatusError_);
        return;
    }
    if (connecting_) {
        if (queriesLeft_ > 0) {
            queriesLeft_--;
        } else {
            connecting_ = false;
            up_ = true;
        }
    }
    QmuxPutResult(w, kQmiResultSuccess, 0);
    QmuxPutTlvU8(w, kWdsTlvConnectionStatus, up_ ? kWdsConnectionConnected : kWdsConnectionDisconnected);
}

void QmiModem::RuntimeSettings(QmuxWriter* w)
{
    if (!up_) {
        QmuxPutResult(w, kQmiResultFailure, kQmiErrorOutOfCall);
        return;
    }
    QmuxPutResult(w, kQmiResultSuccess, 0);
    const uint8_t types[] = {kWdsTlvPrimaryDns, kWdsTlvSecondaryDns};
    for (std::size_t i = 0; i < dns_.size() && i < sizeof types; ++i) QmuxPutTlvU32(w, types[i], dns_[i]);
}

void QmiModem::CallDown()
{
    up_ = false;
    connecting_ = false;
    owner_ = 0;
}

void QmiModem::PowerLost()
{
    clients_.clear();
    if (up_ || connecting_) CallDown();
    outgoing_.clear();
    QmuxReaderReset(reader_.get());
}

// ---- Control side ----

std::string QmiModem::Control(const std::vector<std::string>& words)
{
    if (words.empty()) return "err qmi: missing verb";
    const std::string& verb = words[0];
    if (verb == "state") return "ok " + StateLine();
    if (verb == "call") return CtlCall(words);
    if (verb == "connect") return CtlConnect(words);
    if (verb == "start") return CtlStart(words);
    if (verb == "status") return CtlStatus(words);
    if (verb == "delay" || verb == "silent") return CtlTiming(words);
    if (verb == "handle") return CtlHandle(words);
    if (verb == "dns") return CtlDns(words);
    if (verb == "requests" || verb == "request" || verb == "last" || verb == "clear") return CtlRecord(words);
    return "err qmi: unknown verb " + verb;
}

std::string QmiModem::CtlCall(const std::vector<std::string>& w)
{
    if (w.size() != 2) return "err usage: call up|down";
    if (w[1] == "up") {
        if (!up_) {
            // A call the firmware did not start (already up at power-on, or brought up by the
            // network side): it has a handle of its own that nobody told the firmware.
            if (!connecting_) handle_ = nextHandle_++;
            owner_ = connecting_ ? owner_ : 0;
            connecting_ = false;
            up_ = true;
        }
        return "ok " + StateLine();
    }
    if (w[1] == "down") {
        CallDown();
        return "ok " + StateLine();
    }
    return "err usage: call up|down";
}

std::string QmiModem::CtlConnect(const std::vector<std::string>& w)
{
    long long n = 0;
    if (w.size() == 2 && w[1] == "now") {
        connect_ = Connect::Now;
    } else if (w.size() == 2 && w[1] == "never") {
        connect_ = Connect::Never;
    } else if (w.size() == 3 && w[1] == "after" && NumberIn(w[2], 0, 999999, &n)) {
        connect_ = Connect::AfterQueries;
        connectAfter_ = static_cast<int>(n);
    } else {
        return "err usage: connect now|never|after N";
    }
    return "ok " + StateLine();
}

std::string QmiModem::CtlStart(const std::vector<std::string>& w)
{
    if (w.size() == 2 && w[1] == "accept") {
        refuseStart_ = false;
        return "ok start accept";
    }
    uint16_t error = 0, reason = 0;
    if ((w.size() == 3 || w.size() == 4) && w[1] == "refuse" && ParseU16(w[2], &error) &&
        (w.size() == 3 || ParseU16(w[3], &reason))) {
        refuseStart_ = true;
        refuseError_ = error;
        refuseWithReason_ = w.size() == 4;
        refuseReason_ = reason;
        return "ok start refuse " + std::to_string(error) + (refuseWithReason_ ? " " + std::to_string(reason) : "");
    }
    return "err usage: start accept|refuse ERROR [REASON]";
}

std::string QmiModem::CtlStatus(const std::vector<std::string>& w)
{
    if (w.size() == 2 && w[1] == "accept") {
        refuseStatus_ = 0;
        return "ok status accept";
    }
    uint16_t error = 0;
    long long count = -1;
    if ((w.size() == 3 || w.size() == 4) && w[1] == "refuse" && ParseU16(w[2], &error) &&
        (w.size() == 3 || NumberIn(w[3], 1, 999999, &count))) {
        refuseStatus_ = static_cast<int>(count);
        refuseStatusError_ = error;
        return "ok status refuse " + std::to_string(error) + (count > 0 ? " " + std::to_string(count) : "");
    }
    return "err usage: status accept|refuse ERROR [COUNT]";
}

std::string QmiModem::CtlHandle(const std::vector<std::string>& w)
{
    long long n = 0;
    if (w.size() != 2 || !NumberIn(w[1], 0, 0xFFFFFFFFLL, &n)) return "err usage: handle N";
    nextHandle_ = static_cast<uint32_t>(n);
    return "ok handle " + std::to_string(nextHandle_);
}

std::string QmiModem::CtlDns(const std::vector<std::string>& w)
{
    std::vector<uint32_t> servers;
    bool ok = w.size() == 2 && w[1] == "none";
    if (!ok && w.size() >= 2 && w.size() <= 3) {
        ok = true;
        for (std::size_t i = 1; i < w.size(); ++i) {
            struct in_addr a;
            ok = ok && inet_pton(AF_INET, w[i].c_str(), &a) == 1;
            servers.push_back(ntohl(a.s_addr));
        }
    }
    if (!ok) return "err usage: dns none | dns ADDRESS [ADDRESS]";
    dns_ = servers;
    std::string line = "ok dns";
    for (std::size_t i = 1; i < w.size(); ++i) line += " " + w[i];
    return line;
}

std::string QmiModem::CtlTiming(const std::vector<std::string>& w)
{
    long long ms = 0;
    bool silent = w[0] == "silent";
    bool ok = w.size() == 3 && (silent ? (w[2] == "on" || w[2] == "off") : NumberIn(w[2], 0, kMaxDelayMs, &ms));
    int kind = -1;
    for (int k = 0; ok && k < kKinds; k++)
        if (w[1] == kKindNames[k]) kind = k;
    if (!ok || (kind < 0 && w[1] != "all")) return "err usage: delay KIND MS | silent KIND on|off (KIND: all ctl start stop status other)";
    for (int k = 0; k < kKinds; k++) {
        if (kind >= 0 && k != kind) continue;
        if (silent)
            silent_[k] = w[2] == "on";
        else
            delayMs_[k] = ms;
    }
    return "ok " + w[0] + " " + w[1] + " " + w[2];
}

std::string QmiModem::CtlRecord(const std::vector<std::string>& w)
{
    std::size_t total = forgotten_ + requests_.size();
    if (w[0] == "requests") return "ok " + std::to_string(total);
    if (w[0] == "clear") {
        requests_.clear();
        forgotten_ = 0;
        return "ok";
    }
    if (w.size() != 2) return "err usage: request I | last NAME";
    if (w[0] == "request") {
        long long i = 0;
        if (!NumberIn(w[1], 0, static_cast<long long>(total) - 1, &i)) return "err no request " + w[1];
        if (static_cast<std::size_t>(i) < forgotten_)
            return "err request " + w[1] + " no longer kept (the record keeps the latest " +
                   std::to_string(kKeptRequests) + ")";
        return "ok " + Describe(requests_[static_cast<std::size_t>(i) - forgotten_], static_cast<std::size_t>(i));
    }
    for (std::size_t i = requests_.size(); i-- > 0;)
        if (MessageName(requests_[i].service, requests_[i].msgId) == w[1])
            return "ok " + Describe(requests_[i], forgotten_ + i);
    return "err no " + w[1] + " request";
}

std::string QmiModem::Describe(const Request& r, std::size_t index)
{
    std::string line = "#" + std::to_string(index) + " " + MessageName(r.service, r.msgId) +
                       " svc=" + std::to_string(r.service) + " cid=" + std::to_string(r.clientId) +
                       " txn=" + std::to_string(r.txn) + " at=" + std::to_string(r.atMs);
    if (r.service == kQmiServiceWds && r.msgId == kQmiWdsStartNetwork)
        line += " apn=" + Quote(r.hasApn, r.apn) + " user=" + Quote(r.hasUser, r.user) +
                " password=" + Quote(r.hasPassword, r.password);
    if (r.service == kQmiServiceWds && r.msgId == kQmiWdsStopNetwork)
        line += " handle=" + (r.hasHandle ? std::to_string(r.handle) : std::string("-"));
    return line;
}

std::string QmiModem::StateLine() const
{
    std::string clients;
    for (const auto& [service, ids] : clients_)
        for (uint8_t id : ids) clients += (clients.empty() ? "" : ",") + std::to_string(service) + ":" + std::to_string(id);
    const char* call = up_ ? "up" : connecting_ ? "connecting" : "down";
    return std::string("call=") + call + " handle=" + std::to_string(handle_) + " starts=" + std::to_string(starts_) +
           " stops=" + std::to_string(stops_) + " queries=" + std::to_string(queries_) +
           " requests=" + std::to_string(forgotten_ + requests_.size()) + " clients=" + (clients.empty() ? "-" : clients) +
           " garbage=" + std::to_string(reader_->discarded);
}
