// The data call's QMI clients and the net thread's pass: for the files of cellular/ and their
// tests, never for another folder (tools/check-layers).
#pragma once

#include "cellular/datacall.h"

// Clients, set once by main (QMI_nas_getObj, QMI_wds_getObj) before thread_net starts.
extern qmi_client_type qmi_nas_clnt_hdl;
extern qmi_client_type qmi_wds_clnt_hdl;

// One pass of the net thread: net_cycle, then the pause before the next (1 s).
void NetPass();
