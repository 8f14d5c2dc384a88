// SMS-DELIVER decoding: hexadecimal text to octets, semi-octet addresses, 7-bit unpacking and the
// default alphabet's conversion to ISO-8859-1.
#include "modem/pdu.h"

#include "platform/text.h"

#include <cstring>

const unsigned char Table7Bit2Iso[128] = {
    0x40, 0xA3, 0x24, 0xA5, 0xE8, 0xE9, 0xF9, 0xEC, 0xF2, 0xC7, 0x0A, 0xD8, 0xF8, 0x0D, 0xC5, 0xE5,  // 0x00
    0x10, 0x5F, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0xC6, 0xE6, 0xDF, 0xC9,  // 0x10
    0x20, 0x21, 0x22, 0x23, 0xA4, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,  // 0x20
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,  // 0x30
    0xA1, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,  // 0x40
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0xC4, 0xD6, 0xD1, 0xDC, 0xA7,  // 0x50
    0xBF, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,  // 0x60
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0xE4, 0xF6, 0xF1, 0xFC, 0xE0,  // 0x70
};

namespace {

constexpr unsigned char kGsmEscape = 0x1B;

struct EscapeEntry {
    unsigned char code;    // septet after the escape code
    unsigned char output;  // ISO-8859-1 character the pair becomes
};

// The extension table's characters that have an ISO-8859-1 form.
const EscapeEntry kEscapeTable[] = {
    {0x0A, 0x0C}, {0x14, '^'}, {0x28, '{'}, {0x29, '}'}, {0x2F, '\\'},
    {0x3C, '['},  {0x3D, '~'}, {0x3E, ']'}, {0x40, '|'}, {0x65, 0xA4},
};

// Working buffer of the user data: 140 octets at most, later the converted text.
constexpr int kPduWorkSize = 256;
// The time stamp: seven semi-octet pairs.
constexpr int kTimeStampChars = 14;

// Reading position in the PDU text; len is where the text ends.
struct PduText {
    const char* text;
    std::size_t len;
    std::size_t pos;
};

// Claims up to want characters at the reading position and moves past them; returns how many
// there were (fewer when the text ends first).
std::size_t Take(PduText& t, std::size_t want, const char** start)
{
    std::size_t left = t.len - t.pos;
    std::size_t n = want < left ? want : left;
    *start = t.text + t.pos;
    t.pos += n;
    return n;
}

// One octet from two characters; 0 when the text has ended.
int ReadOctet(PduText& t)
{
    const char* start;
    if (Take(t, 2, &start) < 2) return 0;
    unsigned char octet;
    gsmString2Bytes(start, &octet, 2);
    return octet;
}

// A semi-octet field of count characters: its first digits go into out (as many as out holds),
// and the position moves over the whole field.
template <std::size_t N>
void ReadSemiOctets(PduText& t, std::size_t count, char (&out)[N])
{
    const char* start;
    std::size_t n = Take(t, count, &start);
    // One character more than out keeps, so that a final filler 'F' is still seen and dropped.
    std::size_t keep = n < N ? n : N;
    keep &= ~static_cast<std::size_t>(1);
    char digits[N + 1];
    gsmSerializeNumbers(start, digits, static_cast<int>(keep));
    TextCopy(out, N, digits);
}

// A digit, or any other character taken as an upper-case hexadecimal letter. Characters are not
// validated (the module sends upper-case hex); unsigned arithmetic keeps any byte harmless.
unsigned NibbleValue(char c)
{
    unsigned v = static_cast<unsigned char>(c);
    return c >= '0' && c <= '9' ? v - '0' : v - 0x37;
}

// Octets of the user data: up to want of them, as many as the text still holds.
int ReadUserOctets(PduText& t, int want, unsigned char* octets)
{
    const char* start;
    std::size_t n = Take(t, 2 * static_cast<std::size_t>(want), &start);
    return gsmString2Bytes(start, octets, static_cast<int>(n & ~static_cast<std::size_t>(1)));
}

int DecodeUserData7bit(PduText& t, int septets, SmsPduParams* p)
{
    unsigned char octets[kPduWorkSize];
    int octetCount = ReadUserOctets(t, (7 * septets + 7) / 8, octets);
    // At most 140 octets, so at most 160 septets and the terminator: userData holds them.
    int unpacked = gsmDecode7bit(octets, p->userData, octetCount);
    int n = septets < unpacked ? septets : unpacked;
    p->userDataLength = static_cast<unsigned char>(n);
    char text[kPduWorkSize];
    int len = gsm7Bit2Iso(p->userData, text, n);
    // The text is never longer than the septets it came from; clear what is left of them, so
    // that a reader going by userDataLength finds no stale septets after the terminator.
    std::memset(p->userData, 0, sizeof p->userData);
    std::memcpy(p->userData, text, static_cast<std::size_t>(len) + 1);
    return len;
}

int DecodeUserDataOctets(PduText& t, int count, SmsPduParams* p)
{
    unsigned char octets[kPduWorkSize];
    int n = ReadUserOctets(t, count, octets);
    p->userDataLength = static_cast<unsigned char>(n);
    if (p->dataCoding == 8) return gsmDecodeUcs2(octets, p->userData, n);
    return gsmDecode8bit(octets, p->userData, n);
}

}  // namespace

