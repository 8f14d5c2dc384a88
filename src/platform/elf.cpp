// Program files checked against the running program's own ELF identity (see elf.h).
#include "platform/elf.h"

#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

// The linker places the program's own ELF header here (GNU ld and lld both define it).
extern "C" const ElfW(Ehdr) __ehdr_start __attribute__((weak));

namespace {

// More program headers than any linker writes for a program: a header that claims more is damage.
constexpr unsigned kMaxProgramHeaders = 64;

// Reads len bytes at offset (from the program's start, base bytes into the file).
bool ReadAt(int fd, void* out, std::size_t len, uint64_t offset, uint64_t base = 0)
{
    offset += base;
    auto* p = static_cast<char*>(out);
    while (len > 0) {
        ssize_t n = ::pread(fd, p, len, static_cast<off_t>(offset));
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// True when [offset, offset + len) lies within a file of size bytes, without overflow.
bool Within(uint64_t offset, uint64_t len, uint64_t size)
{
    return offset <= size && len <= size - offset;
}

ElfIdent IdentOf(const unsigned char* e_ident, uint16_t machine)
{
    return ElfIdent{e_ident[EI_CLASS], e_ident[EI_DATA], machine};
}

}  // namespace

ElfIdent ElfSelf()
{
    if (&__ehdr_start != nullptr) return IdentOf(__ehdr_start.e_ident, __ehdr_start.e_machine);
    // Without the linker's symbol, the program file itself.
    ElfW(Ehdr) h{};
    int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ReadAt(fd, &h, sizeof h, 0);
    if (fd >= 0) ::close(fd);
    return ok ? IdentOf(h.e_ident, h.e_machine) : ElfIdent{0, 0, 0};
}

ElfVerdict ElfCheckProgram(int fd, const ElfIdent& want, uint64_t base)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) < base)
        return ElfVerdict::NotProgram;
    const uint64_t size = static_cast<uint64_t>(st.st_size) - base;
    unsigned char ident[EI_NIDENT];
    if (!ReadAt(fd, ident, SELFMAG, 0, base) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return ElfVerdict::NotProgram;
    if (!ReadAt(fd, ident, sizeof ident, 0, base)) return ElfVerdict::CutShort;
    // The class and byte order decide the layout of everything after the identification; a file
    // that does not share ours is some other machine's, whatever it holds.
    if (ident[EI_CLASS] != want.elfClass || ident[EI_DATA] != want.data) return ElfVerdict::OtherMachine;
    ElfW(Ehdr) h;
    if (sizeof h > size || !ReadAt(fd, &h, sizeof h, 0, base)) return ElfVerdict::CutShort;
    if (h.e_type != ET_EXEC && h.e_type != ET_DYN) return ElfVerdict::NotProgram;
    if (h.e_machine != want.machine) return ElfVerdict::OtherMachine;
    if (h.e_phentsize != sizeof(ElfW(Phdr)) || h.e_phnum == 0 || h.e_phnum > kMaxProgramHeaders)
        return ElfVerdict::NotProgram;
    if (!Within(h.e_phoff, uint64_t{h.e_phnum} * h.e_phentsize, size)) return ElfVerdict::CutShort;
    if (h.e_shoff != 0 && !Within(h.e_shoff, uint64_t{h.e_shnum} * h.e_shentsize, size)) return ElfVerdict::CutShort;
    bool loads = false;
    for (unsigned i = 0; i < h.e_phnum; i++) {
        ElfW(Phdr) ph;
        if (!ReadAt(fd, &ph, sizeof ph, h.e_phoff + uint64_t{i} * sizeof ph, base)) return ElfVerdict::CutShort;
        if (ph.p_type != PT_LOAD) continue;
        loads = true;
        if (!Within(ph.p_offset, ph.p_filesz, size)) return ElfVerdict::CutShort;
    }
    return loads ? ElfVerdict::Whole : ElfVerdict::NotProgram;
}

const char* ElfVerdictText(ElfVerdict v)
{
    switch (v) {
    case ElfVerdict::Whole: return "a whole program";
    case ElfVerdict::NotProgram: return "not a program";
    case ElfVerdict::OtherMachine: return "a program for another machine";
    case ElfVerdict::CutShort: return "cut short";
    }
    return "not a program";
}
