// QMI client layer over QMUX on the modem's control device.
//
// One connection (the device "rmnet0" maps to) carries every client. It is opened with the first
// client and closed with the last. A reader thread owns the incoming byte stream: it cuts frames
// out of it, drops what is garbage or not for us, and hands each response to the waiting request
// with the same service, client id, transaction id and message id. Requests wait in fixed slots,
// so two threads can each have one in flight on the same client and nothing is allocated per
// request. A request that times out frees its slot; a response arriving after that finds no
// taker and is dropped.
//
// The device may go away and come back (a USB modem resetting, the modem's QMI service
// restarting). A request that finds the connection broken closes what is left and reopens the
// device, at most once a second while it stays missing; the reopened connection gets a fresh
// client id for every open client, so the callers' handles stay valid.
#include "platform/qmi_client.h"

#include "platform/qmux.h"
#include "platform/sysroot.h"
#include "platform/text.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

struct QmiServiceObject {
    uint8_t service;
};

struct QmiClient {
    bool used;
    uint8_t service;
    uint8_t clientId;
};

namespace {

constexpr char kQmiConnectionId[] = "rmnet0";
constexpr char kQmiDeviceNode[] = "/dev/cdc-wdm0";
constexpr char kQmiDeviceEnv[] = "LIRN_QMI_DEVICE";
constexpr int32_t kQmiIdlMajor = 1;  // the only IDL major version the records below follow

constexpr int kQmiClientSlots = 4;
constexpr int kQmiRequestSlots = 8;
constexpr std::size_t kQmiResponseTlvMax = 1024;  // more than any response of ours can carry
constexpr std::size_t kQmiRequestFrameMax = 1024;
constexpr unsigned kQmiCtlTimeoutMs = 5000;  // client id allocation and release
constexpr int kReaderPollMs = 100;
// A frame start that has waited this long for the rest of its bytes was garbage with a
// plausible length; a modem writes a frame in one go.
constexpr int kStalePartialMs = 1000;
// Least time between two attempts to reopen a device that went away.
constexpr auto kReopenInterval = std::chrono::milliseconds(1000);

const QmiServiceObject kNasObject{kQmiServiceNas};
const QmiServiceObject kWdsObject{kQmiServiceWds};

struct PendingRequest {
    bool busy;
    bool done;
    uint32_t connection;  // the connection the request went out on (gConnection then)
    uint8_t service;
    uint8_t clientId;
    uint16_t txn;
    uint16_t msgId;
    bool tooLong;  // the response's TLVs did not fit the slot
    std::size_t tlvLen;
    uint8_t tlv[kQmiResponseTlvMax];
};

// The connection. gLock guards every field except the descriptor's writes (gWriteLock) and the
// reader's stream state, which only the reader thread touches.
std::mutex gOpenLock;  // serialises opening and releasing clients
std::mutex gLock;
std::mutex gWriteLock;
std::condition_variable gAnswered;
int gFd = -1;
bool gBroken = false;  // the device failed; every request fails until it is reopened
// Counts the connections opened. A request waits only on the connection it went out on: a waiter
// that wakes after a reopen sees the count changed and gives up, and never shares its slot with a
// request of the new connection.
uint32_t gConnection = 0;
int gWake[2] = {-1, -1};
std::thread gReaderThread;
uint16_t gNextTxn = 0;
uint8_t gNextCtlTxn = 0;
PendingRequest gPending[kQmiRequestSlots];
QmiClient gClients[kQmiClientSlots];
QmuxReader gStream;
// Recovery state: the device went away and is not back yet (read by QmiDeviceLost from any
// thread), and the earliest time of the next reopen attempt (guarded by gOpenLock).
std::atomic<bool> gLost{false};
std::chrono::steady_clock::time_point gNextReopen;

// ---- Device ----

int OpenDevice()
{
    char path[kSysPathMax];
    if (QmiDevicePath(path, sizeof path) != 0) return -1;
    // Never become the controlling terminal of a pty: a hang-up would then signal the firmware.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        // A plain file or a pipe left at the path is no modem.
        close(fd);
        return -1;
    }
    struct termios t;
    if (isatty(fd) && tcgetattr(fd, &t) == 0) {
        // QMUX is binary: no byte may be translated, echoed or taken as a control character.
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Writes a whole frame before the deadline. Frames from two threads never interleave.
int WriteFrame(int fd, const uint8_t* p, std::size_t n, std::chrono::steady_clock::time_point deadline)
{
    std::lock_guard<std::mutex> hold(gWriteLock);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return kQmiErrTransport;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return kQmiErrTimeout;
        struct pollfd pfd = {fd, POLLOUT, 0};
        poll(&pfd, 1, static_cast<int>(left.count() < kReaderPollMs ? left.count() : kReaderPollMs));
    }
    return kQmiOk;
}

// ---- Reader thread ----

bool IsResponse(const QmuxFrame& f)
{
    if (f.qmuxFlags != kQmuxFromModem) return false;
    return f.sduFlags == (f.service == kQmiServiceCtl ? kQmiCtlResponse : kQmiSvcResponse);
}

// Hands a frame to the request waiting for it; anything else (indications, answers to requests
// that gave up, frames for other clients) is dropped.
void Deliver(const QmuxFrame& f)
{
    if (!IsResponse(f)) return;
    std::lock_guard<std::mutex> hold(gLock);
    for (PendingRequest& p : gPending) {
        if (!p.busy || p.done || p.connection != gConnection || p.service != f.service || p.clientId != f.clientId ||
            p.txn != f.txn || p.msgId != f.msgId)
            continue;
        p.tooLong = f.tlvLen > sizeof p.tlv;
        p.tlvLen = p.tooLong ? 0 : f.tlvLen;
        if (p.tlvLen > 0) std::memcpy(p.tlv, f.tlv, p.tlvLen);
        p.done = true;
        gAnswered.notify_all();
        return;
    }
}

void DeliverAll()
{
    QmuxFrame f;
    while (QmuxReaderNext(&gStream, &f) == 1) Deliver(f);
}

void MarkBroken()
{
    std::lock_guard<std::mutex> hold(gLock);
    gBroken = true;
    gAnswered.notify_all();
}

// The reader thread's own state: the device, the read end of its wake pipe, and how long a frame
// start has waited for its rest.
struct Reader {
    int fd;
    int wake;
    int quietMs;
};

// One pass of the reader: waits for bytes on the device (or its wake pipe), feeds them to the
// frame reader and delivers the complete frames. Only a frame start still waiting for its rest
// needs the clock (100 ms ticks, dropped when stale); otherwise the wait has no end. False once
// the reader ends: the connection closes, or the device broke.
bool ReaderPass(Reader* r)
{
    struct pollfd pfd[2] = {{r->fd, POLLIN, 0}, {r->wake, POLLIN, 0}};
    int n = poll(pfd, 2, QmuxReaderPending(&gStream) ? kReaderPollMs : -1);
    if (pfd[1].revents != 0) return false;
    if (n == 0) {
        r->quietMs += kReaderPollMs;
        if (r->quietMs >= kStalePartialMs && QmuxReaderPending(&gStream)) {
            QmuxReaderDropPending(&gStream);
            DeliverAll();
        }
        return true;
    }
    if (n < 0) {
        if (errno == EINTR) return true;
        MarkBroken();
        return false;
    }
    uint8_t buf[4096];
    ssize_t got = read(r->fd, buf, sizeof buf);
    if (got > 0) {
        r->quietMs = 0;
        QmuxReaderFeed(&gStream, buf, static_cast<std::size_t>(got));
        DeliverAll();
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    MarkBroken();
    return false;
}

// The reader thread: passes until its connection closes.
void ReaderLoop(int fd, int wake)
{
    pthread_setname_np(pthread_self(), "lirn-qmi");
    Reader r = {fd, wake, 0};
    while (ReaderPass(&r)) {
    }
}

// ---- Connection ----

int OpenConnection()
{
    int fd = OpenDevice();
    if (fd < 0) return kQmiErrNoDevice;
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(fd);
        return kQmiErrInternal;
    }
    {
        std::lock_guard<std::mutex> hold(gLock);
        gFd = fd;
        gBroken = false;
        ++gConnection;
        gWake[0] = wake[0];
        gWake[1] = wake[1];
    }
    QmuxReaderReset(&gStream);
    gReaderThread = std::thread(ReaderLoop, fd, wake[0]);
    return kQmiOk;
}

void CloseConnection()
{
    if (gFd < 0) return;  // closed already after a failed reopen
    {
        // Whoever still waits gets a transport failure instead of a closed descriptor.
        std::lock_guard<std::mutex> hold(gLock);
        gBroken = true;
        gAnswered.notify_all();
    }
    char c = 0;
    ssize_t w = write(gWake[1], &c, 1);
    (void)w;
    if (gReaderThread.joinable()) gReaderThread.join();
    std::lock_guard<std::mutex> holdWrites(gWriteLock);
    std::lock_guard<std::mutex> hold(gLock);
    close(gFd);
    close(gWake[0]);
    close(gWake[1]);
    gFd = -1;
    gWake[0] = gWake[1] = -1;
}

bool AnyClientOpen()
{
    for (const QmiClient& c : gClients)
        if (c.used) return true;
    return false;
}

// Claims a request slot and a transaction id for a request. Returns the slot and the device, or
// nullptr with the failure in *rc.
PendingRequest* ClaimSlot(uint8_t service, uint8_t clientId, uint16_t msgId, int* fd, int* rc)
{
    std::lock_guard<std::mutex> hold(gLock);
    if (gFd < 0 || gBroken) {
        *rc = kQmiErrTransport;
        return nullptr;
    }
    for (PendingRequest& p : gPending) {
        if (p.busy) continue;
        p.busy = true;
        p.done = false;
        p.connection = gConnection;
        p.tooLong = false;
        p.tlvLen = 0;
        p.service = service;
        p.clientId = clientId;
        p.msgId = msgId;
        if (service == kQmiServiceCtl) {
            if (++gNextCtlTxn == 0) ++gNextCtlTxn;  // 0 is never a request's id
            p.txn = gNextCtlTxn;
        } else {
            if (++gNextTxn == 0) ++gNextTxn;
            p.txn = gNextTxn;
        }
        *fd = gFd;
        return &p;
    }
    *rc = kQmiErrBusy;
    return nullptr;
}

void FreeSlot(PendingRequest* p)
{
    std::lock_guard<std::mutex> hold(gLock);
    p->busy = false;
}

// Sends a request frame (built with transaction id 0, which is filled in here) and waits for its
// response. On 0 the slot holds the response's TLVs and the caller frees it; on any failure the
// slot is already free.
int Transact(uint8_t* frame, std::size_t len, unsigned timeoutMs, PendingRequest** out)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    QmuxFrame head;
    if (QmuxParse(frame, len, &head) != 0) return kQmiErrInternal;
    int rc = kQmiOk;
    int fd = -1;
    PendingRequest* p = ClaimSlot(head.service, head.clientId, head.msgId, &fd, &rc);
    if (p == nullptr) return rc;
    QmuxSetTxn(frame, len, p->txn);
    rc = WriteFrame(fd, frame, len, deadline);
    if (rc != kQmiOk) {
        FreeSlot(p);
        if (rc == kQmiErrTransport) MarkBroken();  // the next request reopens the device
        return rc;
    }

