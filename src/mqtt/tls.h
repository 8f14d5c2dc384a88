// TLS under the MQTT session (mbed TLS): the broker verified against the CA file and the host it
// was configured as (SNI with a DNS name, none with an address), the gateway's own certificate
// presented when it has one, records carried over the session's socket with the tunnel's bounded
// send. Used by the session thread alone.
#pragma once

#include "tunnel/tunnel.h"

#include <cstddef>
#include <cstdint>

// Where the broker's CA certificates are read from (PEM), a system path.
#define MQTT_CA_FILE "/APP/ca.pem"
// The gateway's own certificate and its key (PEM), presented when both are there (mutual TLS).
#define MQTT_CLIENT_CERT_FILE "/APP/client.pem"
#define MQTT_CLIENT_KEY_FILE "/APP/client.key"

// Runs the handshake on the connected socket of ep, verifying the broker's certificate against
// the CA file and serverName (@MQTTHOST: a DNS name, or an IPv4 address that the certificate must
// list as an iPAddress), all within one deadline. False, with a message saying why, when a file
// is missing, unreadable or (the client pair) mismatched, the handshake fails or times out, or the
// certificate does not verify; nothing is then held.
bool MqttTlsStart(TunnelEndpoint& ep, const char* serverName);
// 0 when all n bytes went out, -1 on failure.
int MqttTlsWrite(const uint8_t* data, std::size_t n);
// Bytes read (> 0), 0 when nothing more can be read now, -1 when the connection ended or failed.
int MqttTlsRead(uint8_t* out, std::size_t cap);
// Frees what the TLS session holds (the socket is the caller's to close).
void MqttTlsEnd();

// ---- Our helpers ----

struct mbedtls_x509_crt;
// True when the certificate's subjectAltName holds an iPAddress entry of these four bytes.
bool MqttCertNamesAddress(const mbedtls_x509_crt* crt, const uint8_t address[4]);
