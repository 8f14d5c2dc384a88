// Event ring and transcript day files. The switch file's last line wins (log_switch_fuzz); a
// card that cannot be written stops no caller, and the transcripts resume once it can (e2e
// faults_test CardRemovedOrFull).
#include "logging/log.h"
#include "modem/modem.h"
#include "temp_sysroot.h"

#include <gtest/gtest.h>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

class LogTest : public testing::Test {
protected:
    void SetUp() override { LogInit(); }
    void TearDown() override
    {
        modem_creg = 0;
        modem_csq = 0;
    }
    // The day file of a tree for today, as a system path.
    std::string DayFile(const char* tree)
    {
        char date[11];
        getTimeStr(date, 'd');
        return std::string("/media/card/") + tree + "/" + date + ".txt";
    }
    TempSysroot root;
};

TEST_F(LogTest, InitCreatesTheThreeTreesAndClearsState)
{
    EXPECT_TRUE(root.Exists("/media/card/USR_LOG"));
    EXPECT_TRUE(root.Exists("/media/card/AT_CMD_LOG"));
    EXPECT_TRUE(root.Exists("/media/card/QMI_LOG"));
    EXPECT_EQ(logEnable, 0);
    EXPECT_EQ(LogPushIdx(), 0);
}

TEST_F(LogTest, RingHoldsTwentyNineEventsThenDrops)
{
    for (int i = 0; i < 40; ++i) LogPush(2, i % 10, nullptr);
    EXPECT_EQ(LogPushIdx(), 29);
    EXPECT_STREQ(LogEventAt(28).code, "8");
    EXPECT_STREQ(LogEventAt(29).code, "");  // the free slot is never filled
}

TEST_F(LogTest, EventWithModemStateCopiesRegistrationAndSignal)
{
    LogModemState modem = {5, 23};
    LogPush(2, 7, &modem);
    LogPush(0, 3, nullptr);
    EXPECT_STREQ(LogEventAt(0).eventClass, "2");
    EXPECT_STREQ(LogEventAt(0).code, "7");
    EXPECT_EQ(LogEventAt(0).creg, 5);
    EXPECT_EQ(LogEventAt(0).csq, 23);
    EXPECT_EQ(LogEventAt(0).withModem, 1);
    EXPECT_EQ(LogEventAt(1).creg, 0);
    EXPECT_EQ(LogEventAt(1).csq, 0);
    EXPECT_EQ(LogEventAt(1).withModem, 0);
    EXPECT_EQ(std::strlen(LogEventAt(0).time), 8u);
}

TEST_F(LogTest, ConcurrentPushesEachTakeTheirOwnSlot)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 6; ++i) LogPush(t, i, nullptr);
        });
    for (auto& th : threads) th.join();
    ASSERT_EQ(LogPushIdx(), 24);
    int perClass[4] = {0, 0, 0, 0};
    for (int i = 0; i < 24; ++i) perClass[LogEventAt(i).eventClass[0] - '0']++;
    for (int n : perClass) EXPECT_EQ(n, 6);
}

TEST_F(LogTest, TranscriptsAreWrittenOnlyWhileTheSwitchIsOne)
{
    logEnable = 2;
    AtCmdLog("AT+CSQ\r\n", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    QmiLog("qmi_init", "3");
    EXPECT_FALSE(root.Exists(DayFile("AT_CMD_LOG")));
    EXPECT_FALSE(root.Exists(DayFile("QMI_LOG")));
    logEnable = 1;
    AtCmdLog("AT+CSQ\r\n", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    QmiLog("qmi_init", "3");
    std::string at = root.ReadFile(DayFile("AT_CMD_LOG"));
    std::string qmi = root.ReadFile(DayFile("QMI_LOG"));
    ASSERT_EQ(at.rfind("Time=>", 0), 0u);
    EXPECT_EQ(at.substr(14), "\r\nCmmand=>AT+CSQ\r\n\r\nResponse=>\r\n\r\n+CSQ: 20,99\r\n\r\nOK\r\n\r\n");
    ASSERT_EQ(qmi.rfind("Time=>", 0), 0u);
    EXPECT_EQ(qmi.substr(14), "\r\nAPI=>qmi_init\r\nResponse=>3\r\n");
}

TEST_F(LogTest, RecordsAppendAndLongAnswersAreWrittenWhole)
{
    logEnable = 1;
    std::string answer(1023, 'A');
    AtCmdLog("ATI\r\n", answer.c_str());
    AtCmdLog("AT+GMM\r\n", "x");
    std::string at = root.ReadFile(DayFile("AT_CMD_LOG"));
    EXPECT_NE(at.find(answer + "\r\n"), std::string::npos);
    EXPECT_NE(at.find("Cmmand=>AT+GMM\r\n"), std::string::npos);
    EXPECT_LT(at.find("ATI"), at.find("AT+GMM"));
}

}  // namespace