    // Each waiter frees its own slot, whatever ended its wait: no one else does.
    std::unique_lock<std::mutex> hold(gLock);
    auto gone = [p] { return gBroken || p->connection != gConnection; };
    gAnswered.wait_until(hold, deadline, [p, gone] { return p->done || gone(); });
    if (!p->done || p->tooLong) {
        p->busy = false;
        return p->done ? kQmiErrMalformed : gone() ? kQmiErrTransport : kQmiErrTimeout;
    }
    *out = p;
    return kQmiOk;
}

// ---- CTL: client ids ----

// Allocates (msg 0x0022) or releases (0x0023) a client id. Returns 0 and the id confirmed by the
// modem, or a failure code.
int CtlClientId(uint16_t msgId, uint8_t service, uint8_t clientId, uint8_t* confirmed)
{
    uint8_t frame[kQmiRequestFrameMax];
    QmuxWriter w;
    QmuxBegin(&w, frame, sizeof frame, kQmuxFromHost, kQmiServiceCtl, 0, kQmiCtlRequest, 0, msgId);
    uint8_t ids[2] = {service, clientId};
    QmuxPutTlv(&w, 0x01, ids, msgId == kQmiCtlReleaseCid ? 2 : 1);
    int len = QmuxFinish(&w);
    if (len < 0) return kQmiErrInternal;
    PendingRequest* p = nullptr;
    int rc = Transact(frame, static_cast<std::size_t>(len), kQmiCtlTimeoutMs, &p);
    if (rc != kQmiOk) return rc;
    uint16_t result = 0, error = 0;
    const uint8_t* value = nullptr;
    std::size_t n = 0;
    if (QmuxTlvResult(p->tlv, p->tlvLen, &result, &error) != 0)
        rc = kQmiErrMalformed;
    else if (result != kQmiResultSuccess)
        rc = kQmiErrRefused;
    else if (QmuxTlvFind(p->tlv, p->tlvLen, 0x01, &value, &n) != 0 || n < 2 || value[0] != service)
        rc = kQmiErrMalformed;
    else
        *confirmed = value[1];
    FreeSlot(p);
    return rc;
}

