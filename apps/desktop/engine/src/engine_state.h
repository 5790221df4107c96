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

// The loaded model and the settings its Load frame gave for every decode.
struct EngineState {
    whisper_context * context            = nullptr; // the loaded model; null before a load and after Unload
    int32_t           threads            = 1;       // decode threads, 1 to 8
    int64_t           shortWindowSamples = 0;       // requests shorter than this decode with shortAudioCtx
    int32_t           shortAudioCtx      = 0;       // audio context for short requests; 0 is the model's own
};

// The request between Begin and Finish or Cancel; valid while requestActive.
struct ActiveRequest {
    uint64_t     requestId = 0; // the host's number, echoed in the result or error
    std::string  language;      // language code the decode is held to, e.g. "en"
    std::string  prompt;        // UTF-8 text the decode starts from; may be empty
    SampleBuffer samples;       // the audio so far, 16 kHz mono float
};

extern EngineState   engineState;
extern ActiveRequest activeRequest;
extern bool          requestActive; // a Begin is open: activeRequest holds it

// Ends the request being collected, releasing its storage.
void clearRequest();

// Frees the model and drops any request.
void resetEngine();

// Monotonic clock in nanoseconds.
int64_t monotonicNs();

} // namespace quillet
