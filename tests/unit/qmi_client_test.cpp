// The QMI client layer against a modem on a real pty: client ids, the three WDS messages, time-outs,
// two requests in flight at once, a pty left in cooked mode, and a modem that answers badly. A
// device that goes away (requests failed, reopened at most once a second) is faults_test's.
#include "platform/qmi_client.h"
#include "platform/qmux.h"
#include "board_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <sys/stat.h>
#include <termios.h>

namespace {

using Clock = std::chrono::steady_clock;

class QmiClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("LIRN_QMI_DEVICE");
        mkdir((dir_.Path() + "/dev").c_str(), 0755);
        SysrootSet(dir_.Path().c_str());
    }
    void TearDown() override
    {
        if (client_ != nullptr) qmi_client_release(client_);
        SysrootSet("");
        unsetenv("LIRN_QMI_DEVICE");
    }
    std::string DevicePath() const { return dir_.Path() + "/dev/cdc-wdm0"; }
    void OpenWds()
    {
        ASSERT_EQ(qmi_client_init("rmnet0", wds_get_service_object_internal_v01(1, 0x1b, 5), nullptr, nullptr, &client_),
                  kQmiOk);
        ASSERT_NE(client_, nullptr);
    }
    int Status(unsigned timeoutMs, WdsPacketServiceStatusResp* resp)
    {
        std::memset(resp, 0, sizeof *resp);
        return qmi_client_send_msg_sync(client_, kQmiWdsGetPacketServiceStatus, nullptr, 0, resp, sizeof *resp, timeoutMs);
    }
    int Start(const WdsStartNetworkReq& req, WdsStartNetworkResp* resp)
    {
        std::memset(resp, 0, sizeof *resp);
        return qmi_client_send_msg_sync(client_, kQmiWdsStartNetwork, &req, sizeof req, resp, sizeof *resp, 5000);
    }
    int Stop(uint32_t handle, WdsStopNetworkResp* resp, unsigned timeoutMs = 5000)
    {
        WdsStopNetworkReq req{handle};
        std::memset(resp, 0, sizeof *resp);
        return qmi_client_send_msg_sync(client_, kQmiWdsStopNetwork, &req, sizeof req, resp, sizeof *resp, timeoutMs);
    }

    TempDir dir_;
    qmi_client_type client_ = nullptr;
};

WdsStartNetworkReq StartReq(const char* apn, const char* user, const char* password)
{
    WdsStartNetworkReq req{};
    if (apn != nullptr) {
        req.apn_name_valid = 1;
        std::snprintf(req.apn_name, sizeof req.apn_name, "%s", apn);
    }
    if (user != nullptr) {
        req.username_valid = 1;
        std::snprintf(req.username, sizeof req.username, "%s", user);
    }
    if (password != nullptr) {
        req.password_valid = 1;
        std::snprintf(req.password, sizeof req.password, "%s", password);
    }
    return req;
}

TEST_F(QmiClientTest, OpensAndReleasesAClientIdOnRmnet0)
{
    QmiModemOnPty modem(DevicePath());
    OpenWds();
    EXPECT_EQ(ControlField(modem.Ctl("state"), "clients"), "1:1");
    EXPECT_EQ(qmi_client_release(client_), kQmiOk);
    client_ = nullptr;
    EXPECT_EQ(ControlField(modem.Ctl("state"), "clients"), "-");
    std::string release = modem.Ctl("last release");
    EXPECT_EQ(release.rfind("ok ", 0), 0u) << release;
    // The device is closed with its last client and opens again for the next.
    OpenWds();
    EXPECT_EQ(ControlField(modem.Ctl("state"), "clients"), "1:2");
}

TEST_F(QmiClientTest, OnlyRmnet0AndKnownHandlesAreAccepted)
{
    QmiModemOnPty modem(DevicePath());
    qmi_client_type c = reinterpret_cast<qmi_client_type>(&c);
    EXPECT_EQ(qmi_client_init("rmnet1", wds_get_service_object_internal_v01(1, 0x1b, 5), nullptr, nullptr, &c),
              kQmiErrBadArgs);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(wds_get_service_object_internal_v01(2, 0, 5), nullptr);
    EXPECT_EQ(qmi_client_release(nullptr), kQmiErrBadArgs);
    WdsPacketServiceStatusResp resp{};
    EXPECT_EQ(qmi_client_send_msg_sync(nullptr, kQmiWdsGetPacketServiceStatus, nullptr, 0, &resp, sizeof resp, 100),
              kQmiErrBadArgs);
    OpenWds();
    // A record of the wrong size is refused before anything reaches the modem.
    EXPECT_EQ(qmi_client_send_msg_sync(client_, kQmiWdsGetPacketServiceStatus, nullptr, 0, &resp, sizeof resp - 1, 100),
              kQmiErrBadArgs);
    EXPECT_EQ(qmi_client_send_msg_sync(client_, 0x0055, nullptr, 0, &resp, sizeof resp, 100), kQmiErrBadArgs);
    EXPECT_EQ(modem.Ctl("requests"), "ok 1");
}