// ---- WDS records ----

// A text field of a request record: up to the terminator or the end of the field.
void PutTextTlv(QmuxWriter* w, uint8_t type, uint8_t valid, const char* text, std::size_t fieldSize)
{
    if (valid) QmuxPutTlv(w, type, text, strnlen(text, fieldSize));
}

// Encodes the request TLVs of a WDS message from its record. Returns false for a message this
// layer does not carry or a record of the wrong size.
bool EncodeWds(QmuxWriter* w, unsigned msgId, const void* req, unsigned reqLen)
{
    switch (msgId) {
    case kQmiWdsStartNetwork: {
        if (req == nullptr || reqLen != sizeof(WdsStartNetworkReq)) return false;
        const WdsStartNetworkReq* r = static_cast<const WdsStartNetworkReq*>(req);
        PutTextTlv(w, kWdsTlvApn, r->apn_name_valid, r->apn_name, kWdsApnMax);
        PutTextTlv(w, kWdsTlvUsername, r->username_valid, r->username, kWdsUserMax);
        PutTextTlv(w, kWdsTlvPassword, r->password_valid, r->password, kWdsPasswordMax);
        return true;
    }
    case kQmiWdsStopNetwork:
        if (req == nullptr || reqLen != sizeof(WdsStopNetworkReq)) return false;
        QmuxPutTlvU32(w, kWdsTlvPacketDataHandle, static_cast<const WdsStopNetworkReq*>(req)->pkt_data_handle);
        return true;
    case kQmiWdsGetPacketServiceStatus:
        return reqLen == 0;
    case kQmiWdsGetRuntimeSettings:
        if (req == nullptr || reqLen != sizeof(WdsGetRuntimeSettingsReq)) return false;
        QmuxPutTlvU32(w, kWdsTlvRequestedSettings, static_cast<const WdsGetRuntimeSettingsReq*>(req)->requested_settings);
        return true;
    default:
        return false;
    }
}

