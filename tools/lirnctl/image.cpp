// Keys and signed images with mbed TLS (see image.h).
#include "image.h"

#include "partial_file.h"
#include "session.h"
#include "update/image_format.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecp.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha256.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace lirnctl {

namespace {

std::string Hex(const unsigned char* p, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string t;
    for (std::size_t i = 0; i < n; i++) t += {digits[p[i] >> 4], digits[p[i] & 15]};
    return t;
}

std::string MbedError(int rc)
{
    char t[32];
    std::snprintf(t, sizeof t, "mbed TLS error -0x%04x", static_cast<unsigned>(-rc));
    return t;
}

// The key, the random source and the entropy behind it, freed together.
struct Crypto {
    mbedtls_pk_context pk;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    Crypto()
    {
        mbedtls_pk_init(&pk);
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        static const unsigned char kPersonal[] = "lirnctl update key";
        int rc = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, kPersonal, sizeof kPersonal - 1);
        if (rc != 0) throw Failure(kExitRefused, "no random source for the key: " + MbedError(rc));
    }
    ~Crypto()
    {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
        mbedtls_pk_free(&pk);
    }
    Crypto(const Crypto&) = delete;
    Crypto& operator=(const Crypto&) = delete;
};

// The key id the gateway compares: the first bytes of the SHA-256 of the public key's DER form.
std::vector<unsigned char> KeyId(mbedtls_pk_context& pk)
{
    unsigned char der[256];
    int len = mbedtls_pk_write_pubkey_der(&pk, der, sizeof der);
    if (len <= 0) throw Failure(kExitRefused, "cannot encode the public key: " + MbedError(len));
    unsigned char hash[image::kHashSize];
    mbedtls_sha256_ret(der + sizeof der - len, static_cast<std::size_t>(len), hash, 0);
    return std::vector<unsigned char>(hash, hash + image::kKeyIdSize);
}

// Writes text to a new file with the given permission bits; never replaces one.
void WriteNewFile(const std::string& path, const std::string& text, mode_t mode)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        throw Failure(kExitRefused, path + (errno == EEXIST ? ": exists already; a key is never overwritten"
                                                            : ": cannot be written: " + std::string(std::strerror(errno))));
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(path.c_str());
        throw Failure(kExitRefused, path + ": cannot be written");
    }
}

std::string ReadFile(const std::string& path, const char* what)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure(kExitUsage, path + ": cannot read the " + what);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The ELF identity of a program file, read from its header in its own byte order; throws when it
// is no ELF executable. Whether it is whole the gateway judges for itself.
void ProgramIdentity(const std::string& path, const std::string& program, uint8_t* elfClass, uint8_t* data,
                     uint16_t* machine)
{
    constexpr std::size_t kTypeAt = 16, kMachineAt = 18;
    if (program.size() < 20 || program.compare(0, 4, "\177ELF") != 0)
        throw Failure(kExitRefused, path + ": not an ELF program");
    const auto* p = reinterpret_cast<const unsigned char*>(program.data());
    *elfClass = p[4];
    *data = p[5];
    auto half = [&](std::size_t at) {
        return static_cast<uint16_t>(*data == 2 ? (p[at] << 8) | p[at + 1] : (p[at + 1] << 8) | p[at]);
    };
    uint16_t type = half(kTypeAt);
    *machine = half(kMachineAt);
    if ((*elfClass != 1 && *elfClass != 2) || (*data != 1 && *data != 2) || (type != 2 && type != 3))
        throw Failure(kExitRefused, path + ": not an ELF executable");
    if (program.size() > image::kProgramMax)
        throw Failure(kExitRefused, path + ": larger than an image may carry (" + std::to_string(image::kProgramMax) + " bytes)");
}

}  // namespace

