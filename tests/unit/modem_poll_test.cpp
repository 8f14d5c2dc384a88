// One poll cycle against a scripted AT device on a real pty: command order, waits, PIN entry,
// radio reset, the message step and the close at the end of every cycle. The transcript's records
// are pinned in log_test.cpp, and that every exchange reaches it end to end in e2e/modem_test.cpp,
// as does a stored message read once with the latch ending the storage queries.
#include "config/config.h"
#include "logging/log.h"
#include "modem/modem.h"
#include "platform/sysroot.h"

#include "modem_at_responder.h"
#include "temp_sysroot.h"

#include "output_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

const std::vector<std::string> kOncePerRun = {
    "ATI\r\n", "AT+GMM\r\n", "AT+SIMEI?\r\n", "AT+CGPS?\r\n", "AT+CGPS=1\r\n", "AT+CMGD=4,4\r\n",
};
const std::vector<std::string> kEveryCycle = {
    "AT+CPIN?\r\n", "AT+CREG?\r\n", "AT+CSQ\r\n", "AT+CNSMOD?\r\n", "AT+CGPSINFO\r\n", "AT+CPMS?\r\n",
};

// A sleep shorter than asked never happens; the margin only covers clock granularity.
constexpr long kStampSlackMs = 15;

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ModemPoll : public ::testing::Test {
protected:
    void SetUp() override
    {
        ModemResetState();
        logEnable = 0;
        std::snprintf(modem_pin_code, sizeof modem_pin_code, "%s", "1234");
    }
    void TearDown() override
    {
        modem_pin_code[0] = '\0';
        logEnable = 0;
    }

    // A module with a ready SIM, registered, no fix, an empty storage.
    void ReadyModem(AtResponder& at)
    {
        const std::pair<const char*, const char*> answers[] = {
            {"ATI\r\n", "Manufacturer: SIMCOM INCORPORATED"}, {"AT+GMM\r\n", "SIMCOM_SIM7100E"},
            {"AT+SIMEI?\r\n", "+SIMEI: 356789012345678"}, {"AT+CGPS?\r\n", "+CGPS: 1,1"},
            {"AT+CGPS=1\r\n", ""}, {"AT+CMGD=4,4\r\n", ""}, {"AT+CPIN?\r\n", "+CPIN: READY"},
            {"AT+CREG?\r\n", "+CREG: 0,1"}, {"AT+CSQ\r\n", "+CSQ: 21,99"}, {"AT+CNSMOD?\r\n", "+CNSMOD: 0,8"},
            {"AT+CGPSINFO\r\n", "+CGPSINFO: ,,,,,,,,"},
            {"AT+CPMS?\r\n", "+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30"},
        };
        for (const auto& [command, answer] : answers) at.Answer(command, answer);
    }

    int Cycle()
    {
        cycleStart = Clock::now();
        int rc = 0;
        printed = Printed([&] { rc = get_modem_info(); });
        return rc;
    }

    // When a command reached the responder, counted from the start of the last cycle. The
    // responder's stamp is never early but may be late (its thread stalled on a busy machine), so
    // the firmware's waits are checked as lower bounds from the cycle's start, not as gaps.
    long SinceCycleStart(const AtResponder::Received& r) const
    {
        return static_cast<long>(std::chrono::duration_cast<milliseconds>(r.at - cycleStart).count());
    }

    TempSysroot root;  // the sysroot of this test, removed with it
    std::string printed;
    Clock::time_point cycleStart;
};

}  // namespace

