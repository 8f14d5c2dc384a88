// Files replaced so that a power cut leaves the old content or the new, never a mix or nothing.
//
// The new content goes to "<path>.tmp" beside the file, is flushed to storage, renamed over the
// old file, and the directory is flushed so that the rename itself lasts. Paths are system paths,
// mapped into the sysroot. Used for the configuration file, the MQTT client id and the files the
// SD card installs.
#pragma once

#include <cstddef>

// Results: 0 done; the old file is untouched on any failure and no temporary file is left.
constexpr int kSafeFileOk = 0;
constexpr int kSafeFileNoTemp = -1;    // the temporary file could not be made
constexpr int kSafeFileFailed = -2;    // writing, flushing or renaming failed
constexpr int kSafeFileNoSource = -3;  // the file to copy could not be read

// len bytes of data become the whole content of path, with the given permission bits.
int SafeWriteFile(const char* path, const void* data, std::size_t len, unsigned mode);
// The content of the file from becomes the whole content of path, copied in bounded pieces.
int SafeCopyFile(const char* from, const char* path, unsigned mode);

// The same replacement in two halves, for content that is checked between its flush and its
// rename: SafeStageCopy writes and flushes "<path>.tmp"; SafeOpenStaged opens it for reading (a
// descriptor, or -1); then SafeCommit renames it over path and flushes the directory, or
// SafeDiscard removes it.
int SafeStageCopy(const char* from, const char* path, unsigned mode);
int SafeOpenStaged(const char* path);
int SafeCommit(const char* path);
void SafeDiscard(const char* path);

// A rename (within one file system) and a removal that last: the directory is flushed after each.
// kSafeFileOk, or kSafeFileFailed with nothing changed.
int SafeRename(const char* from, const char* to);
int SafeRemove(const char* path);
