// The MQTT mode reaching brokers the way fleets do, end to end: build/lirn on the simulated board
// against servers the test starts on loopback addresses. The broker by name, through a dnsmasq
// named in the sysroot's resolv.conf or by the data call, and through the sysroot's hosts file;
// SNI and the broker's certificate checked against the name or the address (a recording TLS
// server); mutual TLS against a mosquitto that admits a gateway by its certificate only; a
// handshake dribbled past its deadline; a mistyped host refused at the console.
#include "board.h"
#include "board_test_support.h"
#include "control_client.h"
#include "dns_server.h"
#include "mqtt_broker.h"
#include "tls_probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace {

const char kImei[] = "862631039274815";  // the simulated module's
const std::string kTree = std::string("lirn/") + kImei + "/";
const std::string kName = "broker.lirn.test";
const Millis kConnectTimeout(30000);

std::string Config(const std::string& host, int port, const std::string& extra = "")
{
    return "@LIRNMODE;0\r\n@MQTTHOST;" + host + "\r\n@MQTTPORT;" + std::to_string(port) + "\r\n" + extra;
}

// The tunnel road with the data call up; the PC end of the port opened.
void StartGateway(Board& board, const std::string& config, std::vector<std::pair<std::string, std::string>> files = {})
{
    Scenario s;
    s.init = "low";
    s.files = std::move(files);
    s.files.push_back({"APP/config.ini", config});
    s.settings = {"qmi call up"};
    s.ready = "Create ThreadMqtt Successfully\r\n";
    ASSERT_TRUE(board.Run(s)) << board.Output();
    board.OpenPc();
}

bool StatusSays(MqttWatcher& watch, const std::string& text, Millis timeout)
{
    return watch.WaitFor(
        [&](auto& m) {
            std::vector<std::string> s = PayloadsOn(m, kTree + "status");
            return !s.empty() && s.back() == text;
        },
        timeout);
}

// Bytes written at the PC end arrive on the up topic, and bytes published on the down topic at the PC end.
void CarriesBothWays(Board& board, MqttWatcher& watch, const std::string& tag)
{
    ASSERT_TRUE(board.PcWrite("up " + tag));
    EXPECT_TRUE(watch.WaitFor([&](auto& m) { return !PayloadsOn(m, kTree + "up").empty() && PayloadsOn(m, kTree + "up").back() == "up " + tag; },
                              Millis(10000)))
        << board.Output();
    ASSERT_TRUE(watch.Publish(kTree + "down", "down " + tag));
    EXPECT_EQ(board.PcRead(5 + tag.size(), Millis(10000)), "down " + tag);
}

// Certificates of one CA for the recording server, made with openssl.
class ProbeCerts {
public:
    ProbeCerts()
    {
        ok_ = MakeCa(dir_.Path(), "ca") && MakeCert(dir_.Path(), "ca", "named", kName, "DNS:" + kName) &&
              MakeCert(dir_.Path(), "ca", "other", "other.lirn.test", "DNS:other.lirn.test") &&
              MakeCert(dir_.Path(), "ca", "address", "127.0.0.1", "IP:127.0.0.1") &&
              MakeCert(dir_.Path(), "ca", "names", "127.0.0.1", "DNS:127.0.0.1,DNS:*.0.0.1");
    }
    bool Ok() const { return ok_; }
    std::string Pem(const std::string& name) const { return dir_.ReadFile(name + ".pem"); }
    void Serve(TlsProbe& probe, const std::string& name) const { probe.Serve(Pem(name), dir_.ReadFile(name + ".key")); }

private:
    TempDir dir_{"lirn-certs"};
    bool ok_;
};

}  // namespace

