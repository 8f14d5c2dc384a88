// Fuzz target: the QMUX stream reader and the TLV lookup, on bytes as the modem's control device
// might deliver them: split into reads of varying size, with garbage, cut frames and lying lengths.
//
// The first input byte chooses how the rest is cut into reads; the rest is the stream. Every frame
// the reader hands out must lie within what arrived, parse again on its own, and build back into
// the same bytes; every byte fed must end up in a frame, counted as discarded, or still waiting.
#include "fuzz_input.h"
#include "platform/qmux.h"

#include <algorithm>
#include <memory>

namespace {

// Reads of 1 to 64 bytes, their sizes cycling through a pattern taken from the control byte.
std::size_t ReadSize(uint8_t control, std::size_t readIndex)
{
    return 1 + ((control * (readIndex + 1) + readIndex * 7) & 0x3F);
}

// The TLV lookups on a chain: whatever they find lies within it, and fixed widths are honoured.
void CheckLookups(const uint8_t* tlv, std::size_t tlvLen, uint8_t type)
{
    const uint8_t* value = nullptr;
    std::size_t valueLen = 0;
    bool found = QmuxTlvFind(tlv, tlvLen, type, &value, &valueLen) == 0;
    if (found)
        fuzzinput::Check(value >= tlv && valueLen <= tlvLen && value + valueLen <= tlv + tlvLen, "TLV value within its chain");
    uint8_t u8 = 0;
    uint16_t u16 = 0, result = 0, error = 0;
    uint32_t u32 = 0;
    fuzzinput::Check((QmuxTlvU8(tlv, tlvLen, type, &u8) == 0) == (found && valueLen >= 1), "u8 needs one byte");
    fuzzinput::Check((QmuxTlvU16(tlv, tlvLen, type, &u16) == 0) == (found && valueLen >= 2), "u16 needs two bytes");
    fuzzinput::Check((QmuxTlvU32(tlv, tlvLen, type, &u32) == 0) == (found && valueLen >= 4), "u32 needs four bytes");
    QmuxTlvResult(tlv, tlvLen, &result, &error);
}

// A frame from the reader: it parses on its own, its lookups stay inside it, and the writer builds
// exactly its bytes from its fields and TLVs (and refuses to build them into one byte less).
void CheckFrame(const uint8_t* bytes, std::size_t len, const QmuxFrame& f)
{
    QmuxFrame again;
    fuzzinput::Check(QmuxParse(bytes, len, &again) == 0, "a handed-out frame parses on its own");
    fuzzinput::Check(again.tlv == f.tlv && again.tlvLen == f.tlvLen && again.msgId == f.msgId && again.txn == f.txn,
                     "the same frame both ways");
    std::size_t headers = kQmuxHeaderSize + (f.service == kQmiServiceCtl ? kQmuxCtlHeaderSize : kQmuxSvcHeaderSize);
    fuzzinput::Check(f.tlv == bytes + headers && headers + f.tlvLen == len, "the TLV chain fills the frame");

    auto rebuilt = std::make_unique<uint8_t[]>(len);
    for (std::size_t cap : {len, len - 1}) {
        QmuxWriter w;
        QmuxBegin(&w, rebuilt.get(), cap, f.qmuxFlags, f.service, f.clientId, f.sduFlags, f.txn, f.msgId);
        for (std::size_t pos = 0; pos < f.tlvLen;) {
            std::size_t n = QmuxGetU16(f.tlv + pos + 1);
            QmuxPutTlv(&w, f.tlv[pos], f.tlv + pos + kQmuxTlvHeaderSize, n);
            pos += kQmuxTlvHeaderSize + n;
        }
        int size = QmuxFinish(&w);
        if (cap < len) {
            fuzzinput::Check(size < 0, "a frame that does not fit is refused");
        } else {
            fuzzinput::Check(size == static_cast<int>(len) && std::memcmp(rebuilt.get(), bytes, len) == 0,
                             "the writer builds the same bytes");
        }
    }
    for (std::size_t pos = 0; pos < f.tlvLen; pos += kQmuxTlvHeaderSize + QmuxGetU16(f.tlv + pos + 1))
        CheckLookups(f.tlv, f.tlvLen, f.tlv[pos]);
    CheckLookups(f.tlv, f.tlvLen, kQmiTlvResult);
}

// Takes every complete frame the reader holds; returns the bytes they made up.
std::size_t Drain(QmuxReader& r)
{
    std::size_t bytes = 0;
    QmuxFrame f;
    while (QmuxReaderNext(&r, &f) == 1) {
        fuzzinput::Check(r.consumed > 0 && r.consumed <= r.len && r.consumed <= kQmuxFrameMax, "frame within the buffer");
        CheckFrame(r.buf, r.consumed, f);
        bytes += r.consumed;
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    uint8_t control = data[0];
    // The stream in a heap area of exactly its size, so that a read past its end is caught.
    std::vector<uint8_t> stream(data + 1, data + size);

    auto reader = std::make_unique<QmuxReader>();
    QmuxReaderReset(reader.get());
    std::size_t fed = 0;
    std::size_t framed = 0;
    for (std::size_t i = 0; fed < stream.size(); ++i) {
        std::size_t want = std::min(ReadSize(control, i), stream.size() - fed);
        std::size_t took = QmuxReaderFeed(reader.get(), stream.data() + fed, want);
        fuzzinput::Check(took > 0 && took <= want, "every feed makes progress");
        fed += took;
        framed += Drain(*reader);
    }
    // The stream goes quiet: cut frames are given up one marker at a time until nothing waits.
    while (QmuxReaderPending(reader.get())) {
        QmuxReaderDropPending(reader.get());
        framed += Drain(*reader);
    }
    fuzzinput::Check(framed + reader->discarded + (reader->len - reader->consumed) == fed,
                     "every byte is framed, discarded or waiting");

    // The one-shot parser and the lookups on the raw bytes, as a frame and as a TLV chain.
    QmuxFrame f;
    if (QmuxParse(stream.data(), stream.size(), &f) == 0) CheckFrame(stream.data(), stream.size(), f);
    CheckLookups(stream.data(), stream.size(), control);
    return 0;
}
