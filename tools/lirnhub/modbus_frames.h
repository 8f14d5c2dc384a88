// Modbus framing of the hub: Modbus TCP requests in (MBAP header, then the PDU), RTU frames out on
// a gateway's serial line (address, PDU, CRC), and the RTU reply found again in the bytes that come
// back, which the gateway sends as chunks cut by time, not by frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lirnhub {

constexpr std::size_t kMaxPdu = 253;         // an RTU frame is at most 256 bytes
constexpr std::size_t kMbapHeader = 7;       // transaction, protocol, length, unit
constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kServerBusy = 0x06;
constexpr uint8_t kPathUnavailable = 0x0A;
constexpr uint8_t kTargetNoResponse = 0x0B;

// CRC-16 of Modbus RTU (polynomial 0xA001 reflected, start 0xFFFF); sent low byte first.
uint16_t Crc16(const uint8_t* p, std::size_t n);

// address, PDU, CRC.
std::string RtuFrame(uint8_t address, const std::string& pdu);

struct MbapRequest {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    std::string pdu;  // function code and data
};

// Cuts one request off the front of a Modbus TCP stream. Returns the bytes it took (the request
// in *out), 0 when the request is not complete yet, -1 when the stream holds no Modbus TCP (a
// protocol id other than 0, or a length that no PDU has): the connection is to be closed.
long TakeMbapRequest(const std::string& stream, MbapRequest* out);

// The MBAP frame of an answer: the request's transaction and unit, the PDU.
std::string MbapFrame(uint16_t transaction, uint8_t unit, const std::string& pdu);
// The PDU of an exception answer to a request of this function.
std::string ExceptionPdu(uint8_t function, uint8_t code);

// Length of the RTU reply that begins at f (address through CRC) by its function code: > 0 the
// length, 0 when more bytes must come to know it, -1 when the function has no length rule (then
// the reply is taken where a chunk ends on a valid CRC).
int RtuReplyLength(const uint8_t* f, std::size_t have);

// Gathers the reply to one request across up chunks: a frame of the expected address and of the
// request's function (or its exception) with a valid CRC. Frames of another address and frames
// with a bad CRC are discarded (and counted); bytes before a frame are skipped.
class ReplyFramer {
public:
    // Starts a new request's wait; what was gathered before is dropped.
    void Expect(uint8_t address, uint8_t function);
    // Adds a chunk. True when the reply is complete: Pdu() is its PDU (function code and data).
    bool Add(const std::string& chunk);
    const std::string& Pdu() const { return pdu_; }
    // Frames thrown away since the start: another unit's, or one of ours with a bad CRC.
    unsigned long Discarded() const { return discarded_; }

private:
    bool Matches(const uint8_t* f) const;

    std::string buf_;
    std::string pdu_;
    uint8_t address_ = 0;
    uint8_t function_ = 0;
    unsigned long discarded_ = 0;
};

}  // namespace lirnhub
