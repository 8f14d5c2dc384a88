// Shell commands.
//
// The firmware runs many small jobs through the system shell ("mkdir -p", "ls", "df", "cp", "mv",
// "rm", "date -s", "init 6"). All of them go through these wrappers, which add two guarantees:
// - names that come from outside (a directory listing, a console request) are quoted before they
//   reach a shell (ShellQuote), and paths are mapped into the sysroot (ShellPath);
// - with a sysroot in effect, "init" and "date" run only when the sysroot provides its own
//   stand-ins in its bin directory, so a development run can never reboot or re-clock the host.
#pragma once

#include <cstddef>
#include <cstdio>

// Puts $LIRN_SYSROOT/bin first on PATH when a sysroot is in effect. Called once at start.
void ShellInit();

// system(3) on the command, after the safety check. Returns system's result, or -1 when refused.
int ShellSystem(const char* cmd);

// popen(3) for reading, after the safety check; nullptr when refused or when the shell cannot start.
FILE* ShellPopen(const char* cmd);
int ShellPclose(FILE* stream);

// Runs the command and waits for it, discarding its output (popen + read to the end + pclose).
// Returns pclose's result, or -1 when it could not be started.
int ShellRunQuiet(const char* cmd);

// True when the command may run here (see above). Prints the reason when it may not.
bool ShellCommandAllowed(const char* cmd);

// Quotes an arbitrary text as one shell word ('...' with embedded quotes escaped).
// Returns 0, or -1 when it does not fit (out is then empty).
int ShellQuote(char* out, std::size_t outLen, const char* text);

// A text as one shell word: as it is when it holds only plain path characters (so an ordinary
// command reads exactly as the system's own), quoted otherwise. Returns 0, or -1 when it does not
// fit (out is then empty).
int ShellWordIfNeeded(char* out, std::size_t outLen, const char* text);

// A system path for use inside a command text: mapped into the sysroot. Without a sysroot the text
// is exactly the system's own path; with one, it is quoted when it holds anything but plain path
// characters. Returns 0, or -1 when it does not fit (out is then empty).
int ShellPath(char* out, std::size_t outLen, const char* path);
