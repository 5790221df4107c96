// Raw keyboard codes to physical keys: one case per rule of the decoder.
#include <gtest/gtest.h>

#include <tuple>

#include "failures.h"
#include "key_decoder.h"

using namespace keywatch;

namespace {

const uint16_t     E0 = rawKeyE0, E1 = rawKeyE1;
const char * const remap = failure::keyboardRemappingAmbiguous;

} // namespace

TEST(KeyDecoder, ModifiersNeedAgreeingScanAndVirtualKeyCodes) {
    const struct {
        uint16_t make, flags, vkey;
        KeyId    key;
        uint16_t scan;
    } cases[] = {
        {0x1D, 0, 0xA2, KeyLeftControl, 0x01D}, {0x1D, E0, 0x11, KeyRightControl, 0x11D},
        {0x38, 0, 0x12, KeyLeftAlt, 0x038},     {0x38, E0, 0xA5, KeyRightAlt, 0x138},
        {0x2A, 0, 0x10, KeyLeftShift, 0x02A},   {0x36, 0, 0xA1, KeyRightShift, 0x036},
        {0x5B, E0, 0x5B, KeyLeftWin, 0x15B},    {0x5C, E0, 0x5C, KeyRightWin, 0x15C},
        {0x1E, 0, 0x41, KeyOther, 0x01E},       {0x1C, E0, 0x0D, KeyOther, 0x11C}, // A, keypad Enter
        {0x5B, 0, 0x41, KeyOther, 0x05B},                                          // 0x5B is a Windows key only with E0
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.make << " " << c.flags << " " << c.vkey);
        for (uint16_t brk : {0, 1}) {
            const DecodedKey k = decodeRawKeyboard(c.make, (uint16_t) (c.flags | brk), c.vkey);
            EXPECT_EQ(std::make_tuple(k.failure, k.ignore, k.keyId, k.scanCode, k.down),
                      std::make_tuple((const char *) nullptr, false, c.key, c.scan, brk == 0));
        }
    }
}

TEST(KeyDecoder, RefusesWhatItCannotMapWithCertaintyAndIgnoresKnownArtefacts) {
    const struct {
        uint16_t     make, flags, vkey;
        const char * failure; // null: ignored
    } cases[] = {
        {0xFF, 0, 0xFF, failure::keyboardOverrun}, // before the ignore rule
        {0x100, 0, 0x41, failure::keyboardFlagsAmbiguous},
        {0x1E, 0x8, 0x41, failure::keyboardFlagsAmbiguous},
        {0x1D, E0 | E1, 0x11, failure::keyboardFlagsAmbiguous},
        {0x1D, 0, 0xFF, nullptr}, // no mapping of its own
        {0x2A, E0, 0x10, nullptr},
        {0x36, E0, 0xA1, nullptr}, // the fake shift around extended keys
        {0x2A, E0, 0x41, remap},   // a fake shift without a shift code
        {0x1D, E1, 0x13, remap},   // Pause
        {0x00, 0, 0x41, remap},
        {0x1E, 0, 0x00, remap},
        {0x1E, 0, 0xE7, remap}, // no scan code, no key, packet
        {0x1D, 0, 0xA3, remap},
        {0x36, 0, 0xA0, remap}, // the code names the other side
        {0x1E, 0, 0x11, remap},
        {0x1E, E0, 0x5C, remap},
        {0x5B, E0, 0x41, remap}, // modifier by one code only
        {0x1D, 0, 0x12, remap},  // a Control scan code with the Alt code
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.make << " " << c.flags << " " << c.vkey);
        const DecodedKey key = decodeRawKeyboard(c.make, c.flags, c.vkey);
        EXPECT_EQ(key.ignore, c.failure == nullptr);
        EXPECT_STREQ(key.failure, c.failure);
    }
}
