// The transports of the MQTT session: plain TCP or TLS to the broker, over the tunnel's socket
// primitives, the one to use chosen once at start. Each open finds the host's address afresh
// (broker_address.h), then connects to it on port.
#pragma once

#include "mqtt/session.h"

// TLS (tls.cpp) when tls is set, else plain TCP.
const MqttTransport* MqttTransportFor(bool tls, const char* host, int32_t port);
