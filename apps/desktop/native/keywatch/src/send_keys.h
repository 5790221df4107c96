// The four editing keystrokes that sendKeys types into the focused window,
// and the foreground process id. Both are stateless and run on the caller's
// thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace keywatch {

enum SendResult : uint8_t {
    sendSent,
    sendRefused,
    sendBadCommand,
};

// "sent", "keystroke-refused" or "bad-command".
const char * sendResultText(SendResult result);

// Matches text (length bytes, not terminated) exactly against "paste",
// "undo", "newline" and "paragraph" and types it, one system call per round.
SendResult sendCommand(const char * text, size_t length);

// Owner of the foreground window; 0 when there is none or it cannot be told.
uint32_t foregroundProcessId();

} // namespace keywatch
