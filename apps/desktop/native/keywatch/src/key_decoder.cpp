#include "key_decoder.h"

#include "failures.h"
#include "windows_codes.h"

namespace keywatch {

using namespace quillet; // the Windows codes

static bool isControlCode(uint16_t vkey) {
    return vkey == vkControl || vkey == vkLeftControl || vkey == vkRightControl;
}
static bool isAltCode(uint16_t vkey) { return vkey == vkAlt || vkey == vkLeftAlt || vkey == vkRightAlt; }
static bool isShiftCode(uint16_t vkey) { return vkey == vkShift || vkey == vkLeftShift || vkey == vkRightShift; }

// The key that a left- or right-specific virtual-key code names; Other when
// the code names no side (the generic Shift, Control and Alt, and everything else).
static KeyId sideNamedBy(uint16_t vkey) {
    for (uint8_t k = 0; k < KeyLeftWin; k++) {
        if (modifierVirtualKeys[k] == vkey) {
            return (KeyId) k;
        }
    }
    return KeyOther;
}

static DecodedKey refuse(DecodedKey key, const char * why) {
    key.failure = why;
    return key;
}

DecodedKey decodeRawKeyboard(uint16_t makeCode, uint16_t flags, uint16_t vkey) {
    DecodedKey key = {KeyOther, 0, (flags & rawKeyBreak) == 0, false, nullptr};
    const bool e0  = (flags & rawKeyE0) != 0;
    const bool e1  = (flags & rawKeyE1) != 0;

    if (makeCode == scanOverrun) {
        return refuse(key, failure::keyboardOverrun);
    }
    if (makeCode > 0xFF || (flags & 0xFFF8) != 0 || (e0 && e1)) {
        return refuse(key, failure::keyboardFlagsAmbiguous);
    }
    if (vkey == vkNone) {
        key.ignore = true;
        return key;
    }
    // Keyboards wrap some extended keys in a fake E0 shift; it only counts as
    // that artefact while the virtual-key code agrees that it is a shift.
    if (e0 && (makeCode == scanLeftShift || makeCode == scanRightShift)) {
        if (isShiftCode(vkey)) {
            key.ignore = true;
            return key;
        }
        return refuse(key, failure::keyboardRemappingAmbiguous);
    }
    if (e1 || makeCode == 0 || vkey == vkPacket || vkey == 0) {
        return refuse(key, failure::keyboardRemappingAmbiguous);
    }

    key.scanCode = (uint16_t) (makeCode | (e0 ? 0x100 : 0));

    bool sided = false;
    if (isControlCode(vkey) && makeCode == scanControl) {
        key.keyId = e0 ? KeyRightControl : KeyLeftControl;
        sided     = true;
    } else if (isAltCode(vkey) && makeCode == scanAlt) {
        key.keyId = e0 ? KeyRightAlt : KeyLeftAlt;
        sided     = true;
    } else if (!e0 && isShiftCode(vkey) && (makeCode == scanLeftShift || makeCode == scanRightShift)) {
        key.keyId = makeCode == scanLeftShift ? KeyLeftShift : KeyRightShift;
        sided     = true;
    } else if (e0 && makeCode == scanLeftWin && vkey == vkLeftWin) {
        key.keyId = KeyLeftWin;
        return key;
    } else if (e0 && makeCode == scanRightWin && vkey == vkRightWin) {
        key.keyId = KeyRightWin;
        return key;
    }

    if (!sided) {
        // A non-modifier key, unless either code says modifier.
        const bool scanSaysModifier = makeCode == scanControl || makeCode == scanAlt ||
                                      (e0 && (makeCode == scanLeftWin || makeCode == scanRightWin)) ||
                                      (!e0 && (makeCode == scanLeftShift || makeCode == scanRightShift));
        if (isModifierVirtualKey(vkey) || scanSaysModifier) {
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
