// Program files: whether a file is a whole executable that this module can run.
//
// A program for the module is an ELF executable of the running program's own class (32 or 64
// bits), byte order and machine. It is whole when everything its header points to lies within the
// file: the program headers, every loadable segment's bytes and, when it has them, the section
// headers, which the linker puts at the very end. A file cut short on its way (a card pulled early,
// a transfer broken off) fails that test.
#pragma once

#include <cstdint>

// ---- Our helpers ----

// The ELF identity that decides where a program runs.
struct ElfIdent {
    uint8_t elfClass;  // 1: 32 bits, 2: 64 bits
    uint8_t data;      // 1: little-endian, 2: big-endian
    uint16_t machine;  // e_machine: 40 ARM, 62 x86-64, ...
};

// The running program's own identity, from its ELF header as mapped in memory.
ElfIdent ElfSelf();

// What a file is, as a program for this module.
enum class ElfVerdict {
    Whole,          // a whole executable of this module's class, byte order and machine
    NotProgram,     // not an ELF executable (too short, no ELF magic, an object file, no loadable part)
    OtherMachine,   // an executable built for another class, byte order or machine
    CutShort,       // its header points past the end of the file
};

// Checks the program in the open file fd from byte base to the file's end (read with pread, the
// file offset untouched) against want.
ElfVerdict ElfCheckProgram(int fd, const ElfIdent& want, uint64_t base = 0);

// A few words for a verdict: "a whole program", "not a program", "a program for another machine",
// "cut short".
const char* ElfVerdictText(ElfVerdict v);