// The size of the response record of a WDS message.
std::size_t WdsResponseSize(unsigned msgId)
{
    switch (msgId) {
    case kQmiWdsStartNetwork: return sizeof(WdsStartNetworkResp);
    case kQmiWdsStopNetwork: return sizeof(WdsStopNetworkResp);
    case kQmiWdsGetPacketServiceStatus: return sizeof(WdsPacketServiceStatusResp);
    case kQmiWdsGetRuntimeSettings: return sizeof(WdsGetRuntimeSettingsResp);
    default: return 0;
    }
}

// Decodes a WDS response into its record. The record is written only when the response holds
// every TLV its message must carry: a refusal needs only the result, a success also its data.
int DecodeWds(uint16_t msgId, const uint8_t* tlv, std::size_t len, void* resp)
{
    QmiResponseResult res{};
    if (QmuxTlvResult(tlv, len, &res.result, &res.error) != 0) return kQmiErrMalformed;
    bool ok = res.result == kQmiResultSuccess;
    if (msgId == kQmiWdsStartNetwork) {
        WdsStartNetworkResp r{};
        r.resp = res;
        if (QmuxTlvU32(tlv, len, kWdsTlvPacketDataHandle, &r.pkt_data_handle) != 0 && ok) return kQmiErrMalformed;
        r.call_end_reason_valid = QmuxTlvU16(tlv, len, kWdsTlvCallEndReason, &r.call_end_reason) == 0;
        std::memcpy(resp, &r, sizeof r);
    } else if (msgId == kQmiWdsStopNetwork) {
        WdsStopNetworkResp r{};
        r.resp = res;
        std::memcpy(resp, &r, sizeof r);
    } else if (msgId == kQmiWdsGetRuntimeSettings) {
        // Every setting is optional: a call without name servers answers with none.
        WdsGetRuntimeSettingsResp r{};
        r.resp = res;
        r.primary_dns_valid = QmuxTlvU32(tlv, len, kWdsTlvPrimaryDns, &r.primary_dns) == 0;
        r.secondary_dns_valid = QmuxTlvU32(tlv, len, kWdsTlvSecondaryDns, &r.secondary_dns) == 0;
        std::memcpy(resp, &r, sizeof r);
    } else {
        WdsPacketServiceStatusResp r{};
        r.resp = res;
        if (QmuxTlvU8(tlv, len, kWdsTlvConnectionStatus, &r.connection_status) != 0 && ok) return kQmiErrMalformed;
        std::memcpy(resp, &r, sizeof r);
    }
    return kQmiOk;
}

