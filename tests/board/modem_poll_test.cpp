// The modem poll against the board's simulated module: get_modem_info runs in the test thread on
// dev/smd8 of a temporary sysroot, served by AtModem on a DevicePty, while the test changes the
// module's state through its control verbs between cycles.
#include "at_modem.h"
#include "sim_device.h"

#include "config/config.h"
#include "logging/log.h"
#include "modem/modem.h"
#include "platform/sysroot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

class BoardModemPoll : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lirn-board-modem-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::filesystem::create_directories(dir + "/dev");
        SysrootSet(dir.c_str());
        ModemResetState();
        logEnable = 0;
        std::snprintf(modem_pin_code, sizeof modem_pin_code, "%s", "1234");
    }
    void TearDown() override
    {
        pty.reset();
        modem_pin_code[0] = '\0';
        logEnable = 0;
        SysrootSet("");
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    void StartModule(const AtModemState& state = AtModemState())
    {
        modem.SetState(state);
        pty = std::make_unique<DevicePty>(modem, dir + "/dev/smd8");
        pty->Start();
    }

    // A control request for the module, written as on the board's control channel ("at ...");
    // fails the test when the module refuses it.
    std::string Ctl(const std::string& line)
    {
        std::vector<std::string> words = Words(line);
        words.erase(words.begin());  // the device prefix
        std::string reply = pty->Control(words);
        EXPECT_EQ(reply.rfind("ok", 0), 0u) << line << " -> " << reply;
        return reply;
    }

    // The command lines the module received since the last call (without their line ends).
    std::vector<std::string> Received()
    {
        std::vector<std::string> words = Words(Ctl("at log"));
        Ctl("at log clear");
        std::vector<std::string> lines;
        for (std::size_t i = 2; i < words.size(); ++i) lines.push_back(words[i].substr(words[i].find(':') + 1));
        return lines;
    }

    int Cycle()
    {
        testing::internal::CaptureStdout();
        int rc = get_modem_info();
        printed = testing::internal::GetCapturedStdout();
        return rc;
    }

    std::string dir;
    AtModem modem;
    std::unique_ptr<DevicePty> pty;
    std::string printed;
};

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    for (const std::string& l : lines)
        if (l == line) return true;
    return false;
}

}  // namespace

TEST_F(BoardModemPoll, StatusWordsFollowTheModuleAcrossCycles)
{
    StartModule();
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_cpin_status, 0);
    EXPECT_EQ(modem_creg, 1);
    EXPECT_EQ(modem_csq, 20);
    EXPECT_EQ(modem_net_type, 8);
    EXPECT_STREQ(modem_imei, "862631039274815");
    EXPECT_NE(std::string(str_gmm).find("SIMCOM_SIM7100E"), std::string::npos);

    Ctl("at creg 5");
    Ctl("at csq 99 99");
    Ctl("at cnsmod 4");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_creg, 5);
    EXPECT_EQ(modem_csq, 99);
    EXPECT_EQ(modem_net_type, 4);

    Ctl("at sim absent");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_cpin_status, 2);
    Ctl("at sim ready");
    Ctl("at radio off");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_cpin_status, 0);
    EXPECT_NE(modem_creg, 1);
    EXPECT_NE(modem_creg, 5);
}

TEST_F(BoardModemPoll, ConfiguredPinMakesTheSimReady)
{
    AtModemState state;
    state.sim = SimCard::Pin;
    state.pinLock = true;
    StartModule(state);
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_cpin_status, 1);
    EXPECT_TRUE(Contains(Received(), "AT+CPIN=1234"));
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_cpin_status, 0);
    EXPECT_EQ(modem_creg, 1);
    EXPECT_FALSE(Contains(Received(), "AT+CPIN=1234"));
}

TEST_F(BoardModemPoll, WrongPinIsTriedTwiceAndNeverLocksTheSim)
{
    std::snprintf(modem_pin_code, sizeof modem_pin_code, "%s", "0000");
    AtModemState state;
    state.sim = SimCard::Pin;
    state.pinLock = true;
    StartModule(state);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_cpin_status, 1);
    std::string now = Ctl("at state");
    EXPECT_NE(now.find("sim=pin"), std::string::npos) << now;
    EXPECT_NE(now.find("tries=1"), std::string::npos) << now;
}

TEST_F(BoardModemPoll, NoConfiguredPinSendsNoPin)
{
    modem_pin_code[0] = '\0';
    AtModemState state;
    state.sim = SimCard::Pin;
    state.pinLock = true;
    StartModule(state);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(Cycle(), 0);
    for (const std::string& line : Received()) EXPECT_EQ(line.rfind("AT+CPIN=", 0), std::string::npos) << line;
    EXPECT_NE(Ctl("at state").find("tries=3"), std::string::npos);
}

