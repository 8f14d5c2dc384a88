// Serial tunnel: shared link state.
#pragma once

#include <atomic>

// Tunnel mode copied from the configuration at start: 0 client, 1 client with heartbeat, 2 server.
extern std::atomic<int> lirnMode;
// 1: the data call is up and the tunnel may connect.
extern std::atomic<int> lirnDialup;
// 1: the tunnel link is up.
extern std::atomic<int> lirnConnect;
