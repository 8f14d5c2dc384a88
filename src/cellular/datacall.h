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
// 1: the data call is up and the tunnel may connect. Read anywhere; written only by the two
// functions below (cellular/callstate.cpp): raised by the net thread, lowered by the tunnel when
// it gives the call up (and by LirnInit).
extern const std::atomic<int>& lirnDialup;
void DialupRaise();
void DialupLower();

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

// The net thread: one pass (NetPass: net_cycle and a 1 s pause) after another, for ever.
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
