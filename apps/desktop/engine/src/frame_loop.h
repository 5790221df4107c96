// Length-prefixed request frames from the host, read one at a time and
// handed to their handler inside a guard that turns escaping exceptions into
// error lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace quillet {

enum class FrameKind : uint8_t {
    Load     = 1,
    Begin    = 2,
    Audio    = 3,
    Finish   = 4,
    Cancel   = 5,
    Unload   = 6,
    Ping     = 7,
    Shutdown = 8,
};

constexpr uint32_t maxFrameLength = 1920001; // kind byte + 480,000 samples

constexpr int exitOk        = 0;
constexpr int exitBadFrame  = 65;
constexpr int exitNoReplies = 70;

using PayloadHandler = void (*)(const uint8_t * payload, size_t length);

// What the loop dispatches to. Kept as a table so the loop can be driven
// over in-memory streams with handlers of the test's choosing.
struct FrameHandlers {
    PayloadHandler load;   // Load: payload is the JSON message
    PayloadHandler begin;  // Begin: JSON
    PayloadHandler audio;  // Audio: request number, then samples
    PayloadHandler finish; // Finish: JSON
    PayloadHandler cancel; // Cancel: JSON
    void (*reset)();       // Unload, and recovery after a handler threw
};

// Serves frames from `in` until end of input, a Shutdown frame or a bad
// length. Returns the process exit code.
int runFrameLoop(FILE * in, const FrameHandlers & handlers, bool trace);

} // namespace quillet
