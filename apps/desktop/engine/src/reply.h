// Reply lines on the protocol stream: one JSON object per line, keys in a
// fixed order, no whitespace, a single line feed, flushed at once.
#pragma once

#include "error_codes.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quillet {

// The stream every reply is written to; set up at start-up on a private
// duplicate of the original standard output.
extern FILE * protocolOut;

// Appends `text` as a quoted JSON string. Invalid UTF-8 becomes U+FFFD one
// byte at a time, so the result is always valid UTF-8 and one line.
void appendJsonString(std::string & message, const std::string & text);
void appendJsonString(std::string & message, const char * text, size_t length);

void appendInt(std::string & message, int64_t value);
void appendUnsigned(std::string & message, uint64_t value);

// Writes message + "\n" to protocolOut and flushes. Failures are ignored:
// a host that stopped reading must not end the engine.
void writeLine(const std::string & message);

void sendError(ErrorCode code);
void sendError(ErrorCode code, uint64_t requestId);

// The fixed lines.
void sendPong();
void sendUnloaded();

// The first line: protocol version, library version and the backends this
// machine offers, in the order given (family words such as "vulkan", "cpu").
void sendHello(const std::vector<const char *> & backends);

// A model is loaded: the device word it runs on, how long the load took, and
// whether "auto" fell back to the CPU.
void sendReady(const char * device, int64_t loadMs, bool fallback);

// A request's recognised text with the decode time and the audio length,
// both in milliseconds.
void sendResult(uint64_t requestId, const std::string & text, int64_t decodeMs, int64_t audioMs);

} // namespace quillet
