// QMUX framing: the byte format in which QMI messages cross the modem's control device.
//
// One frame is a marker byte, a length, the QMUX header (direction, service, client id), a
// service header (flags, transaction id, message id, TLV length) and a chain of TLVs. The control
// service (CTL, service 0) has a one-byte transaction id, every other service a two-byte one. All
// integers are little-endian.
//
// The firmware's QMI client layer and the board's QMI simulator share this code: the writer builds
// frames into a caller's buffer, the reader cuts frames out of a byte stream that may split or join
// them, and the TLV helpers read values with bounds checks. Nothing here allocates or trusts a
// length it has not checked against what actually arrived.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t kQmuxMarker = 0x01;
constexpr uint8_t kQmuxFromHost = 0x00;   // QMUX flags of a frame the host sends
constexpr uint8_t kQmuxFromModem = 0x80;  // QMUX flags of a frame the modem sends

constexpr uint8_t kQmiServiceCtl = 0;
constexpr uint8_t kQmiServiceWds = 1;
constexpr uint8_t kQmiServiceNas = 3;

// Service header flags. CTL numbers them differently from every other service.
constexpr uint8_t kQmiCtlRequest = 0x00;
constexpr uint8_t kQmiCtlResponse = 0x01;
constexpr uint8_t kQmiCtlIndication = 0x02;
constexpr uint8_t kQmiSvcRequest = 0x00;
constexpr uint8_t kQmiSvcResponse = 0x02;
constexpr uint8_t kQmiSvcIndication = 0x04;

// Message ids used by this system.
constexpr uint16_t kQmiCtlGetVersionInfo = 0x0021;
constexpr uint16_t kQmiCtlAllocateCid = 0x0022;
constexpr uint16_t kQmiCtlReleaseCid = 0x0023;
constexpr uint16_t kQmiCtlSync = 0x0027;
constexpr uint16_t kQmiWdsStartNetwork = 0x0020;
constexpr uint16_t kQmiWdsStopNetwork = 0x0021;
constexpr uint16_t kQmiWdsGetPacketServiceStatus = 0x0022;
constexpr uint16_t kQmiWdsGetRuntimeSettings = 0x002D;

// TLV 0x02 of every response: u16 result (0 success, 1 failure) and u16 error code.
constexpr uint8_t kQmiTlvResult = 0x02;
constexpr uint16_t kQmiResultSuccess = 0;
constexpr uint16_t kQmiResultFailure = 1;

// Modem error codes named by this system (carried in the result TLV).
constexpr uint16_t kQmiErrorMalformedMessage = 0x0001;
constexpr uint16_t kQmiErrorClientIdsExhausted = 0x0005;
constexpr uint16_t kQmiErrorInvalidClientId = 0x0007;
constexpr uint16_t kQmiErrorInvalidHandle = 0x0009;
constexpr uint16_t kQmiErrorCallFailed = 0x000E;
constexpr uint16_t kQmiErrorOutOfCall = 0x000F;
constexpr uint16_t kQmiErrorNoEffect = 0x001A;
constexpr uint16_t kQmiErrorInvalidQmiCommand = 0x0047;

// Frame sizes. The length field counts everything after the marker; the largest frame accepted
// is far beyond any message of this system but small enough that a corrupt length cannot make the
// reader wait for megabytes.
constexpr std::size_t kQmuxHeaderSize = 6;  // marker, u16 length, flags, service, client id
constexpr std::size_t kQmuxCtlHeaderSize = 6;  // flags, u8 transaction, u16 message, u16 TLV length
constexpr std::size_t kQmuxSvcHeaderSize = 7;  // flags, u16 transaction, u16 message, u16 TLV length
constexpr std::size_t kQmuxTlvHeaderSize = 3;  // type, u16 length
constexpr std::size_t kQmuxFrameMax = 8192;

// One decoded frame. The TLV chain points into the reader's (or caller's) buffer and stays valid
// only until the next call on that reader.
struct QmuxFrame {
    uint8_t qmuxFlags;
    uint8_t service;
    uint8_t clientId;
    uint8_t sduFlags;
    uint16_t txn;  // CTL transaction ids fit in the low byte
    uint16_t msgId;
    const uint8_t* tlv;
    std::size_t tlvLen;
};