TEST_F(QmiClientTest, EnvironmentNamesARealDeviceOutsideTheSysroot)
{
    TempDir other;
    std::string path = other.Path() + "/modem";
    setenv("LIRN_QMI_DEVICE", path.c_str(), 1);
    char mapped[512];
    ASSERT_EQ(QmiDevicePath(mapped, sizeof mapped), 0);
    EXPECT_EQ(std::string(mapped), path);
    QmiModemOnPty modem(path);
    OpenWds();
    WdsPacketServiceStatusResp resp;
    EXPECT_EQ(Status(2000, &resp), kQmiOk);
}

// A refused stop (handle unknown, error 9) is datacall_test's hang-up of handle 0.
TEST_F(QmiClientTest, RefusalsArriveAsResponses)
{
    QmiModemOnPty modem(DevicePath());
    OpenWds();
    modem.Ctl("start refuse 14 1005");
    WdsStartNetworkResp resp;
    ASSERT_EQ(Start(StartReq("a", "b", "c"), &resp), kQmiOk);
    EXPECT_EQ(resp.resp.result, 1);
    EXPECT_EQ(resp.resp.error, 14);
    EXPECT_EQ(resp.call_end_reason_valid, 1);
    EXPECT_EQ(resp.call_end_reason, 1005);
    EXPECT_EQ(resp.pkt_data_handle, 0u);
}

TEST_F(QmiClientTest, SilentModemTimesOutAtTheRequestsOwnTimeout)
{
    QmiModemOnPty modem(DevicePath());
    OpenWds();
    modem.Ctl("silent status on");
    WdsPacketServiceStatusResp resp;
    auto t0 = Clock::now();
    EXPECT_EQ(Status(300, &resp), kQmiErrTimeout);
    long long ms = MsSince(t0);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 3000);
    modem.Ctl("silent status off");
    EXPECT_EQ(Status(2000, &resp), kQmiOk);
}

TEST_F(QmiClientTest, LateAnswerToAnAbandonedRequestIsNotTakenForTheNext)
{
    QmiModemOnPty modem(DevicePath());
    OpenWds();
    modem.Ctl("delay status 600");
    WdsPacketServiceStatusResp resp;
    EXPECT_EQ(Status(150, &resp), kQmiErrTimeout);  // its answer (disconnected) comes later
    ASSERT_TRUE(WaitUntil([&] { return modem.Ctl("state").find("queries=1") != std::string::npos; }, Millis(2000)));
    modem.Ctl("call up");
    // The next answer is as late, so the abandoned one arrives while the next request waits.
    ASSERT_EQ(Status(2000, &resp), kQmiOk);
    EXPECT_EQ(resp.connection_status, kWdsConnectionConnected);
}

