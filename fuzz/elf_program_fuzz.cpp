// Fuzz target: the check of a card's firmware file as a program for this module, on any bytes a
// card could hold. A file it calls whole starts with the ELF magic and this program's identity.
#include "fuzz_input.h"
#include "platform/elf.h"

#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static int fd = memfd_create("elf-fuzz", MFD_CLOEXEC);
    fuzzinput::Check(fd >= 0 && ftruncate(fd, 0) == 0, "memfd");
    fuzzinput::Check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "memfd write");
    const ElfIdent self = ElfSelf();
    if (ElfCheckProgram(fd, self) == ElfVerdict::Whole) {
        fuzzinput::Check(size > 20 && std::memcmp(data, "\177ELF", 4) == 0, "a whole program has the ELF magic");
        uint16_t machine;
        std::memcpy(&machine, data + 18, sizeof machine);
        fuzzinput::Check(data[4] == self.elfClass && machine == self.machine, "a whole program is of this machine");
    }
    return 0;
}