// Named in resolv.conf, the server places the broker at 127.0.0.1. Then the data call names
// another server, which places it at 127.0.0.2, and the broker moves there: the gateway follows
// at its next connect (the call's servers come before resolv.conf's).
TEST(MqttReach, BrokerByNameThroughNameServersIsFollowedWhenItMoves)
{
    DnsServer first({{kName, "127.0.0.1"}});
    ASSERT_TRUE(first.Start()) << first.Log();
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttWatcher watch(broker.Port(), "watch", "lirn/#");
    Board board;
    StartGateway(board, Config(kName, broker.Port()), {{"etc/resolv.conf", "nameserver " + first.Address() + "\n"}});
    ASSERT_TRUE(StatusSays(watch, "online", kConnectTimeout)) << board.Output();
    EXPECT_EQ(board.CountOutput("MQTT Broker " + kName + " At 127.0.0.1\r\n"), 1);
    CarriesBothWays(board, watch, "first");

    DnsServer second({{kName, "127.0.0.2"}});
    ASSERT_TRUE(second.Start()) << second.Log();
    ASSERT_TRUE(ControlOk(board.Control("qmi dns " + second.Address())));
    MqttBroker moved(MqttBrokerSetup{.address = "127.0.0.2", .port = broker.Port()});
    broker.Stop();
    ASSERT_TRUE(moved.Start());
    MqttWatcher watchMoved(moved.Port(), "watch", "lirn/#", "127.0.0.2");
    ASSERT_TRUE(StatusSays(watchMoved, "online", Millis(60000))) << board.Output();
    EXPECT_EQ(board.CountOutput("MQTT Broker " + kName + " At 127.0.0.2\r\n"), 1);
    CarriesBothWays(board, watchMoved, "moved");
    EXPECT_NE(second.Log().find("query[A] " + kName), std::string::npos) << second.Log();
}

// Found in the hosts file, the broker admits a gateway by its certificate alone, its CN (the
// IMEI) taken as user name and limited to its tree. Without the files the gateway is refused with
// its message at the paced rate; with them it connects and carries bytes.
TEST(MqttReach, MutualTlsByNameFromTheHostsFile)
{
    MqttBroker broker(MqttBrokerSetup{.tls = true, .dnsName = kName, .clientCertificates = true});
    ASSERT_TRUE(broker.Start());
    std::string pem, key;
    ASSERT_TRUE(broker.MakeClientCert(kImei, &pem, &key));
    MqttWatcher watch(broker.Port(), "watch", "lirn/#");
    Board board;
    StartGateway(board, Config(kName, broker.TlsPort(), "@MQTTTLS;1\r\n"),
                 {{"APP/ca.pem", broker.CaPem()}, {"etc/hosts", "# test\n127.0.0.9 other\n127.0.0.1  " + kName + " broker\n"}});
    const std::string refused = "MQTT TLS Broker Wants A Client Certificate: /APP/client.pem, /APP/client.key";
    ASSERT_TRUE(board.WaitForOutput(refused, kConnectTimeout)) << board.Output();
    auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(board.WaitForOutput(refused, Millis(30000), 4)) << board.Output();
    EXPECT_GE(MsSince(first), 2000);  // the next three waited 0, 1 and 2 s
    EXPECT_EQ(board.CountOutput("MQTT Connected"), 0);

    board.WriteFile("APP/client.key", key, 0600);
    board.WriteFile("APP/client.pem", pem);
    ASSERT_TRUE(StatusSays(watch, "online", Millis(60000))) << board.Output();
    CarriesBothWays(board, watch, "mutual");
}

// By name: SNI carries the name, and a certificate for another name is refused.
TEST(MqttReach, TlsSendsTheNameAsSniAndRefusesACertificateForAnotherName)
{
    ProbeCerts certs;
    ASSERT_TRUE(certs.Ok());
    TlsProbe probe;
    certs.Serve(probe, "named");
    Board board;
    StartGateway(board, Config(kName, probe.Port(), "@MQTTTLS;1\r\n"),
                 {{"APP/ca.pem", certs.Pem("ca")}, {"etc/hosts", "127.0.0.1 " + kName + "\n"}});
    ASSERT_TRUE(probe.WaitFor([](auto& h) { return !h.empty() && h.back().done; }, kConnectTimeout)) << board.Output();
    EXPECT_EQ(probe.Handshakes().back().sni, kName);

    certs.Serve(probe, "other");
    ASSERT_TRUE(board.WaitForOutput("MQTT TLS Broker Not Verified: The certificate Common Name (CN) does not match",
                                    Millis(30000)))
        << board.Output();
    ASSERT_TRUE(probe.WaitFor([](auto& h) { return !h.back().done; }, Millis(5000)));
    EXPECT_EQ(probe.Handshakes().back().sni, kName);
}

