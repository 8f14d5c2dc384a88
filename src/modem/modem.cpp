// Modem poll: status words.
#include "modem/modem.h"

std::atomic<int> modem_cpin_status{0};
std::atomic<int> modem_creg{0};
std::atomic<int> modem_csq{0};
std::atomic<int> modem_net_type{0};
std::atomic<int> gps_flag{0};
