// Modem supervision over the AT channel: the status words the poll keeps current.
#pragma once

#include <atomic>

// SIM state: 0 ready, 1 waiting for its PIN, 2 any other answer.
extern std::atomic<int> modem_cpin_status;
// Registration status of "+CREG: " (1 home, 5 roaming, others not registered).
extern std::atomic<int> modem_creg;
// Signal strength of "+CSQ: " (0 to 31, 99 no measurement).
extern std::atomic<int> modem_csq;
// Network system mode of "+CNSMOD:".
extern std::atomic<int> modem_net_type;
// GPS LED pattern number: 1 fix, 0 none; 5 or 6 on the firmware-update road.
extern std::atomic<int> gps_flag;
