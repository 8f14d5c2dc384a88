// Signed firmware images: an image is checked against the update key in /APP/update.pub and
// against the running program before anything of it runs (the layout is in image_format.h).
//
// The checks, in this order: the header is an image's; there is an update key; the image was
// signed with that key (its key id) and the signature over the manifest verifies; the program is
// for this module's ELF class, byte order and machine; its build number is above the running
// program's. For a whole image file then: the program has the manifest's size and SHA-256, and is
// a whole executable.
#pragma once

#include "update/image_format.h"

#include <cstdint>

// ---- Our helpers ----

#define UPDATE_KEY_FILE "/APP/update.pub"

// The signed facts of an image.
struct ImageManifest {
    uint32_t build;
    uint8_t elfClass;
    uint8_t elfData;
    uint16_t machine;
    uint32_t size;  // of the program
    uint8_t sha256[image::kHashSize];
};

enum class ImageVerdict {
    Ok,
    Damaged,        // not an image, or its program does not match its manifest
    NoKey,          // no /APP/update.pub: every remote update is refused
    KeyUnreadable,  // /APP/update.pub is not a P-256 public key in PEM
    OtherKey,       // signed with another key than update.pub's
    BadSignature,   // the signature does not verify
    OtherMachine,   // a program for another ELF class, byte order or machine
    NotNewer,       // its build number is not above the running program's
    NotProgram,     // the signed program is no whole executable
};

// Checks an image's header (its first image::kHeaderSize bytes) and fills m from it.
ImageVerdict ImageCheckHeader(const uint8_t* header, ImageManifest* m);
// Checks the whole image in the file at a system path and fills m from it.
ImageVerdict ImageCheckFile(const char* path, ImageManifest* m);
// Checks the program that starts base bytes into the open file fd against a checked header's
// manifest: its size, its SHA-256, and that it is a whole executable.
ImageVerdict ImageCheckProgram(int fd, uint64_t base, const ImageManifest& m);
// The reason a verdict gives, in a few words ("bad signature").
const char* ImageVerdictText(ImageVerdict v);
