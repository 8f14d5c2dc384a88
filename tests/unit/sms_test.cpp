// The message step's parsers: storage occupancy and the read-and-delete reply into the record.
// Codings are the decoder's (pdu_test); a lying length never overruns the record (sms_fuzz).
#include "modem/internal.h"

#include "sms_pdu_builder.h"

#include "output_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace pdutest;

namespace {

std::string ReadReply(const std::string& pdu)
{
    char head[64];
    std::snprintf(head, sizeof head, "AT+CMGRD=1\r\r\n+CMGRD: 1,,%zu\r\n", pdu.size() / 2 - 7);
    return head + pdu + "\r\n\r\nOK\r\n";
}

// gmSMS_getReadMsg on a reply; what it printed (its parse markers) goes to printed.
int ReadMsg(const std::string& reply, SmsRecord* r, std::string* printed = nullptr)
{
    int rc = -1;
    std::string out = Printed([&] { rc = gmSMS_getReadMsg(reply.c_str(), r); });
    if (printed != nullptr) *printed = out;
    return rc;
}

// The record filled with a marker byte, so that untouched bytes show.
SmsRecord MarkedRecord()
{
    SmsRecord r;
    std::memset(&r, 0xAA, sizeof r);
    return r;
}

}  // namespace

// The first storage of the answer counts; a size as the last field, a missing marker or missing
// commas read as zero.
TEST(SmsStorage, OccupancyOfTheFirstStorage)
{
    const struct {
        const char* answer;
        int used, size;
    } cases[] = {
        {"AT+CPMS?\r\r\n+CPMS: \"SM\",2,30,\"SM\",2,30,\"SM\",2,30\r\n\r\nOK\r\n", 2, 30},
        {"+CPMS: \"SM\",2,30\r\n\r\nOK\r\n", 2, 0},
        {"\r\nERROR\r\n", 0, 0},
        {"+CPMS: \"SM\"\r\n", 0, 0},
        {"+CPMS: \"SM\",7\r\n", 0, 0},  // no comma after the number used
        {"+CPMS: \"SM\",,30,", 0, 30},
    };
    for (const auto& c : cases) {
        int used = -1, size = -1;
        SmsStorageOccupancy(c.answer, &used, &size);
        EXPECT_EQ(used, c.used) << c.answer;
        EXPECT_EQ(size, c.size) << c.answer;
    }
}

TEST(SmsStorage, IndexesReadAreBoundedByWhatASimCanHold)
{
    EXPECT_EQ(SmsIndexesToRead(30), 30);
    EXPECT_EQ(SmsIndexesToRead(0), 0);
    EXPECT_EQ(SmsIndexesToRead(-4), 0);
    EXPECT_EQ(SmsIndexesToRead(255), 255);
    EXPECT_EQ(SmsIndexesToRead(2000000000), 255);
}

TEST(SmsRead, FullReplyFillsTheRecord)
{
    std::string pdu = Build(Text7(Septets("hello")));
    SmsRecord r = MarkedRecord();
    std::string printed;
    EXPECT_EQ(ReadMsg(ReadReply(pdu), &r, &printed), 1);
    EXPECT_EQ(printed, "1>2>3>4>5>len=23\n");
    EXPECT_STREQ(r.phone, "4981726354");
    EXPECT_EQ(std::string(r.time, 18), std::string("24/03/15 08:30:05\0", 18));
    EXPECT_EQ(static_cast<unsigned char>(r.time[18]), 0xAA);  // the last two bytes are not written
    EXPECT_EQ(static_cast<unsigned char>(r.time[19]), 0xAA);
    EXPECT_EQ(r.messageLength, 5);
    EXPECT_EQ(std::string(r.message, 5), "hello");
    EXPECT_EQ(static_cast<unsigned char>(r.message[5]), 0xAA);  // no terminator added
    EXPECT_EQ(r.mode, 0);
}

TEST(SmsRead, AlphanumericFieldBeforeTheLength)
{
    std::string pdu = Build(Text7(Septets("hi")));
    std::string reply = "\r\n+CMGRD: 0,\"Mum\",21\r\n" + pdu + "\r\n";
    SmsRecord r = MarkedRecord();
    std::string printed;
    EXPECT_EQ(ReadMsg(reply, &r, &printed), 1);
    EXPECT_EQ(printed, "1>2>3>4>5>len=21\n");
    EXPECT_EQ(std::string(r.message, 2), "hi");
}

TEST(SmsRead, FullSevenBitMessageTakes160Bytes)
{
    std::vector<uint8_t> septets(160, 'q');
    SmsRecord r = MarkedRecord();
    EXPECT_EQ(ReadMsg(ReadReply(Build(Text7(septets))), &r), 1);
    EXPECT_EQ(r.messageLength, 160);
    EXPECT_EQ(std::string(r.message, 160), std::string(160, 'q'));
    EXPECT_EQ(static_cast<unsigned char>(r.message[160]), 0xAA);
}

TEST(SmsRead, MissingPartsReturnZeroAndLeaveTheRecord)
{
    struct Case {
        const char* reply;
        const char* printed;
    } cases[] = {
        {"\r\nOK\r\n", "1>"},
        {"+CMGRD: 1\r\n0691", "1>2>"},
        {"+CMGRD: 1,22\r\n0691", "1>2>3>"},
        {"+CMGRD: 1,,22", "1>2>3>4>"},
        {"+CMGRD: 1,,22\r", "1>2>3>4>5>len=22\n"},  // no line feed before the PDU
    };
    for (const Case& c : cases) {
        SmsRecord r = MarkedRecord();
        std::string printed;
        EXPECT_EQ(ReadMsg(c.reply, &r, &printed), 0) << c.reply;
        EXPECT_EQ(printed, c.printed) << c.reply;
        SmsRecord marked = MarkedRecord();
        EXPECT_EQ(std::memcmp(&r, &marked, sizeof r), 0) << c.reply;
    }
}

TEST(SmsRead, HeaderWithAnEmptyPduStillFillsTheRecord)
{
    SmsRecord r = MarkedRecord();
    EXPECT_EQ(ReadMsg("+CMGRD: 1,,0\r\n", &r), 1);
    EXPECT_STREQ(r.phone, "");
    EXPECT_EQ(r.messageLength, 0);
}
