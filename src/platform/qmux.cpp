// QMUX framing: writer, stream reader and TLV lookup, shared by the QMI client layer and the
// board's QMI simulator.
//
// The reader never believes a length until it has checked it: a marker byte starts a candidate
// frame only while its length, direction flags and TLV length agree with each other; otherwise the
// marker is taken for garbage and the search goes on from the byte after it.
#include "platform/qmux.h"

#include <cstring>

namespace {

void PutU8(QmuxWriter* w, uint8_t v)
{
    if (w->len + 1 > w->cap) {
        w->overflow = true;
        return;
    }
    w->buf[w->len++] = v;
}

void PutU16(QmuxWriter* w, uint16_t v)
{
    PutU8(w, static_cast<uint8_t>(v & 0xFF));
    PutU8(w, static_cast<uint8_t>(v >> 8));
}

void SetU16(uint8_t* p, std::size_t v)
{
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

std::size_t ServiceHeaderSize(uint8_t service)
{
    return service == kQmiServiceCtl ? kQmuxCtlHeaderSize : kQmuxSvcHeaderSize;
}

// True when the chain of TLVs fills exactly len bytes.
bool TlvChainValid(const uint8_t* tlv, std::size_t len)
{
    std::size_t pos = 0;
    while (pos < len) {
        if (len - pos < kQmuxTlvHeaderSize) return false;
        std::size_t valueLen = QmuxGetU16(tlv + pos + 1);
        pos += kQmuxTlvHeaderSize;
        if (valueLen > len - pos) return false;
        pos += valueLen;
    }
    return true;
}

// Removes the first n bytes of the reader's buffer.
void Discard(QmuxReader* r, std::size_t n)
{
    if (n >= r->len) {
        r->len = 0;
        return;
    }
    std::memmove(r->buf, r->buf + n, r->len - n);
    r->len -= n;
}

// Drops what the previous Next handed out: its TLVs stayed in the buffer until now.
void ReleaseConsumed(QmuxReader* r)
{
    if (r->consumed > 0) {
        Discard(r, r->consumed);
        r->consumed = 0;
    }
}

enum class HeadCheck { Bad, NeedMore, Complete };

// Judges the candidate frame at the head of the buffer (buf[0] is a marker) from as much of it
// as has arrived.
HeadCheck CheckHead(const QmuxReader* r, std::size_t* total)
{
    if (r->len < 3) return HeadCheck::NeedMore;
    *total = 1 + static_cast<std::size_t>(QmuxGetU16(r->buf + 1));
    if (*total < kQmuxHeaderSize + kQmuxCtlHeaderSize || *total > kQmuxFrameMax) return HeadCheck::Bad;
    if (r->len < 4) return HeadCheck::NeedMore;
    if (r->buf[3] != kQmuxFromHost && r->buf[3] != kQmuxFromModem) return HeadCheck::Bad;
    if (r->len < kQmuxHeaderSize) return HeadCheck::NeedMore;
    std::size_t headers = kQmuxHeaderSize + ServiceHeaderSize(r->buf[4]);
    if (*total < headers) return HeadCheck::Bad;
    if (r->len < headers) return HeadCheck::NeedMore;
    if (headers + QmuxGetU16(r->buf + headers - 2) != *total) return HeadCheck::Bad;
    return r->len < *total ? HeadCheck::NeedMore : HeadCheck::Complete;
}

}  // namespace

void QmuxBegin(QmuxWriter* w, uint8_t* buf, std::size_t cap, uint8_t qmuxFlags, uint8_t service, uint8_t clientId,
               uint8_t sduFlags, uint16_t txn, uint16_t msgId)
{
    w->buf = buf;
    w->cap = cap;
    w->len = 0;
    w->overflow = false;
    PutU8(w, kQmuxMarker);
    PutU16(w, 0);  // filled in by QmuxFinish
    PutU8(w, qmuxFlags);
    PutU8(w, service);
    PutU8(w, clientId);
    PutU8(w, sduFlags);
    if (service == kQmiServiceCtl)
        PutU8(w, static_cast<uint8_t>(txn));
    else
        PutU16(w, txn);
    PutU16(w, msgId);
    PutU16(w, 0);  // TLV length, filled in by QmuxFinish
    w->tlvStart = w->len;
}

void QmuxPutTlv(QmuxWriter* w, uint8_t type, const void* value, std::size_t len)
{
    if (len > 0xFFFF || w->len + kQmuxTlvHeaderSize + len > w->cap) {
        w->overflow = true;
        return;
    }
    PutU8(w, type);
    PutU16(w, static_cast<uint16_t>(len));
    if (len > 0) std::memcpy(w->buf + w->len, value, len);
    w->len += len;
}

void QmuxPutTlvU8(QmuxWriter* w, uint8_t type, uint8_t value)
{
    QmuxPutTlv(w, type, &value, 1);
}

void QmuxPutTlvU16(QmuxWriter* w, uint8_t type, uint16_t value)
{
    uint8_t b[2];
    SetU16(b, value);
    QmuxPutTlv(w, type, b, sizeof b);
}

void QmuxPutTlvU32(QmuxWriter* w, uint8_t type, uint32_t value)
{
    uint8_t b[4];
    SetU16(b, value & 0xFFFF);
    SetU16(b + 2, value >> 16);
    QmuxPutTlv(w, type, b, sizeof b);
}

void QmuxPutResult(QmuxWriter* w, uint16_t result, uint16_t error)
{
    uint8_t b[4];
    SetU16(b, result);
    SetU16(b + 2, error);
    QmuxPutTlv(w, kQmiTlvResult, b, sizeof b);
}

void QmuxSetTxn(uint8_t* frame, std::size_t len, uint16_t txn)
{
    if (len < kQmuxHeaderSize + kQmuxCtlHeaderSize) return;
    if (frame[4] == kQmiServiceCtl)
        frame[7] = static_cast<uint8_t>(txn);
    else if (len >= kQmuxHeaderSize + kQmuxSvcHeaderSize)
        SetU16(frame + 7, txn);
}

int QmuxFinish(QmuxWriter* w)
{
    if (w->overflow || w->len > kQmuxFrameMax) return -1;
    SetU16(w->buf + 1, w->len - 1);
    SetU16(w->buf + w->tlvStart - 2, w->len - w->tlvStart);
    return static_cast<int>(w->len);
}

int QmuxParse(const uint8_t* data, std::size_t len, QmuxFrame* out)
{
    if (len < kQmuxHeaderSize + kQmuxCtlHeaderSize || len > kQmuxFrameMax) return -1;
    if (data[0] != kQmuxMarker || 1 + static_cast<std::size_t>(QmuxGetU16(data + 1)) != len) return -1;
    if (data[3] != kQmuxFromHost && data[3] != kQmuxFromModem) return -1;
    uint8_t service = data[4];
    std::size_t headers = kQmuxHeaderSize + ServiceHeaderSize(service);
    if (len < headers) return -1;
    std::size_t tlvLen = QmuxGetU16(data + headers - 2);
    if (headers + tlvLen != len || !TlvChainValid(data + headers, tlvLen)) return -1;

    out->qmuxFlags = data[3];
    out->service = service;
    out->clientId = data[5];
    out->sduFlags = data[6];
    if (service == kQmiServiceCtl) {
        out->txn = data[7];
        out->msgId = QmuxGetU16(data + 8);
    } else {
        out->txn = QmuxGetU16(data + 7);
        out->msgId = QmuxGetU16(data + 9);
    }
    out->tlv = data + headers;
    out->tlvLen = tlvLen;
    return 0;
}

void QmuxReaderReset(QmuxReader* r)
{
    r->len = 0;
    r->consumed = 0;
    r->discarded = 0;
}

std::size_t QmuxReaderFeed(QmuxReader* r, const uint8_t* data, std::size_t len)
{
    ReleaseConsumed(r);
    if (r->len == sizeof r->buf) {
        // Only an incomplete frame can fill the buffer; it cannot be real (no frame is this long).
        r->discarded++;
        Discard(r, 1);
    }
    std::size_t room = sizeof r->buf - r->len;
    std::size_t take = len < room ? len : room;
    std::memcpy(r->buf + r->len, data, take);
    r->len += take;
    return take;
}

int QmuxReaderNext(QmuxReader* r, QmuxFrame* out)
{
    ReleaseConsumed(r);
    for (;;) {
        const void* marker = r->len > 0 ? std::memchr(r->buf, kQmuxMarker, r->len) : nullptr;
        std::size_t skip = marker ? static_cast<std::size_t>(static_cast<const uint8_t*>(marker) - r->buf) : r->len;
        r->discarded += static_cast<uint32_t>(skip);
        Discard(r, skip);
        if (r->len == 0) return 0;

        std::size_t total = 0;
        HeadCheck head = CheckHead(r, &total);
        if (head == HeadCheck::NeedMore) return 0;
        if (head == HeadCheck::Complete && QmuxParse(r->buf, total, out) == 0) {
            r->consumed = total;
            return 1;
        }
        // Not a frame after all: the marker was garbage.
        r->discarded++;
        Discard(r, 1);
    }
}

bool QmuxReaderPending(const QmuxReader* r)
{
    return r->len > r->consumed;
}

void QmuxReaderDropPending(QmuxReader* r)
{
    ReleaseConsumed(r);
    if (r->len == 0) return;
    r->discarded++;
    Discard(r, 1);
}

int QmuxTlvFind(const uint8_t* tlv, std::size_t tlvLen, uint8_t type, const uint8_t** value, std::size_t* valueLen)
{
    std::size_t pos = 0;
    while (pos < tlvLen) {
        if (tlvLen - pos < kQmuxTlvHeaderSize) return -1;
        uint8_t t = tlv[pos];
        std::size_t n = QmuxGetU16(tlv + pos + 1);
        pos += kQmuxTlvHeaderSize;
        if (n > tlvLen - pos) return -1;
        if (t == type) {
            *value = tlv + pos;
            *valueLen = n;
            return 0;
        }
        pos += n;
    }
    return -1;
}

namespace {

// A fixed-width value: present and at least width bytes long.
const uint8_t* FindFixed(const uint8_t* tlv, std::size_t tlvLen, uint8_t type, std::size_t width)
{
    const uint8_t* value = nullptr;
    std::size_t n = 0;
    if (QmuxTlvFind(tlv, tlvLen, type, &value, &n) != 0 || n < width) return nullptr;
    return value;
}

}  // namespace

int QmuxTlvU8(const uint8_t* tlv, std::size_t tlvLen, uint8_t type, uint8_t* value)
{
    const uint8_t* p = FindFixed(tlv, tlvLen, type, 1);
    if (p == nullptr) return -1;
    *value = p[0];
    return 0;
}

int QmuxTlvU16(const uint8_t* tlv, std::size_t tlvLen, uint8_t type, uint16_t* value)
{
    const uint8_t* p = FindFixed(tlv, tlvLen, type, 2);
    if (p == nullptr) return -1;
    *value = QmuxGetU16(p);
    return 0;
}

int QmuxTlvU32(const uint8_t* tlv, std::size_t tlvLen, uint8_t type, uint32_t* value)
{
    const uint8_t* p = FindFixed(tlv, tlvLen, type, 4);
    if (p == nullptr) return -1;
    *value = QmuxGetU32(p);
    return 0;
}

int QmuxTlvResult(const uint8_t* tlv, std::size_t tlvLen, uint16_t* result, uint16_t* error)
{
    const uint8_t* p = FindFixed(tlv, tlvLen, kQmiTlvResult, 4);
    if (p == nullptr) return -1;
    *result = QmuxGetU16(p);
    *error = QmuxGetU16(p + 2);
    return 0;
}
