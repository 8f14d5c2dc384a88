// Fuzz target: what names a broker and what vouches for it. The input is taken as a broker
// certificate's extensions (the subjectAltName walk that checks an address), as a host setting
// (the name and address rules), and as the sysroot's hosts file and resolv.conf. A walk never
// reads past the extensions, an accepted name keeps to its length, and what the readers give back
// is a dotted address and at most the servers asked for.
#include "fuzz_input.h"
#include "mqtt/tls.h"
#include "platform/resolver.h"

#include <arpa/inet.h>
#include <fstream>
#include <mbedtls/x509_crt.h>

namespace {

void WriteSysFile(const std::string& relative, const uint8_t* data, std::size_t size)
{
    std::ofstream out(fuzzinput::TempSysroot() + relative, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const bool made = std::filesystem::create_directories(fuzzinput::TempSysroot() + "/etc");
    (void)made;
    // Exactly the input's bytes on the heap, so AddressSanitizer sees a read past them.
    std::vector<unsigned char> ext(data, data + size);
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    crt.v3_ext.p = ext.empty() ? nullptr : ext.data();
    crt.v3_ext.len = ext.size();
    const uint8_t loopback[4] = {127, 0, 0, 1};
    MqttCertNamesAddress(&crt, loopback);
    crt.v3_ext.p = nullptr;  // not the certificate's to free
    mbedtls_x509_crt_free(&crt);

    std::vector<char> host = fuzzinput::Reply(data, size, 400);
    if (HostClassify(host.data()) == HostKind::Name) fuzzinput::Check(std::strlen(host.data()) <= kHostNameMax, "a name fits");
    MqttTopicAcceptable(host.data());

    WriteSysFile("/etc/hosts", data, size);
    WriteSysFile("/etc/resolv.conf", data, size);
    char address[16];
    struct in_addr a;
    if (HostsLookup("broker.lirn.test", address, sizeof address))
        fuzzinput::Check(inet_pton(AF_INET, address, &a) == 1, "the hosts file gives a dotted address");
    uint32_t servers[kResolverServersMax];
    fuzzinput::Check(ResolvConfServers(servers, 2) <= 2, "at most the servers asked for");
    return 0;
}
