// Which physical key a transition belongs to. The eight modifiers keep this
// bit order everywhere: in held masks, in sampled key state and in frames.
#pragma once

#include <stdint.h>

namespace keywatch {

enum KeyId : uint8_t {
    KeyLeftControl  = 0,
    KeyRightControl = 1,
    KeyLeftAlt      = 2,
    KeyRightAlt     = 3,
    KeyLeftShift    = 4,
    KeyRightShift   = 5,
    KeyLeftWin      = 6,
    KeyRightWin     = 7,
    KeyOther        = 8,
};

enum {
    modifierKeyCount = 8
};

// Their virtual-key codes, indexed by KeyId: quillet::modifierVirtualKeys (windows_codes.h).

// "LeftControl" ... "RightWin", "Other"; any value above 8 names "Other".
const char * keyIdName(uint8_t keyId);

} // namespace keywatch
