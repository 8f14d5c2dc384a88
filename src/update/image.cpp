// Signed firmware images checked with mbed TLS (see image.h).
#include "update/image.h"

#include "board/module.h"
#include "platform/elf.h"
#include "platform/sysroot.h"

#include <mbedtls/pk.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An update key file is a PEM public key of a few hundred bytes.
constexpr std::size_t kKeyFileMax = 4096;
// Room for a P-256 public key's DER form.
constexpr std::size_t kKeyDerMax = 256;

// Reads the update key into key. NoKey when there is no file, KeyUnreadable when it is not a
// P-256 public key; Ok otherwise.
ImageVerdict LoadKey(mbedtls_pk_context* key)
{
    int fd = SysOpen(UPDATE_KEY_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ImageVerdict::NoKey;
    unsigned char pem[kKeyFileMax + 1];
    ssize_t n = ::read(fd, pem, kKeyFileMax);
    ::close(fd);
    if (n <= 0) return ImageVerdict::KeyUnreadable;
    pem[n] = '\0';  // PEM is parsed with its terminator counted
    if (mbedtls_pk_parse_public_key(key, pem, static_cast<std::size_t>(n) + 1) != 0) return ImageVerdict::KeyUnreadable;
    if (mbedtls_pk_get_type(key) != MBEDTLS_PK_ECKEY || mbedtls_pk_ec(*key)->grp.id != MBEDTLS_ECP_DP_SECP256R1)
        return ImageVerdict::KeyUnreadable;
    return ImageVerdict::Ok;
}

// The key id: the first bytes of the SHA-256 of the public key's DER form.
bool KeyId(mbedtls_pk_context* key, uint8_t id[image::kKeyIdSize])
{
    unsigned char der[kKeyDerMax];
    int len = mbedtls_pk_write_pubkey_der(key, der, sizeof der);  // written at the buffer's end
    if (len <= 0) return false;
    unsigned char hash[image::kHashSize];
    if (mbedtls_sha256_ret(der + sizeof der - len, static_cast<std::size_t>(len), hash, 0) != 0) return false;
    std::memcpy(id, hash, image::kKeyIdSize);
    return true;
}

ImageVerdict CheckSignature(const uint8_t* header)
{
    mbedtls_pk_context key;
    mbedtls_pk_init(&key);
    ImageVerdict v = LoadKey(&key);
    uint8_t id[image::kKeyIdSize];
    if (v == ImageVerdict::Ok && !KeyId(&key, id)) v = ImageVerdict::KeyUnreadable;
    if (v == ImageVerdict::Ok && std::memcmp(id, header + image::kKeyIdAt, sizeof id) != 0) v = ImageVerdict::OtherKey;
    if (v == ImageVerdict::Ok) {
        std::size_t sigLen = image::Get16(header + image::kSignatureLengthAt);
        unsigned char hash[image::kHashSize];
        bool good = sigLen > 0 && sigLen <= image::kSignatureMax &&
                    mbedtls_sha256_ret(header, image::kManifestSize, hash, 0) == 0 &&
                    mbedtls_pk_verify(&key, MBEDTLS_MD_SHA256, hash, sizeof hash, header + image::kSignatureAt, sigLen) == 0;
        if (!good) v = ImageVerdict::BadSignature;
    }
    mbedtls_pk_free(&key);
    return v;
}

// True when the program's bytes (from base to the file's end) have the manifest's size and SHA-256.
bool ProgramMatches(int fd, uint64_t base, const ImageManifest& m)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != base + m.size) return false;
    mbedtls_sha256_context sha;
    mbedtls_sha256_init(&sha);
    bool ok = mbedtls_sha256_starts_ret(&sha, 0) == 0;
    unsigned char piece[4096];
    for (off_t at = static_cast<off_t>(base); ok;) {
        ssize_t n = ::pread(fd, piece, sizeof piece, at);
        if (n == 0) break;
        ok = n > 0 && mbedtls_sha256_update_ret(&sha, piece, static_cast<std::size_t>(n)) == 0;
        at += n;
    }
    unsigned char hash[image::kHashSize];
    ok = ok && mbedtls_sha256_finish_ret(&sha, hash) == 0 && std::memcmp(hash, m.sha256, sizeof hash) == 0;
    mbedtls_sha256_free(&sha);
    return ok;
}

}  // namespace

ImageVerdict ImageCheckHeader(const uint8_t* header, ImageManifest* m)
{
    if (std::memcmp(header + image::kMagicAt, image::kMagic, sizeof image::kMagic) != 0) return ImageVerdict::Damaged;
    m->build = image::Get32(header + image::kBuildAt);
    m->elfClass = header[image::kClassAt];
    m->elfData = header[image::kDataAt];
    m->machine = image::Get16(header + image::kMachineAt);
    m->size = image::Get32(header + image::kSizeAt);
    std::memcpy(m->sha256, header + image::kHashAt, sizeof m->sha256);
    // Nothing of an image counts before its signature does.
    ImageVerdict v = CheckSignature(header);
    if (v != ImageVerdict::Ok) return v;
    ElfIdent self = ElfSelf();
    if (m->elfClass != self.elfClass || m->elfData != self.data || m->machine != self.machine)
        return ImageVerdict::OtherMachine;
    if (m->build <= kFirmwareBuild) return ImageVerdict::NotNewer;
    if (m->size == 0 || m->size > image::kProgramMax) return ImageVerdict::Damaged;
    return ImageVerdict::Ok;
}

ImageVerdict ImageCheckFile(const char* path, ImageManifest* m)
{
    int fd = SysOpen(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ImageVerdict::Damaged;
    uint8_t header[image::kHeaderSize];
    ImageVerdict v = ::pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header)
                         ? ImageCheckHeader(header, m)
                         : ImageVerdict::Damaged;
    if (v == ImageVerdict::Ok) v = ImageCheckProgram(fd, image::kHeaderSize, *m);
    ::close(fd);
    return v;
}

ImageVerdict ImageCheckProgram(int fd, uint64_t base, const ImageManifest& m)
{
    if (!ProgramMatches(fd, base, m)) return ImageVerdict::Damaged;
    return ElfCheckProgram(fd, ElfSelf(), base) == ElfVerdict::Whole ? ImageVerdict::Ok : ImageVerdict::NotProgram;
}

const char* ImageVerdictText(ImageVerdict v)
{
    switch (v) {
    case ImageVerdict::Ok: return "ok";
    case ImageVerdict::Damaged: return "damaged image";
    case ImageVerdict::NoKey: return "no update key";
    case ImageVerdict::KeyUnreadable: return "update key unreadable";
    case ImageVerdict::OtherKey: return "signed with another key";
    case ImageVerdict::BadSignature: return "bad signature";
    case ImageVerdict::OtherMachine: return "program for another machine";
    case ImageVerdict::NotNewer: return "not newer than the running build";
    case ImageVerdict::NotProgram: return "not a whole program";
    }
    return "damaged image";
}
