// Shell command runner with the sysroot's safety rules (see shell.h).
#include "platform/shell.h"

#include "platform/sysroot.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Commands that change the host itself; on a development run they need the board's stand-ins.
const char* const kGuardedCommands[] = {"init", "date"};

bool IsPlainPathChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':';
}

// Copies text as it is; -1 (and an empty out) when it does not fit.
int CopyWord(char* out, std::size_t outLen, const char* text)
{
    int n = std::snprintf(out, outLen, "%s", text);
    if (n < 0 || static_cast<std::size_t>(n) >= outLen) {
        if (outLen > 0) out[0] = '\0';
        return -1;
    }
    return 0;
}

}  // namespace

void ShellInit()
{
    if (!SysrootActive()) return;
    const char* old = std::getenv("PATH");
    if (old == nullptr) old = "/usr/bin:/bin";
    static char path[4096];
    int n = std::snprintf(path, sizeof path, "%s/bin:%s", SysrootDir(), old);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof path) setenv("PATH", path, 1);
}

bool ShellCommandAllowed(const char* cmd)
{
    if (!SysrootActive()) return true;
    // The first word of the command names the program.
    while (*cmd == ' ') ++cmd;
    std::size_t len = std::strcspn(cmd, " \t;|&");
    for (const char* guarded : kGuardedCommands) {
        if (len != std::strlen(guarded) || std::strncmp(cmd, guarded, len) != 0) continue;
        char standIn[kSysPathMax];
        int n = std::snprintf(standIn, sizeof standIn, "%s/bin/%s", SysrootDir(), guarded);
        if (n > 0 && static_cast<std::size_t>(n) < sizeof standIn && access(standIn, X_OK) == 0) return true;
        std::printf("Not running \"%s\": the sysroot has no bin/%s stand-in\n", cmd, guarded);
        return false;
    }
    return true;
}

int ShellSystem(const char* cmd)
{
    if (!ShellCommandAllowed(cmd)) return -1;
    std::fflush(stdout);
    return std::system(cmd);
}

FILE* ShellPopen(const char* cmd)
{
    if (!ShellCommandAllowed(cmd)) return nullptr;
    std::fflush(stdout);
    return popen(cmd, "r");
}

int ShellPclose(FILE* stream)
{
    return pclose(stream);
}

int ShellRunQuiet(const char* cmd)
{
    FILE* p = ShellPopen(cmd);
    if (p == nullptr) return -1;
    char sink[128];
    while (std::fgets(sink, sizeof sink, p) != nullptr) {
    }
    return ShellPclose(p);
}

int ShellQuote(char* out, std::size_t outLen, const char* text)
{
    std::size_t o = 0;
    auto put = [&](char c) {
        if (o + 1 >= outLen) return false;
        out[o++] = c;
        return true;
    };
    bool ok = put('\'');
    for (const char* s = text; ok && *s; ++s) {
        if (*s == '\'') {
            // close the quote, add an escaped quote, reopen
            ok = put('\'') && put('\\') && put('\'') && put('\'');
        } else {
            ok = put(*s);
        }
    }
    ok = ok && put('\'');
    if (!ok) {
        if (outLen > 0) out[0] = '\0';
        return -1;
    }
    out[o] = '\0';
    return 0;
}

int ShellWordIfNeeded(char* out, std::size_t outLen, const char* text)
{
    bool plain = true;
    for (const char* s = text; *s; ++s) plain = plain && IsPlainPathChar(*s);
    return plain ? CopyWord(out, outLen, text) : ShellQuote(out, outLen, text);
}

int ShellPath(char* out, std::size_t outLen, const char* path)
{
    char mapped[kSysPathMax];
    if (SysPath(mapped, sizeof mapped, path) != 0) {
        if (outLen > 0) out[0] = '\0';
        return -1;
    }
    // Without a sysroot the firmware's own fixed paths go out exactly as written.
    return SysrootActive() ? ShellWordIfNeeded(out, outLen, mapped) : CopyWord(out, outLen, mapped);
}
