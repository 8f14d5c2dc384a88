// The modem poll against the board's simulated module: get_modem_info runs in the test thread on
// dev/smd8 of a temporary sysroot, served by AtModem on a DevicePty, while the test changes the
// module's state through its control verbs between cycles. The status words are read here
// directly; PIN entry, the message latch, the radio reset and the transcript are shown end to end
// (tests/e2e/modem_test.cpp) and against a scripted module (tests/unit/modem_poll_test.cpp).
#include "at_modem.h"
#include "board_test_support.h"

#include "config/config.h"
#include "logging/log.h"
#include "modem/modem.h"
#include "platform/sysroot.h"

#include <string>
#include <vector>

namespace {

class BoardModemPoll : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir.MakeDirs("dev");
        SysrootSet(dir.Path().c_str());
        ModemResetState();
        logEnable = 0;
    }
    void TearDown() override
    {
        pty.reset();
        SysrootSet("");
    }

    void StartModule(const AtModemState& state = AtModemState())
    {
        modem.SetState(state);
        pty = std::make_unique<DevicePty>(modem, dir / "dev/smd8");
        pty->Start();
    }

    // A control request for the module, written as on the board's control channel ("at ...");
    // fails the test when the module refuses it.
    std::string Ctl(const std::string& line)
    {
        std::vector<std::string> words = SplitWords(line);
        words.erase(words.begin());  // the device prefix
        std::string reply = pty->Control(words);
        EXPECT_EQ(reply.rfind("ok", 0), 0u) << line << " -> " << reply;
        return reply;
    }

    int Cycle()
    {
        int rc = 0;
        Printed([&] { rc = get_modem_info(); });
        return rc;
    }

    TempDir dir;
    AtModem modem;
    std::unique_ptr<DevicePty> pty;
};

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
