// QMUX framing: frames built and parsed, cut out of a stream that splits and joins them, and
// every kind of bad input skipped. That no frame is cut to fit, fixed-width TLV values need their
// width, a TLV found lies within its chain, and noise never reads past what arrived are the fuzz
// target's checks (qmux_fuzz); the transaction id patched into either header form, every request
// of qmi_client_test.
#include "platform/qmux.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A WDS response with a result TLV and a u32 handle TLV.
Bytes WdsResponse(uint8_t clientId, uint16_t txn, uint32_t handle)
{
    uint8_t buf[256];
    QmuxWriter w;
    QmuxBegin(&w, buf, sizeof buf, kQmuxFromModem, kQmiServiceWds, clientId, kQmiSvcResponse, txn,
              kQmiWdsStartNetwork);
    QmuxPutResult(&w, kQmiResultSuccess, 0);
    QmuxPutTlvU32(&w, 0x01, handle);
    int n = QmuxFinish(&w);
    EXPECT_GT(n, 0);
    return Bytes(buf, buf + n);
}

Bytes CtlRequest(uint8_t txn, uint8_t service)
{
    uint8_t buf[64];
    QmuxWriter w;
    QmuxBegin(&w, buf, sizeof buf, kQmuxFromHost, kQmiServiceCtl, 0, kQmiCtlRequest, txn, kQmiCtlAllocateCid);
    QmuxPutTlvU8(&w, 0x01, service);
    int n = QmuxFinish(&w);
    EXPECT_GT(n, 0);
    return Bytes(buf, buf + n);
}

struct Stream {
    QmuxReader reader{};
    std::vector<uint16_t> txns;  // transaction ids of the frames taken, in order

    Stream() { QmuxReaderReset(&reader); }

    void Feed(const Bytes& b)
    {
        std::size_t at = 0;
        while (at < b.size()) {
            at += QmuxReaderFeed(&reader, b.data() + at, b.size() - at);
            Drain();
        }
    }
    void Drain()
    {
        QmuxFrame f;
        while (QmuxReaderNext(&reader, &f) == 1) txns.push_back(f.txn);
    }
};

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(QmuxWriter, BuildsAServiceFrameByteForByte)
{
    Bytes f = WdsResponse(7, 0x1234, 0xA1B2C3D4);
    const Bytes want = {0x01, 0x1A, 0x00, 0x80, 0x01, 0x07,                      // QMUX header
                        0x02, 0x34, 0x12, 0x20, 0x00, 0x0E, 0x00,                // service header
                        0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,                // result
                        0x01, 0x04, 0x00, 0xD4, 0xC3, 0xB2, 0xA1};               // handle
    EXPECT_EQ(f, want);
}

TEST(QmuxWriter, CtlFramesHaveAOneByteTransactionId)
{
    Bytes f = CtlRequest(0x42, kQmiServiceWds);
    const Bytes want = {0x01, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x42, 0x22, 0x00, 0x04, 0x00, 0x01, 0x01, 0x00, 0x01};
    EXPECT_EQ(f, want);
    QmuxFrame p;
    ASSERT_EQ(QmuxParse(f.data(), f.size(), &p), 0);
    EXPECT_EQ(p.service, kQmiServiceCtl);
    EXPECT_EQ(p.txn, 0x42);
    EXPECT_EQ(p.msgId, kQmiCtlAllocateCid);
    uint8_t service = 0;
    EXPECT_EQ(QmuxTlvU8(p.tlv, p.tlvLen, 0x01, &service), 0);
    EXPECT_EQ(service, kQmiServiceWds);
}

TEST(QmuxReader, FrameSplitIntoSingleBytesArrivesOnceWhole)
{
    Stream s;
    Bytes f = WdsResponse(1, 3, 77);
    for (std::size_t i = 0; i < f.size(); i++) {
        s.Feed(Bytes{f[i]});
        EXPECT_EQ(s.txns.size(), i + 1 == f.size() ? 1u : 0u) << "after byte " << i;
    }
    EXPECT_EQ(s.reader.discarded, 0u);
}

TEST(QmuxReader, FrameTlvsStayReadableUntilTheNextCall)
{
    QmuxReader r;
    QmuxReaderReset(&r);
    Bytes both = Join({WdsResponse(1, 1, 0x11111111), WdsResponse(1, 2, 0x22222222)});
    QmuxReaderFeed(&r, both.data(), both.size());
    QmuxFrame f;
    ASSERT_EQ(QmuxReaderNext(&r, &f), 1);
    uint32_t h = 0;
    ASSERT_EQ(QmuxTlvU32(f.tlv, f.tlvLen, 0x01, &h), 0);
    EXPECT_EQ(h, 0x11111111u);
    ASSERT_EQ(QmuxReaderNext(&r, &f), 1);
    ASSERT_EQ(QmuxTlvU32(f.tlv, f.tlvLen, 0x01, &h), 0);
    EXPECT_EQ(h, 0x22222222u);
    EXPECT_EQ(QmuxReaderNext(&r, &f), 0);
}

