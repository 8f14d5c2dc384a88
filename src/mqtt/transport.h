// The transports of the MQTT session: plain TCP or TLS to the broker, over the tunnel's socket
// primitives, the one to use chosen once at start.
#pragma once

#include "mqtt/session.h"

// Sets the broker the transports connect to from @MQTTHOST and @MQTTPORT. False, with the message,
// when the host is not usable.
bool MqttBrokerAddress(const char* host, int32_t port);
// TLS (tls.cpp) when tls is set, else plain TCP.
const MqttTransport* MqttTransportFor(bool tls);
