// Where the MQTT broker is, asked at every connect: @MQTTHOST as it is when it is an IPv4
// address, else its name resolved afresh (the sysroot's /etc/hosts, then the name servers of the
// data call, else those of /etc/resolv.conf), so a broker that moves is followed at the next
// connect. Used by the session thread alone.
#pragma once

#include <cstddef>

// The dotted address of host into out (at least 16 bytes). False when the name did not resolve,
// said on the console once for a run of the same failure; *hangUp then tells whether the fault
// may lie with the data call (no name server answered), so that the call is given up as after
// failed connects.
bool MqttBrokerAddress(const char* host, char* out, std::size_t outLen, bool* hangUp);