TEST(QmuxReader, GarbageAndWrongMarkersAreSkipped)
{
    Stream s;
    Bytes garbage = {0x00, 0x7E, 0x02, 0x0F, 0x00, 0x00, 0xFF};
    s.Feed(Join({garbage, WdsResponse(1, 5, 1), garbage, WdsResponse(1, 6, 2)}));
    EXPECT_EQ(s.txns, (std::vector<uint16_t>{5, 6}));
    EXPECT_EQ(s.reader.discarded, 2 * garbage.size());
}

TEST(QmuxReader, FramesWithImpossibleLengthsAreSkipped)
{
    Bytes tooLong = {0x01, 0xFF, 0xFF, 0x80, 0x01, 0x01};  // far past any sane frame
    Bytes tooShort = {0x01, 0x03, 0x00, 0x80, 0x01};        // shorter than the headers
    Bytes badFlags = {0x01, 0x1A, 0x00, 0x42, 0x01, 0x01};  // neither host nor modem
    Bytes tlvTooShort = WdsResponse(1, 4, 4);
    tlvTooShort[11] = static_cast<uint8_t>(tlvTooShort[11] + 1);  // TLV length one more than the frame holds
    Bytes tlvPastEnd = WdsResponse(1, 4, 4);
    tlvPastEnd[21] = 0x40;  // the handle TLV now claims 64 bytes
    QmuxFrame p;
    EXPECT_EQ(QmuxParse(tlvPastEnd.data(), tlvPastEnd.size(), &p), -1);
    Stream s;
    s.Feed(Join({tooLong, tooShort, badFlags, WdsResponse(2, 9, 3), CtlRequest(10, 1), tlvTooShort, tlvPastEnd,
                 WdsResponse(1, 12, 12)}));
    EXPECT_EQ(s.txns, (std::vector<uint16_t>{9, 10, 12}));  // a control frame among service frames too
}

TEST(QmuxReader, TruncatedFrameIsGivenUpWhenTheStreamGoesQuiet)
{
    Stream s;
    uint8_t buf[256];
    QmuxWriter w;
    QmuxBegin(&w, buf, sizeof buf, kQmuxFromModem, kQmiServiceWds, 1, kQmiSvcResponse, 1, kQmiWdsStartNetwork);
    uint8_t big[100] = {};
    QmuxPutTlv(&w, 0x30, big, sizeof big);
    ASSERT_GT(QmuxFinish(&w), 0);
    Bytes cut(buf, buf + 14);                        // headers agree, the rest never arrives
    Bytes shortFrame = CtlRequest(3, 1);             // shorter than what the cut frame still waits for
    s.Feed(Join({cut, shortFrame}));
    EXPECT_TRUE(s.txns.empty());
    EXPECT_TRUE(QmuxReaderPending(&s.reader));
    QmuxReaderDropPending(&s.reader);
    s.Drain();
    EXPECT_EQ(s.txns, (std::vector<uint16_t>{3}));
    EXPECT_FALSE(QmuxReaderPending(&s.reader));
}

TEST(QmuxReader, FeedingMoreThanTheBufferHoldsLosesNoFrame)
{
    Stream s;
    Bytes many;
    for (uint16_t i = 1; i <= 1000; i++) {
        Bytes f = WdsResponse(1, i, i);
        many.insert(many.end(), f.begin(), f.end());
    }
    ASSERT_GT(many.size(), sizeof s.reader.buf);
    s.Feed(many);
    ASSERT_EQ(s.txns.size(), 1000u);
    EXPECT_EQ(s.txns.back(), 1000);
}

TEST(QmuxReader, RandomBytesBetweenFramesNeverHideAFrame)
{
    unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    Stream s;
    std::vector<uint16_t> sent;
    for (uint16_t i = 1; i <= 300; i++) {
        Bytes junk(rng() % 40);
        for (uint8_t& b : junk) {
            b = static_cast<uint8_t>(rng());
            if (b == kQmuxMarker) b = 0x00;  // junk without markers can always be skipped
        }
        Bytes f = WdsResponse(1, i, i);
        sent.push_back(i);
        Bytes all = Join({junk, f});
        // Deliver in pieces of random size, as a pty does.
        for (std::size_t at = 0; at < all.size();) {
            std::size_t n = 1 + rng() % 16;
            if (n > all.size() - at) n = all.size() - at;
            s.Feed(Bytes(all.begin() + at, all.begin() + at + n));
            at += n;
        }
    }
    EXPECT_EQ(s.txns, sent) << "seed " << seed;
}

}  // namespace
