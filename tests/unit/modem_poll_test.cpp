// One poll cycle against the simulated module on a real pty: command order, waits, PIN entry,
// radio reset, the message step and the close at the end of every cycle. The transcript's records
// are pinned in log_test.cpp, and that every exchange reaches it end to end in e2e/modem_test.cpp,
// as does a stored message read once with the latch ending the storage queries.
#include "config/config.h"
#include "logging/log.h"
#include "modem/internal.h"
#include "platform/sysroot.h"

#include "at_modem.h"
#include "board_util.h"
#include "sim_device.h"
#include "temp_sysroot.h"

#include "output_capture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kOncePerRun = {"ATI", "AT+GMM", "AT+SIMEI?", "AT+CGPS?", "AT+CGPS=1", "AT+CMGD=4,4"};
const std::vector<std::string> kEveryCycle = {"AT+CPIN?", "AT+CREG?", "AT+CSQ", "AT+CNSMOD?", "AT+CGPSINFO", "AT+CPMS?"};

// A sleep shorter than asked never happens; the margin only covers clock granularity.
constexpr long kStampSlackMs = 15;

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One command line the module received, and when (board milliseconds).
struct Received {
    int64_t atMs;
    std::string line;
};

// The simulated module (registered, no fix, an empty storage) on dev/smd8 of the sysroot.
class Module {
public:
    explicit Module(TempSysroot& root) : pty_(modem_, (root.MakeDirs("/dev"), root.Path("/dev/smd8")))
    {
        pty_.Start();
        baseline_ = OpenOnSlave();
    }
    void Set(const std::string& request) { ASSERT_EQ(pty_.Control(SplitWords(request)), "ok") << request; }
    std::vector<Received> Lines()
    {
        std::istringstream in(pty_.Control({"log"}));
        std::vector<Received> lines;
        std::string word;
        in >> word >> word;  // "ok" and the count
        while (in >> word) lines.push_back({std::atoll(word.c_str()), word.substr(word.find(':') + 1)});
        return lines;
    }
    std::vector<std::string> Texts()
    {
        std::vector<std::string> texts;
        for (const Received& r : Lines()) texts.push_back(r.line);
        return texts;
    }
    void Clear() { Set("log clear"); }
    // Descriptors of this process open on the pty's slave beyond the simulator's own.
    int FirmwareOpenCount() const { return OpenOnSlave() - baseline_; }

private:
    int OpenOnSlave() const
    {
        int count = 0;
        DIR* d = opendir("/proc/self/fd");
        if (d == nullptr) return -1;
        while (struct dirent* e = readdir(d)) {
            char target[256];
            ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if (pty_.SlavePath() == target) ++count;
        }
        closedir(d);
        return count;
    }

    AtModem modem_;
    DevicePty pty_;
    int baseline_ = 0;
};

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

    int Cycle()
    {
        cycleStartMs = BoardNowMs();
        int rc = 0;
        printed = Printed([&] { rc = get_modem_info(); });
        return rc;
    }

    // When a command reached the module, counted from the start of the last cycle. The stamp is
    // never early but may be late (the simulator's thread stalled on a busy machine), so the
    // firmware's waits are checked as lower bounds from the cycle's start, not as gaps.
    long SinceCycleStart(const Received& r) const { return static_cast<long>(r.atMs - cycleStartMs); }

    TempSysroot root;  // the sysroot of this test, removed with it
    std::string printed;
    int64_t cycleStartMs = 0;
};

}  // namespace

TEST_F(ModemPoll, FirstCycleOrderWaitsValuesAndClose)
{
    Module at(root);
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(at.Texts(), Concat(kOncePerRun, kEveryCycle));
    // Each command after the first waits 100 ms for the one before.
    std::vector<Received> got = at.Lines();
    ASSERT_FALSE(got.empty());
    EXPECT_GE(SinceCycleStart(got.back()), static_cast<long>(got.size() - 1) * 100 - kStampSlackMs);
    EXPECT_EQ(at.FirmwareOpenCount(), 0);
    EXPECT_EQ(modem_cpin_status, 0);
    EXPECT_EQ(modem_creg, 1);
    EXPECT_EQ(modem_csq, 20);
    EXPECT_EQ(modem_net_type, 8);
    EXPECT_STREQ(modem_imei, "862631039274815");
    EXPECT_STREQ(str_gmm, "AT+GMM\r\r\nSIMCOM_SIM7100E\r\n\r\nOK\r\n");
    EXPECT_STREQ(str_gprmc, "$GPRMC,,V,,,,,,,,,W*70");
    EXPECT_EQ(is_do_first_time_cmd, 1);
    EXPECT_EQ(printed, "");  // a quiet cycle prints nothing
}