// By address: no SNI; an iPAddress entry is accepted, DNS entries (a wildcard among them) that
// spell the address are not. Then a server that dribbles its handshake is given up at the
// deadline.
TEST(MqttReach, AnAddressIsCheckedByIpEntriesOnlyAndADribbledHandshakeEndsAtItsDeadline)
{
    ProbeCerts certs;
    ASSERT_TRUE(certs.Ok());
    TlsProbe probe;
    certs.Serve(probe, "address");
    Board board;
    StartGateway(board, Config("127.0.0.1", probe.Port(), "@MQTTTLS;1\r\n"), {{"APP/ca.pem", certs.Pem("ca")}});
    ASSERT_TRUE(probe.WaitFor([](auto& h) { return !h.empty() && h.back().done; }, kConnectTimeout)) << board.Output();
    EXPECT_EQ(probe.Handshakes().back().sni, "");

    certs.Serve(probe, "names");
    ASSERT_TRUE(board.WaitForOutput("MQTT TLS Broker Not Verified: The certificate Common Name (CN) does not match",
                                    Millis(30000)))
        << board.Output();

    probe.Dribble(4000);
    ASSERT_TRUE(board.WaitForOutput("MQTT TLS Handshake Timed Out", Millis(60000))) << board.Output();
    ASSERT_TRUE(probe.WaitFor([](auto& h) { return !h.empty() && h.back().heldMs > 0; }, Millis(5000)));
    long long held = probe.Handshakes().back().heldMs;
    EXPECT_GE(held, 14500);
    EXPECT_LE(held, 17000);
}

// A module whose clock was never set (no RTC time yet, no network time) meets a certificate that
// is only "not yet valid": said as the clock's fault, not as a bad broker. The firmware's clock is
// put 9000 days back (2002) with libfaketime, its monotonic clock left real.
TEST(MqttReach, ACertificateFailingOnItsDatesAloneWithTheClockUnsetIsSaidToBeTheClock)
{
    ShellResult lib = RunShell("dpkg -L libfaketime | grep 'libfaketimeMT.so.1$'");
    ASSERT_EQ(lib.status, 0) << "tools/ensure-deps installs faketime";
    std::string preload = lib.output.substr(0, lib.output.find('\n'));
    const char* asan = std::getenv("ASAN_OPTIONS");
    ProbeCerts certs;
    ASSERT_TRUE(certs.Ok());
    TlsProbe probe;
    certs.Serve(probe, "address");
    Board board;
    Scenario s;
    s.init = "low";
    s.files = {{"APP/config.ini", Config("127.0.0.1", probe.Port(), "@MQTTTLS;1\r\n")}, {"APP/ca.pem", certs.Pem("ca")}};
    s.settings = {"qmi call up", "fw env LD_PRELOAD=" + preload, "fw env FAKETIME=-9000d",
                  "fw env FAKETIME_DONT_FAKE_MONOTONIC=1",
                  // The sanitizer's runtime no longer comes first in the list of libraries.
                  "fw env ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"};
    s.ready = "Create ThreadMqtt Successfully\r\n";
    ASSERT_TRUE(board.Run(s)) << board.Output();
    ASSERT_TRUE(board.WaitForOutput("MQTT TLS Clock Not Set\r\n", kConnectTimeout)) << board.Output();
    EXPECT_EQ(board.CountOutput("MQTT TLS Broker Not Verified"), 0) << board.Output();
}

// A mistyped host is answered ER and never saved: after a restart on the tunnel road the gateway
// reaches its broker as before.
TEST(MqttReach, MistypedHostIsRefusedAtTheConsoleAndTheGatewayCarriesOnAfterARestart)
{
    MqttBroker broker;
    ASSERT_TRUE(broker.Start());
    MqttWatcher watch(broker.Port(), "watch", "lirn/#");
    Board board;
    Scenario s;
    s.files = {{"APP/config.ini", Config("127.0.0.1", broker.Port())}};
    s.settings = {"qmi call up"};
    s.ready = "Open Utility Port Successfully\r\n";
    ASSERT_TRUE(board.Run(s)) << board.Output();
    board.OpenPc();
    ASSERT_TRUE(board.PcWrite("@MQTTHOST;not a host!\r\n"));
    EXPECT_EQ(board.PcReadUntil("\r\n", Millis(5000)), "!QRV-715M;MQTTHOST;ER\r\n");
    ASSERT_TRUE(board.PcWrite("@SAVE\r\n"));
    EXPECT_EQ(board.PcReadUntil("SAVE;OK\r\n", Millis(5000)), "!QRV-715M;SAVE;OK\r\n");
    EXPECT_NE(board.ReadFile("APP/config.ini").find("@MQTTHOST;127.0.0.1\r\n"), std::string::npos);

    ASSERT_TRUE(ControlOk(board.Control("init low")));
    ASSERT_TRUE(ControlOk(board.Control("fw restart")));
    EXPECT_TRUE(StatusSays(watch, "online", kConnectTimeout)) << board.Output();
}
