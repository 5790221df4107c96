// One well-formed UTF-8 sequence: the single definition the JSON reader and
// the reply escaper agree on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

// Length (2 to 4) of the well-formed multi-byte sequence starting at p, or 0
// when it is not one: a stray continuation or invalid lead byte, a sequence
// cut short, an overlong form, a surrogate, or a value above U+10FFFF.
inline size_t utf8SequenceLength(const uint8_t * p, const uint8_t * end) {
    uint8_t  b = *p;
    size_t   n;
    uint32_t v;
    uint32_t min;
    if ((b & 0xE0) == 0xC0) {
        n   = 2;
        v   = b & 0x1F;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        n   = 3;
        v   = b & 0x0F;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        n   = 4;
        v   = b & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if ((size_t) (end - p) < n) {
        return 0;
    }
    for (size_t i = 1; i < n; i++) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
        v = (v << 6) | (p[i] & 0x3F);
    }
    if (v < min || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) {
        return 0;
    }
    return n;
}

} // namespace quillet