TEST_F(ModemPoll, LaterCyclesTrackChangesAndSkipTheOncePerRunCommands)
{
    Module at(root);
    ASSERT_EQ(Cycle(), 0);
    at.Clear();
    at.Set("creg 5");
    at.Set("csq 99");
    at.Set("cnsmod 4");
    at.Set("fix 4807.038 N 01131.000 E 010120 120000.0 520.0 0.0 0.0");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(at.Texts(), kEveryCycle);
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
    Module at(root);
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(at.Texts(), Concat(kOncePerRun, kEveryCycle));
}

// A short PIN goes out as configured, not padded, and the poll waits 3 s after it. That it is
// entered on the first two findings of a run only is modem_replies_test's.
TEST_F(ModemPoll, PinEnteredWithItsWait)
{
    std::snprintf(modem_pin_code, sizeof modem_pin_code, "%s", "12");
    Module at(root);
    at.Set("sim pin 4321");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_cpin_status, 1);
    std::vector<Received> got = at.Lines();
    std::size_t cpin = 0;
    while (cpin < got.size() && got[cpin].line != "AT+CPIN?") ++cpin;
    ASSERT_LT(cpin + 2, got.size());
    EXPECT_EQ(got[cpin + 1].line, "AT+CPIN=12");
    EXPECT_EQ(got[cpin + 2].line, "AT+CREG?");
    EXPECT_GE(SinceCycleStart(got[cpin + 2]), 3000 - kStampSlackMs);
}

// The fifth other answer in a row (counted in modem_replies_test) resets the radio: both commands
// with their waits, before the poll goes on.
TEST_F(ModemPoll, RadioResetOnTheFifthOtherAnswer)
{
    Module at(root);
    at.Set("sim absent");  // answered with an error only
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_cpin_status, 2);
    modem_count4reset = 4;
    at.Clear();
    ASSERT_EQ(Cycle(), 0);
    std::vector<Received> got = at.Lines();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[0].line, "AT+CPIN?");
    EXPECT_EQ(got[1].line, "AT+CFUN=0");
    EXPECT_EQ(got[2].line, "AT+CFUN=1");
    EXPECT_EQ(got[3].line, "AT+CREG?");
    EXPECT_GE(SinceCycleStart(got[2]), 500 + 2000 - kStampSlackMs);
    EXPECT_GE(SinceCycleStart(got[3]), 500 + 2000 + 2000 - kStampSlackMs);
    EXPECT_EQ(modem_count4reset, 0u);
    EXPECT_EQ(printed, "send: AT+CFUN=0\r\n\nrecv:\nAT+CFUN=0\r\r\nOK\r\n\n"
                       "send: AT+CFUN=1\r\n\nrecv:\nAT+CFUN=1\r\r\nOK\r\n\n");
    EXPECT_EQ(at.FirmwareOpenCount(), 0);
}

TEST_F(ModemPoll, NothingParseableReadsEveryIndexEachCycle)
{
    Module at(root);
    at.Set("script AT+CPMS? \\r\\n+CPMS: \"SM\",1,3,\"SM\",1,3,\"SM\",1,3\\r\\n\\r\\nOK\\r\\n");
    for (int cycle = 0; cycle < 2; ++cycle) {
        at.Clear();
        ASSERT_EQ(Cycle(), 0);
        std::vector<std::string> got = at.Texts();
        ASSERT_GE(got.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(got.end() - 3, got.end()),
                  (std::vector<std::string>{"AT+CMGRD=0", "AT+CMGRD=1", "AT+CMGRD=2"}));
    }
    EXPECT_EQ(is_new_sms, 0);
}

TEST_F(ModemPoll, StorageSizeZeroPrintsTheNoticeAndReadsNothing)
{
    Module at(root);
    at.Set("script AT+CPMS? \\r\\n+CPMS: \"SM\",2,30\\r\\n\\r\\nOK\\r\\n");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(at.Texts().back(), "AT+CPMS?");
    EXPECT_EQ(printed, "--> new SMS coming (2/0)\n");
}

TEST_F(ModemPoll, ReplyFillingTheWholeAreaStaysATerminatedText)
{
    Module at(root);
    ASSERT_EQ(Cycle(), 0);
    // 1023 bytes of the registration reply are read in its exchange; the marker lies beyond them
    // and arrives at the front of the next exchange's reply, where nobody looks for it.
    at.Set("script AT+CREG? " + std::string(1500, 'x') + "\\r\\n+CREG: 0,5\\r\\n");
    at.Set("script AT+CSQ \\r\\n+CSQ: 7,99\\r\\n");
    ASSERT_EQ(Cycle(), 0);
    EXPECT_EQ(modem_creg, 1);
    EXPECT_EQ(modem_csq, 7);
    EXPECT_EQ(at.FirmwareOpenCount(), 0);
}
