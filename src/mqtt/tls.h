// TLS under the MQTT session (mbed TLS): the broker verified against the CA file, records carried
// over the session's socket with the tunnel's bounded send. Used by the session thread alone.
#pragma once

#include "tunnel/tunnel.h"

#include <cstddef>
#include <cstdint>

// Where the broker's CA certificates are read from (PEM), a system path.
#define MQTT_CA_FILE "/APP/ca.pem"

// Runs the handshake on the connected socket of ep, verifying the broker's certificate against
// the CA file and serverName. False, with a message saying why, when the file is missing or
// unreadable, the handshake fails or the certificate does not verify; nothing is then held.
bool MqttTlsStart(TunnelEndpoint& ep, const char* serverName);
// 0 when all n bytes went out, -1 on failure.
int MqttTlsWrite(const uint8_t* data, std::size_t n);
// Bytes read (> 0), 0 when nothing more can be read now, -1 when the connection ended or failed.
int MqttTlsRead(uint8_t* out, std::size_t cap);
// Frees what the TLS session holds (the socket is the caller's to close).
void MqttTlsEnd();
