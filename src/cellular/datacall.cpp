// Data call: QMI clients, start, status and stop, and the dial-up thread.
//
// The net thread is the only one that queries the status and starts the call; the tunnel's link
// manager stops it from its own thread, so a stop can be in flight beside a status query on the
// same client (the client layer matches each response to its request). Transcript values are
// formatted by each call in a buffer of its own, so records from the two threads never share
// scratch text.
#include "cellular/internal.h"

#include "board/ticks.h"
#include "config/config.h"
#include "logging/log.h"
#include "platform/qmux.h"
#include "platform/text.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>


qmi_client_type qmi_nas_clnt_hdl = nullptr;
qmi_client_type qmi_wds_clnt_hdl = nullptr;

namespace {

// Result of the last library call on each client. The WDS one is written by the net thread and
// by a hang-up on the tunnel's thread.
int nas_rc = 0;
std::atomic<int> wds_rc{0};

// Library handle, and the service object of the client being opened.
int qmi_hdl = -1;
qmi_idl_service_object_type srv_nas_obj = nullptr;

// The last start and stop exchanged with the modem. The start records belong to the net thread,
// the stop records to the thread that hangs up.
WdsStartNetworkReq start_req_msg;
WdsStartNetworkResp start_resp_msg;
WdsStopNetworkReq stop_req_msg;
WdsStopNetworkResp stop_resp_msg;

// IDL versions the clients are opened with.
constexpr int32_t kNasIdlMajor = 1, kNasIdlMinor = 0x31;
constexpr int32_t kWdsIdlMajor = 1, kWdsIdlMinor = 0x1b;
constexpr int32_t kQmiToolVersion = 5;
constexpr char kQmiConnection[] = "rmnet0";

// Time-outs of the three requests and the pacing of a dial-up cycle, milliseconds.
constexpr unsigned kStartTimeoutMs = 30000;
constexpr unsigned kStopTimeoutMs = 15000;
constexpr unsigned kStatusTimeoutMs = 15000;
constexpr unsigned kDialupSettleMs = 3000;  // after a start, before the first poll
constexpr int kDialupPolls = 50;
constexpr unsigned kDialupPollPauseMs = 100;  // before each poll
constexpr unsigned kNetCyclePauseMs = 1000;   // between two cycles
constexpr uint32_t kLateOpenIntervalMs = 1000;  // between two opens of a client missed at start-up

// The packet data handle of start_resp_msg as the stop on another thread reads it: one word,
// published whole whenever the net thread changes the response.
std::atomic<uint32_t> gStartHandle{0};
// Layer result of the net thread's last start request.
int gStartRc = 0;

void QmiLogNumber(const char* api, int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    QmiLog(api, text);
}

// Whether the loss of the QMI device has been said; the net thread and a hang-up on the tunnel's
// thread both look after their requests.
std::atomic<bool> gQmiLostSaid{false};

// The WDS client as requests use it. One that could not be opened at start-up (the device was
// not there yet) is opened by a later request, at most once a second; until then requests fail as
// they do on a device that went away. Guarded: the net thread and a hang-up both ask.
std::mutex gWdsClientLock;
bool gWdsLateTried = false;
uint32_t gWdsLateTick = 0;

qmi_client_type WdsClient()
{
    std::lock_guard<std::mutex> hold(gWdsClientLock);
    if (qmi_wds_clnt_hdl != nullptr) return qmi_wds_clnt_hdl;
    uint32_t now = GetTimeTicks();
    if (gWdsLateTried && TickElapsed(gWdsLateTick, now) < kLateOpenIntervalMs) return nullptr;
    gWdsLateTried = true;
    gWdsLateTick = now;
    qmi_idl_service_object_type wds = wds_get_service_object_internal_v01(kWdsIdlMajor, kWdsIdlMinor, kQmiToolVersion);
    qmi_client_type client = nullptr;
    if (wds != nullptr && qmi_client_init(kQmiConnection, wds, nullptr, wds, &client) == 0) qmi_wds_clnt_hdl = client;
    return qmi_wds_clnt_hdl;
}

// One WDS request on the client. The device's loss and its return are each said once, on the
// console and in the event ring, by whichever request notices them.
int WdsRequest(unsigned msgId, const void* req, unsigned reqLen, void* resp, unsigned respLen, unsigned timeoutMs)
{
    qmi_client_type client = WdsClient();
    int rc = qmi_client_send_msg_sync(client, msgId, req, reqLen, resp, respLen, timeoutMs);
    bool lost = QmiDeviceLost() || client == nullptr;
    if (gQmiLostSaid.exchange(lost) != lost) {
        std::puts(lost ? "QMI device lost, reopening it" : "QMI device back, clients reopened");
        LogPush(kLogClassQmi, lost ? 0 : 1, nullptr);
    }
    return rc;
}

// Opens one client the way both opening steps do. Returns 0, or -1 after printing and logging.
int OpenClient(qmi_client_type* client, int* rc, const char* initApi, const char* rcName, const char* releaseApi)
{
    *rc = qmi_client_init(kQmiConnection, srv_nas_obj, nullptr, srv_nas_obj, client);
    QmiLogNumber(initApi, *rc);
    if (*rc == 0) return 0;
    std::printf("main(): qmi_client_init() failed. %s=%d.\n", rcName, *rc);
    QmiLogNumber(releaseApi, qmi_client_release(*client));
    return -1;
}

// What a start or a stop came to: 1 when the modem accepted it, else 0 after printing and
// logging why not.
int WdsAccepted(const char* api, int rc, const QmiResponseResult& res)
{
    wds_rc = rc;
    QmiLogNumber(api, rc);
    if (rc != 0) {
        std::printf("main(): qmi_client_send_msg_sync() failed. wds_rc=%d.\n", rc);
        return 0;
    }
    if (res.result != 0) {
        std::printf("main(): Error value=%d.\n", res.error);
        QmiLogNumber("=> resp.error", res.error);
        return 0;
    }
    return 1;
}

}  // namespace

