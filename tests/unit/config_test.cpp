// Configuration record: defaults, reading, writing, and the safe rewrite of the file.
#include "config/config.h"
#include "logging/log.h"
#include "temp_sysroot.h"

#include "output_capture.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>


namespace {

const char kDefaultsFile[] =
    "@LIRNMODE;0\r\n@LIRNIP;127.0.0.1\r\n@LIRNPORT;8080\r\n@LIRNHB;10\r\n"
    "@UARTBR;115200\r\n@UARTPB;N\r\n@UARTDB;8\r\n@UARTSB;1\r\n"
    "@PINCODE;8406\r\n@APN;INTERNET\r\n@MODEMUSR;\r\n@MODEMPWD;\r\n";

class ConfigTest : public testing::Test {
protected:
    void SetUp() override
    {
        LogInit();
        InitLirnConfig();
        modem_pin_code[0] = modem_APN[0] = modem_usr[0] = modem_pwd[0] = '\0';
    }
    // Reads the given file content; returns the reader's result and its printed lines.
    int Read(const std::string& content, std::string* printed = nullptr)
    {
        root.WriteFile("/APP/config.ini", content);
        int rc = 0;
        std::string out = Printed([&] { rc = ReadLirnConfig(); });
        if (printed) *printed = out;
        return rc;
    }
    TempSysroot root;
};

TEST_F(ConfigTest, MissingFileLeavesDefaultsLogsAndReturnsMinusOne)
{
    int rc = 0;
    std::string out = Printed([&] { rc = ReadLirnConfig(); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, "Open Config File Error\r\n");
    EXPECT_EQ(LogPushIdx(), 1);
    EXPECT_STREQ(LogEventAt(0).eventClass, "1");
    EXPECT_STREQ(LogEventAt(0).code, "0");
    EXPECT_EQ(LogEventAt(0).withModem, 0);
    EXPECT_STREQ(modem_APN, "");
    EXPECT_STREQ(modem_pin_code, "");
    EXPECT_FALSE(root.Exists("/APP/config.ini"));
}

TEST_F(ConfigTest, SavedDefaultsAreTheTwelveLinesAndReadBackWithEchoInOrder)
{
    root.MakeDirs("/APP");
    EXPECT_EQ(Printed([] { EXPECT_EQ(SaveLirnConfig(), 0); }), kDefaultsFile);
    EXPECT_EQ(root.ReadFile("/APP/config.ini"), kDefaultsFile);
    EXPECT_FALSE(root.Exists("/APP/config.ini.tmp"));

    lirnSet.port = 1;
    std::string printed;
    EXPECT_EQ(Read(root.ReadFile("/APP/config.ini"), &printed), 0);
    EXPECT_EQ(printed, std::string("Content Of Config File:\r\n") + kDefaultsFile);
    EXPECT_EQ(lirnSet.port, 8080);
    EXPECT_STREQ(modem_APN, "INTERNET");
    EXPECT_STREQ(modem_pin_code, "8406");
}

TEST_F(ConfigTest, OnlyPortLineKeepsOtherDefaultsAndLeavesMirrorsEmpty)
{
    std::string printed;
    ASSERT_EQ(Read("@LIRNPORT;9000\r\n", &printed), 0);
    EXPECT_EQ(printed, "Content Of Config File:\r\n@LIRNPORT;9000\r\n");
    EXPECT_EQ(lirnSet.port, 9000);
    EXPECT_STREQ(lirnSet.apn, "INTERNET");
    EXPECT_STREQ(modem_APN, "");
    EXPECT_STREQ(modem_usr, "");
    EXPECT_STREQ(modem_pin_code, "");
}

TEST_F(ConfigTest, PinIsCutToFourCharactersOrTakenWhole)
{
    Read("@PINCODE;12\r\n");
    EXPECT_STREQ(lirnSet.pinCode, "12");
    EXPECT_STREQ(modem_pin_code, "12");
    Read("@PINCODE;123456\r\n");
    EXPECT_STREQ(lirnSet.pinCode, "1234");
    EXPECT_STREQ(modem_pin_code, "1234");
}

TEST_F(ConfigTest, EmptyTokenValueKeepsTheFieldButEmptyTextValueIsStored)
{
    Read("@LIRNPORT;\r\n@LIRNIP;\r\n@PINCODE;\r\n@APN;\r\n");
    EXPECT_EQ(lirnSet.port, 8080);
    EXPECT_STREQ(lirnSet.serverIp, "127.0.0.1");
    EXPECT_STREQ(lirnSet.pinCode, "8406");
    EXPECT_STREQ(lirnSet.apn, "");
    EXPECT_STREQ(modem_APN, "");
}

TEST_F(ConfigTest, NumbersAreReadLikeDecimalTextAndNotRangeChecked)
{
    Read("@LIRNMODE;7\r\n@LIRNHB;  -25xyz\r\n@UARTBR;abc\r\n@UARTPB;e\r\n");
    EXPECT_EQ(lirnSet.mode, 7);
    EXPECT_EQ(lirnSet.hbInterval, -25);
    EXPECT_EQ(lirnSet.uartBaud, 0);
    EXPECT_EQ(lirnSet.uartParity, 'e');
}

TEST_F(ConfigTest, BareLineFeedsLeaveNumbersAloneButStayInTexts)
{
    Read("@LIRNPORT;1234\n@LIRNIP;10.0.0.1\n@APN;web net\n@MODEMUSR;me\n@MODEMPWD;pw\n");
    EXPECT_EQ(lirnSet.port, 1234);
    EXPECT_STREQ(lirnSet.serverIp, "10.0.0.1");
    EXPECT_STREQ(lirnSet.apn, "web net\n");
    EXPECT_STREQ(modem_APN, "web net\n");
    EXPECT_STREQ(lirnSet.modemUser, "me\n");
    EXPECT_STREQ(modem_pwd, "pw\n");
}

TEST_F(ConfigTest, OverlongValuesAreCutToTheirFieldsAndTerminated)
{
    std::string ip(40, '9');
    std::string apn(100, 'a');
    std::string user(31, 'u');
    std::string pwd(32, 'p');
    std::string printed;
    Read("@LIRNIP;" + ip + "\r\n@APN;" + apn + "\r\n@MODEMUSR;" + user + "\r\n@MODEMPWD;" + pwd + "\r\n", &printed);
    EXPECT_EQ(std::string(lirnSet.serverIp), std::string(15, '9'));
    EXPECT_EQ(std::string(lirnSet.apn), std::string(63, 'a'));
    EXPECT_EQ(std::string(modem_APN), std::string(63, 'a'));
    EXPECT_EQ(std::string(lirnSet.modemUser), user);
    EXPECT_EQ(std::string(lirnSet.modemPassword), std::string(31, 'p'));
    EXPECT_NE(printed.find("@APN;" + std::string(63, 'a') + "\r\n"), std::string::npos);
}

TEST_F(ConfigTest, LongLineIsReadInPiecesEachTakenAsALine)
{
    // 127 filler characters, then a key at the start of the second piece.
    std::string line = "#" + std::string(126, 'x') + "@LIRNPORT;4321\r\n";
    Read(line);
    EXPECT_EQ(lirnSet.port, 4321);
}

TEST_F(ConfigTest, UnknownAndMalformedLinesAreIgnored)
{
    std::string printed;
    Read("hello\r\n@lirnport;1\r\n LIRNPORT;2\r\n@LIRNPORT3\r\n\r\n", &printed);
    EXPECT_EQ(lirnSet.port, 8080);
    EXPECT_EQ(printed, "Content Of Config File:\r\n");
}

TEST_F(ConfigTest, SaveReplacesTheWholeFileAndKeepsNoTemporary)
{
    root.WriteFile("/APP/config.ini", std::string(5000, 'z'));
    lirnSet.mode = 2;
    Printed([] { EXPECT_EQ(SaveLirnConfig(), 0); });
    std::string content = root.ReadFile("/APP/config.ini");
    EXPECT_EQ(content.rfind("@LIRNMODE;2\r\n", 0), 0u);
    EXPECT_EQ(content.find('z'), std::string::npos);
    EXPECT_FALSE(root.Exists("/APP/config.ini.tmp"));
}

TEST_F(ConfigTest, FailedRenameLeavesTheOldFileUntouched)
{
    // A directory where the file should be: the rename cannot replace it.
    root.MakeDirs("/APP/config.ini/blocker");
    EXPECT_EQ(Printed([] { EXPECT_EQ(SaveLirnConfig(), -1); }), "");
    EXPECT_TRUE(root.Exists("/APP/config.ini/blocker"));
    EXPECT_FALSE(root.Exists("/APP/config.ini.tmp"));
}

// The tunnel extensions: written only when not at their defaults, refused when out of range.
TEST_F(ConfigTest, ExtensionLinesFollowTheTwelveOnlyWhenChangedAndAreRangeChecked)
{
    root.MakeDirs("/APP");
    lirnSet.quietGapMs = 5;
    lirnSet.outageBytes = 65536;
    lirnSet.keepAliveSec = 60;
    Printed([] { EXPECT_EQ(SaveLirnConfig(), 0); });
    EXPECT_EQ(root.ReadFile("/APP/config.ini"),
              std::string(kDefaultsFile) + "@LIRNGAP;5\r\n@LIRNBUF;65536\r\n@LIRNKA;60\r\n");
    InitLirnConfig();
    std::string printed;
    Read("@LIRNRAW;1\r\n@LIRNGAP;0\r\n@LIRNBUF;65537\r\n@LIRNGAP;7\r\n@LIRNKA;10\r\n@LIRNKA;5\r\n", &printed);
    EXPECT_EQ(printed, "Content Of Config File:\r\n@LIRNRAW;1\r\n@LIRNGAP Out Of Range, Kept 100\r\n"
                       "@LIRNBUF Out Of Range, Kept 0\r\n@LIRNGAP;7\r\n@LIRNKA;10\r\n"
                       "@LIRNKA Out Of Range, Kept 10\r\n");
    EXPECT_EQ(lirnSet.rawChunks, 1);
    EXPECT_EQ(lirnSet.quietGapMs, 7);
    EXPECT_EQ(lirnSet.outageBytes, 0);
    EXPECT_EQ(lirnSet.keepAliveSec, 10);
}

TEST(StrncpyChr, StopsAtStopOrZeroAndReportsOverflowAsZero)
{
    char dst[8];
    std::memset(dst, 'x', sizeof dst);
    EXPECT_EQ(STRNCPY_CHR(dst, "abc\rdef", 8, '\r'), 3u);
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(STRNCPY_CHR(dst, "ab", 8, '\r'), 2u);
    EXPECT_STREQ(dst, "ab");
    std::memset(dst, 'x', sizeof dst);
    EXPECT_EQ(STRNCPY_CHR(dst, "abcdefghij", 4, '\r'), 0u);
    EXPECT_EQ(std::string(dst, 5), "abcdx");
}

}  // namespace
