// Cellular data call over QMI: the QMI clients, the call's start, status and stop, and the
// dial-up thread.
//
// At start-up main opens the QMI library and two clients on "rmnet0", one of the network access
// service (opened, never used) and one of the wireless data service. From then on thread_net runs
// one dial-up cycle about once a second: while the modem reports the call connected it only
// publishes that; otherwise it starts the call and polls the status for a while. The tunnel's link
// manager waits for lirnDialup before it connects and calls hangup_actions from its own thread
// when it cannot reach its peer. Every QMI call leaves a record in the QMI transcript.
#pragma once

#include "platform/qmi_client.h"

#include <atomic>
#include <cstdint>

// Result of the last dial-up cycle: 0 the data call is up, -1 it is not (initially -1).
extern std::atomic<int> net_status;
// net_status as it was before the current cycle ran (the previous cycle's result).
extern std::atomic<int> netStat;
// 1: the data call is up and the tunnel may connect. Raised by the net thread; lowered by the
// tunnel's link manager when it gives the call up.
extern std::atomic<int> lirnDialup;

// Clients, set once by main before thread_net starts.
extern qmi_client_type qmi_nas_clnt_hdl;
extern qmi_client_type qmi_wds_clnt_hdl;
// Result of the last library call on each client. The WDS one is written by the net thread and
// by a hang-up on the tunnel's thread.
extern int nas_rc;
extern std::atomic<int> wds_rc;

// Opening, called once by main in this order. Results are printed and logged, not acted on.
int QMI_Init();
int QMI_nas_getObj();
int QMI_wds_getObj();

// The connection status the modem reports (2 connected), or 0 when the query failed.
int QMI_wds_CheckDialupStatus();
// Starts the call. 1 when the modem accepted the start, 0 otherwise.
int QMI_wds_dialup(const char* apn, const char* user, const char* password);
// Stops the call named by the last start's packet data handle. 1 when the modem accepted, 0 otherwise.
int QMI_wds_hangup();

// One dial-up cycle: 0 when the call is up at its end, -1 otherwise.
int dialup_actions2();

// Stops the data call (used by the tunnel's link manager when its peer cannot be reached).
// Always returns 1.
int hangup_actions();

// The net thread: net_cycle about once a second, for ever.
void* thread_net(void* arg);

// ---- Our helpers ----

// The name servers the modem gave the data call (IPv4, in network byte order, at most max of them),
// asked for with WDS get runtime settings on the caller's thread within timeoutMs. Returns how
// many it gave (0: none), or -1 when the modem did not answer or refused (no call, for one).
// Only the MQTT mode asks, to resolve a broker's name.
int DataCallDnsServers(uint32_t* out, int max, unsigned timeoutMs);

// One cycle of the net thread without its pause: publish the previous result, dial, raise
// lirnDialup when the call is up.
void net_cycle();
