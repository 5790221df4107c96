// Reply lines on the protocol stream: one JSON object per line, keys in a
// fixed order, no whitespace, a single line feed, flushed at once.
#pragma once

#include "error_codes.h"

#include <cstdint>
#include <cstdio>
#include <string>

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
// An error line that also says why, in a "reason" member after the code: a
// fixed text of the engine's (MODEL_INVALID names the part of the file it
// refused), so that a host can show it without reading the log.
void sendErrorWithReason(ErrorCode code, const char * reason);

// The fixed lines.
void sendPong();
void sendUnloaded();

} // namespace quillet
