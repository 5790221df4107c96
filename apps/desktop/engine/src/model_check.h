// A complete structural check of a model file before the speech library
// reads it. The library trusts the file: its header numbers size buffers,
// graphs and token indexes, and its tensor headers size reads, so a hostile
// file corrupts memory or aborts the process inside the library. The walk
// reads the whole file (seeking over weight data) and accepts it only when
// every value the library uses lies where the library's code is safe with
// it; it does not judge whether the weights are any good.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quillet {

// The header's eleven numbers, in file order after the magic.
struct ModelHeader {
    int32_t nVocab;
    int32_t nAudioCtx;
    int32_t nAudioState;
    int32_t nAudioHead;
    int32_t nAudioLayer;
    int32_t nTextCtx;
    int32_t nTextState;
    int32_t nTextHead;
    int32_t nTextLayer;
    int32_t nMels;
    int32_t ftype;
};

// The walk's limits that other code and tests name.
constexpr int32_t modelMaxAudioLayers  = 64;
constexpr int32_t modelMaxTextLayers   = 48;
constexpr int32_t modelFilterWidth     = 201;              // 1 + WHISPER_N_FFT / 2 bins
constexpr int32_t modelMinEnglishVocab = 50364;            // token_beg + 1 of an English-only model
constexpr int32_t modelMaxVocab        = 51866;            // 51,766 + the library's 100 languages
constexpr int64_t modelMemoryBudget    = int64_t(2) << 30; // see modelMemoryEstimate
constexpr size_t  modelWalkBufferBytes = 1 << 16;          // the walk's one heap allocation

// Why the header is refused; null when the library is safe with it.
const char * modelHeaderFault(const ModelHeader & h);

// The ggml type of the big matrices for a header's ftype; -1 when the
// library would abort on the ftype.
int32_t modelWeightType(int32_t ftype);

// Bytes the library allocates from the header alone when the file holds no
// weights (weights included) or when it does (weights excluded): caches,
// logits, mel buffers. Only meaningful for a header modelHeaderFault accepts.
int64_t modelMemoryEstimate(const ModelHeader & h, bool weightless);

// Number of tensors the library expects for a header.
int32_t modelTensorCount(const ModelHeader & h);

// Shape and type the library expects for a tensor name; false when the
// library has no such tensor for this header. `index` is the tensor's slot
// in 0 .. modelTensorCount(h) - 1.
struct ExpectedTensor {
    int64_t ne[4]; // dimensions, innermost first; unused ones are 1
    int32_t type;  // ggml type
    int32_t index; // slot in creation order
};
bool modelExpectedTensor(const ModelHeader & h, const char * name, size_t length, ExpectedTensor & out);

// The name of the tensor in slot `index` (see modelExpectedTensor); empty
// when the slot does not exist.
std::string modelTensorName(const ModelHeader & h, int32_t index);

// Walks the whole file from its start and leaves it at its start. Returns
// null when the file is safe to hand to the library, else why not. Throws
// std::bad_alloc when its read buffer cannot be allocated.
const char * modelFileFault(FILE * file);

} // namespace quillet
