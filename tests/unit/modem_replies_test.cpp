// Reply parsing of the poll: the field cutter's bound, the status answers (whose table also shows
// the cut at each delimiter, and a field without one left as it was), the IMEI and model texts,
// and the SIM check with its PIN entry and radio reset counters.
#include "config/config.h"
#include "modem/internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class ModemReplies : public ::testing::Test {
protected:
    void SetUp() override
    {
        ModemResetState();
        std::snprintf(modem_pin_code, sizeof modem_pin_code, "%s", "1234");
    }
    void TearDown() override { modem_pin_code[0] = '\0'; }
};

}  // namespace

TEST(StrcpyWithStr, LongFieldIsCutToItsBuffer)
{
    char guard[4][8];
    std::memset(guard, '#', sizeof guard);
    EXPECT_EQ(strcpyWithStr(guard[1], sizeof guard[1], "0123456789abcdef,", ","), 1);
    EXPECT_STREQ(guard[1], "0123456");
    EXPECT_EQ(guard[2][0], '#');
    EXPECT_EQ(guard[0][7], '#');
}

// Each reply in turn, and the word it leaves: a value after the marker's comma is taken up to the
// line end; a reply without the comma, the marker or the line end keeps the word as it was.
TEST_F(ModemReplies, RegistrationSignalAndSystemMode)
{
    const struct {
        ReplyUse use;
        const char* reply;
        const std::atomic<int>& word;
        int want;
    } cases[] = {
        {ReplyUse::Registration, "AT+CREG?\r\r\n+CREG: 0,5\r\n\r\nOK\r\n", modem_creg, 5},
        {ReplyUse::Registration, "\r\n+CREG: 2,1,\"00A1\",\"0123ABCD\",7,\"xyz-long-tail\"\r\n", modem_creg, 1},
        {ReplyUse::Registration, "AT+CREG?\r\r\n+CREG: 0,5\r\n\r\nOK\r\n", modem_creg, 5},
        {ReplyUse::Registration, "\r\n+CREG: 1\r\n\r\nOK\r\n", modem_creg, 5},  // no comma
        {ReplyUse::Registration, "\r\nERROR\r\n", modem_creg, 5},                // no marker
        {ReplyUse::Registration, "+CREG: 0,3", modem_creg, 5},                    // no line end
        {ReplyUse::Registration, "+CREG:0,3\r\n", modem_creg, 5},                 // marker without the blank
        {ReplyUse::Registration, "", modem_creg, 5},
        {ReplyUse::Signal, "AT+CSQ\r\r\n+CSQ: 99,99\r\n\r\nOK\r\n", modem_csq, 99},
        {ReplyUse::Signal, "+CSQ: 23,0\r\n", modem_csq, 23},
        {ReplyUse::Signal, "+CSQ: 17\r\n\r\nOK\r\n", modem_csq, 23},  // no comma: kept
        {ReplyUse::Signal, "+CSQ 17,1\r\n", modem_csq, 23},
        {ReplyUse::Signal, "+CSQ: ,1\r\n", modem_csq, 0},  // empty field reads as 0
        {ReplyUse::SystemMode, "\r\n+CNSMOD: 0,8\r\n\r\nOK\r\n", modem_net_type, 8},
        {ReplyUse::SystemMode, "\r\n+CNSMOD:1,4\r\n", modem_net_type, 4},  // no blank needed
        {ReplyUse::SystemMode, "\r\n+CNSMOD: 8\r\n", modem_net_type, 4},   // no comma: kept
    };
    for (const auto& c : cases) {
        ModemUseReply(c.use, c.reply);
        EXPECT_EQ(c.word.load(), c.want) << c.reply;
    }
}

TEST_F(ModemReplies, ImeiAndItsBounds)
{
    ModemUseReply(ReplyUse::Imei, "AT+SIMEI?\r\r\n+SIMEI: 356789012345678\r\n\r\nOK\r\n");
    EXPECT_STREQ(modem_imei, "356789012345678");
    ModemUseReply(ReplyUse::Imei, "+SIMEI: 35678901234567812345678901234567890\r\n");
    EXPECT_STREQ(modem_imei, "356789012345678");  // cut to 15 characters
    ModemUseReply(ReplyUse::Imei, "+SIMEI: 111");    // no line end: kept
    ModemUseReply(ReplyUse::Imei, "\r\nERROR\r\n");
    EXPECT_STREQ(modem_imei, "356789012345678");
}

