// Turns the three codes of a raw keyboard record into one physical key, or
// refuses. A modifier is accepted only when its scan code (with prefix) and
// its virtual-key code agree; anything doubtful becomes a named failure.
#pragma once

#include <stdint.h>

#include "key_id.h"

namespace keywatch {

// Bits of the keyboard record's Flags word.
enum : uint16_t {
    rawKeyBreak = 0x1,
    rawKeyE0    = 0x2,
    rawKeyE1    = 0x4,
};

// Pointer button n (0 to 4) is held under this scan code + n.
enum : uint16_t {
    pointerButtonScanBase = 0x400
};

struct DecodedKey {
    KeyId        keyId;    // Other unless proven a modifier
    uint16_t     scanCode; // make code, E0 prefix in bit 8; pointer button n: 0x400 + n
    bool         down;     // press, or release
    bool         ignore;   // a known artefact: drop without effect
    const char * failure;  // ambiguous record: disarm with this; null otherwise
};

// Pure: touches no shared state.
DecodedKey decodeRawKeyboard(uint16_t makeCode, uint16_t flags, uint16_t vkey);

} // namespace keywatch