TEST_F(QmiClientTest, StatusInFlightWhileAStopOvertakesIt)
{
    QmiModemOnPty modem(DevicePath());
    OpenWds();
    WdsStartNetworkResp started;
    ASSERT_EQ(Start(StartReq("apn", "", ""), &started), kQmiOk);
    modem.Ctl("delay status 1500");

    std::future<std::pair<int, WdsPacketServiceStatusResp>> status = std::async(std::launch::async, [&] {
        WdsPacketServiceStatusResp r;
        int rc = Status(5000, &r);
        return std::make_pair(rc, r);
    });
    ASSERT_TRUE(WaitUntil([&] { return modem.Ctl("last status").rfind("ok", 0) == 0; }, Millis(3000)));
    WdsStopNetworkResp stop;
    ASSERT_EQ(Stop(started.pkt_data_handle, &stop), kQmiOk);
    EXPECT_EQ(stop.resp.result, 0);
    EXPECT_EQ(status.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    auto [rc, r] = status.get();
    EXPECT_EQ(rc, kQmiOk);
    EXPECT_EQ(r.connection_status, kWdsConnectionConnected);  // asked before the stop
}

// A pty left in cooked mode would turn CR into LF, eat control characters and echo: the layer
// puts the device into raw mode, so every byte crosses unchanged both ways. Only the valid texts
// of a start are sent.
TEST_F(QmiClientTest, CookedPtyIsMadeRawSoBinaryBytesCrossUnchanged)
{
    QmiModemOnPty modem(DevicePath());
    {
        int fd = open(modem.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        struct termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        t.c_iflag |= ICRNL | IXON;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        close(fd);
    }
    OpenWds();
    int fd = open(modem.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    modem.Ctl("handle 0x0A0D130A");
    WdsStartNetworkResp resp;
    ASSERT_EQ(Start(StartReq("a\r\nb\x03\x11\x13\x7f\n", "\x15\x04", nullptr), &resp), kQmiOk);
    EXPECT_EQ(resp.resp.result, 0);
    EXPECT_EQ(resp.pkt_data_handle, 0x0A0D130Au);
    std::string start = modem.Ctl("last start");
    EXPECT_EQ(ControlField(start, "apn"), "\"a\\x0D\\x0Ab\\x03\\x11\\x13\\x7F\\x0A\"");
    EXPECT_EQ(ControlField(start, "user"), "\"\\x15\\x04\"");
    EXPECT_EQ(ControlField(start, "password"), "-");  // not valid: not sent
    // A valid empty text (length 0) and the stop's handle are datacall_test's.
}

// ---- A modem that answers badly ----

// Answers client id allocation properly and every WDS request with the frames a test scripts,
// built around the request's own transaction id.
class ScriptedModem : public SimDevice {
public:
    using Script = std::function<std::vector<std::string>(const QmuxFrame& request)>;
    explicit ScriptedModem(Script script) : script_(std::move(script)) { QmuxReaderReset(reader_.get()); }

    void Input(const char* data, std::size_t len, int64_t nowMs) override
    {
        QmuxReaderFeed(reader_.get(), reinterpret_cast<const uint8_t*>(data), len);
        QmuxFrame f;
        while (QmuxReaderNext(reader_.get(), &f) == 1) {
            if (f.service == kQmiServiceCtl) {
                QmuxWriter w;
                uint8_t buf[64];
                QmuxBegin(&w, buf, sizeof buf, kQmuxFromModem, 0, 0, kQmiCtlResponse, f.txn, f.msgId);
                QmuxPutResult(&w, 0, 0);
                uint8_t ids[2] = {f.tlv[3], kClientId};
                QmuxPutTlv(&w, 0x01, ids, 2);
                int n = QmuxFinish(&w);
                queue_.push_back({nowMs, std::string(reinterpret_cast<char*>(buf), n)});
                continue;
            }
            int64_t at = nowMs;
            for (const std::string& piece : script_(f)) queue_.push_back({at += 30, piece});
        }
    }
    void Output(std::string& out, int64_t nowMs) override
    {
        while (!queue_.empty() && queue_.front().first <= nowMs) {
            out += queue_.front().second;
            queue_.erase(queue_.begin());
        }
    }
    int64_t NextDue() const override { return queue_.empty() ? -1 : queue_.front().first; }
    std::string Control(const std::vector<std::string>&) override { return "ok"; }

    static constexpr uint8_t kClientId = 5;

private:
    Script script_;
    std::unique_ptr<QmuxReader> reader_ = std::make_unique<QmuxReader>();
    std::vector<std::pair<int64_t, std::string>> queue_;
};

// A WDS frame as the script wants it; tweak changes the header fields before it is built.
struct Answer {
    uint8_t qmuxFlags = kQmuxFromModem;
    uint8_t service = kQmiServiceWds;
    uint8_t clientId = ScriptedModem::kClientId;
    uint8_t sduFlags = kQmiSvcResponse;
    bool withResult = true;
    uint16_t result = 0;
    bool shortResult = false;
    bool withStatus = true;
    uint8_t status = kWdsConnectionConnected;

    std::string Build(const QmuxFrame& req) const
    {
        uint8_t buf[128];
        QmuxWriter w;
        QmuxBegin(&w, buf, sizeof buf, qmuxFlags, service, clientId, sduFlags, req.txn, req.msgId);
        if (withResult && shortResult) QmuxPutTlvU16(&w, kQmiTlvResult, result);
        if (withResult && !shortResult) QmuxPutResult(&w, result, result ? 0x0E : 0);
        if (withStatus) QmuxPutTlvU8(&w, 0x01, status);
        int n = QmuxFinish(&w);
        return std::string(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
    }
};

class QmiClientBadModemTest : public QmiClientTest {
protected:
    int RunStatus(ScriptedModem::Script script, WdsPacketServiceStatusResp* resp, unsigned timeoutMs = 2000)
    {
        ScriptedModem modem(std::move(script));
        DevicePty pty(modem, DevicePath());
        pty.Start();
        OpenWds();
        int rc = Status(timeoutMs, resp);
        qmi_client_release(client_);  // answered by nobody: the script knows only WDS
        client_ = nullptr;
        return rc;
    }
};

TEST_F(QmiClientBadModemTest, AnswersForOthersAndGarbageAreSkipped)
{
    WdsPacketServiceStatusResp resp;
    int rc = RunStatus(
        [](const QmuxFrame& req) {
            Answer good;
            Answer otherClient = good, otherService = good, indication = good, fromHost = good;
            otherClient.clientId = 6;
            otherClient.status = 9;
            otherService.service = kQmiServiceNas;
            otherService.status = 9;
            indication.sduFlags = kQmiSvcIndication;
            indication.status = 9;
            fromHost.qmuxFlags = kQmuxFromHost;
            fromHost.status = 9;
            QmuxFrame otherTxn = req;
            otherTxn.txn = static_cast<uint16_t>(req.txn + 1);
            Answer staleAnswer = good;
            staleAnswer.status = 9;
            std::string whole = good.Build(req);
            const char garbage[] = "\x01\xff\xff garbage \x00\x7e";
            return std::vector<std::string>{std::string(garbage, sizeof garbage - 1),
                                            otherClient.Build(req),
                                            otherService.Build(req),
                                            indication.Build(req),
                                            fromHost.Build(req),
                                            staleAnswer.Build(otherTxn),
                                            whole.substr(0, 5),
                                            whole.substr(5)};
        },
        &resp);
    EXPECT_EQ(rc, kQmiOk);
    EXPECT_EQ(resp.connection_status, kWdsConnectionConnected);
}

// A marker whose headers agree but whose frame never completes takes the answer behind it for its
// own body; once the stream has been quiet a while it is given up and the answer found after all.
TEST_F(QmiClientBadModemTest, CutFrameBeforeTheAnswerIsGivenUpWhenTheStreamGoesQuiet)
{
    WdsPacketServiceStatusResp resp;
    auto t0 = Clock::now();
    int rc = RunStatus(
        [](const QmuxFrame& req) {
            // Built for NAS with a transaction id without marker bytes, so that nothing in the
            // cut piece but its first byte looks like the start of a frame.
            uint8_t buf[160];
            uint8_t body[100] = {};
            QmuxWriter w;
            QmuxBegin(&w, buf, sizeof buf, kQmuxFromModem, kQmiServiceNas, ScriptedModem::kClientId, kQmiSvcResponse,
                      0x0303, req.msgId);
            QmuxPutTlv(&w, 0x30, body, sizeof body);
            EXPECT_GT(QmuxFinish(&w), 0);
            return std::vector<std::string>{std::string(reinterpret_cast<char*>(buf), 14), Answer{}.Build(req)};
        },
        &resp, 4000);
    EXPECT_EQ(rc, kQmiOk);
    EXPECT_EQ(resp.connection_status, kWdsConnectionConnected);
    EXPECT_GE(MsSince(t0), 900);  // the answer waited inside the cut frame until the quiet time
}

// A response without its result, with a result too short, or a success without its data is a
// failed request; a refusal needs no data.
TEST_F(QmiClientBadModemTest, MissingOrShortTlvsAreAFailedRequest)
{
    Answer noResult, shortResult, noData, refusalWithoutData;
    noResult.withResult = false;
    shortResult.shortResult = true;
    noData.withStatus = false;
    refusalWithoutData.withStatus = false;
    refusalWithoutData.result = 1;
    const std::pair<Answer, int> cases[] = {
        {noResult, kQmiErrMalformed}, {shortResult, kQmiErrMalformed}, {noData, kQmiErrMalformed}, {refusalWithoutData, kQmiOk}};
    for (const auto& [answer, rc] : cases) {
        WdsPacketServiceStatusResp resp;
        Answer a = answer;
        EXPECT_EQ(RunStatus([a](const QmuxFrame& req) { return std::vector<std::string>{a.Build(req)}; }, &resp), rc);
        if (rc == kQmiOk) {
            EXPECT_EQ(resp.resp.result, 1);
            EXPECT_EQ(resp.resp.error, 0x0E);
        }
    }
}

}  // namespace
