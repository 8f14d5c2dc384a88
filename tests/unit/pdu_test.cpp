// The SMS-DELIVER decoder: the worked example, each coding, escapes, odd addresses, and input
// whose lengths lie or whose text ends early.
#include "modem/pdu.h"

#include "sms_pdu_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace pdutest;

namespace {

const char kExample[] = "06911314956235040A91941827364500004230518003500405E8329BFD06";

std::string Bytes(const char* p, std::size_t n)
{
    return std::string(p, n);
}

// Decodes text from a heap copy of exactly its size, so a read past its end is caught by ASan.
int Decode(const std::string& text, SmsPduParams* params)
{
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return gsmDecodePdu(copy.data(), params);
}

void ExpectTerminatedWithin(const char* field, std::size_t size)
{
    EXPECT_NE(std::memchr(field, '\0', size), nullptr);
}

}  // namespace

TEST(PduDecode, WorkedExample)
{
    EXPECT_EQ(Build(Text7(Septets("hello"))), kExample);  // the builder agrees with the example
    SmsPduParams p;
    // The rest of the reply after the PDU is not read.
    EXPECT_EQ(Decode(std::string(kExample) + "\r\n\r\nOK\r\n", &p), 5);
    EXPECT_STREQ(p.scAddress, "3141592653");
    EXPECT_STREQ(p.address, "4981726354");
    EXPECT_EQ(p.protocolId, 0);
    EXPECT_EQ(p.dataCoding, 0);
    EXPECT_STREQ(p.timeStamp, "24031508300540");
    EXPECT_EQ(p.userDataLength, 5);
    EXPECT_EQ(Bytes(p.userData, 6), std::string("hello", 6));
}

TEST(PduDecode, OddOriginatorDropsItsFiller)
{
    Pdu pdu = Text7(Septets("hi"));
    pdu.oa = "123456789";
    EXPECT_NE(Build(pdu).find("099121436587F9"), std::string::npos);
    SmsPduParams p;
    EXPECT_EQ(Decode(Build(pdu), &p), 2);
    EXPECT_STREQ(p.address, "123456789");
    EXPECT_STREQ(p.timeStamp, "24031508300540");
    EXPECT_STREQ(p.userData, "hi");
}

TEST(PduDecode, EscapesAndTableCharacters)
{
    SmsPduParams p;
    EXPECT_EQ(Decode(Build(Text7({'a', 0x1B, 0x28, 'b', 0x1B, 0x65, 0x00, 0x02, 0x11})), &p), 7);
    EXPECT_EQ(p.userDataLength, 9);
    EXPECT_EQ(Bytes(p.userData, 8), std::string("a{b\xA4@$_\0", 8));
    // An escape without a table entry stays an escape.
    EXPECT_EQ(Decode(Build(Text7({0x1B, 'A'})), &p), 2);
    EXPECT_EQ(Bytes(p.userData, 3), std::string("\x1B" "A\0", 3));

    const std::vector<std::pair<uint8_t, char>> table = {
        {0x0A, '\x0C'}, {0x14, '^'}, {0x28, '{'}, {0x29, '}'}, {0x2F, '\\'},
        {0x3C, '['},    {0x3D, '~'}, {0x3E, ']'}, {0x40, '|'}, {0x65, '\xA4'},
    };
    std::vector<uint8_t> septets;
    std::string expected;
    for (auto [code, out] : table) {
        septets.push_back(0x1B);
        septets.push_back(code);
        expected += out;
    }
    EXPECT_EQ(Decode(Build(Text7(septets)), &p), 10);
    EXPECT_EQ(std::string(p.userData), expected);
}

TEST(PduDecode, TrailingEscapeNeverPairsWithTheFiller)
{
    // Seven septets take 49 of the 56 bits of seven octets; the 7 spare bits unpack as an eighth
    // septet. Here they are set to '(' on purpose: the trailing escape must still stay 0x1B.
    std::vector<uint8_t> septets = {'a', 'b', 'c', 'd', 'e', 'f', 0x1B, 0x28};
    Pdu pdu = Text7(septets);
    pdu.udl = 7;
    SmsPduParams p;
    EXPECT_EQ(Decode(Build(pdu), &p), 7);
    EXPECT_EQ(Bytes(p.userData, 8), std::string("abcdef\x1B\0", 8));
}

