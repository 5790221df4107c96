#include "model_check.h"
#include "runtime.h"

#include "ggml.h"

#include <cstdint>

namespace quillet {

namespace {

constexpr uint32_t modelMagic = 0x67676d6c;

// The file with a position of our own, so skips need no system calls
// unless they are large.
struct Walker {
    FILE *  f;
    int64_t size;
    int64_t pos;
    uint8_t scratch[1 << 16];
};

bool readI32(Walker & w, int32_t & v) {
    uint8_t b[4];
    if (fread(b, 1, 4, w.f) != 4) {
        return false;
    }
    w.pos += 4;
    v = (int32_t) ((uint32_t) b[0] | ((uint32_t) b[1] << 8) | ((uint32_t) b[2] << 16) | ((uint32_t) b[3] << 24));
    return true;
}

// False when the file ends first.
bool skip(Walker & w, int64_t n) {
    if (n < 0 || n > w.size - w.pos) {
        return false;
    }
    if (n <= (int64_t) sizeof(w.scratch)) {
        if (fread(w.scratch, 1, (size_t) n, w.f) != (size_t) n) {
            return false;
        }
    } else if (!rtSeekTo(w.f, w.pos + n)) {
        return false;
    }
    w.pos += n;
    return true;
}

bool inRange(int32_t v, int32_t lo, int32_t hi) {
    return v >= lo && v <= hi;
}

// Largest values any real model uses, with generous room.
constexpr int32_t maxVocab   = 1 << 20;
constexpr int32_t maxContext = 1 << 16;
constexpr int32_t maxState   = 1 << 15;
constexpr int32_t maxHeads   = 1 << 10;
constexpr int32_t maxLayers  = 1 << 10;
constexpr int32_t maxMels    = 1 << 10;
constexpr int32_t maxFft     = 1 << 16;
constexpr int32_t maxToken   = 1 << 16;
constexpr int32_t maxName    = 1 << 12;

bool walk(Walker & w) {
    int32_t magic = 0;
    if (!readI32(w, magic) || (uint32_t) magic != modelMagic) {
        return true; // not this format: the library says so itself
    }
    // n_vocab, n_audio_ctx, n_audio_state, n_audio_head, n_audio_layer,
    // n_text_ctx, n_text_state, n_text_head, n_text_layer, n_mels; ftype is
    // checked by the library.
    const int32_t limits[10] = {maxVocab, maxContext, maxState, maxHeads, maxLayers,
                                maxContext, maxState, maxHeads, maxLayers, maxMels};
    int32_t h[10];
    for (int i = 0; i < 10; i++) {
        if (!readI32(w, h[i])) {
            return true; // cut short: the library's reads come up empty and it refuses
        }
        if (!inRange(h[i], 1, limits[i])) {
            return false;
        }
    }
    // The attention graphs split each state evenly across its heads; the
    // tensor library asserts (and ends the process) otherwise.
    if (h[2] % h[3] != 0 || h[6] % h[7] != 0) {
        return false;
    }
    int32_t ftype = 0;
    int32_t nMel  = 0;
    int32_t nFft  = 0;
    if (!readI32(w, ftype) || !readI32(w, nMel) || !readI32(w, nFft)) {
        return true;
    }
    if (!inRange(nMel, 0, maxMels) || !inRange(nFft, 0, maxFft)) {
        return false;
    }
    if (!skip(w, (int64_t) nMel * nFft * 4)) {
        return true;
    }
    int32_t tokens = 0;
    if (!readI32(w, tokens)) {
        return true;
    }
    if (!inRange(tokens, 0, maxVocab)) {
        return false;
    }
    for (int32_t i = 0; i < tokens; i++) {
        int32_t length = 0;
        if (!readI32(w, length)) {
            return true;
        }
        if (!inRange(length, 0, maxToken)) {
            return false;
        }
        if (!skip(w, length)) {
            return true;
        }
    }
    while (true) {
        int32_t dims = 0, nameLength = 0, type = 0;
        if (!readI32(w, dims) || !readI32(w, nameLength) || !readI32(w, type)) {
            return true; // end of the tensors
        }
        if (!inRange(dims, 1, 4) || !inRange(nameLength, 1, maxName) || !inRange(type, 0, GGML_TYPE_COUNT - 1)) {
            return false;
        }
        size_t typeSize  = ggml_type_size((enum ggml_type) type);
        int64_t blockSize = ggml_blck_size((enum ggml_type) type);
        if (typeSize == 0 || blockSize <= 0) {
            return false; // a type number ggml no longer has
        }
        int64_t elements = 1;
        for (int32_t d = 0; d < dims; d++) {
            int32_t ne = 0;
            if (!readI32(w, ne)) {
                return true;
            }
            // The library multiplies the extents in 32 bits.
            if (ne < 1 || elements * ne > INT32_MAX) {
                return false;
            }
            elements *= ne;
        }
        if (!skip(w, nameLength)) {
            return true;
        }
        if (!skip(w, elements / blockSize * (int64_t) typeSize)) {
            return true;
        }
    }
}

} // namespace

bool modelFileStructureSafe(FILE * file) {
    int64_t size = rtFileSize(file);
    if (size < 0) {
        return rtSeekTo(file, 0);
    }
    Walker * w = new Walker{file, size, 0, {}};
    bool safe = walk(*w);
    delete w;
    clearerr(file);
    return rtSeekTo(file, 0) && safe;
}

} // namespace quillet
