#include <gtest/gtest.h>

#include "failures.h"
#include "key_decoder.h"

using namespace keywatch;

namespace {

struct Accepted {
    uint16_t make, flags, vkey;
    KeyId    key;
    uint16_t scan;
};

struct Refused {
    uint16_t     make, flags, vkey;
    const char * failure;
};

const uint16_t E0 = rawKeyE0, E1 = rawKeyE1;

} // namespace

TEST(KeyDecoder, ModifiersNeedAgreeingScanAndVirtualKey) {
    const Accepted cases[] = {
        {0x1D, 0, 0xA2, KeyLeftControl, 0x01D},  {0x1D, 0, 0x11, KeyLeftControl, 0x01D},
        {0x1D, E0, 0xA3, KeyRightControl, 0x11D}, {0x1D, E0, 0x11, KeyRightControl, 0x11D},
        {0x38, 0, 0xA4, KeyLeftAlt, 0x038},      {0x38, 0, 0x12, KeyLeftAlt, 0x038},
        {0x38, E0, 0xA5, KeyRightAlt, 0x138},     {0x38, E0, 0x12, KeyRightAlt, 0x138},
        {0x2A, 0, 0xA0, KeyLeftShift, 0x02A},    {0x2A, 0, 0x10, KeyLeftShift, 0x02A},
        {0x36, 0, 0xA1, KeyRightShift, 0x036},   {0x36, 0, 0x10, KeyRightShift, 0x036},
        {0x5B, E0, 0x5B, KeyLeftWin, 0x15B},      {0x5C, E0, 0x5C, KeyRightWin, 0x15C},
        {0x1E, 0, 0x41, KeyOther, 0x01E},        // A
        {0x4B, E0, 0x25, KeyOther, 0x14B},        // left arrow
        {0x1C, E0, 0x0D, KeyOther, 0x11C},        // keypad Enter
        {0x5B, 0, 0x41, KeyOther, 0x05B},        // 0x5B is a Windows key only with E0
    };
    for (const Accepted & c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "make " << c.make << " flags " << c.flags << " vkey " << c.vkey);
        const DecodedKey press = decodeRawKeyboard(c.make, c.flags, c.vkey);
        EXPECT_EQ(press.failure, nullptr);
        EXPECT_FALSE(press.ignore);
        EXPECT_EQ(press.keyId, c.key);
        EXPECT_EQ(press.scanCode, c.scan);
        EXPECT_TRUE(press.down);
        const DecodedKey release = decodeRawKeyboard(c.make, (uint16_t) (c.flags | rawKeyBreak), c.vkey);
        EXPECT_EQ(release.failure, nullptr);
        EXPECT_EQ(release.keyId, c.key);
        EXPECT_FALSE(release.down);
    }
}

TEST(KeyDecoder, RefusesWhatItCannotMapWithCertainty) {
    const char * remap = failure::keyboardRemappingAmbiguous;
    const Refused cases[] = {
        {0xFF, 0, 0x41, failure::keyboardOverrun},
        {0xFF, 0, 0xFF, failure::keyboardOverrun},          // overrun wins over the ignore rule
        {0x100, 0, 0x41, failure::keyboardFlagsAmbiguous},
        {0x100, 0, 0xFF, failure::keyboardFlagsAmbiguous},
        {0x1E, 0x8, 0x41, failure::keyboardFlagsAmbiguous},
        {0x1E, 0x8000, 0x41, failure::keyboardFlagsAmbiguous},
        {0x1D, E0 | E1, 0x11, failure::keyboardFlagsAmbiguous},
        {0x2A, E0, 0x41, remap},                             // fake shift without a shift code
        {0x36, E0, 0x25, remap},
        {0x1D, E1, 0x13, remap},                             // Pause
        {0x00, 0, 0x41, remap},
        {0x1E, 0, 0x00, remap},
        {0x1E, 0, 0xE7, remap},                              // packet
        // Side checks: the virtual-key code names the other side.
        {0x1D, 0, 0xA3, remap}, {0x1D, E0, 0xA2, remap},
        {0x38, 0, 0xA5, remap}, {0x38, E0, 0xA4, remap},
        {0x2A, 0, 0xA1, remap}, {0x36, 0, 0xA0, remap},
        // One code says modifier, the other does not.
        {0x1E, 0, 0xA2, remap}, {0x1E, 0, 0x12, remap}, {0x1E, 0, 0x10, remap},
        {0x1E, 0, 0x5B, remap}, {0x1E, E0, 0x5C, remap},
        {0x1D, 0, 0x41, remap}, {0x38, E0, 0x41, remap},
        {0x2A, 0, 0x41, remap}, {0x36, 0, 0x41, remap},
        {0x5B, E0, 0x41, remap}, {0x5B, E0, 0x5C, remap},
        {0x1D, 0, 0x12, remap},                              // control scan, alt code
        {0x38, 0, 0x10, remap},
    };
    for (const Refused & c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "make " << c.make << " flags " << c.flags << " vkey " << c.vkey);
        const DecodedKey key = decodeRawKeyboard(c.make, c.flags, c.vkey);
        ASSERT_NE(key.failure, nullptr);
        EXPECT_STREQ(key.failure, c.failure);
        EXPECT_FALSE(key.ignore);
    }
}

TEST(KeyDecoder, IgnoresKnownArtefacts) {
    // Virtual-key 0xFF accompanies keys with no mapping of their own.
    EXPECT_TRUE(decodeRawKeyboard(0x1D, 0, 0xFF).ignore);
    EXPECT_TRUE(decodeRawKeyboard(0x38, E1, 0xFF).ignore);
    // The E0 shift that wraps some extended keys, with any shift code.
    const uint16_t shiftCodes[] = {0x10, 0xA0, 0xA1};
    for (uint16_t vkey : shiftCodes) {
        for (uint16_t make : {0x2A, 0x36}) {
            const DecodedKey key = decodeRawKeyboard(make, E0, vkey);
            EXPECT_TRUE(key.ignore) << std::hex << make << " " << vkey;
            EXPECT_EQ(key.failure, nullptr);
            EXPECT_TRUE(decodeRawKeyboard(make, E0 | rawKeyBreak, vkey).ignore);
        }
    }
}
