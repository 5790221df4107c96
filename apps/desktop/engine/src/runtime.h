// The runtime-library operations the engine needs from its platform:
// binary descriptors, duplication, streams, wide-path opens and the
// executable's own path. One implementation per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quillet {

// Untranslated mode: no CR/LF rewriting, no end of file at 0x1A.
void   rtSetBinary(int fd);
int    rtDup(int fd);              // -1 on failure
int    rtDup2(int fd, int target); // -1 on failure
FILE * rtOpenWriteStream(int fd);  // fdopen(fd, "wb")

// Opens a UTF-8 path for binary reading with sharing allowed. Null when the
// path cannot be converted, holds a NUL byte, names anything but a regular
// file (a directory, a FIFO, a device: refused without blocking), or the
// open fails.
FILE * rtOpenForRead(const std::string & utf8Path);

// Opens the null device on a standard descriptor (0 to 2) the process was
// started without, so that no later open or dup is handed that number.
void rtEnsureStandardDescriptor(int fd);

// 64-bit positioning of a read stream; the size is -1 when unknown (the
// stream's position is kept).
bool    rtSeekTo(FILE * f, int64_t offset);
int64_t rtFileSize(FILE * f);

// What changes when a file is written: its size and last modification time.
struct FileStamp {
    int64_t size;     // bytes
    int64_t modified; // in the platform's finest unit; only ever compared
};

// The open stream's file's stamp; false when it cannot be read.
bool rtFileStamp(FILE * f, FileStamp & out);

// Full path of the running executable as UTF-8; empty when unknown.
std::string rtExecutablePath();

// The command line as UTF-8 arguments, program name first. On Windows the
// narrow argv is in the ANSI code page, so it is rebuilt from the wide
// command line.
std::vector<std::string> rtArguments(int argc, char ** argv);

// A reply written to a closed pipe must not end the process.
void rtIgnoreBrokenPipe();

// Adds a directory to the process's library search path where the
// platform has one (Windows); elsewhere nothing happens.
void rtSetLibrarySearchDirectory(const std::string & utf8Dir);

// Runs body(arg) on a new thread with a stack of stackBytes (reserved, not
// committed) and waits for it to end. False when the thread cannot be made;
// body has not run then.
bool rtRunOnThread(size_t stackBytes, void (*body)(void *), void * arg);

} // namespace quillet