TEST_F(ModemReplies, ModelTextIsTheWholeReplyCut)
{
    ModemUseReply(ReplyUse::Model, "AT+GMM\r\r\nSIMCOM_SIM7100E 100%\r\n\r\nOK\r\n");
    EXPECT_STREQ(str_gmm, "AT+GMM\r\r\nSIMCOM_SIM7100E 100%\r\n\r\nOK\r\n");
    std::string lengthy(1023, 'm');
    ModemUseReply(ReplyUse::Model, lengthy.c_str());
    EXPECT_EQ(std::string(str_gmm), std::string(99, 'm'));
}

TEST_F(ModemReplies, TranscriptOnlyRepliesChangeNothing)
{
    ModemUseReply(ReplyUse::Transcript, "+CREG: 0,5\r\n+CSQ: 20,99\r\n+SIMEI: 1\r\n");
    EXPECT_EQ(modem_creg, 0);
    EXPECT_EQ(modem_csq, 0);
    EXPECT_STREQ(modem_imei, "");
}

TEST_F(ModemReplies, SimCheckTable)
{
    struct Case {
        const char* reply;
        int status;
    } cases[] = {
        {"AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n", 0},
        {"\r\n+CPIN: READY\r\n+CPIN: SIM PIN\r\n", 0},  // both markers: ready wins
        {"\r\n+CPIN: SIM PIN\r\n", 1},
        {"\r\n+CPIN: SIM PIN2\r\n", 1},
        {"\r\n+CPIN: SIM PUK\r\n", 2},
        {"\r\n+CME ERROR: 10\r\n", 2},
        {"\r\nERROR\r\n", 2},
        {"", 2},
    };
    for (const Case& c : cases) {
        ModemResetState();
        SimCheck(c.reply);
        EXPECT_EQ(modem_cpin_status, c.status) << c.reply;
    }
}

TEST_F(ModemReplies, PinEnteredOnTheFirstTwoFindingsOnly)
{
    EXPECT_EQ(SimCheck("+CPIN: SIM PIN\r\n"), SimAction::EnterPin);
    EXPECT_EQ(SimCheck("+CPIN: READY\r\n"), SimAction::None);
    EXPECT_EQ(SimCheck("+CPIN: SIM PIN2\r\n"), SimAction::EnterPin);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(SimCheck("+CPIN: SIM PIN\r\n"), SimAction::None);
    EXPECT_EQ(modem_cpin_status, 1);
    EXPECT_EQ(is_input_pin, 7u);
    EXPECT_EQ(modem_count4reset, 0u);
    // No PIN configured: none is entered.
    ModemResetState();
    modem_pin_code[0] = '\0';
    EXPECT_EQ(SimCheck("+CPIN: SIM PIN\r\n"), SimAction::None);
    EXPECT_EQ(is_input_pin, 1u);
}

TEST_F(ModemReplies, RadioResetOnTheFifthOtherAnswer)
{
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(SimCheck("\r\nERROR\r\n"), SimAction::None);
        EXPECT_EQ(modem_count4reset, static_cast<unsigned>(i));
    }
    EXPECT_EQ(SimCheck("\r\nERROR\r\n"), SimAction::RadioReset);
    EXPECT_EQ(modem_count4reset, 0u);
    EXPECT_EQ(modem_cpin_status, 2);
    // The count starts again from 0.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(SimCheck("+CPIN: SIM PUK\r\n"), SimAction::None);
    EXPECT_EQ(SimCheck(""), SimAction::RadioReset);
    // Other answers count whatever came between them.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(SimCheck("\r\nERROR\r\n"), SimAction::None);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(SimCheck("+CPIN: READY\r\n"), SimAction::None);
        SimCheck("+CPIN: SIM PIN\r\n");
    }
    EXPECT_EQ(modem_count4reset, 4u);
    EXPECT_EQ(SimCheck("\r\nERROR\r\n"), SimAction::RadioReset);
}
