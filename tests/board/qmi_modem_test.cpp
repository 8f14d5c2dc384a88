// The board's QMI modem on its own: frames in, frames out, no pty. What the firmware's tests do
// not reach: refusals of the modem's own making and the bounded record the control verbs read.
#include "qmi_modem.h"

#include "board_util.h"
#include "control_client.h"
#include "platform/qmi_client.h"

#include <gtest/gtest.h>

namespace {

class QmiModemTest : public ::testing::Test {
protected:
    // Sends one request and returns the response frame due by now (empty when none).
    std::string Send(uint8_t service, uint8_t clientId, uint16_t msgId, const std::string& tlvs = "", int64_t now = 0)
    {
        uint8_t buf[512];
        QmuxWriter w;
        QmuxBegin(&w, buf, sizeof buf, kQmuxFromHost, service, clientId, 0, ++txn_, msgId);
        std::size_t n = 0;
        while (n < tlvs.size()) {  // tlvs: type byte, then the value up to the next '|'
            std::size_t end = tlvs.find('|', n);
            if (end == std::string::npos) end = tlvs.size();
            QmuxPutTlv(&w, static_cast<uint8_t>(tlvs[n]), tlvs.data() + n + 1, end - n - 1);
            n = end + 1;
        }
        int len = QmuxFinish(&w);
        modem_.Input(reinterpret_cast<char*>(buf), static_cast<std::size_t>(len), now);
        std::string out;
        modem_.Output(out, now);
        return out;
    }
    // The result TLV of a response frame as "result/error", or "none".
    static std::string Result(const std::string& frame)
    {
        QmuxFrame f;
        uint16_t result = 0, error = 0;
        if (QmuxParse(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), &f) != 0 ||
            QmuxTlvResult(f.tlv, f.tlvLen, &result, &error) != 0)
            return "none";
        return std::to_string(result) + "/" + std::to_string(error);
    }
    uint8_t Allocate(uint8_t service)
    {
        std::string r = Send(kQmiServiceCtl, 0, kQmiCtlAllocateCid, std::string(1, '\x01') + static_cast<char>(service));
        QmuxFrame f;
        const uint8_t* v = nullptr;
        std::size_t n = 0;
        if (QmuxParse(reinterpret_cast<const uint8_t*>(r.data()), r.size(), &f) != 0 ||
            QmuxTlvFind(f.tlv, f.tlvLen, 0x01, &v, &n) != 0 || n != 2)
            return 0;
        return v[1];
    }
    std::string Ctl(const std::string& line) { return modem_.Control(SplitWords(line)); }

    QmiModem modem_;
    uint16_t txn_ = 0;
};

TEST_F(QmiModemTest, RecordKeepsTheLatestRequestsUnderTheirRunningIndexes)
{
    const std::size_t total = QmiModem::kKeptRequests + 5;
    for (std::size_t i = 0; i < total; ++i) Send(kQmiServiceWds, 9, kQmiWdsGetPacketServiceStatus);
    EXPECT_EQ(Ctl("requests"), "ok " + std::to_string(total));
    EXPECT_EQ(Ctl("request 4").rfind("err request 4 no longer kept", 0), 0u);
    EXPECT_EQ(Ctl("request 5").rfind("ok #5 status", 0), 0u);
    EXPECT_EQ(Ctl("last status").rfind("ok #" + std::to_string(total - 1) + " status", 0), 0u);
    EXPECT_EQ(Ctl("clear"), "ok");
    Send(kQmiServiceWds, 9, kQmiWdsGetPacketServiceStatus);
    EXPECT_EQ(Ctl("request 0").rfind("ok #0 status", 0), 0u);
}

TEST_F(QmiModemTest, RequestsFromUnknownClientsAndUnknownMessagesAreRefused)
{
    EXPECT_EQ(Result(Send(kQmiServiceWds, 9, kQmiWdsGetPacketServiceStatus)),
              "1/" + std::to_string(kQmiErrorInvalidClientId));
    uint8_t cid = Allocate(kQmiServiceWds);
    EXPECT_EQ(Result(Send(kQmiServiceWds, cid, 0x0055)), "1/" + std::to_string(kQmiErrorInvalidQmiCommand));
    EXPECT_EQ(Result(Send(kQmiServiceCtl, 0, 0x0099)), "1/" + std::to_string(kQmiErrorInvalidQmiCommand));
    EXPECT_EQ(Result(Send(kQmiServiceWds, cid, kQmiWdsStopNetwork)), "1/17");  // no handle: missing argument
    EXPECT_EQ(Ctl("requests"), "ok 5");
    EXPECT_EQ(Ctl("last svc1:0x0055").rfind("ok #2 svc1:0x0055 svc=1 cid=1", 0), 0u);
}

}  // namespace