int QMI_Init()
{
    qmi_hdl = qmi_init(nullptr, nullptr);
    QmiLogNumber("qmi_init", qmi_hdl);
    return qmi_hdl;
}

int QMI_nas_getObj()
{
    srv_nas_obj = nas_get_service_object_internal_v01(kNasIdlMajor, kNasIdlMinor, kQmiToolVersion);
    if (srv_nas_obj == nullptr) {
        std::puts("main(): nas_get_service_object_v01() failed.");
        return -1;
    }
    QmiLog("QMI_nas_getObj <nas_get_service_object_v01>", "Not NULL");
    return OpenClient(&qmi_nas_clnt_hdl, &nas_rc, "QMI_nas_getObj <qmi_client_init>",
                      "nas_rc", "QMI_nas_getObj <qmi_client_release>");
}

int QMI_wds_getObj()
{
    srv_nas_obj = wds_get_service_object_internal_v01(kWdsIdlMajor, kWdsIdlMinor, kQmiToolVersion);
    if (srv_nas_obj == nullptr) {
        std::puts("main(): wds_get_service_object_v01() failed.");
        return -1;
    }
    int rc = 0;
    std::lock_guard<std::mutex> hold(gWdsClientLock);
    int result = OpenClient(&qmi_wds_clnt_hdl, &rc, "QMI_wds_getObj <qmi_client_init>",
                            "wds_rc", "QMI_wds_getObj <qmi_client_release>");
    wds_rc = rc;
    return result;
}

int QMI_wds_CheckDialupStatus()
{
    WdsPacketServiceStatusResp resp;
    std::memset(&resp, 0, sizeof resp);
    int rc = WdsRequest(kQmiWdsGetPacketServiceStatus, nullptr, 0, &resp, sizeof resp, kStatusTimeoutMs);
    wds_rc = rc;
    QmiLogNumber("QMI_wds_CheckDialupStatus <qmi_client_send_msg_sync>", rc);
    if (rc != 0) {
        std::printf("main(): qmi_client_send_msg_sync() failed. rc=%d.\n", rc);
        QmiLogNumber("=> resp.error", resp.resp.error);
        return 0;
    }
    if (resp.resp.result != 0) {
        std::printf("main(): Error value=%d.\n", resp.resp.error);
        QmiLogNumber("=> connection_status", resp.connection_status);
        return 0;
    }
    return resp.connection_status;
}

