// Builds SMS-DELIVER PDU texts for tests of the decoder and the message step field by field, so
// that any field can lie (lengths, codings, raw addresses): semi-octet addresses with their
// filler and the header fields in order.
#pragma once

#include "sms_deliver.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pdutest {

inline std::string Hex(const std::vector<uint8_t>& octets)
{
    std::string out;
    char pair[3];
    for (uint8_t o : octets) {
        std::snprintf(pair, sizeof pair, "%02X", o);
        out += pair;
    }
    return out;
}

inline std::string Octet(int value)
{
    return Hex({static_cast<uint8_t>(value)});
}

// "123" -> "21F3": digits swapped pairwise, an odd count padded with 'F'.
inline std::string SemiOctets(std::string digits)
{
    if (digits.size() % 2 != 0) digits += 'F';
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) std::swap(digits[i], digits[i + 1]);
    return digits;
}

// GSM 7-bit packing: the simulated module's, written apart from the decoder.
inline std::string Pack7(const std::vector<uint8_t>& septets)
{
    return Hex(GsmPackSeptets(septets));
}

inline std::vector<uint8_t> Septets(const std::string& ascii)
{
    return std::vector<uint8_t>(ascii.begin(), ascii.end());
}

struct Pdu {
    std::string sc = "3141592653";  // empty: length octet 00
    int scType = 0x91;
    int firstOctet = 0x04;
    int oaLength = -1;              // -1: the digit count of oa
    int oaType = 0x91;
    std::string oa = "4981726354";  // as semi-octet text source (digits)
    std::string oaRaw;              // when set, used instead of SemiOctets(oa)
    int pid = 0;
    int dcs = 0;
    std::string ts = "24031508300540";
    int udl = 0;
    std::string ud;                 // user data as hex text
};

inline std::string Build(const Pdu& p)
{
    std::string out;
    if (p.sc.empty()) {
        out += "00";
    } else {
        std::string sc = SemiOctets(p.sc);
        out += Octet(1 + static_cast<int>(sc.size()) / 2) + Octet(p.scType) + sc;
    }
    out += Octet(p.firstOctet);
    std::string oa = p.oaRaw.empty() ? SemiOctets(p.oa) : p.oaRaw;
    out += Octet(p.oaLength >= 0 ? p.oaLength : static_cast<int>(p.oa.size())) + Octet(p.oaType) + oa;
    out += Octet(p.pid) + Octet(p.dcs) + SemiOctets(p.ts) + Octet(p.udl) + p.ud;
    return out;
}

// A 7-bit message of the given septets with the default header fields.
inline Pdu Text7(const std::vector<uint8_t>& septets)
{
    Pdu p;
    p.udl = static_cast<int>(septets.size());
    p.ud = Pack7(septets);
    return p;
}

}  // namespace pdutest
