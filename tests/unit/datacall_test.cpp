// The data call against the board's QMI modem on a real pty, in-process: what the end-to-end tests
// do not pin down exactly: a dropped call's full cycle with its console lines and real pacing, a
// refused status query, the hang-up's handle, the defaults file's texts in the start, every QMI
// transcript record, and a missing device. Saved credentials reaching the start are e2e
// Console's; two requests in flight on one client, qmi_client_test's StatusInFlightWhileAStop.
#include "cellular/internal.h"
#include "config/config.h"
#include "logging/log.h"
#include "board_test_support.h"
#include "transcripts.h"
#include "tunnel/tunnel.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char kStartLines[] = "main(): (QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start.\n";

class DatacallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("LIRN_QMI_DEVICE");
        for (const char* sub : {"/dev", "/APP", "/media/card"}) fs::create_directories(dir_.Path() + sub);
        SysrootSet(dir_.Path().c_str());
        logEnable = 0;
        net_status = -1;
        netStat = 0;
        DialupLower();
        modem_APN[0] = modem_usr[0] = modem_pwd[0] = '\0';
        out_ = std::make_unique<OutputCapture>();
    }
    void TearDown() override
    {
        for (qmi_client_type* c : {&qmi_nas_clnt_hdl, &qmi_wds_clnt_hdl}) {
            if (*c != nullptr) qmi_client_release(*c);
            *c = nullptr;
        }
        out_.reset();
        SysrootSet("");
        logEnable = 0;
    }
    void StartModem() { modem_ = std::make_unique<QmiModemOnPty>(dir_.Path() + "/dev/cdc-wdm0"); }
    void Open()
    {
        QMI_Init();
        ASSERT_EQ(QMI_nas_getObj(), 0);
        ASSERT_EQ(QMI_wds_getObj(), 0);
    }
    std::string Ctl(const std::string& line) { return modem_->Ctl(line); }
    std::string Out() { return out_->Text(); }

    TempDir dir_;
    std::unique_ptr<OutputCapture> out_;
    std::unique_ptr<QmiModemOnPty> modem_;
};

// The fifty lines of a cycle whose polls never see the call connected.
std::string FiftyPolls(int status)
{
    std::string s;
    for (int n = 0; n < 50; n++) s += "[" + std::to_string(n) + ":" + std::to_string(status) + "]\n";
    return s;
}

// The call drops while up: the next cycle dials again, never gets it back, and leaves the tunnel's
// flag alone. The cycle takes its real time: 3 s and fifty polls 100 ms apart.
TEST_F(DatacallTest, CallDropsAndNeverComesBack)
{
    StartModem();
    Open();
    Ctl("call up");
    net_cycle();
    ASSERT_EQ(net_status.load(), 0);
    ASSERT_EQ(lirnDialup.load(), 1);

    Ctl("call down");
    Ctl("connect never");
    auto t0 = Clock::now();
    net_cycle();
    long long ms = MsSince(t0);
    EXPECT_EQ(net_status.load(), -1);
    EXPECT_EQ(netStat.load(), 0);
    EXPECT_EQ(lirnDialup.load(), 1);  // only the tunnel lowers it
    EXPECT_EQ(Out(), std::string(kStartLines) + "APN: \nUsername: \nPassword: \nDialup result=1\r\n" + FiftyPolls(1));
    EXPECT_GE(ms, 3000 + 50 * 100);
    EXPECT_LT(ms, 3000 + 50 * 100 + 8000);
    EXPECT_EQ(ControlField(Ctl("state"), "queries"), "52");
}

// A refused first query counts as not connected: the cycle sends a start although the call is up,
// and the poll that follows reports the real state.
TEST_F(DatacallTest, RefusedStatusQueryLeadsToAStartAndThePollsTell)
{
    StartModem();
    Open();
    Ctl("call up");
    Ctl("status refuse 71 1");
    logEnable = 1;
    EXPECT_EQ(dialup_actions2(), 0);
    EXPECT_EQ(Out(), "main(): Error value=71.\n" + std::string(kStartLines) +
                         "APN: \nUsername: \nPassword: \nmain(): Error value=26.\nDialup result=0\r\ndialup ready\n");
    std::vector<std::pair<std::string, std::string>> want = {
        {"QMI_wds_CheckDialupStatus <qmi_client_send_msg_sync>", "0"},
        {"=> connection_status", "0"},
        {"QMI_wds_dialup <qmi_client_send_msg_sync>", "0"},
        {"=> resp.error", "26"},
        {"QMI_wds_CheckDialupStatus <qmi_client_send_msg_sync>", "0"},
    };
    EXPECT_EQ(QmiTranscriptRecords(dir_.Path() + "/media/card"), want);
}

TEST_F(DatacallTest, HangupNamesTheLastStartsHandle)
{
    StartModem();
    Open();
    Ctl("handle 777");
    ASSERT_EQ(QMI_wds_dialup("apn", "", ""), 1);
    EXPECT_EQ(hangup_actions(), 1);
    EXPECT_EQ(ControlField(Ctl("last stop"), "handle"), "777");
    EXPECT_EQ(ControlField(Ctl("state"), "call"), "down");
    EXPECT_NE(Out().find("main(): QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01) Success.\nQMI_wds_hangup() : 1\n"),
              std::string::npos);

    // A refused start carried no handle: the next stop names 0, which the modem refuses, and a
    // call it knows stays up.
    Ctl("call up");
    Ctl("start refuse 14");
    ASSERT_EQ(QMI_wds_dialup("apn", "", ""), 0);
    EXPECT_EQ(hangup_actions(), 1);
    EXPECT_EQ(ControlField(Ctl("last stop"), "handle"), "0");
    EXPECT_EQ(ControlField(Ctl("state"), "call"), "up");
    EXPECT_NE(Out().find("main(): Error value=9.\nQMI_wds_hangup() : 0\n"), std::string::npos) << Out();
}