// The client behind a handle, or nullptr when the handle is not an open client of ours.
QmiClient* ClientOf(qmi_client_type handle)
{
    for (QmiClient& c : gClients)
        if (&c == handle && c.used) return &c;
    return nullptr;
}

// ---- Recovery ----

bool ConnectionUsable()
{
    std::lock_guard<std::mutex> hold(gLock);
    return gFd >= 0 && !gBroken;
}

// A fresh client id for every open client on a reopened connection.
int ReallocateClients()
{
    for (QmiClient& c : gClients) {
        if (!c.used) continue;
        uint8_t id = 0;
        int rc = CtlClientId(kQmiCtlAllocateCid, c.service, 0, &id);
        if (rc != kQmiOk) return rc;
        std::lock_guard<std::mutex> hold(gLock);
        c.clientId = id;
    }
    return kQmiOk;
}

// Makes the connection usable again after the device failed: closes what is left and, when the
// last attempt is a second old, reopens the device and reallocates the client ids. Callers
// serialise on gOpenLock. Returns 0 when the connection is usable, else kQmiErrTransport.
int Recover()
{
    if (ConnectionUsable()) return kQmiOk;
    if (!AnyClientOpen()) return kQmiErrTransport;
    if (gFd >= 0) {
        CloseConnection();
        gLost = true;
    }
    auto now = std::chrono::steady_clock::now();
    if (now < gNextReopen) return kQmiErrTransport;
    gNextReopen = now + kReopenInterval;
    if (OpenConnection() != kQmiOk) return kQmiErrTransport;
    if (ReallocateClients() != kQmiOk) {
        CloseConnection();
        return kQmiErrTransport;
    }
    gLost = false;
    return kQmiOk;
}

}  // namespace

bool QmiDeviceLost()
{
    return gLost;
}

int QmiDevicePath(char* out, std::size_t outLen)
{
    const char* over = std::getenv(kQmiDeviceEnv);
    if (over != nullptr && over[0] != '\0') {
        // A real device on the host: used as given, never moved under the sysroot.
        if (std::strlen(over) >= outLen) return -1;
        TextCopy(out, outLen, over);
        return 0;
    }
    return SysPath(out, outLen, kQmiDeviceNode);
}

