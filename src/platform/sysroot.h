// Paths under the sysroot.
//
// Every absolute path the firmware uses (configuration and log files, device nodes, sysfs GPIO,
// the SD card tree, and the paths written into shell command texts) goes through SysPath. When
// LIRN_SYSROOT is set and not empty, the path is that directory followed by the path; otherwise the
// path is used exactly as the system names it. On the simulated board this keeps a development run
// inside its own directory tree; on the module the firmware runs unchanged.
#pragma once

#include <cstddef>
#include <cstdio>

// Longest mapped path we build. The system's own paths are short; the sysroot adds its prefix.
constexpr std::size_t kSysPathMax = 512;

// The sysroot directory, "" when unset. Read from the environment on first use.
const char* SysrootDir();

// True when a sysroot is in effect.
bool SysrootActive();

// Replaces the sysroot for this process ("" or nullptr clears it). Used by tests and tools.
void SysrootSet(const char* dir);

// Maps an absolute system path into out. Returns 0, or -1 when the result does not fit (out then
// holds an empty text, so a failed mapping can never name some other file).
int SysPath(char* out, std::size_t outLen, const char* path);

// The usual file operations on a system path, mapped. They fail like their libc counterparts
// (with ENAMETOOLONG when the mapped path does not fit).
int SysOpen(const char* path, int flags, int mode = 0);
FILE* SysFopen(const char* path, const char* mode);
int SysAccess(const char* path, int amode);
int SysRemove(const char* path);