KeyPair MakeKeyPair(const std::string& dir)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    KeyPair k{dir + "/" + kPrivateKeyFile, dir + "/" + kPublicKeyFile, ""};
    for (const std::string& path : {k.privatePath, k.publicPath})
        if (std::filesystem::exists(path, ec)) throw Failure(kExitRefused, path + ": exists already; a key is never overwritten");
    Crypto c;
    int rc = mbedtls_pk_setup(&c.pk, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY));
    if (rc == 0) rc = mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(c.pk), mbedtls_ctr_drbg_random, &c.drbg);
    unsigned char pem[2048];
    if (rc == 0) rc = mbedtls_pk_write_key_pem(&c.pk, pem, sizeof pem);
    if (rc != 0) throw Failure(kExitRefused, "cannot make the key pair: " + MbedError(rc));
    std::string privatePem(reinterpret_cast<char*>(pem));
    rc = mbedtls_pk_write_pubkey_pem(&c.pk, pem, sizeof pem);
    if (rc != 0) throw Failure(kExitRefused, "cannot write the public key: " + MbedError(rc));
    std::string publicPem(reinterpret_cast<char*>(pem));
    std::vector<unsigned char> id = KeyId(c.pk);
    WriteNewFile(k.privatePath, privatePem, 0600);
    WriteNewFile(k.publicPath, publicPem, 0644);
    k.keyId = Hex(id.data(), id.size());
    return k;
}

SignedImage SignProgram(const std::string& keyPath, const std::string& program, uint32_t build,
                        const std::string& output)
{
    std::string bytes = ReadFile(program, "program");
    uint8_t header[image::kHeaderSize] = {};
    uint16_t machine;
    ProgramIdentity(program, bytes, &header[image::kClassAt], &header[image::kDataAt], &machine);
    Crypto c;
    std::string pem = ReadFile(keyPath, "private key");
    int rc = mbedtls_pk_parse_key(&c.pk, reinterpret_cast<const unsigned char*>(pem.c_str()), pem.size() + 1, nullptr, 0);
    if (rc != 0 || mbedtls_pk_get_type(&c.pk) != MBEDTLS_PK_ECKEY || mbedtls_pk_ec(c.pk)->grp.id != MBEDTLS_ECP_DP_SECP256R1)
        throw Failure(kExitRefused, keyPath + ": not an ECDSA P-256 private key (make one with lirnctl keygen)");

    std::memcpy(header + image::kMagicAt, image::kMagic, sizeof image::kMagic);
    image::Put32(header + image::kBuildAt, build);
    image::Put16(header + image::kMachineAt, machine);
    image::Put32(header + image::kSizeAt, static_cast<uint32_t>(bytes.size()));
    mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), header + image::kHashAt, 0);
    std::vector<unsigned char> id = KeyId(c.pk);
    std::memcpy(header + image::kKeyIdAt, id.data(), id.size());
    unsigned char hash[image::kHashSize];
    mbedtls_sha256_ret(header, image::kManifestSize, hash, 0);
    unsigned char sig[MBEDTLS_PK_SIGNATURE_MAX_SIZE];
    std::size_t sigLen = 0;
    rc = mbedtls_pk_sign(&c.pk, MBEDTLS_MD_SHA256, hash, sizeof hash, sig, &sigLen, mbedtls_ctr_drbg_random, &c.drbg);
    if (rc != 0 || sigLen > image::kSignatureMax) throw Failure(kExitRefused, "cannot sign: " + MbedError(rc));
    image::Put16(header + image::kSignatureLengthAt, static_cast<uint16_t>(sigLen));
    std::memcpy(header + image::kSignatureAt, sig, sigLen);

    PartialFile out(output);
    bool ok = std::fwrite(header, 1, sizeof header, out.Stream()) == sizeof header &&
              std::fwrite(bytes.data(), 1, bytes.size(), out.Stream()) == bytes.size();
    if (!ok) throw Failure(kExitUsage, output + ": cannot be written");
    out.Commit();
    return {build, header[image::kClassAt], machine, bytes.size(), Hex(header + image::kHashAt, image::kHashSize),
            Hex(id.data(), id.size())};
}

}  // namespace lirnctl
