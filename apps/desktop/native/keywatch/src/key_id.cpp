#include "key_id.h"

namespace keywatch {

static const char * const keyNames[9] = {
    "LeftControl", "RightControl", "LeftAlt", "RightAlt", "LeftShift", "RightShift", "LeftWin", "RightWin", "Other",
};

const char * keyIdName(uint8_t keyId) { return keyId < KeyOther ? keyNames[keyId] : keyNames[KeyOther]; }

} // namespace keywatch
