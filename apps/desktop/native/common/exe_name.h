// The executable's name in a Windows image path, for both modules: plain
// logic on UTF-16 units, no system calls.
#pragma once

#include <stdint.h>

namespace quillet {

// Where the base name lies in a path, and whether ".exe" was taken off it.
struct ExeName {
    uint32_t begin;     // first unit after the last backslash; forward slashes do not separate
    uint32_t units;     // the base name's length, less the suffix when exeSuffix
    bool     exeSuffix; // the name ended in ".exe" (any ASCII case) after at least one other unit
};

// The base name of the path's first length units. One function per unit
// type the modules hold paths in, so no buffer is reinterpreted.
ExeName exeName(const uint16_t * path, uint32_t length);
ExeName exeName(const char16_t * path, uint32_t length);
#if defined(_WIN32)
ExeName exeName(const wchar_t * path, uint32_t length);
#endif

// ASCII letters to lower case; every other unit unchanged. Windows compares
// file names without case, and the names the modules look for are ASCII.
inline uint32_t asciiLower(uint32_t unit) { return unit >= 'A' && unit <= 'Z' ? unit + 32 : unit; }

} // namespace quillet