// Builds one frame into a fixed buffer. A write that does not fit marks the writer as overflowed;
// QmuxFinish then fails, so a cut frame is never sent.
struct QmuxWriter {
    uint8_t* buf;
    std::size_t cap;
    std::size_t len;
    std::size_t tlvStart;
    bool overflow;
};

void QmuxBegin(QmuxWriter* w, uint8_t* buf, std::size_t cap, uint8_t qmuxFlags, uint8_t service, uint8_t clientId,
               uint8_t sduFlags, uint16_t txn, uint16_t msgId);
void QmuxPutTlv(QmuxWriter* w, uint8_t type, const void* value, std::size_t len);
void QmuxPutTlvU8(QmuxWriter* w, uint8_t type, uint8_t value);
void QmuxPutTlvU16(QmuxWriter* w, uint8_t type, uint16_t value);
void QmuxPutTlvU32(QmuxWriter* w, uint8_t type, uint32_t value);
// The result TLV 0x02 of a response.
void QmuxPutResult(QmuxWriter* w, uint16_t result, uint16_t error);
// Sets the transaction id of a frame built earlier (the id is often chosen only when it is sent).
void QmuxSetTxn(uint8_t* frame, std::size_t len, uint16_t txn);
// Fills in the lengths. Returns the frame's size in bytes, or -1 when it did not fit.
int QmuxFinish(QmuxWriter* w);

// Checks one whole frame (marker first, exactly len bytes) and decodes its headers. The TLV chain
// must fill the frame exactly. Returns 0, or -1 when the frame is not well formed.
int QmuxParse(const uint8_t* data, std::size_t len, QmuxFrame* out);

// Cuts frames out of a byte stream. Garbage before a marker, and any marker whose frame turns out
// malformed, is skipped: the reader then resynchronises on the next marker byte.
struct QmuxReader {
    uint8_t buf[2 * kQmuxFrameMax];
    std::size_t len;
    std::size_t consumed;  // the frame last handed out, removed at the next call
    uint32_t discarded;  // bytes thrown away as garbage, for diagnostics and tests
};

void QmuxReaderReset(QmuxReader* r);
// Appends bytes from the stream. Returns how many were taken: when the buffer is full, the oldest
// incomplete frame is given up to make room.
std::size_t QmuxReaderFeed(QmuxReader* r, const uint8_t* data, std::size_t len);
// Takes the next complete, well-formed frame. Returns 1 and fills out (its TLVs stay valid until
// the next call on the reader), or 0 when more bytes are needed.
int QmuxReaderNext(QmuxReader* r, QmuxFrame* out);
// True when the buffer holds the start of a frame that is still incomplete.
bool QmuxReaderPending(const QmuxReader* r);
// Gives up the incomplete frame at the head (its marker was probably garbage with a plausible
// length) and resynchronises on the next marker. Called when the stream has gone quiet.
void QmuxReaderDropPending(QmuxReader* r);

// TLV lookup in a chain. Returns 0 and the value's position and length when a TLV of that type
// is present, -1 when it is absent or the chain is malformed.
int QmuxTlvFind(const uint8_t* tlv, std::size_t tlvLen, uint8_t type, const uint8_t** value, std::size_t* valueLen);
// Fixed-width values: -1 when absent or shorter than the width.
int QmuxTlvU8(const uint8_t* tlv, std::size_t tlvLen, uint8_t type, uint8_t* value);
int QmuxTlvU16(const uint8_t* tlv, std::size_t tlvLen, uint8_t type, uint16_t* value);
int QmuxTlvU32(const uint8_t* tlv, std::size_t tlvLen, uint8_t type, uint32_t* value);
// The result TLV: -1 when absent or short.
int QmuxTlvResult(const uint8_t* tlv, std::size_t tlvLen, uint16_t* result, uint16_t* error);

// Little-endian helpers for values already bounds-checked by the caller.
inline uint16_t QmuxGetU16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t QmuxGetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
