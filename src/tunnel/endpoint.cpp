// Tunnel endpoints: shared link state.
#include "tunnel/tunnel.h"

std::atomic<int> lirnMode{0};
std::atomic<int> lirnDialup{0};
std::atomic<int> lirnConnect{0};