int qmi_init(std::nullptr_t, void*)
{
    return kQmiLibraryHandle;
}

qmi_idl_service_object_type nas_get_service_object_internal_v01(int32_t idlMajor, int32_t, int32_t)
{
    return idlMajor == kQmiIdlMajor ? &kNasObject : nullptr;
}

qmi_idl_service_object_type wds_get_service_object_internal_v01(int32_t idlMajor, int32_t, int32_t)
{
    return idlMajor == kQmiIdlMajor ? &kWdsObject : nullptr;
}

int qmi_client_init(const char* connectionId, qmi_idl_service_object_type service, std::nullptr_t, const void*,
                    qmi_client_type* client)
{
    if (client == nullptr) return kQmiErrBadArgs;
    *client = nullptr;
    if (connectionId == nullptr || std::strcmp(connectionId, kQmiConnectionId) != 0 || service == nullptr)
        return kQmiErrBadArgs;

    std::lock_guard<std::mutex> hold(gOpenLock);
    QmiClient* slot = nullptr;
    for (QmiClient& c : gClients)
        if (!c.used) {
            slot = &c;
            break;
        }
    if (slot == nullptr) return kQmiErrBusy;
    int rc = AnyClientOpen() ? Recover() : OpenConnection();
    if (rc != kQmiOk) return rc;
    uint8_t clientId = 0;
    rc = CtlClientId(kQmiCtlAllocateCid, service->service, 0, &clientId);
    if (rc != kQmiOk) {
        if (!AnyClientOpen()) CloseConnection();
        return rc;
    }
    {
        std::lock_guard<std::mutex> holdState(gLock);
        *slot = QmiClient{true, service->service, clientId};
    }
    *client = slot;
    return kQmiOk;
}

int qmi_client_release(qmi_client_type handle)
{
    std::lock_guard<std::mutex> hold(gOpenLock);
    QmiClient* c = ClientOf(handle);
    if (c == nullptr) return kQmiErrBadArgs;
    uint8_t confirmed = 0;
    int rc = CtlClientId(kQmiCtlReleaseCid, c->service, c->clientId, &confirmed);
    {
        std::lock_guard<std::mutex> holdState(gLock);
        c->used = false;
    }
    if (!AnyClientOpen()) CloseConnection();
    return rc;
}

int qmi_client_send_msg_sync(qmi_client_type handle, unsigned msgId, const void* req, unsigned reqLen, void* resp,
                             unsigned respLen, unsigned timeoutMs)
{
    uint8_t service = 0, clientId = 0;
    {
        std::lock_guard<std::mutex> hold(gOpenLock);
        if (ClientOf(handle) == nullptr) return kQmiErrBadArgs;
        int rc = Recover();
        if (rc != kQmiOk) return rc;
        std::lock_guard<std::mutex> holdState(gLock);
        service = handle->service;
        clientId = handle->clientId;
    }
    if (service != kQmiServiceWds || resp == nullptr || respLen == 0 || respLen != WdsResponseSize(msgId))
        return kQmiErrBadArgs;

    uint8_t frame[kQmiRequestFrameMax];
    QmuxWriter w;
    QmuxBegin(&w, frame, sizeof frame, kQmuxFromHost, service, clientId, kQmiSvcRequest, 0,
              static_cast<uint16_t>(msgId));
    if (!EncodeWds(&w, msgId, req, reqLen)) return kQmiErrBadArgs;
    int len = QmuxFinish(&w);
    if (len < 0) return kQmiErrInternal;
    PendingRequest* p = nullptr;
    int rc = Transact(frame, static_cast<std::size_t>(len), timeoutMs, &p);
    if (rc != kQmiOk) return rc;
    rc = DecodeWds(static_cast<uint16_t>(msgId), p->tlv, p->tlvLen, resp);
    FreeSlot(p);
    return rc;
}
