// Received short messages built as the network hands them to the module: SMS-DELIVER PDUs with
// the service centre address in front, in the hexadecimal text the module stores and returns in
// PDU mode.
//
// The board's AT modem stores what this builds, so the firmware's PDU decoder is checked against
// an encoder written separately from it (GSM 7-bit default alphabet with its extension table,
// semi-octet addresses, alphanumeric originators, the service centre time stamp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a test chooses for one received message.
struct SmsDeliver {
    std::string serviceCentre;  // digits, "+" for international; "" for no address at all
    std::string originator;     // digits ("+" for international) or an alphanumeric name
    std::string timeStamp;      // YYMMDDhhmmss and two time-zone characters, in reading order
    std::string text;           // UTF-8; every character must exist in the GSM default alphabet
};

// UTF-8 text to GSM default-alphabet septets; extension characters become the escape code and
// their code. Returns false for invalid UTF-8 or a character the alphabet lacks.
bool GsmEncodeText(const std::string& utf8, std::vector<uint8_t>& septets);

// Septets packed least significant bit first, 8 septets into 7 octets.
std::vector<uint8_t> GsmPackSeptets(const std::vector<uint8_t>& septets);

// The whole PDU in upper-case hexadecimal, or "" with the reason in error.
std::string BuildDeliverPdu(const SmsDeliver& message, std::string& error);

// Octets of the transfer PDU (everything after the service centre address) of a PDU in
// hexadecimal, as "+CMGR"-style answers give it; -1 when the text is not a well-formed PDU head
// (odd length, a non-hex character, a service centre length running past the end).
int PduTransferLength(const std::string& hex);
