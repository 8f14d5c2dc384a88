// QMI client layer: the module's QMI client library, as far as this system uses it.
//
// The module's own QMI libraries are closed and not available, so this layer provides their
// operations under the same names: open the library, get a service object, open a client of that
// service on the connection "rmnet0", send a request and wait for its response, release the
// client. It speaks QMUX (platform/qmux.h) over the modem's QMI control device: "rmnet0" is
// /dev/cdc-wdm0 (under the sysroot), and the environment variable LIRN_QMI_DEVICE names another
// device, so that the same firmware drives a real QMI modem on a Linux host.
//
// Requests are synchronous for their caller, but two threads may have requests in flight on one
// client at once: a reader thread inside the layer hands each response to the request with the
// same transaction id, and every caller waits up to its own time-out. Only the WDS messages of the
// data call are encoded (start, stop, status, and the call's runtime settings for its name
// servers); their request and response records are below.
#pragma once

#include <cstddef>
#include <cstdint>

// Opaque service object (which QMI service a client speaks) and client handle.
struct QmiServiceObject;
using qmi_idl_service_object_type = const QmiServiceObject*;
struct QmiClient;
using qmi_client_type = QmiClient*;

// Opens the library. No system events are delivered, so the handler must be null.
int qmi_init(std::nullptr_t sysEventHandler, void* userData);

// Service objects for the IDL versions this system was built against (major 1); nullptr for a
// major version this layer does not speak.
qmi_idl_service_object_type nas_get_service_object_internal_v01(int32_t idlMajor, int32_t idlMinor, int32_t toolVersion);
qmi_idl_service_object_type wds_get_service_object_internal_v01(int32_t idlMajor, int32_t idlMinor, int32_t toolVersion);

// Opens a client of the service on a connection (only "rmnet0" exists): opens the device when it
// is not open yet and allocates a client id. Indications are not delivered, so the indication
// handler must be null; its data is not used. On failure *client is nullptr.
int qmi_client_init(const char* connectionId, qmi_idl_service_object_type service, std::nullptr_t indHandler,
                    const void* indHandlerData, qmi_client_type* client);

// Sends one request and waits up to timeoutMs for its response. req and resp are the message's
// records below (req may be null with length 0 for a message without request fields). Returns 0
// when the response arrived (resp.result then tells whether the modem refused), or a negative
// code of the layer. A request that finds the device gone (read error, end of file, hang-up)
// reopens it first, at most once a second while it stays missing, and gives every open client a
// fresh client id behind its unchanged handle; until then requests fail with kQmiErrTransport.
// QmiDeviceLost tells whether the device is away.
int qmi_client_send_msg_sync(qmi_client_type client, unsigned msgId, const void* req, unsigned reqLen, void* resp,
                             unsigned respLen, unsigned timeoutMs);

// Releases the client id; the device is closed when its last client goes. The handle is invalid
// afterwards whatever the result.
int qmi_client_release(qmi_client_type client);

// ---- Our helpers ----

// Result codes of the layer (0 success). A modem that answers but refuses is not a layer failure:
// qmi_client_send_msg_sync then returns 0 and the response record carries the refusal.
constexpr int kQmiOk = 0;
constexpr int kQmiErrInternal = -1;   // the layer could not do its own part
constexpr int kQmiErrTransport = -2;  // the device could not be written or read, or went away
constexpr int kQmiErrTimeout = -3;    // no response within the request's time-out
constexpr int kQmiErrNoDevice = -5;   // the QMI device could not be opened
constexpr int kQmiErrBadArgs = -6;    // unknown connection, client, message or record size
constexpr int kQmiErrMalformed = -7;  // a response without the TLVs its message must carry
constexpr int kQmiErrBusy = -8;       // every request or client slot is taken
constexpr int kQmiErrRefused = -9;    // the modem refused a client id allocation or release

// The handle qmi_init returns.
constexpr int kQmiLibraryHandle = 1;

// True from the moment a request finds the device gone until it is reopened.
bool QmiDeviceLost();

// The device path the connection "rmnet0" uses (LIRN_QMI_DEVICE, else /dev/cdc-wdm0 mapped
// into the sysroot). Returns 0, or -1 when it does not fit.
int QmiDevicePath(char* out, std::size_t outLen);

// Records of the WDS messages.

// Result TLV of every response: result 0 success, otherwise the modem refused and error says why.
struct QmiResponseResult {
    uint16_t result;
    uint16_t error;
};

// Longest texts the modem accepts in a start request.
constexpr std::size_t kWdsApnMax = 150;
constexpr std::size_t kWdsUserMax = 127;
constexpr std::size_t kWdsPasswordMax = 127;

// WDS 0x0020 start network. A text whose valid flag is set is sent even when empty.
struct WdsStartNetworkReq {
    uint8_t apn_name_valid;
    char apn_name[kWdsApnMax + 1];
    uint8_t username_valid;
    char username[kWdsUserMax + 1];
    uint8_t password_valid;
    char password[kWdsPasswordMax + 1];
};

struct WdsStartNetworkResp {
    QmiResponseResult resp;
    uint32_t pkt_data_handle;        // what a later stop names
    uint8_t call_end_reason_valid;   // set when a refusal gave its reason
    uint16_t call_end_reason;
};

// WDS 0x0021 stop network.
struct WdsStopNetworkReq {
    uint32_t pkt_data_handle;
};

struct WdsStopNetworkResp {
    QmiResponseResult resp;
};

// WDS 0x0022 get packet service status (no request fields).
struct WdsPacketServiceStatusResp {
    QmiResponseResult resp;
    uint8_t connection_status;  // 1 disconnected, 2 connected, 3 suspended, 4 authenticating
};

constexpr uint8_t kWdsConnectionDisconnected = 1;
constexpr uint8_t kWdsConnectionConnected = 2;
constexpr uint8_t kWdsConnectionSuspended = 3;
constexpr uint8_t kWdsConnectionAuthenticating = 4;

// WDS 0x002D get runtime settings: the settings asked for are a mask (only the name servers here).
struct WdsGetRuntimeSettingsReq {
    uint32_t requested_settings;
};

// IPv4 addresses as QMI carries them: a number whose most significant byte is the first of the
// dotted form.
struct WdsGetRuntimeSettingsResp {
    QmiResponseResult resp;
    uint8_t primary_dns_valid;
    uint32_t primary_dns;
    uint8_t secondary_dns_valid;
    uint32_t secondary_dns;
};

constexpr uint32_t kWdsSettingsDnsAddress = 1u << 4;

// TLV types of the messages.
constexpr uint8_t kWdsTlvApn = 0x14;
constexpr uint8_t kWdsTlvUsername = 0x17;
constexpr uint8_t kWdsTlvPassword = 0x18;
constexpr uint8_t kWdsTlvPacketDataHandle = 0x01;
constexpr uint8_t kWdsTlvCallEndReason = 0x10;
constexpr uint8_t kWdsTlvConnectionStatus = 0x01;
constexpr uint8_t kWdsTlvRequestedSettings = 0x10;
constexpr uint8_t kWdsTlvPrimaryDns = 0x15;
constexpr uint8_t kWdsTlvSecondaryDns = 0x16;