TEST_F(BoardModemPoll, StoredMessageIsReadAndDeletedThenTheLatchHolds)
{
    StartModule();
    ASSERT_EQ(Cycle(), 0);  // the first cycle empties the storage (AT+CMGD=4,4)
    Received();
    Ctl("at sms deliver +3141592653 +4981726354 24031508300540 hello {world}");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(is_new_sms, 1);
    EXPECT_STREQ(recv_new_sms.phone, "4981726354");
    EXPECT_EQ(std::string(recv_new_sms.time), "24/03/15 08:30:05");
    EXPECT_EQ(std::string(recv_new_sms.message, recv_new_sms.messageLength).substr(0, 13), "hello {world}");
    EXPECT_EQ(recv_new_sms.mode, 0);
    EXPECT_TRUE(Contains(Received(), "AT+CMGRD=0"));
    EXPECT_EQ(Ctl("at sms count"), "ok 0 30");
    EXPECT_NE(printed.find("--> new SMS coming (1/30)\n"), std::string::npos);
    EXPECT_NE(printed.find("gmSMS_getReadMsg enter\n"), std::string::npos);

    // The latch: later messages stay in the storage, and no storage query goes out.
    Ctl("at sms deliver - 12345 24031609000000 later");
    ASSERT_EQ(Cycle(), 0);
    std::vector<std::string> lines = Received();
    EXPECT_FALSE(Contains(lines, "AT+CPMS?"));
    EXPECT_TRUE(Contains(lines, "AT+CGPSINFO"));
    EXPECT_EQ(Ctl("at sms count"), "ok 1 30");
    EXPECT_STREQ(recv_new_sms.phone, "4981726354");
}

TEST_F(BoardModemPoll, GpsFixDrivesTheFlag)
{
    StartModule();
    ASSERT_EQ(Cycle(), 0);  // switches the receiver on (AT+CGPS=1)
    EXPECT_EQ(gps_flag, 0);
    Ctl("at fix 3113.343286 S 12107.655000 W 150324 083005.0 44.0 0.5 271.3");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(gps_flag, 1);
    EXPECT_NEAR(gps_lat, -31.222387f, 1e-5f);
    EXPECT_NEAR(gps_log, -121.127586f, 1e-4f);
    EXPECT_STREQ(str_gprmc, "$GPRMC,083005.0,A,3113.343286,S,12107.655000,W,0.5,271.3,150324,,W*70");
    Ctl("at fix none");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(gps_flag, 0);
    EXPECT_STREQ(str_gprmc, "$GPRMC,,V,,,,,,,,,W*70");
}

TEST_F(BoardModemPoll, RadioResetAfterFiveCyclesWithoutASim)
{
    AtModemState state;
    state.sim = SimCard::Absent;
    StartModule(state);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(Cycle(), 0);
    Ctl("at radio off");  // the reset must switch it on again
    Received();
    ASSERT_EQ(Cycle(), 0);
    std::vector<std::string> lines = Received();
    EXPECT_TRUE(Contains(lines, "AT+CFUN=0"));
    EXPECT_TRUE(Contains(lines, "AT+CFUN=1"));
    EXPECT_NE(Ctl("at state").find("cfun=1"), std::string::npos);
    EXPECT_NE(printed.find("send: AT+CFUN=0\r\n\nrecv:\nAT+CFUN=0\r"), std::string::npos) << printed;
    EXPECT_EQ(modem_count4reset, 0u);
}

TEST_F(BoardModemPoll, TranscriptDayFileHoldsEveryExchange)
{
    logEnable = 1;
    StartModule();
    ASSERT_EQ(Cycle(), 0);
    std::vector<std::string> lines = Received();
    std::time_t now = std::time(nullptr);
    std::tm local;
    localtime_r(&now, &local);
    char rel[64];
    std::strftime(rel, sizeof rel, "/media/card/AT_CMD_LOG/%Y/%m/%d.txt", &local);
    std::ifstream in(dir + rel, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string log = text.str();

    std::size_t records = 0;
    for (std::size_t at = log.find("Time=>"); at != std::string::npos; at = log.find("Time=>", at + 1)) ++records;
    EXPECT_EQ(records, lines.size());
    for (const std::string& line : lines)
        EXPECT_NE(log.find("\r\nCmmand=>" + line + "\r\n\r\nResponse=>\r\n" + line + "\r"), std::string::npos) << line;
    EXPECT_NE(log.find("Response=>\r\nAT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n\r\n"), std::string::npos);
}
