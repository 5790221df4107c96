// The engine's two pieces of process-wide state: the loaded model with its
// decode settings, and the one transcription request being collected.
#pragma once

#include <cstdint>
#include <string>

#include "sample_buffer.h"

struct whisper_context;

namespace quillet {

constexpr int protocolVersion = 2;

// "v1.9.5" + "+" + the seven-character build identifier.
extern const char engineBuildId[];     // "d1be6fd"
extern const char engineFullBuildId[]; // all 40 hex digits
extern const char engineVersionText[]; // "v1.9.5+d1be6fd"

struct EngineState {
    whisper_context * context            = nullptr;
    int32_t           threads            = 1;
    int64_t           shortWindowSamples = 0;
    int32_t           shortAudioCtx      = 0;
};

struct ActiveRequest {
    uint64_t     requestId = 0;
    std::string  language;
    std::string  prompt;
    SampleBuffer samples;
};

extern EngineState   engineState;
extern ActiveRequest activeRequest;
extern bool          requestActive;

// Ends the request being collected, releasing its storage.
void clearRequest();

// Frees the model and drops any request.
void resetEngine();

// Monotonic clock in nanoseconds.
int64_t monotonicNs();

} // namespace quillet
