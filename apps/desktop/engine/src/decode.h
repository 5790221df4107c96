// The Finish frame: take the request over, decode it greedily and answer
// with one result line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "whisper.h"

namespace quillet {

constexpr size_t minDecodeSamples = 16800; // 1,050 ms at 16 kHz

void handleFinish(const uint8_t * payload, size_t length);

// Drops leading and trailing " \t\r\n" bytes.
void trimBlanks(std::string & text);

// The audio context for a request of n unpadded samples.
int32_t chooseAudioCtx(int64_t n, int64_t shortWindowSamples, int32_t shortAudioCtx);

// The record every decode runs with: greedy, nothing carried over from the
// previous request, the prompt as tokens. `tokens` holds the prompt's tokens
// and must outlive the decode. The model fuzzer decodes with it too.
whisper_full_params engineDecodeParams(whisper_context * ctx, int threads, int32_t audioCtx, const char * language,
                                       const std::string & prompt, std::vector<whisper_token> & tokens);

} // namespace quillet