TEST_F(ModemPoll, FirstCycleOrderWaitsValuesAndClose)
{
    AtResponder at(root.Path());
    ReadyModem(at);
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(at.CommandTexts(), Concat(kOncePerRun, kEveryCycle));
    // Each command after the first waits 100 ms for the one before.
    std::vector<AtResponder::Received> got = at.Commands();
    ASSERT_FALSE(got.empty());
    EXPECT_GE(SinceCycleStart(got.back()), static_cast<long>(got.size() - 1) * 100 - kStampSlackMs);
    EXPECT_EQ(at.FirmwareOpenCount(), 0);
    EXPECT_EQ(modem_cpin_status, 0);
    EXPECT_EQ(modem_creg, 1);
    EXPECT_EQ(modem_csq, 21);
    EXPECT_EQ(modem_net_type, 8);
    EXPECT_STREQ(modem_imei, "356789012345678");
    EXPECT_STREQ(str_gmm, "AT+GMM\r\n\r\nSIMCOM_SIM7100E\r\n\r\nOK\r\n");
    EXPECT_STREQ(str_gprmc, "$GPRMC,,V,,,,,,,,,W*70");
    EXPECT_EQ(is_do_first_time_cmd, 1);
    EXPECT_EQ(printed, "");  // a quiet cycle prints nothing
}

TEST_F(ModemPoll, LaterCyclesTrackChangesAndSkipTheOncePerRunCommands)
{
    AtResponder at(root.Path());
    ReadyModem(at);
    ASSERT_EQ(Cycle(), 0);
    at.ClearCommands();
    at.Answer("AT+CREG?\r\n", "+CREG: 0,5");
    at.Answer("AT+CSQ\r\n", "+CSQ: 99,99");
    at.Answer("AT+CNSMOD?\r\n", "+CNSMOD: 0,4");
    at.Answer("AT+CGPSINFO\r\n", "+CGPSINFO: 4807.038,N,01131.000,E,010120,120000.0,520.0,0.0,0.0");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(at.CommandTexts(), kEveryCycle);
    EXPECT_EQ(modem_creg, 5);
    EXPECT_EQ(modem_csq, 99);
    EXPECT_EQ(modem_net_type, 4);
    EXPECT_EQ(gps_flag, 1);
    EXPECT_EQ(at.FirmwareOpenCount(), 0);  // answers without their markers: modem_replies_test
}

TEST_F(ModemPoll, FailedOpensLeaveTheOncePerRunCommandsForTheFirstOpen)
{
    modem_creg = 5;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(Cycle(), -1);
        EXPECT_NE(printed.find("open com_at fails\n"), std::string::npos);
    }
    EXPECT_EQ(is_do_first_time_cmd, 0);
    EXPECT_EQ(modem_creg, 5);
    AtResponder at(root.Path());
    ReadyModem(at);
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(at.CommandTexts(), Concat(kOncePerRun, kEveryCycle));
}

TEST_F(ModemPoll, PinEnteredTwicePerRunWithItsWait)
{
    AtResponder at(root.Path());
    ReadyModem(at);
    at.Answer("AT+CPIN?\r\n", "+CPIN: SIM PIN");
    for (int cycle = 1; cycle <= 3; ++cycle) {
        at.ClearCommands();
        ASSERT_EQ(Cycle(), 0);
        EXPECT_EQ(modem_cpin_status, 1);
        std::vector<AtResponder::Received> got = at.Commands();
        std::size_t cpin = 0;
        while (cpin < got.size() && got[cpin].command != "AT+CPIN?\r\n") ++cpin;
        ASSERT_LT(cpin + 2, got.size());
        if (cycle <= 2) {
            EXPECT_EQ(got[cpin + 1].command, "AT+CPIN=1234\r\n") << cycle;
            EXPECT_EQ(got[cpin + 2].command, "AT+CREG?\r\n");
            EXPECT_GE(SinceCycleStart(got[cpin + 2]), 3000 - kStampSlackMs);
        } else {
            EXPECT_EQ(got[cpin + 1].command, "AT+CREG?\r\n");
        }
    }
}

