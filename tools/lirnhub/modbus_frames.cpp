// Modbus TCP and RTU framing of the hub (see modbus_frames.h).
#include "modbus_frames.h"

namespace lirnhub {

namespace {

constexpr std::size_t kMinReply = 5;          // address, function, one byte, CRC
constexpr std::size_t kMaxRtuFrame = 256;
constexpr std::size_t kKeptReplyBytes = 1024;  // of a reply still being gathered

const uint8_t* Bytes(const std::string& s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

bool CrcHolds(const uint8_t* f, std::size_t len)
{
    uint16_t crc = Crc16(f, len - 2);
    return f[len - 2] == (crc & 0xFF) && f[len - 1] == (crc >> 8);
}

}  // namespace

uint16_t Crc16(const uint8_t* p, std::size_t n)
{
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

std::string RtuFrame(uint8_t address, const std::string& pdu)
{
    std::string f(1, static_cast<char>(address));
    f += pdu;
    uint16_t crc = Crc16(Bytes(f), f.size());
    f += static_cast<char>(crc & 0xFF);
    f += static_cast<char>(crc >> 8);
    return f;
}

long TakeMbapRequest(const std::string& stream, MbapRequest* out)
{
    if (stream.size() < 6) return 0;
    const uint8_t* b = Bytes(stream);
    unsigned protocol = b[2] << 8 | b[3];
    std::size_t length = static_cast<std::size_t>(b[4] << 8 | b[5]);  // unit and PDU
    if (protocol != 0 || length < 2 || length > 1 + kMaxPdu) return -1;
    if (stream.size() < 6 + length) return 0;
    out->transaction = static_cast<uint16_t>(b[0] << 8 | b[1]);
    out->unit = b[6];
    out->pdu = stream.substr(kMbapHeader, length - 1);
    return static_cast<long>(6 + length);
}

std::string MbapFrame(uint16_t transaction, uint8_t unit, const std::string& pdu)
{
    std::size_t length = pdu.size() + 1;
    std::string f = {static_cast<char>(transaction >> 8), static_cast<char>(transaction & 0xFF), 0, 0,
                     static_cast<char>(length >> 8), static_cast<char>(length & 0xFF), static_cast<char>(unit)};
    return f + pdu;
}

std::string ExceptionPdu(uint8_t function, uint8_t code)
{
    return {static_cast<char>(function | 0x80), static_cast<char>(code)};
}

int RtuReplyLength(const uint8_t* f, std::size_t have)
{
    if (have < 2) return 0;
    if (f[1] & 0x80) return 5;  // exception: address, function, code, CRC
    switch (f[1]) {
    case 0x01: case 0x02: case 0x03: case 0x04:  // reads: a byte count
    case 0x0C: case 0x11: case 0x14: case 0x15: case 0x17:
        return have < 3 ? 0 : 5 + f[2];
    case 0x07: return 5;              // exception status: one byte
    case 0x05: case 0x06: case 0x08:  // echoes of address and value, diagnostics
    case 0x0B: case 0x0F: case 0x10:
        return 8;
    case 0x16: return 10;             // mask write: the request's echo
    case 0x18: return have < 4 ? 0 : 6 + (f[2] << 8 | f[3]);  // FIFO queue: a two-byte count
    default: return -1;
    }
}

void ReplyFramer::Expect(uint8_t address, uint8_t function)
{
    address_ = address;
    function_ = function;
    buf_.clear();
    pdu_.clear();
}

bool ReplyFramer::Matches(const uint8_t* f) const
{
    return f[0] == address_ && (f[1] == function_ || f[1] == (function_ | 0x80));
}

bool ReplyFramer::Add(const std::string& chunk)
{
    buf_ += chunk;
    if (buf_.size() > kKeptReplyBytes) buf_.erase(0, buf_.size() - kKeptReplyBytes);
    const uint8_t* b = Bytes(buf_);
    const std::size_t n = buf_.size();
    // Every offset where a frame could begin: one that may still complete with later bytes is
    // kept (from the first such offset on); whole frames that are not the reply are dropped.
    std::size_t keepFrom = n;
    for (std::size_t i = 0; i < n;) {
        std::size_t left = n - i;
        int rule = left < kMinReply ? 0 : RtuReplyLength(b + i, left);
        std::size_t len = rule < 0 ? left : static_cast<std::size_t>(rule);
        bool complete = rule != 0 && len >= kMinReply && len <= kMaxRtuFrame && len <= left;
        if (complete && CrcHolds(b + i, len)) {
            if (Matches(b + i)) {
                pdu_ = buf_.substr(i + 1, len - 3);
                buf_.clear();
                return true;
            }
            ++discarded_;  // another unit's frame: nothing before it can begin one still
            i += len;
            keepFrom = n;
            continue;
        }
        if (complete && rule > 0 && i == 0 && Matches(b)) ++discarded_;  // ours, with a bad CRC
        bool mayComplete = rule == 0 || rule < 0 || (len <= kMaxRtuFrame && len > left);
        if (mayComplete && keepFrom == n) keepFrom = i;
        ++i;
    }
    buf_.erase(0, keepFrom);
    return false;
}

}  // namespace lirnhub
