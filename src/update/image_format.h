// The layout of a signed firmware image, shared by the gateway that checks images and lirnctl
// that makes them. Header-only and free of the firmware's own modules, so that the PC tool takes
// exactly these offsets.
//
// An image is a fixed header, then the program itself. All numbers are big-endian.
//
//   offset size  field
//        0    8  magic "LIRNIMG1"
//        8    4  build number: an update must carry one above the running program's
//       12    1  ELF class of the program (1: 32 bits, 2: 64 bits)
//       13    1  ELF byte order (1: little-endian, 2: big-endian)
//       14    2  ELF machine (e_machine: 40 ARM, 62 x86-64, ...)
//       16    4  size of the program in bytes
//       20   32  SHA-256 of the program
//       52    8  key id: the first 8 bytes of the SHA-256 of the signing key's public key (DER)
//       60    2  length of the signature
//       62   74  the signature, zero-padded: ECDSA P-256 with SHA-256 over bytes 0 to 59 (the
//                manifest), DER-encoded as mbed TLS and OpenSSL write it
//      136       the program
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Our helpers ----

namespace image {

constexpr char kMagic[8] = {'L', 'I', 'R', 'N', 'I', 'M', 'G', '1'};
constexpr std::size_t kMagicAt = 0;
constexpr std::size_t kBuildAt = 8;
constexpr std::size_t kClassAt = 12;
constexpr std::size_t kDataAt = 13;
constexpr std::size_t kMachineAt = 14;
constexpr std::size_t kSizeAt = 16;
constexpr std::size_t kHashAt = 20;
constexpr std::size_t kKeyIdAt = 52;
constexpr std::size_t kManifestSize = 60;  // the signed part
constexpr std::size_t kSignatureLengthAt = 60;
constexpr std::size_t kSignatureAt = 62;
constexpr std::size_t kSignatureMax = 74;
constexpr std::size_t kHeaderSize = kSignatureAt + kSignatureMax;  // 136: where the program starts
constexpr std::size_t kHashSize = 32;
constexpr std::size_t kKeyIdSize = 8;

// Largest program an image may carry: far above the firmware's size, far below the module's flash.
constexpr uint32_t kProgramMax = 32u << 20;

inline uint32_t Get32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline void Put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

}  // namespace image