int gsmString2Bytes(const char* src, unsigned char* dst, int srcLength)
{
    for (int i = 0; i + 1 < srcLength; i += 2)
        dst[i / 2] = static_cast<unsigned char>(((NibbleValue(src[i]) << 4) + NibbleValue(src[i + 1])) & 0xFF);
    return srcLength / 2;
}

int gsmSerializeNumbers(const char* src, char* dst, int srcLength)
{
    int n = 0;
    for (int i = 0; i + 1 < srcLength; i += 2) {
        dst[n++] = src[i + 1];
        dst[n++] = src[i];
    }
    if (n > 0 && dst[n - 1] == 'F') --n;
    dst[n] = '\0';
    return n;
}

int gsmDecode7bit(const unsigned char* src, char* dst, int srcLength)
{
    int n = 0;
    int shift = 0;         // bits of the current octet already used by the previous septet
    unsigned carry = 0;    // those bits, waiting for the next octet
    for (int i = 0; i < srcLength; ++i) {
        dst[n++] = static_cast<char>(((src[i] << shift) | carry) & 0x7F);
        carry = src[i] >> (7 - shift);
        if (++shift == 7) {
            // The seventh octet leaves a whole septet behind.
            dst[n++] = static_cast<char>(carry & 0x7F);
            shift = 0;
            carry = 0;
        }
    }
    dst[n] = '\0';
    return n;
}

int gsm7Bit2Iso(const char* src, char* dst, int n)
{
    int out = 0;
    for (int i = 0; i < n;) {
        unsigned char s = static_cast<unsigned char>(src[i]) & 0x7F;
        unsigned char c = Table7Bit2Iso[s];
        int step = 1;
        // An escape in the last position has no partner among the counted septets: it stays 0x1B.
        if (s == kGsmEscape && i + 1 < n) {
            unsigned char next = static_cast<unsigned char>(src[i + 1]) & 0x7F;
            for (const EscapeEntry& e : kEscapeTable) {
                if (e.code == next) {
                    c = e.output;
                    step = 2;
                    break;
                }
            }
        }
        dst[out++] = static_cast<char>(c);
        i += step;
    }
    dst[out] = '\0';
    return out;
}

int gsmDecode8bit(const unsigned char* src, char* dst, int count)
{
    if (count > 0) std::memcpy(dst, src, static_cast<std::size_t>(count));
    dst[count > 0 ? count : 0] = '\0';
    return count;
}

int gsmDecodeUcs2(const unsigned char* src, char* dst, int count)
{
    if (count > 0) std::memcpy(dst, src, static_cast<std::size_t>(count));
    return count;
}

int gsmDecodePdu(const char* pdu, SmsPduParams* params)
{
    std::memset(params, 0, sizeof *params);
    PduText t{pdu, std::strlen(pdu), 0};

    // Service centre: length 0 means nothing follows, 1 only the type of address.
    int scLength = ReadOctet(t);
    if (scLength > 0) {
        ReadOctet(t);
        ReadSemiOctets(t, 2 * static_cast<std::size_t>(scLength - 1), params->scAddress);
    }

    ReadOctet(t);  // first octet: message type and flags, not examined

    // Originator: the length counts digits; an odd count carries a filler 'F'. Alphanumeric
    // originators are read as digits too.
    int digits = ReadOctet(t);
    if (digits % 2 != 0) ++digits;
    ReadOctet(t);  // type of address
    ReadSemiOctets(t, static_cast<std::size_t>(digits), params->address);

    params->protocolId = static_cast<unsigned char>(ReadOctet(t));
    params->dataCoding = static_cast<unsigned char>(ReadOctet(t));
    ReadSemiOctets(t, kTimeStampChars, params->timeStamp);

    int udl = ReadOctet(t);
    if (udl > kPduUserDataMax) udl = kPduUserDataMax;
    if (params->dataCoding == 0) return DecodeUserData7bit(t, udl, params);
    return DecodeUserDataOctets(t, udl, params);
}
