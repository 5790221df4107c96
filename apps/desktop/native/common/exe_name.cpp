#include "exe_name.h"

namespace quillet {

// One body for the unit types; each is a 16-bit code unit.
template <typename Unit>
static ExeName findExeName(const Unit * path, uint32_t length) {
    ExeName name = {0, 0, false};
    for (uint32_t i = 0; i < length; i++) {
        if (path[i] == '\\') {
            name.begin = i + 1;
        }
    }
    name.units = length - name.begin;
    // Only a longer name loses the suffix: ".exe" alone stays ".exe".
    if (name.units > 4) {
        const Unit * tail = path + length - 4;
        name.exeSuffix =
            tail[0] == '.' && asciiLower(tail[1]) == 'e' && asciiLower(tail[2]) == 'x' && asciiLower(tail[3]) == 'e';
    }
    if (name.exeSuffix) {
        name.units -= 4;
    }
    return name;
}

ExeName exeName(const uint16_t * path, uint32_t length) { return findExeName(path, length); }
ExeName exeName(const char16_t * path, uint32_t length) { return findExeName(path, length); }
#if defined(_WIN32)
ExeName exeName(const wchar_t * path, uint32_t length) { return findExeName(path, length); }
#endif

} // namespace quillet
