// Keys and signed firmware images for the gateway's updates, made with mbed TLS: an ECDSA P-256
// key pair, and an image that is a signed manifest (build number, the program's ELF class, byte
// order and machine, its size and SHA-256) followed by the program (src/update/image_format.h).
#pragma once

#include <cstdint>
#include <string>

namespace lirnctl {

// The files keygen writes into its directory.
inline constexpr char kPrivateKeyFile[] = "update.key";
inline constexpr char kPublicKeyFile[] = "update.pub";

// What keygen made: the paths of the two files and the key id (16 hex digits).
struct KeyPair {
    std::string privatePath, publicPath, keyId;
};
// Makes a new key pair in dir (made when missing): update.key (PEM, readable by its owner only)
// and update.pub (PEM). Never overwrites a key; throws Failure(kExitRefused) when one is there or
// a file cannot be written.
KeyPair MakeKeyPair(const std::string& dir);

// What sign wrote.
struct SignedImage {
    uint32_t build;
    int elfClass;
    int machine;
    uint64_t size;
    std::string sha256, keyId;  // hex
};
// Signs program with the private key at keyPath as build number build into the image at output
// (written under output.part, renamed once whole). Throws Failure(kExitRefused) for a program that
// is no ELF executable or a key that is not a P-256 private key, Failure(kExitUsage) for a file
// that cannot be read or written.
SignedImage SignProgram(const std::string& keyPath, const std::string& program, uint32_t build,
                        const std::string& output);

}  // namespace lirnctl
