// SMS-DELIVER decoder for messages that the module hands out in PDU mode.
//
// The module returns a stored message as hexadecimal text: the service centre address, then the
// TPDU as it came through the network. gsmDecodePdu turns that text into an SmsPduParams record:
// addresses as digit texts, protocol identifier, coding scheme, time stamp and the user data,
// unpacked from the GSM 7-bit default alphabet and converted to ISO-8859-1 where the message uses
// that alphabet. Plain functions over caller-provided buffers: no state, no allocation, no errors.
// The only caller is the message step of the modem poll (gmSMS_getReadMsg).
//
// Every length inside a PDU comes from outside and is not trusted: nothing is read past the
// terminator of the text and nothing is written past a field. An address keeps at most its first
// 15 digits and the user data at most kPduUserDataMax septets or octets; the reading position
// still moves over the whole field, so what follows decodes at its right place. A text that ends
// early leaves the fields it does not reach empty or zero.
#pragma once

#include <cstddef>

// Most user data the record holds: 160 septets (a full 7-bit message, 161 bytes with the
// terminator) or 160 octets (140 is the most a well-formed message carries).
constexpr int kPduUserDataMax = 160;
// Size of an address field: 15 digits and the terminator.
constexpr int kPduAddressSize = 16;

struct SmsPduParams {
    char scAddress[kPduAddressSize];      // service centre digits, terminated (type of address dropped)
    char address[kPduAddressSize];        // originator (TP-OA) digits, terminated (type of address dropped)
    unsigned char protocolId;             // TP-PID as received
    unsigned char dataCoding;             // TP-DCS as received: 0 7-bit, 8 UCS2, any other 8-bit
    char timeStamp[16];                   // TP-SCTS: YYMMDDHHMMSSZZ, 14 characters, terminated
    char userData[kPduUserDataMax + 1];   // decoded user data (see gsmDecodePdu)
    unsigned char userDataLength;         // TP-UDL: septets for 7-bit, octets otherwise (cut as above)
};

// GSM default alphabet code (0..127) to ISO-8859-1.
extern const unsigned char Table7Bit2Iso[128];

// Decodes a PDU text that starts with the service centre length octet and may run on past the PDU
// (the rest of the module's reply). Fills the whole record (fields not reached stay zero) and
// returns the length of the decoded user data: characters after conversion for the 7-bit
// alphabet, octets otherwise. userDataLength is TP-UDL, or less when the record or the text could
// not hold that much.
int gsmDecodePdu(const char* pdu, SmsPduParams* params);

// Each pair of characters becomes one octet, the first one the high nibble; '0'..'9' count as
// digits and any other character as an upper-case hexadecimal letter. Converts srcLength / 2
// pairs and returns that count.
int gsmString2Bytes(const char* src, unsigned char* dst, int srcLength);

// Swaps the two characters of every pair ("21" -> "12"), drops a final 'F' (the filler of an odd
// digit count) and terminates. Returns the length of the output text. Odd srcLength: the last,
// unpaired character is ignored. dst must hold srcLength + 1 bytes.
int gsmSerializeNumbers(const char* src, char* dst, int srcLength);

// Unpacks the 7-bit alphabet, least significant bit first: every 7 octets give 8 septets. Writes
// srcLength + srcLength / 7 septets and a terminating zero (not counted); returns the count.
int gsmDecode7bit(const unsigned char* src, char* dst, int srcLength);

// Converts n septets to ISO-8859-1, with the escape table of the alphabet's extension. Writes at
// most n characters and a terminator (not counted); returns the characters written.
int gsm7Bit2Iso(const char* src, char* dst, int n);

// Copies count octets and writes a terminating zero after them; returns count.
int gsmDecode8bit(const unsigned char* src, char* dst, int count);

// Copies count octets (UCS2 code units, most significant byte first) unchanged, no terminator;
// returns count.
int gsmDecodeUcs2(const unsigned char* src, char* dst, int count);
