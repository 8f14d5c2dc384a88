// Independent check of the board's QMI modem: the stock qmicli of libqmi-utils opens it, reads the
// packet service status, starts and stops a call, and the modem's record shows what qmicli sent.
// qmicli is a required tool of the project (tools/ensure-deps): without it these tests fail.
#include "board_test_support.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

bool QmicliInstalled()
{
    return std::system("command -v qmicli >/dev/null 2>&1") == 0;
}

class QmicliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QmicliInstalled()) << "qmicli not found: install libqmi-utils (tools/ensure-deps base)";
        device_ = dir_.Path() + "/cdc-wdm0";
        modem_ = std::make_unique<QmiModemOnPty>(device_);
    }

    // Runs qmicli on the device with the given options; returns everything it printed.
    // qmicli ignores a plain TERM while it waits on a device, hence the KILL after the grace time.
    std::string Qmicli(const std::string& options, int* status = nullptr)
    {
        ShellResult r =
            RunShell("timeout -k 2 20 qmicli -d " + ShellWord(device_) + " --device-open-qmi " + options + " 2>&1");
        if (status != nullptr) *status = r.status;
        return r.output;
    }

    // The number qmicli printed after a label such as "Packet data handle: '".
    static std::string Quoted(const std::string& out, const std::string& label)
    {
        std::smatch m;
        if (!std::regex_search(out, m, std::regex(label + ": '([^']*)'"))) return "";
        return m[1];
    }

    TempDir dir_;
    std::string device_;
    std::unique_ptr<QmiModemOnPty> modem_;
};

TEST_F(QmicliTest, ReadsThePacketServiceStatus)
{
    int rc = -1;
    std::string out = Qmicli("--wds-get-packet-service-status", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("Connection status: 'disconnected'"), std::string::npos) << out;
    // Allocate, query, release: and the client id is given back.
    EXPECT_EQ(modem_->Ctl("requests"), "ok 3");
    EXPECT_EQ(modem_->Ctl("request 1").find("status svc=1"), 6u);
    EXPECT_EQ(ControlField(modem_->Ctl("state"), "clients"), "-");

    modem_->Ctl("call up");
    out = Qmicli("--wds-get-packet-service-status");
    EXPECT_NE(out.find("Connection status: 'connected'"), std::string::npos) << out;
}

TEST_F(QmicliTest, StartsAndStopsACallOnOneClient)
{
    modem_->Ctl("handle 4242");
    int rc = -1;
    std::string out = Qmicli("--client-no-release-cid --wds-start-network=apn=internet.example,username=bob,password=pw",
                             &rc);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("Network started"), std::string::npos) << out;
    EXPECT_EQ(Quoted(out, "Packet data handle"), "4242") << out;
    std::string cid = Quoted(out, "CID");
    ASSERT_FALSE(cid.empty()) << out;

    std::string start = modem_->Ctl("last start");
    EXPECT_EQ(ControlField(start, "apn"), "\"internet.example\"") << start;
    EXPECT_EQ(ControlField(start, "user"), "\"bob\"") << start;
    EXPECT_EQ(ControlField(start, "password"), "\"pw\"") << start;
    EXPECT_EQ(ControlField(start, "cid"), cid);
    EXPECT_EQ(ControlField(modem_->Ctl("state"), "call"), "up");

    out = Qmicli("--client-cid=" + cid + " --client-no-release-cid --wds-get-packet-service-status");
    EXPECT_NE(out.find("Connection status: 'connected'"), std::string::npos) << out;

    out = Qmicli("--client-cid=" + cid + " --wds-stop-network=4242", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("Network stopped"), std::string::npos) << out;
    EXPECT_EQ(ControlField(modem_->Ctl("last stop"), "handle"), "4242");
    EXPECT_EQ(ControlField(modem_->Ctl("state"), "call"), "down");
    EXPECT_EQ(ControlField(modem_->Ctl("state"), "clients"), "-");
}

TEST_F(QmicliTest, RefusedStartAndStopOfAnUnknownHandleShowTheModemsErrors)
{
    modem_->Ctl("start refuse 14 2");
    int rc = 0;
    std::string out = Qmicli("--wds-start-network=apn=web", &rc);
    EXPECT_NE(rc, 0);
    EXPECT_NE(out.find("CallFailed"), std::string::npos) << out;

    rc = 0;
    out = Qmicli("--wds-stop-network=99", &rc);
    EXPECT_NE(rc, 0);
    EXPECT_NE(out.find("InvalidHandle"), std::string::npos) << out;
    EXPECT_EQ(ControlField(modem_->Ctl("last stop"), "handle"), "99");
}

}  // namespace
