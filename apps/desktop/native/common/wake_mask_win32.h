// The wake mask of both modules' message waits on Windows.
#pragma once

#include <windows.h>

namespace quillet {

// Keys, mouse moves and buttons, raw input, posted and sent messages, timers,
// paint and hot keys: every class that Windows 7 knows. mingw-w64 headers
// that target Windows 8 or later add touch and pointer input to QS_ALLINPUT
// (0x1CFF), which Windows 7 refuses as an invalid parameter, so a wait built
// with it would fail on every call there. The value is therefore pinned.
constexpr UINT wakeMask = 0x04FF;

static_assert(wakeMask == (QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_RAWINPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT |
                           QS_HOTKEY | QS_SENDMESSAGE),
              "the wake mask is all input and messages up to raw input, and nothing newer");

} // namespace quillet

// A wait written with the header's value would pass on new Windows and fail on
// old; make any further use in the modules a compile error.
#undef QS_ALLINPUT
#pragma GCC poison QS_ALLINPUT
