#include "key_id.h"

namespace keywatch {

const uint8_t modifierVirtualKeys[modifierKeyCount] = {0xA2, 0xA3, 0xA4, 0xA5, 0xA0, 0xA1, 0x5B, 0x5C};

static const char * const keyNames[9] = {
    "LeftControl", "RightControl", "LeftAlt", "RightAlt", "LeftShift", "RightShift", "LeftWin", "RightWin", "Other",
};

const char * keyIdName(uint8_t keyId) { return keyId < KeyOther ? keyNames[keyId] : keyNames[KeyOther]; }

} // namespace keywatch
