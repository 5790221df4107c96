// Opening a transcription request, collecting its audio, and cancelling it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

constexpr uint32_t maxSamplesPerFrame = 480000;
constexpr uint64_t maxRequestSamples  = 9600000;

void handleBegin(const uint8_t * payload, size_t length);
void handleAudio(const uint8_t * payload, size_t length);
void handleCancel(const uint8_t * payload, size_t length);

// Appends little-endian float32 samples, storing non-finite ones as 0.0.
void appendSamples(float * dst, const uint8_t * bytes, size_t count);

} // namespace quillet
