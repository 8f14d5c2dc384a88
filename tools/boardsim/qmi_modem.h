// The board's QMI modem: what answers on dev/cdc-wdm0.
//
// It speaks QMUX like a modem's QMI control device: CTL client ids (allocate, release, version
// information, sync) and the three WDS messages of the data call (start network, stop network,
// packet service status, and the call's runtime settings). The data call follows a scenario that the board's control channel sets
// at any time (words after "qmi", see QMI_CONTROL.md): the call connects at once, after some
// status queries or never; starts are refused; the call drops; responses come late or not at all.
// Every request received is recorded, with the start's texts exactly as they arrived, so tests
// can check what the firmware sent. The record keeps the latest kKeptRequests requests; indexes
// count every request since the start (or the last "qmi clear"), so a long run stays bounded
// while tests index requests as before.
#pragma once

#include "platform/qmux.h"
#include "sim_device.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class QmiModem : public SimDevice {
public:
    // One request as received.
    struct Request {
        int64_t atMs = 0;
        uint8_t service = 0;
        uint8_t clientId = 0;
        uint16_t txn = 0;
        uint16_t msgId = 0;
        bool hasApn = false, hasUser = false, hasPassword = false;  // start: TLV present (maybe empty)
        std::string apn, user, password;
        bool hasHandle = false;  // stop: the handle TLV
        uint32_t handle = 0;
    };

    // Requests the record keeps; older ones are forgotten but still counted.
    static constexpr std::size_t kKeptRequests = 1000;

    // The kinds of request a delay or silence applies to.
    enum Kind { kCtl, kStart, kStop, kStatus, kOther, kKinds };

    QmiModem();

    void Input(const char* data, std::size_t len, int64_t nowMs) override;
    void Output(std::string& out, int64_t nowMs) override;
    int64_t NextDue() const override;
    std::string Control(const std::vector<std::string>& words) override;
    // Client ids, the call and any response not yet sent are lost.
    void PowerLost() override;

    // One line describing a request, as "request" and "last" reply it.
    static std::string Describe(const Request& r, std::size_t index);

private:
    enum class Connect { Now, AfterQueries, Never };

    void Handle(const QmuxFrame& f, int64_t nowMs);
    void HandleCtl(const QmuxFrame& f, QmuxWriter* w);
    void HandleWds(const QmuxFrame& f, QmuxWriter* w, Request* rec);
    void Start(const QmuxFrame& f, QmuxWriter* w);
    void Stop(const QmuxFrame& f, QmuxWriter* w);
    void Status(QmuxWriter* w);
    void RuntimeSettings(QmuxWriter* w);
    void CallDown();
    static Kind KindOf(uint8_t service, uint16_t msgId);

    std::string CtlCall(const std::vector<std::string>& w);
    std::string CtlConnect(const std::vector<std::string>& w);
    std::string CtlStart(const std::vector<std::string>& w);
    std::string CtlTiming(const std::vector<std::string>& w);
    std::string CtlHandle(const std::vector<std::string>& w);
    std::string CtlStatus(const std::vector<std::string>& w);
    std::string CtlRecord(const std::vector<std::string>& w);
    std::string CtlDns(const std::vector<std::string>& w);
    std::string StateLine() const;

    std::unique_ptr<QmuxReader> reader_;
    std::multimap<int64_t, std::string> outgoing_;  // due time -> frame; equal times keep their order
    std::deque<Request> requests_;  // the latest kKeptRequests
    std::size_t forgotten_ = 0;     // requests dropped from the front: the index of requests_[0]

    // Client ids in use, per service, and the next to try.
    std::map<uint8_t, std::set<uint8_t>> clients_;
    std::map<uint8_t, uint8_t> nextClientId_;

    // Scenario.
    Connect connect_ = Connect::Now;
    int connectAfter_ = 0;
    bool refuseStart_ = false;
    uint16_t refuseError_ = 0;
    bool refuseWithReason_ = false;
    uint16_t refuseReason_ = 0;
    int refuseStatus_ = 0;  // status queries still to refuse; -1: all
    uint16_t refuseStatusError_ = 0;
    // Name servers the call reports (host order, most significant byte first); none by default,
    // so that nothing the firmware resolves ever leaves the machine.
    std::vector<uint32_t> dns_;
    int64_t delayMs_[kKinds] = {};
    bool silent_[kKinds] = {};

    // The data call.
    bool up_ = false;
    bool connecting_ = false;  // a start was accepted; the call comes up after queriesLeft_ queries
    int queriesLeft_ = 0;
    uint32_t handle_ = 0;      // packet data handle of the current call
    uint8_t owner_ = 0;        // client that started it (0: none); its release ends the call
    uint32_t nextHandle_ = 0x50000001;
    int starts_ = 0, stops_ = 0, queries_ = 0;
};
