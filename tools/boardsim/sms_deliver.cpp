// SMS-DELIVER PDUs for the simulated module's message storage (see sms_deliver.h).
#include "sms_deliver.h"

#include <cctype>

namespace {

constexpr char32_t kNoChar = 0xFFFF;  // the escape code stands for no character of its own
constexpr uint8_t kEscape = 0x1B;
constexpr std::size_t kMaxSeptets = 160;     // one message without concatenation
constexpr std::size_t kMaxAddressDigits = 20;  // ten octets of semi-octets
constexpr std::size_t kMaxAlphaChars = 11;     // ten octets of packed septets
constexpr uint8_t kFirstOctetDeliver = 0x04;   // SMS-DELIVER, no more messages waiting
constexpr uint8_t kTypeInternational = 0x91;
constexpr uint8_t kTypeUnknown = 0x81;
constexpr uint8_t kTypeAlphanumeric = 0xD0;

// The GSM default alphabet: the Unicode character of each code.
const char32_t kGsmDefault[128] = {
    U'@',    0x00A3, U'$',   0x00A5, 0x00E8, 0x00E9, 0x00F9, 0x00EC,  // 0x00
    0x00F2,  0x00C7, U'\n',  0x00D8, 0x00F8, U'\r',  0x00C5, 0x00E5,  // 0x08
    0x0394,  U'_',   0x03A6, 0x0393, 0x039B, 0x03A9, 0x03A0, 0x03A8,  // 0x10
    0x03A3,  0x0398, 0x039E, kNoChar, 0x00C6, 0x00E6, 0x00DF, 0x00C9, // 0x18
    U' ',    U'!',   U'"',   U'#',   0x00A4, U'%',   U'&',   U'\'',   // 0x20
    U'(',    U')',   U'*',   U'+',   U',',   U'-',   U'.',   U'/',    // 0x28
    U'0',    U'1',   U'2',   U'3',   U'4',   U'5',   U'6',   U'7',    // 0x30
    U'8',    U'9',   U':',   U';',   U'<',   U'=',   U'>',   U'?',    // 0x38
    0x00A1,  U'A',   U'B',   U'C',   U'D',   U'E',   U'F',   U'G',    // 0x40
    U'H',    U'I',   U'J',   U'K',   U'L',   U'M',   U'N',   U'O',    // 0x48
    U'P',    U'Q',   U'R',   U'S',   U'T',   U'U',   U'V',   U'W',    // 0x50
    U'X',    U'Y',   U'Z',   0x00C4, 0x00D6, 0x00D1, 0x00DC, 0x00A7,  // 0x58
    0x00BF,  U'a',   U'b',   U'c',   U'd',   U'e',   U'f',   U'g',    // 0x60
    U'h',    U'i',   U'j',   U'k',   U'l',   U'm',   U'n',   U'o',    // 0x68
    U'p',    U'q',   U'r',   U's',   U't',   U'u',   U'v',   U'w',    // 0x70
    U'x',    U'y',   U'z',   0x00E4, 0x00F6, 0x00F1, 0x00FC, 0x00E0,  // 0x78
};

// The extension table: characters written as the escape code followed by this code.
struct GsmExtension {
    char32_t ch;
    uint8_t code;
};
const GsmExtension kGsmExtension[] = {
    {U'\f', 0x0A}, {U'^', 0x14}, {U'{', 0x28},  {U'}', 0x29}, {U'\\', 0x2F},
    {U'[', 0x3C},  {U'~', 0x3D}, {U']', 0x3E},  {U'|', 0x40}, {0x20AC, 0x65},
};

// Next code point of a UTF-8 text; false on a malformed sequence.
bool NextCodePoint(const std::string& s, std::size_t& i, char32_t& cp)
{
    unsigned char c = static_cast<unsigned char>(s[i++]);
    int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (more < 0) return false;
    cp = more == 0 ? c : c & (0x3F >> more);
    for (int k = 0; k < more; ++k) {
        if (i >= s.size()) return false;
        unsigned char d = static_cast<unsigned char>(s[i++]);
        if ((d & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (d & 0x3F);
    }
    return true;
}

void AppendHex(std::string& out, uint8_t octet)
{
    static const char kHex[] = "0123456789ABCDEF";
    out += kHex[octet >> 4];
    out += kHex[octet & 0x0F];
}

// Digits in semi-octet order: each pair swapped, an odd count padded with F.
std::string SemiOctets(const std::string& digits)
{
    std::string out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out += i + 1 < digits.size() ? digits[i + 1] : 'F';
        out += digits[i];
    }
    return out;
}

bool AllDigits(const std::string& s)
{
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// Splits "+123" into the type of address and the digits.
uint8_t NumberType(const std::string& number, std::string& digits)
{
    bool international = !number.empty() && number[0] == '+';
    digits = international ? number.substr(1) : number;
    return international ? kTypeInternational : kTypeUnknown;
}

bool ServiceCentre(const std::string& number, std::string& out, std::string& error)
{
    if (number.empty()) {
        out += "00";  // no address and no type octet
        return true;
    }
    std::string digits;
    uint8_t type = NumberType(number, digits);
    if (digits.empty() || digits.size() > kMaxAddressDigits || !AllDigits(digits)) {
        error = "bad service centre number";
        return false;
    }
    AppendHex(out, static_cast<uint8_t>(1 + (digits.size() + 1) / 2));
    AppendHex(out, type);
    out += SemiOctets(digits);
    return true;
}

bool Originator(const std::string& name, std::string& out, std::string& error)
{
    std::string digits;
    uint8_t type = NumberType(name, digits);
    if (!digits.empty() && digits.size() <= kMaxAddressDigits && AllDigits(digits)) {
        AppendHex(out, static_cast<uint8_t>(digits.size()));
        AppendHex(out, type);
        out += SemiOctets(digits);
        return true;
    }
    // An alphanumeric originator: packed septets, its length counted in useful semi-octets.
    std::vector<uint8_t> septets;
    if (name.empty() || !GsmEncodeText(name, septets) || septets.size() > kMaxAlphaChars) {
        error = "bad originator";
        return false;
    }
    AppendHex(out, static_cast<uint8_t>((7 * septets.size() + 3) / 4));
    AppendHex(out, kTypeAlphanumeric);
    for (uint8_t octet : GsmPackSeptets(septets)) AppendHex(out, octet);
    return true;
}

bool TimeStamp(const std::string& stamp, std::string& out, std::string& error)
{
    bool ok = stamp.size() == 14 && AllDigits(stamp.substr(0, 12));
    for (std::size_t i = 12; ok && i < 14; ++i) ok = std::isxdigit(static_cast<unsigned char>(stamp[i])) != 0;
    if (!ok) {
        error = "bad time stamp (YYMMDDhhmmss and two zone characters)";
        return false;
    }
    std::string upper;
    for (char c : stamp) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    out += SemiOctets(upper);
    return true;
}

}  // namespace

bool GsmEncodeText(const std::string& utf8, std::vector<uint8_t>& septets)
{
    septets.clear();
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = 0;
        if (!NextCodePoint(utf8, i, cp)) return false;
        bool found = false;
        for (uint8_t code = 0; code < 128 && !found; ++code)
            if (kGsmDefault[code] == cp) {
                septets.push_back(code);
                found = true;
            }
        for (const GsmExtension& e : kGsmExtension)
            if (!found && e.ch == cp) {
                septets.push_back(kEscape);
                septets.push_back(e.code);
                found = true;
            }
        if (!found) return false;
    }
    return true;
}

std::vector<uint8_t> GsmPackSeptets(const std::vector<uint8_t>& septets)
{
    std::vector<uint8_t> octets((septets.size() * 7 + 7) / 8, 0);
    for (std::size_t i = 0; i < septets.size(); ++i) {
        std::size_t bit = i * 7;
        unsigned value = septets[i] & 0x7Fu;
        octets[bit / 8] |= static_cast<uint8_t>(value << (bit % 8));
        if (bit % 8 > 1) octets[bit / 8 + 1] |= static_cast<uint8_t>(value >> (8 - bit % 8));
    }
    return octets;
}

std::string BuildDeliverPdu(const SmsDeliver& message, std::string& error)
{
    std::vector<uint8_t> septets;
    if (!GsmEncodeText(message.text, septets)) {
        error = "text has a character outside the GSM default alphabet";
        return "";
    }
    if (septets.size() > kMaxSeptets) {
        error = "text longer than 160 septets";
        return "";
    }
    std::string pdu;
    if (!ServiceCentre(message.serviceCentre, pdu, error)) return "";
    AppendHex(pdu, kFirstOctetDeliver);
    if (!Originator(message.originator, pdu, error)) return "";
    AppendHex(pdu, 0x00);  // protocol identifier: plain short message
    AppendHex(pdu, 0x00);  // data coding: GSM 7-bit default alphabet
    if (!TimeStamp(message.timeStamp, pdu, error)) return "";
    AppendHex(pdu, static_cast<uint8_t>(septets.size()));
    for (uint8_t octet : GsmPackSeptets(septets)) AppendHex(pdu, octet);
    return pdu;
}

int PduTransferLength(const std::string& hex)
{
    if (hex.size() < 2 || hex.size() % 2 != 0) return -1;
    for (char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return -1;
    std::size_t scOctets = static_cast<std::size_t>(std::stoi(hex.substr(0, 2), nullptr, 16));
    std::size_t total = hex.size() / 2;
    if (1 + scOctets >= total) return -1;
    return static_cast<int>(total - 1 - scOctets);
}