TEST_F(ModemPoll, ShortPinIsSentAsConfigured)
{
    std::snprintf(modem_pin_code, sizeof modem_pin_code, "%s", "12");
    AtResponder at(root.Path());
    ReadyModem(at);
    at.Answer("AT+CPIN?\r\n", "+CPIN: SIM PIN");
    ASSERT_EQ(Cycle(), 0);
    std::vector<std::string> got = at.CommandTexts();
    EXPECT_NE(std::find(got.begin(), got.end(), "AT+CPIN=12\r\n"), got.end());
}

TEST_F(ModemPoll, RadioResetOnTheFifthOtherAnswer)
{
    AtResponder at(root.Path());
    ReadyModem(at);
    at.Forget("AT+CPIN?\r\n");  // answered with ERROR only
    for (int cycle = 1; cycle <= 4; ++cycle) {
        ASSERT_EQ(Cycle(), 0);
        EXPECT_EQ(modem_cpin_status, 2);
    }
    at.ClearCommands();
    ASSERT_EQ(Cycle(), 0);
    std::vector<AtResponder::Received> got = at.Commands();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[0].command, "AT+CPIN?\r\n");
    EXPECT_EQ(got[1].command, "AT+CFUN=0\r\n");
    EXPECT_EQ(got[2].command, "AT+CFUN=1\r\n");
    EXPECT_EQ(got[3].command, "AT+CREG?\r\n");
    EXPECT_GE(SinceCycleStart(got[2]), 500 + 2000 - kStampSlackMs);
    EXPECT_GE(SinceCycleStart(got[3]), 500 + 2000 + 2000 - kStampSlackMs);
    EXPECT_EQ(modem_count4reset, 0u);
    EXPECT_EQ(printed, "send: AT+CFUN=0\r\n\nrecv:\nAT+CFUN=0\r\n\r\nERROR\r\n\n"
                       "send: AT+CFUN=1\r\n\nrecv:\nAT+CFUN=1\r\n\r\nERROR\r\n\n");
    EXPECT_EQ(at.FirmwareOpenCount(), 0);
}

TEST_F(ModemPoll, NothingParseableReadsEveryIndexEachCycle)
{
    AtResponder at(root.Path());
    ReadyModem(at);
    at.Answer("AT+CPMS?\r\n", "+CPMS: \"SM\",1,3,\"SM\",1,3,\"SM\",1,3");
    for (int cycle = 0; cycle < 2; ++cycle) {
        at.ClearCommands();
        ASSERT_EQ(Cycle(), 0);
        std::vector<std::string> got = at.CommandTexts();
        ASSERT_GE(got.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(got.end() - 3, got.end()),
                  (std::vector<std::string>{"AT+CMGRD=0\r\n", "AT+CMGRD=1\r\n", "AT+CMGRD=2\r\n"}));
    }
    EXPECT_EQ(is_new_sms, 0);
}

TEST_F(ModemPoll, StorageSizeZeroPrintsTheNoticeAndReadsNothing)
{
    AtResponder at(root.Path());
    ReadyModem(at);
    at.Answer("AT+CPMS?\r\n", "+CPMS: \"SM\",2,30");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(at.CommandTexts().back(), "AT+CPMS?\r\n");
    EXPECT_EQ(printed, "--> new SMS coming (2/0)\n");
}

TEST_F(ModemPoll, ReplyFillingTheWholeAreaStaysATerminatedText)
{
    AtResponder at(root.Path());
    ReadyModem(at);
    ASSERT_EQ(Cycle(), 0);
    // 1023 bytes of the registration reply are read in its exchange; the marker lies beyond them
    // and arrives at the front of the next exchange's reply, where nobody looks for it.
    at.AnswerRaw("AT+CREG?\r\n", std::string(1500, 'x') + "\r\n+CREG: 0,5\r\n");
    at.AnswerRaw("AT+CSQ\r\n", "\r\n+CSQ: 7,99\r\n");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_creg, 1);
    EXPECT_EQ(modem_csq, 7);
    EXPECT_EQ(at.FirmwareOpenCount(), 0);
}