TEST_F(DatacallTest, HangupReturnsOneWhenTheLibraryFails)
{
    StartModem();
    Open();
    qmi_client_release(qmi_wds_clnt_hdl);  // the handle stays, stale: the library refuses it
    EXPECT_EQ(hangup_actions(), 1);
    EXPECT_EQ(Out(), "main(): qmi_client_send_msg_sync() failed. wds_rc=-6.\nQMI_wds_hangup() : 0\n");
}

class DatacallConfigTest : public DatacallTest {
protected:
    std::string StartOf(const char* configText)
    {
        if (configText != nullptr) {
            std::ofstream(dir_.Path() + "/APP/config.ini", std::ios::binary) << configText;
        }
        InitLirnConfig();
        ReadLirnConfig();
        StartModem();
        Open();
        QMI_wds_dialup(modem_APN, modem_usr, modem_pwd);
        std::string start = Ctl("last start");
        return "apn=" + ControlField(start, "apn") + " user=" + ControlField(start, "user") +
               " password=" + ControlField(start, "password");
    }
};

TEST_F(DatacallConfigTest, FileWrittenFromDefaultsSendsItsApnAndEmptyCredentials)
{
    InitLirnConfig();
    ASSERT_EQ(SaveLirnConfig(), 0);
    EXPECT_EQ(StartOf(nullptr), "apn=\"INTERNET\" user=\"\" password=\"\"");
}

TEST_F(DatacallTest, TranscriptHoldsEveryRecordInOrder)
{
    StartModem();
    logEnable = 1;
    Open();
    QMI_wds_CheckDialupStatus();
    Ctl("start refuse 14");
    QMI_wds_dialup("apn", "", "");
    hangup_actions();
    qmi_client_release(qmi_wds_clnt_hdl);  // the handle stays, stale: the library refuses it
    QMI_wds_CheckDialupStatus();

    std::vector<std::pair<std::string, std::string>> want = {
        {"qmi_init", "1"},
        {"QMI_nas_getObj <nas_get_service_object_v01>", "Not NULL"},
        {"QMI_nas_getObj <qmi_client_init>", "0"},
        {"QMI_wds_getObj <qmi_client_init>", "0"},
        {"QMI_wds_CheckDialupStatus <qmi_client_send_msg_sync>", "0"},
        {"QMI_wds_dialup <qmi_client_send_msg_sync>", "0"},
        {"=> resp.error", "14"},
        {"QMI_wds_hangup <qmi_client_send_msg_sync>", "0"},
        {"=> resp.error", "9"},
        {"QMI_wds_CheckDialupStatus <qmi_client_send_msg_sync>", "-6"},
        {"=> resp.error", "0"},
    };
    EXPECT_EQ(QmiTranscriptRecords(dir_.Path() + "/media/card"), want);
}

// No QMI device: the opening fails with its messages, and a cycle still runs its course and
// ends with -1, leaving the tunnel waiting.
TEST_F(DatacallTest, MissingDeviceFailsTheOpeningAndEveryCycle)
{
    logEnable = 1;
    QMI_Init();
    EXPECT_EQ(QMI_nas_getObj(), -1);
    EXPECT_EQ(QMI_wds_getObj(), -1);
    EXPECT_EQ(Out(), "main(): qmi_client_init() failed. nas_rc=-5.\nmain(): qmi_client_init() failed. wds_rc=-5.\n");
    std::vector<std::pair<std::string, std::string>> want = {
        {"qmi_init", "1"},
        {"QMI_nas_getObj <nas_get_service_object_v01>", "Not NULL"},
        {"QMI_nas_getObj <qmi_client_init>", "-5"},
        {"QMI_nas_getObj <qmi_client_release>", "-6"},
        {"QMI_wds_getObj <qmi_client_init>", "-5"},
        {"QMI_wds_getObj <qmi_client_release>", "-6"},
    };
    EXPECT_EQ(QmiTranscriptRecords(dir_.Path() + "/media/card"), want);
    logEnable = 0;

    auto t0 = Clock::now();
    net_cycle();
    EXPECT_GE(MsSince(t0), 3000 + 50 * 100);
    EXPECT_EQ(net_status.load(), -1);
    EXPECT_EQ(lirnDialup.load(), 0);
    std::string failedQuery = "main(): qmi_client_send_msg_sync() failed. rc=-6.\n";
    // The client missed at start-up is opened again by the requests, at most once a second.
    std::string want2 = "main(): qmi_client_init() failed. nas_rc=-5.\nmain(): qmi_client_init() failed. wds_rc=-5.\n" +
                        std::string("QMI device lost, reopening it\n") + failedQuery + kStartLines + "APN: \nUsername: \nPassword: \n" +
                        "main(): qmi_client_send_msg_sync() failed. wds_rc=-6.\nDialup result=0\r\n";
    for (int n = 0; n < 50; n++) want2 += failedQuery + "[" + std::to_string(n) + ":0]\n";
    EXPECT_EQ(Out(), want2);
}

}  // namespace