TEST(PduDecode, SeptetCountsReadWholeOctetsOnly)
{
    // 8 septets take exactly 7 octets and 9 take 8; what follows them is never read as text.
    for (int count : {8, 9}) {
        std::vector<uint8_t> septets(static_cast<std::size_t>(count), 'x');
        std::string pdu = Build(Text7(septets));
        EXPECT_EQ(pdu.size() % 2, 0u);
        SmsPduParams p;
        EXPECT_EQ(Decode(pdu + "FFFF", &p), count) << count;
        EXPECT_EQ(std::string(p.userData), std::string(static_cast<std::size_t>(count), 'x'));
    }
}

// UCS2, 8-bit and flash (taken as 8-bit) data are copied as received and terminated.
TEST(PduDecode, OtherCodingsAreCopiedAsReceived)
{
    struct Case {
        int dcs;
        int udl;
        std::string ud;
        std::string want;  // with the terminator
    } cases[] = {
        {8, 4, "00480069", std::string("\0H\0i\0", 5)},
        {4, 2, "4142", std::string("AB\0", 3)},
        {0x10, 5, Pack7(Septets("hello")), std::string("\xE8\x32\x9B\xFD\x06\0", 6)},
    };
    for (const Case& c : cases) {
        Pdu pdu;
        pdu.dcs = c.dcs;
        pdu.udl = c.udl;
        pdu.ud = c.ud;
        SmsPduParams p;
        std::memset(&p, 0x55, sizeof p);
        EXPECT_EQ(Decode(Build(pdu), &p), c.udl) << c.dcs;
        EXPECT_EQ(p.dataCoding, c.dcs);
        EXPECT_EQ(Bytes(p.userData, c.want.size()), c.want) << c.dcs;
    }
}

TEST(PduDecode, UserDataHeaderStaysAtTheStartConvertedLikeText)
{
    // Header 05 00 03 2A 02 01 (first of two segments), one fill bit to the septet boundary, then "Hi":
    // nine septets in eight octets. The header is not examined: its septets go through the
    // table like text, and the text follows them.
    Pdu pdu;
    pdu.firstOctet = 0x44;
    pdu.udl = 9;
    pdu.ud = "0500032A02019069";
    SmsPduParams p;
    EXPECT_EQ(Decode(Build(pdu), &p), 9);
    EXPECT_EQ(p.userDataLength, 9);
    EXPECT_EQ(Bytes(p.userData, 10), std::string("\xE9@\xF8P\" @Hi\0", 10));
}

// Addresses of length 0, or longer than their fields: each is taken as far as it fits and the
// fields after it are still read from their places.
TEST(PduDecode, EmptyAndOverlongAddressesLeaveTheRestInPlace)
{
    struct Case {
        const char* sc;
        const char* oa;
        const char* wantSc;
        const char* wantOa;
    } cases[] = {
        {"", "4981726354", "", "4981726354"},
        {"3141592653", "", "3141592653", ""},
        {"12345678901234567890", "4981726354", "123456789012345", "4981726354"},
    };
    for (const Case& c : cases) {
        Pdu pdu = Text7(Septets("ok"));
        pdu.sc = c.sc;
        pdu.oa = c.oa;
        SmsPduParams p;
        EXPECT_EQ(Decode(Build(pdu), &p), 2) << c.sc << "/" << c.oa;
        EXPECT_STREQ(p.scAddress, c.wantSc);
        EXPECT_STREQ(p.address, c.wantOa);
        EXPECT_STREQ(p.timeStamp, "24031508300540");
        EXPECT_STREQ(p.userData, "ok");
    }
    // A service centre of length 1 holds its type octet only.
    Pdu pdu = Text7(Septets("ok"));
    pdu.sc = "";
    SmsPduParams p;
    EXPECT_EQ(Decode("0191" + Build(pdu).substr(2), &p), 2);
    EXPECT_STREQ(p.scAddress, "");
    EXPECT_STREQ(p.address, "4981726354");
    EXPECT_STREQ(p.timeStamp, "24031508300540");
    EXPECT_STREQ(p.userData, "ok");
}