int QMI_wds_dialup(const char* apn, const char* user, const char* password)
{
    std::puts("main(): (QMI_WDS_START_NETWORK_INTERFACE_REQ_V01) Start.");
    std::memset(&start_req_msg, 0, sizeof start_req_msg);
    std::memset(&start_resp_msg, 0, sizeof start_resp_msg);
    gStartHandle = 0;

    // All three are marked valid even when empty: the modem then gets empty texts.
    start_req_msg.apn_name_valid = 1;
    TextCopy(start_req_msg.apn_name, sizeof start_req_msg.apn_name, apn);
    start_req_msg.username_valid = 1;
    TextCopy(start_req_msg.username, sizeof start_req_msg.username, user);
    start_req_msg.password_valid = 1;
    TextCopy(start_req_msg.password, sizeof start_req_msg.password, password);
    std::printf("APN: %s\n", apn);
    std::printf("Username: %s\n", user);
    std::printf("Password: %s\n", password);

    int rc = WdsRequest(kQmiWdsStartNetwork, &start_req_msg, sizeof start_req_msg, &start_resp_msg,
                        sizeof start_resp_msg, kStartTimeoutMs);
    gStartHandle = start_resp_msg.pkt_data_handle;
    gStartRc = rc;
    return WdsAccepted("QMI_wds_dialup <qmi_client_send_msg_sync>", rc, start_resp_msg.resp);
}

int QMI_wds_hangup()
{
    std::memset(&stop_req_msg, 0, sizeof stop_req_msg);
    std::memset(&stop_resp_msg, 0, sizeof stop_resp_msg);
    stop_req_msg.pkt_data_handle = gStartHandle.load();

    int rc = WdsRequest(kQmiWdsStopNetwork, &stop_req_msg, sizeof stop_req_msg, &stop_resp_msg,
                        sizeof stop_resp_msg, kStopTimeoutMs);
    if (!WdsAccepted("QMI_wds_hangup <qmi_client_send_msg_sync>", rc, stop_resp_msg.resp)) return 0;
    std::puts("main(): QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01) Success.");
    return 1;
}

int DataCallDnsServers(uint32_t* out, int max, unsigned timeoutMs)
{
    WdsGetRuntimeSettingsReq req = {kWdsSettingsDnsAddress};
    WdsGetRuntimeSettingsResp resp;
    std::memset(&resp, 0, sizeof resp);
    int rc = WdsRequest(kQmiWdsGetRuntimeSettings, &req, sizeof req, &resp, sizeof resp, timeoutMs);
    QmiLogNumber("QMI_wds_GetRuntimeSettings <qmi_client_send_msg_sync>", rc);
    if (rc != 0) return -1;
    if (resp.resp.result != 0) {
        QmiLogNumber("=> resp.error", resp.resp.error);
        return -1;
    }
    const struct {
        uint8_t valid;
        uint32_t addr;
    } given[] = {{resp.primary_dns_valid, resp.primary_dns}, {resp.secondary_dns_valid, resp.secondary_dns}};
    int n = 0;
    for (const auto& g : given)
        if (g.valid && g.addr != 0 && n < max) out[n++] = htonl(g.addr);
    return n;
}

int hangup_actions()
{
    std::printf("QMI_wds_hangup() : %d\n", QMI_wds_hangup());
    return 1;
}

int dialup_actions2()
{
    if (QMI_wds_CheckDialupStatus() == kWdsConnectionConnected) return 0;

    // A refused start does not end the cycle: the call may come up anyway (or already be up
    // when the status query itself failed), and the polls below tell.
    std::printf("Dialup result=%d\r\n", QMI_wds_dialup(modem_APN, modem_usr, modem_pwd));
    // With the device away the start never reached the modem and no poll can see a call: the
    // next cycle (a second later) dials again, soon after the device is back.
    if (gStartRc == kQmiErrTransport) return -1;
    SleepMs(kDialupSettleMs);
    for (int n = 0; n < kDialupPolls; n++) {
        SleepMs(kDialupPollPauseMs);
        int status = QMI_wds_CheckDialupStatus();
        if (status == kWdsConnectionConnected) {
            std::puts("dialup ready");
            return 0;
        }
        std::printf("[%d:%d]\n", n, status);
    }
    return -1;
}

void net_cycle()
{
    netStat = net_status.load();
    net_status = dialup_actions2();
    if (net_status.load() == 0) DialupRaise();
}

void NetPass()
{
    net_cycle();
    SleepMs(kNetCyclePauseMs);
}

void* thread_net(void*)
{
    ThreadName("lirn-net");
    for (;;) NetPass();
}
