// The Windows numbers that the portable cores read and compare: virtual-key
// and scan codes, session events and device changes. The Win32 layers check
// each against the system's headers (keywatch/platform/win32.cpp), so the
// simulated builds, which have none, use the same values.
#pragma once

#include <stdint.h>

namespace quillet {

// Virtual-key codes.
enum : uint16_t {
    vkReturn       = 0x0D,
    vkShift        = 0x10, // either Shift; raw input reports this or a sided code
    vkControl      = 0x11, // either Control
    vkAlt          = 0x12, // either Alt (VK_MENU)
    vkV            = 0x56,
    vkZ            = 0x5A,
    vkLeftWin      = 0x5B,
    vkRightWin     = 0x5C,
    vkLeftShift    = 0xA0,
    vkRightShift   = 0xA1,
    vkLeftControl  = 0xA2,
    vkRightControl = 0xA3,
    vkLeftAlt      = 0xA4,
    vkRightAlt     = 0xA5,
    vkPacket       = 0xE7, // a Unicode character typed by software, not a key
    vkNone         = 0xFF, // the key has no virtual-key code (a fake or unmapped key)
};

// The eight modifiers in the bit order of every modifier mask: left and right
// Control, Alt, Shift, Windows.
constexpr uint8_t modifierVirtualKeys[8] = {
    vkLeftControl, vkRightControl, vkLeftAlt, vkRightAlt, vkLeftShift, vkRightShift, vkLeftWin, vkRightWin,
};

// Does a virtual-key code name a modifier, sided or generic.
constexpr bool isModifierVirtualKey(uint32_t vkey) {
    return vkey == vkShift || vkey == vkControl || vkey == vkAlt || vkey == vkLeftWin || vkey == vkRightWin ||
           (vkey >= vkLeftShift && vkey <= vkRightAlt);
}

// Scan codes (make codes, set 1) on a US keyboard; an E0 prefix is a separate flag.
enum : uint16_t {
    scanControl    = 0x1D, // left Control; right with E0
    scanLeftShift  = 0x2A, // with E0: the fake shift some extended keys carry
    scanRightShift = 0x36, // likewise with E0
    scanAlt        = 0x38, // left Alt; right with E0
    scanLeftWin    = 0x5B, // with E0
    scanRightWin   = 0x5C, // with E0
    scanOverrun    = 0xFF, // the keyboard's buffer overflowed; the key is unknown
};

// The wParam of the session-change message.
enum : uint32_t {
    sessionConsoleConnect    = 1,
    sessionConsoleDisconnect = 2,
    sessionRemoteConnect     = 3,
    sessionRemoteDisconnect  = 4,
    sessionLogon             = 5,
    sessionLogoff            = 6,
    sessionLock              = 7,
    sessionUnlock            = 8,
};

// The wParam of the input-device-change message.
enum : uint32_t {
    deviceArrival = 1,
    deviceRemoval = 2,
};

// Bits of a raw mouse record's button flags that report a button going down
// or up (buttons 1 to 5); the rest report the wheels.
constexpr uint16_t mouseButtonTransitionBits = 0x3FF;

} // namespace quillet