TEST(PduDecode, LongAlphanumericOriginatorIsCutAndTheRestStaysInPlace)
{
    // "InfoService1" packed: 12 characters, 84 bits, 11 octets, 21 useful semi-octets.
    std::string packed = Pack7(Septets("InfoService1"));
    ASSERT_EQ(packed.size(), 22u);
    Pdu pdu = Text7(Septets("ok"));
    pdu.oaType = 0xD0;
    pdu.oaLength = 21;
    pdu.oaRaw = packed;
    SmsPduParams p;
    EXPECT_EQ(Decode(Build(pdu), &p), 2);
    EXPECT_EQ(std::strlen(p.address), 15u);
    std::string swapped = SemiOctets(packed.substr(0, 16)).substr(0, 15);
    EXPECT_EQ(std::string(p.address), swapped);
    EXPECT_STREQ(p.timeStamp, "24031508300540");
    EXPECT_STREQ(p.userData, "ok");
}

// A length beyond the record is cut to it; one beyond the text to what the text holds.
TEST(PduDecode, LengthsThatLieAreBounded)
{
    Pdu eight;
    eight.dcs = 4;
    eight.udl = 200;
    eight.ud = std::string(400, '4');  // 200 octets of 0x44
    Pdu seven = Text7(std::vector<uint8_t>(255, 'z'));
    Pdu shortEight = eight;
    shortEight.udl = 50;
    shortEight.ud = "414243";
    Pdu shortSeven = Text7(Septets("abcdefghij"));  // 10 septets in 9 octets
    shortSeven.udl = 120;
    const std::pair<Pdu, std::string> cases[] = {
        {eight, std::string(160, 'D')}, {seven, std::string(160, 'z')}, {shortEight, "ABC"}, {shortSeven, "abcdefghij"}};
    for (const auto& [pdu, want] : cases) {
        SmsPduParams p;
        EXPECT_EQ(Decode(Build(pdu), &p), static_cast<int>(want.size())) << want;
        EXPECT_EQ(p.userDataLength, static_cast<int>(want.size()));
        EXPECT_EQ(Bytes(p.userData, want.size() + 1), want + std::string(1, '\0'));
    }
}

TEST(PduDecode, TextEndingAtEveryPointIsSafe)
{
    // Each prefix of a message decodes without reading past its end; the fields it holds are the
    // same as in the whole message, and those it does not reach stay empty.
    std::string whole = Build(Text7(Septets("hello world")));
    for (std::size_t len = 0; len <= whole.size(); ++len) {
        SmsPduParams p;
        std::memset(&p, 0x55, sizeof p);
        int n = Decode(whole.substr(0, len), &p);
        EXPECT_GE(n, 0);
        EXPECT_LE(n, 11);
        ExpectTerminatedWithin(p.scAddress, sizeof p.scAddress);
        ExpectTerminatedWithin(p.address, sizeof p.address);
        ExpectTerminatedWithin(p.timeStamp, sizeof p.timeStamp);
        EXPECT_EQ(std::string("hello world").compare(0, std::strlen(p.userData), p.userData), 0) << len;
    }
    SmsPduParams p;
    EXPECT_EQ(Decode(whole.substr(0, 28), &p), 0);  // ends inside the originator
    EXPECT_STREQ(p.scAddress, "3141592653");
    EXPECT_STREQ(p.address, "49817263");
    EXPECT_STREQ(p.timeStamp, "");
    EXPECT_EQ(p.userDataLength, 0);
}

TEST(PduHelpers, Iso7BitWritesOneCharacterPerStep)
{
    const char septets[] = {'x', 0x1B, 0x3C, 0x1B, 0x1B, 0x3E};
    char out[8];
    std::memset(out, 'q', sizeof out);
    // 0x1B 0x1B: the first stays an escape, the second pairs with 0x3E.
    EXPECT_EQ(gsm7Bit2Iso(septets, out, 6), 4);
    EXPECT_EQ(Bytes(out, 5), std::string("x[\x1B]\0", 5));
}
