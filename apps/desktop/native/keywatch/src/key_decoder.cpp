#include "key_decoder.h"

#include "failures.h"

namespace keywatch {

static bool isControlCode(uint16_t vkey) { return vkey == 0x11 || vkey == 0xA2 || vkey == 0xA3; }
static bool isAltCode(uint16_t vkey) { return vkey == 0x12 || vkey == 0xA4 || vkey == 0xA5; }
static bool isShiftCode(uint16_t vkey) { return vkey == 0x10 || vkey == 0xA0 || vkey == 0xA1; }

// The key that a left- or right-specific virtual-key code names; Other when
// the code names no side (generic 0x10 to 0x12 and everything else).
static KeyId sideNamedBy(uint16_t vkey) {
    switch (vkey) {
        case 0xA2: return KeyLeftControl;
        case 0xA3: return KeyRightControl;
        case 0xA4: return KeyLeftAlt;
        case 0xA5: return KeyRightAlt;
        case 0xA0: return KeyLeftShift;
        case 0xA1: return KeyRightShift;
        default: return KeyOther;
    }
}

static DecodedKey refuse(DecodedKey key, const char * why) {
    key.failure = why;
    return key;
}

DecodedKey decodeRawKeyboard(uint16_t makeCode, uint16_t flags, uint16_t vkey) {
    DecodedKey key = {KeyOther, 0, (flags & rawKeyBreak) == 0, false, nullptr};
    const bool e0  = (flags & rawKeyE0) != 0;
    const bool e1  = (flags & rawKeyE1) != 0;

    if (makeCode == 0xFF) {
        return refuse(key, failure::keyboardOverrun);
    }
    if (makeCode > 0xFF || (flags & 0xFFF8) != 0 || (e0 && e1)) {
        return refuse(key, failure::keyboardFlagsAmbiguous);
    }
    if (vkey == 0xFF) {
        key.ignore = true;
        return key;
    }
    // Keyboards wrap some extended keys in a fake E0 shift; it only counts as
    // that artefact while the virtual-key code agrees that it is a shift.
    if (e0 && (makeCode == 0x2A || makeCode == 0x36)) {
        if (isShiftCode(vkey)) {
            key.ignore = true;
            return key;
        }
        return refuse(key, failure::keyboardRemappingAmbiguous);
    }
    if (e1 || makeCode == 0 || vkey == 0xE7 || vkey == 0) {
        return refuse(key, failure::keyboardRemappingAmbiguous);
    }

    key.scanCode = (uint16_t) (makeCode | (e0 ? 0x100 : 0));

    bool sided = false;
    if (isControlCode(vkey) && makeCode == 0x1D) {
        key.keyId = e0 ? KeyRightControl : KeyLeftControl;
        sided     = true;
    } else if (isAltCode(vkey) && makeCode == 0x38) {
        key.keyId = e0 ? KeyRightAlt : KeyLeftAlt;
        sided     = true;
    } else if (!e0 && isShiftCode(vkey) && (makeCode == 0x2A || makeCode == 0x36)) {
        key.keyId = makeCode == 0x2A ? KeyLeftShift : KeyRightShift;
        sided     = true;
    } else if (e0 && makeCode == 0x5B && vkey == 0x5B) {
        key.keyId = KeyLeftWin;
        return key;
    } else if (e0 && makeCode == 0x5C && vkey == 0x5C) {
        key.keyId = KeyRightWin;
        return key;
    }

    if (!sided) {
        // A non-modifier key, unless either code says modifier.
        const bool vkeySaysModifier =
            isControlCode(vkey) || isAltCode(vkey) || isShiftCode(vkey) || vkey == 0x5B || vkey == 0x5C;
        const bool scanSaysModifier = makeCode == 0x1D || makeCode == 0x38 ||
                                      (e0 && (makeCode == 0x5B || makeCode == 0x5C)) ||
                                      (!e0 && (makeCode == 0x2A || makeCode == 0x36));
        if (vkeySaysModifier || scanSaysModifier) {
            return refuse(key, failure::keyboardRemappingAmbiguous);
        }
        return key;
    }

    const KeyId named = sideNamedBy(vkey);
    if (named != KeyOther && named != key.keyId) {
        return refuse(key, failure::keyboardRemappingAmbiguous);
    }
    return key;
}

} // namespace keywatch
