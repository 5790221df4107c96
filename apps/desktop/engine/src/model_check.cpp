// Over 500 lines: the walk and the shapes it checks mirror the library's loader and read best together.
#include "model_check.h"
#include "request.h"
#include "runtime.h"

#include "ggml.h"

#include <bitset>
#include <climits>
#include <cstring>
#include <memory>

namespace quillet {

namespace {

constexpr uint32_t modelMagic = 0x67676d6c; // GGML_FILE_MAGIC

// Upper bounds where the library does arithmetic in 32-bit int. Memory is
// bounded separately (modelMemoryBudget).
// 4 * n_state sizes the MLP matrices and n_audio_ctx * n_state a view of the
// encoder's attention cache, both in int: 8192 each keeps them below 2^31.
constexpr int32_t maxState    = 1 << 13;
constexpr int32_t maxAudioCtx = 1 << 13;
// state->logits reserves n_vocab * n_text_ctx floats counted in int:
// 51866 * 32768 < 2^31.
constexpr int32_t maxTextCtx = 1 << 15;
// The mel buffer holds n_mels * frames floats indexed in int; the longest
// request (maxRequestSamples plus 30 s of padding) is 63,003 frames.
constexpr int32_t maxMels = 1 << 14;
// Longest tensor name the walk reads; the library's names are under 48 bytes.
constexpr int32_t maxName = 1 << 12;

// The library's fixed special tokens (whisper_vocab) and language table.
constexpr int32_t englishTokenBeg = 50363;
static_assert(modelMinEnglishVocab == englishTokenBeg + 1, "an English-only vocabulary ends after token_beg");
constexpr int32_t multilingualVocab = 51865; // from here on the model is multilingual
constexpr int32_t qntVersionFactor  = 1000;  // GGML_QNT_VERSION_FACTOR

// The decoder batch holds n_text_ctx tokens, and the first decode of a
// window puts the whole prompt in it: up to n_text_ctx / 2 context tokens
// and 4 task tokens (sot, language, task, no-timestamps), which fit from 7
// on (6 writes past the batch, measured under valgrind; below 4 the prompt
// splice also takes a negative count). Later steps add one token per
// decoder, at most best_of 5, and run only from n_text_ctx 10 on.
constexpr int32_t minTextCtx = 7;

// The library recreates its self-attention cache for best_of (5, the
// greedy default the engine keeps) + 2 decoders when it falls back to
// sampling at a higher temperature.
constexpr int64_t kvSelfFactor = 7;

int64_t pad256(int64_t v) { return (v + 255) / 256 * 256; }

// What the library does with each weight family.
enum class Kind : uint8_t {
    Vec,     // n_state, F32
    Vec4,    // 4 n_state, F32
    Mat,     // n_state x n_state, weight type
    MatUp,   // n_state x 4 n_state, weight type
    MatDown, // 4 n_state x n_state, weight type
};

struct Suffix {
    const char * name; // after "encoder.blocks.N." or "decoder.blocks.N."
    Kind         kind; // shape and type family
};

// Per-layer tensors in the order the library creates them.
const Suffix layerSuffixes[] = {
    {"mlp_ln.weight", Kind::Vec},
    {"mlp_ln.bias", Kind::Vec},
    {"mlp.0.weight", Kind::MatUp},
    {"mlp.0.bias", Kind::Vec4},
    {"mlp.2.weight", Kind::MatDown},
    {"mlp.2.bias", Kind::Vec},
    {"attn_ln.weight", Kind::Vec},
    {"attn_ln.bias", Kind::Vec},
    {"attn.query.weight", Kind::Mat},
    {"attn.query.bias", Kind::Vec},
    {"attn.key.weight", Kind::Mat},
    {"attn.value.weight", Kind::Mat},
    {"attn.value.bias", Kind::Vec},
    {"attn.out.weight", Kind::Mat},
    {"attn.out.bias", Kind::Vec},
    // The decoder's cross attention.
    {"cross_attn_ln.weight", Kind::Vec},
    {"cross_attn_ln.bias", Kind::Vec},
    {"cross_attn.query.weight", Kind::Mat},
    {"cross_attn.query.bias", Kind::Vec},
    {"cross_attn.key.weight", Kind::Mat},
    {"cross_attn.value.weight", Kind::Mat},
    {"cross_attn.value.bias", Kind::Vec},
    {"cross_attn.out.weight", Kind::Mat},
    {"cross_attn.out.bias", Kind::Vec},
};
// The tensors outside the layers, in the order the library creates them.
const char * const fixedNames[] = {
    "encoder.positional_embedding",
    "encoder.conv1.weight",
    "encoder.conv1.bias",
    "encoder.conv2.weight",
    "encoder.conv2.bias",
    "encoder.ln_post.weight",
    "encoder.ln_post.bias",
    "decoder.positional_embedding",
    "decoder.token_embedding.weight",
    "decoder.ln.weight",
    "decoder.ln.bias",
};
constexpr int32_t encoderLayerTensors = 15;
constexpr int32_t decoderLayerTensors = 24;
constexpr int32_t fixedTensors        = 11;
constexpr int32_t maxTensors =
    fixedTensors + modelMaxAudioLayers * encoderLayerTensors + modelMaxTextLayers * decoderLayerTensors;

bool nameIs(const char * name, size_t length, const char * want) {
    size_t n = strlen(want);
    return length == n && memcmp(name, want, n) == 0;
}

void setShape(ExpectedTensor & t, int64_t ne0, int64_t ne1, int64_t ne2, int32_t type) {
    t.ne[0] = ne0;
    t.ne[1] = ne1;
    t.ne[2] = ne2;
    t.ne[3] = 1;
    t.type  = type;
}

void setKind(ExpectedTensor & t, Kind kind, int64_t s, int32_t wtype) {
    switch (kind) {
        case Kind::Vec: setShape(t, s, 1, 1, GGML_TYPE_F32); break;
        case Kind::Vec4: setShape(t, 4 * s, 1, 1, GGML_TYPE_F32); break;
        case Kind::Mat: setShape(t, s, s, 1, wtype); break;
        case Kind::MatUp: setShape(t, s, 4 * s, 1, wtype); break;
        case Kind::MatDown: setShape(t, 4 * s, s, 1, wtype); break;
    }
}

// "<prefix><layer>.<suffix>" as the library's format("...%d...") writes it:
// decimal, no leading zero.
bool parseLayerName(const char * name, size_t length, const char * prefix, int32_t layers, int32_t suffixes,
                    int32_t & layer, int32_t & suffix) {
    size_t p = strlen(prefix);
    if (length <= p || memcmp(name, prefix, p) != 0) {
        return false;
    }
    size_t  i = p;
    int32_t v = 0;
    while (i < length && name[i] >= '0' && name[i] <= '9' && i - p < 4) {
        v = v * 10 + (name[i] - '0');
        i++;
    }
    if (i == p || i >= length || name[i] != '.' || (name[p] == '0' && i - p > 1) || v >= layers) {
        return false;
    }
    i++;
    for (int32_t k = 0; k < suffixes; k++) {
        if (nameIs(name + i, length - i, layerSuffixes[k].name)) {
            layer  = v;
            suffix = k;
            return true;
        }
    }
    return false;
}

int64_t tensorBytes(const ExpectedTensor & t) {
    int64_t rows = t.ne[1] * t.ne[2] * t.ne[3];
    return t.ne[0] / ggml_blck_size((enum ggml_type) t.type) * (int64_t) ggml_type_size((enum ggml_type) t.type) * rows;
}

int64_t elementsOf(const ExpectedTensor & t) { return t.ne[0] * t.ne[1] * t.ne[2] * t.ne[3]; }

int64_t weightBytes(const ModelHeader & h) {
    int32_t        wtype = modelWeightType(h.ftype);
    int32_t        vtype = wtype == GGML_TYPE_F32 ? GGML_TYPE_F32 : GGML_TYPE_F16;
    int64_t        s     = h.nAudioState;
    int64_t        total = 0;
    ExpectedTensor t{};
    setShape(t, s, h.nAudioCtx, 1, GGML_TYPE_F32);
    total += tensorBytes(t);
    setShape(t, 3, h.nMels, s, vtype);
    total += tensorBytes(t);
    setShape(t, 3, s, s, vtype);
    total += tensorBytes(t);
    setShape(t, s, h.nTextCtx, 1, GGML_TYPE_F32);
    total += tensorBytes(t);
    setShape(t, s, h.nVocab, 1, wtype);
    total += tensorBytes(t);
    total += 6 * s * 4; // conv biases and the two final norms
    int64_t perLayer = 0;
    for (int32_t k = 0; k < encoderLayerTensors; k++) {
        setKind(t, layerSuffixes[k].kind, s, wtype);
        perLayer += tensorBytes(t);
    }
    total += perLayer * h.nAudioLayer;
    perLayer = 0;
    for (int32_t k = 0; k < decoderLayerTensors; k++) {
        setKind(t, layerSuffixes[k].kind, s, wtype);
        perLayer += tensorBytes(t);
    }
    return total + perLayer * h.nTextLayer;
}

// The file with a position of our own, so that small skips need no seek.
struct Walker {
    FILE *    f;      // the model file
    int64_t   size;   // its size in bytes
    int64_t   pos;    // bytes consumed from its start
    uint8_t * buffer; // modelWalkBufferBytes
};

bool readBytes(Walker & w, void * dst, int64_t n) {
    if (n < 0 || n > w.size - w.pos || fread(dst, 1, (size_t) n, w.f) != (size_t) n) {
        return false;
    }
    w.pos += n;
    return true;
}

bool readI32(Walker & w, int32_t & v) {
    uint8_t b[4];
    if (!readBytes(w, b, 4)) {
        return false;
    }
    v = (int32_t) ((uint32_t) b[0] | ((uint32_t) b[1] << 8) | ((uint32_t) b[2] << 16) | ((uint32_t) b[3] << 24));
    return true;
}

// False when the file ends first.
bool skip(Walker & w, int64_t n) {
    if (n < 0 || n > w.size - w.pos) {
        return false;
    }
    if (n <= (int64_t) modelWalkBufferBytes) {
        return readBytes(w, w.buffer, n);
    }
    if (!rtSeekTo(w.f, w.pos + n)) {
        return false;
    }
    w.pos += n;
    return true;
}

const char * walkVocabulary(Walker & w, const ModelHeader & h) {
    int32_t tokens = 0;
    if (!readI32(w, tokens)) {
        return "the file ends before the vocabulary";
    }
    // The library makes id_to_token max(stored, n_vocab) long and asserts
    // that it is exactly n_vocab (whisper_process_logits).
    if (tokens < 1 || tokens > h.nVocab) {
        return "the vocabulary holds more tokens than n_vocab, or none";
    }
    bool space = false;
    for (int32_t i = 0; i < tokens; i++) {
        int32_t field = 0;
        // The library reads a u32 length and then that many bytes, whatever
        // is left: a token must lie inside the file.
        if (!readI32(w, field) || (int64_t) (uint32_t) field > w.size - w.pos) {
            return "the file ends inside the vocabulary";
        }
        int64_t length = (uint32_t) field;
        if (length == 1) {
            readBytes(w, w.buffer, 1);
            space = space || w.buffer[0] == ' ';
        } else {
            skip(w, length);
        }
    }
    // With suppress_blank the library looks " " up with map::at, which
    // throws (and ends the process from a decoder thread) when it is missing.
    if (!space) {
        return "the vocabulary has no \" \" token";
    }
    return nullptr;
}

const char * walkTensors(Walker & w, const ModelHeader & h, int32_t & found) {
    std::bitset<maxTensors> seen;
    found = 0;
    // The library reads three numbers and stops at end of file: up to 12
    // trailing bytes end the tensors.
    while (w.size - w.pos > 12) {
        int32_t dims = 0, nameLength = 0, type = 0;
        readI32(w, dims);
        readI32(w, nameLength);
        readI32(w, type);
        // The library stores the extents in int32_t ne[4].
        if (dims < 1 || dims > 4) {
            return "a tensor with a dimension count outside 1..4";
        }
        // The library reads the name into a vector of that length and takes
        // &tmp[0] of it (undefined when empty).
        if (nameLength < 1 || nameLength > maxName) {
            return "a tensor name length outside 1..4096";
        }
        // The library calls ggml_type_size on the file's type unchecked.
        if (type < 0 || type >= GGML_TYPE_COUNT || ggml_type_size((enum ggml_type) type) == 0 ||
            ggml_blck_size((enum ggml_type) type) <= 0) {
            return "a tensor type ggml does not have";
        }
        int64_t ne[4]    = {1, 1, 1, 1};
        int64_t elements = 1;
        for (int32_t d = 0; d < dims; d++) {
            int32_t e = 0;
            if (!readI32(w, e)) {
                return "the file ends inside a tensor header";
            }
            // The library multiplies the extents in int32_t.
            if (e < 1 || elements * e > INT32_MAX) {
                return "a tensor extent that is not positive or overflows";
            }
            ne[d] = e;
            elements *= e;
        }
        if (!readBytes(w, w.buffer, nameLength)) {
            return "the file ends inside a tensor name";
        }
        ExpectedTensor t{};
        if (!modelExpectedTensor(h, (const char *) w.buffer, (size_t) nameLength, t)) {
            return "a tensor the library does not have for this header";
        }
        if (seen[(size_t) t.index]) {
            return "a tensor stored twice";
        }
        seen[(size_t) t.index] = true;
        found++;
        // The library's own checks, made here so that its order of reads
        // and refusals needs no thought: element count, the first three
        // extents, and the byte size as it computes it.
        if (elements != elementsOf(t) || ne[0] != t.ne[0] || ne[1] != t.ne[1] || ne[2] != t.ne[2]) {
            return "a tensor whose shape is not the header's";
        }
        int64_t bytes = tensorBytes(t);
        if (elements * (int64_t) ggml_type_size((enum ggml_type) type) / ggml_blck_size((enum ggml_type) t.type) !=
            bytes) {
            return "a tensor whose type does not give the header's size";
        }
        // The library reads exactly the tensor's size from the file.
        if (!skip(w, bytes)) {
            return "the file ends inside a tensor's data";
        }
    }
    // The library refuses a partial set itself, but a duplicate standing in
    // for a missing tensor would pass its count.
    if (found != 0 && found != modelTensorCount(h)) {
        return "some tensors are missing";
    }
    return nullptr;
}

const char * walk(Walker & w) {
    int32_t magic = 0;
    if (!readI32(w, magic) || (uint32_t) magic != modelMagic) {
        return "not a whisper.cpp model file (magic)";
    }
    ModelHeader h{};
    int32_t *   fields[11] = {&h.nVocab,     &h.nAudioCtx, &h.nAudioState, &h.nAudioHead, &h.nAudioLayer, &h.nTextCtx,
                              &h.nTextState, &h.nTextHead, &h.nTextLayer,  &h.nMels,      &h.ftype};
    for (int32_t * field : fields) {
        // A short read would leave the library's defaults in place.
        if (!readI32(w, *field)) {
            return "the file ends inside the header";
        }
    }
    if (const char * fault = modelHeaderFault(h)) {
        return fault;
    }
    int32_t rows = 0, width = 0;
    if (!readI32(w, rows) || !readI32(w, width)) {
        return "the file ends before the mel filters";
    }
    // The library computes n_mels bands of the spectrogram from the filter
    // rows and copies them into an n_mels-row encoder input: more rows
    // overflow it.
    if (rows != h.nMels) {
        return "mel filter rows differ from n_mels";
    }
    // Its FFT gives 1 + 400 / 2 bins per frame, and it reads each filter
    // row's bins from its 3,200-float FFT buffer.
    if (width != modelFilterWidth) {
        return "mel filter width is not 201";
    }
    if (!skip(w, (int64_t) rows * width * 4)) {
        return "the file ends inside the mel filters";
    }
    if (const char * fault = walkVocabulary(w, h)) {
        return fault;
    }
    int32_t tensors = 0;
    if (const char * fault = walkTensors(w, h, tensors)) {
        return fault;
    }
    // The library ignores a failed weight allocation and later reads or
    // computes through the missing buffer. A file with weights proves
    // their size with its own bytes; a weightless one proves nothing.
    if (modelMemoryEstimate(h, tensors == 0) > modelMemoryBudget) {
        return "the header asks for more memory than the budget (2 GiB)";
    }
    return nullptr;
}

} // namespace

int32_t modelWeightType(int32_t ftype) {
    if (ftype < 0) {
        return -1; // the remainder below would be negative
    }
    // ggml_ftype_to_ggml_type, which asserts (and ends the process) on any
    // other value after the library takes ftype % GGML_QNT_VERSION_FACTOR.
    switch (ftype % qntVersionFactor) {
        case GGML_FTYPE_ALL_F32: return GGML_TYPE_F32;
        case GGML_FTYPE_MOSTLY_F16: return GGML_TYPE_F16;
        case GGML_FTYPE_MOSTLY_BF16: return GGML_TYPE_BF16;
        case GGML_FTYPE_MOSTLY_Q4_0: return GGML_TYPE_Q4_0;
        case GGML_FTYPE_MOSTLY_Q4_1: return GGML_TYPE_Q4_1;
        case GGML_FTYPE_MOSTLY_Q1_0: return GGML_TYPE_Q1_0;
        case GGML_FTYPE_MOSTLY_Q5_0: return GGML_TYPE_Q5_0;
        case GGML_FTYPE_MOSTLY_Q5_1: return GGML_TYPE_Q5_1;
        case GGML_FTYPE_MOSTLY_Q8_0: return GGML_TYPE_Q8_0;
        case GGML_FTYPE_MOSTLY_MXFP4: return GGML_TYPE_MXFP4;
        case GGML_FTYPE_MOSTLY_NVFP4: return GGML_TYPE_NVFP4;
        case GGML_FTYPE_MOSTLY_Q2_K: return GGML_TYPE_Q2_K;
        case GGML_FTYPE_MOSTLY_Q3_K: return GGML_TYPE_Q3_K;
        case GGML_FTYPE_MOSTLY_Q4_K: return GGML_TYPE_Q4_K;
        case GGML_FTYPE_MOSTLY_Q5_K: return GGML_TYPE_Q5_K;
        case GGML_FTYPE_MOSTLY_Q6_K: return GGML_TYPE_Q6_K;
        case GGML_FTYPE_MOSTLY_IQ2_XXS: return GGML_TYPE_IQ2_XXS;
        case GGML_FTYPE_MOSTLY_IQ2_XS: return GGML_TYPE_IQ2_XS;
        case GGML_FTYPE_MOSTLY_IQ3_XXS: return GGML_TYPE_IQ3_XXS;
        case GGML_FTYPE_MOSTLY_IQ1_S: return GGML_TYPE_IQ1_S;
        case GGML_FTYPE_MOSTLY_IQ1_M: return GGML_TYPE_IQ1_M;
        case GGML_FTYPE_MOSTLY_IQ4_NL: return GGML_TYPE_IQ4_NL;
        case GGML_FTYPE_MOSTLY_IQ4_XS: return GGML_TYPE_IQ4_XS;
        case GGML_FTYPE_MOSTLY_IQ3_S: return GGML_TYPE_IQ3_S;
        case GGML_FTYPE_MOSTLY_IQ2_S: return GGML_TYPE_IQ2_S;
        default: return -1;
    }
}

const char * modelHeaderFault(const ModelHeader & h) {
    if (h.nVocab >= multilingualVocab) {
        // A multilingual model has n_vocab - 51,766 language tokens; the
        // library names each after its 100-entry language table and builds a
        // std::string from the null it returns beyond it.
        if (h.nVocab > modelMaxVocab) {
            return "n_vocab above 51866 (more languages than the library knows)";
        }
    } else if (h.nVocab < modelMinEnglishVocab) {
        // The library indexes logits and token embeddings up to token_beg
        // (50,363 in an English-only model) and scans timestamps from it.
        return "n_vocab below 50364 (the library's special tokens lie beyond it)";
    }
    // Cross attention multiplies text-state weights with the audio-state
    // encoder output; ggml_can_mul_mat asserts when they differ.
    if (h.nAudioState != h.nTextState) {
        return "n_audio_state differs from n_text_state";
    }
    if (h.nAudioState < 1 || h.nAudioState > maxState) {
        return "n_audio_state outside 1..8192";
    }
    // Attention reshapes the state into heads of n_state / n_head; ggml
    // asserts when the element counts disagree.
    if (h.nAudioHead < 1 || h.nAudioState % h.nAudioHead != 0) {
        return "n_audio_head does not divide n_audio_state";
    }
    if (h.nTextHead < 1 || h.nTextState % h.nTextHead != 0) {
        return "n_text_head does not divide n_text_state";
    }
    // Each layer adds its nodes and leaves to the encoder graph, whose
    // scheduler hash set (4099 slots for WHISPER_MAX_NODES 4096) and context
    // pool ggml asserts on when full: 85 layers fit (measured, with and
    // without flash attention), 64 keep a margin. Released models have <= 32.
    if (h.nAudioLayer < 1 || h.nAudioLayer > modelMaxAudioLayers) {
        return "n_audio_layer outside 1..64";
    }
    // The same for the decoder graph, with more per layer (cross
    // attention): 54 fit, 48 keep a margin.
    if (h.nTextLayer < 1 || h.nTextLayer > modelMaxTextLayers) {
        return "n_text_layer outside 1..48";
    }
    if (h.nAudioCtx < 1 || h.nAudioCtx > maxAudioCtx) {
        return "n_audio_ctx outside 1..8192";
    }
    if (h.nTextCtx < minTextCtx || h.nTextCtx > maxTextCtx) {
        return "n_text_ctx outside 7..32768";
    }
    if (h.nMels < 1 || h.nMels > maxMels) {
        return "n_mels outside 1..16384";
    }
    int32_t wtype = modelWeightType(h.ftype);
    if (wtype < 0) {
        return "an ftype the library cannot map to a weight type";
    }
    // All-F32 makes the convolution kernels F32 too, but ggml_conv_1d asks
    // for an F16 im2col, whose CPU kernel asserts an F16 kernel at the first
    // decode.
    if (wtype == GGML_TYPE_F32) {
        return "ftype 0 (all F32): ggml's CPU convolution asserts F16 kernels";
    }
    // Weight rows hold n_state elements in blocks of the weight type: ggml's
    // row size drops a partial block, and a row shorter than one block has
    // size 0, which ggml_mul_mat asserts on (Q1_0 blocks of 128, n_state 64).
    if (h.nAudioState % ggml_blck_size((enum ggml_type) wtype) != 0) {
        return "n_audio_state is not a whole number of the weight type's blocks";
    }
    return nullptr;
}

int64_t modelMemoryEstimate(const ModelHeader & h, bool weightless) {
    const int64_t s = h.nTextState;
    // F16 keys and values of the self-attention, cross-attention and
    // encoder padding caches.
    int64_t kvSelf  = 4 * s * h.nTextLayer * pad256(h.nTextCtx) * kvSelfFactor;
    int64_t kvCross = 4 * s * h.nTextLayer * pad256(h.nAudioCtx);
    int64_t kvPad   = 4 * s * pad256(h.nAudioCtx);
    // state->logits (n_vocab * n_text_ctx floats) and the decoder's
    // worst-case output of the same size.
    int64_t logits = 2 * 4 * (int64_t) h.nVocab * h.nTextCtx;
    // The mel spectrogram of the longest request plus 30 s of padding.
    int64_t mel = 4 * (int64_t) h.nMels * (((int64_t) maxRequestSamples + 16000 * 30) / 160);
    return kvSelf + kvCross + kvPad + logits + mel + (weightless ? weightBytes(h) : 0);
}

int32_t modelTensorCount(const ModelHeader & h) {
    return fixedTensors + h.nAudioLayer * encoderLayerTensors + h.nTextLayer * decoderLayerTensors;
}

bool modelExpectedTensor(const ModelHeader & h, const char * name, size_t length, ExpectedTensor & t) {
    int32_t wtype = modelWeightType(h.ftype);
    int32_t vtype = wtype == GGML_TYPE_F32 ? GGML_TYPE_F32 : GGML_TYPE_F16;
    int64_t s     = h.nAudioState;
    struct Shape {
        int64_t ne0, ne1, ne2; // dimensions, innermost first
        int32_t type;          // ggml type
    };
    const Shape fixed[fixedTensors] = {
        {s, h.nAudioCtx, 1, GGML_TYPE_F32},
        {3, h.nMels, s, vtype},
        {1, s, 1, GGML_TYPE_F32},
        {3, s, s, vtype},
        {1, s, 1, GGML_TYPE_F32},
        {s, 1, 1, GGML_TYPE_F32},
        {s, 1, 1, GGML_TYPE_F32},
        {s, h.nTextCtx, 1, GGML_TYPE_F32},
        {s, h.nVocab, 1, wtype},
        {s, 1, 1, GGML_TYPE_F32},
        {s, 1, 1, GGML_TYPE_F32},
    };
    for (int32_t i = 0; i < fixedTensors; i++) {
        if (nameIs(name, length, fixedNames[i])) {
            setShape(t, fixed[i].ne0, fixed[i].ne1, fixed[i].ne2, fixed[i].type);
            t.index = i;
            return true;
        }
    }
    int32_t layer = 0, suffix = 0;
    if (parseLayerName(name, length, "encoder.blocks.", h.nAudioLayer, encoderLayerTensors, layer, suffix)) {
        setKind(t, layerSuffixes[suffix].kind, s, wtype);
        t.index = fixedTensors + layer * encoderLayerTensors + suffix;
        return true;
    }
    if (parseLayerName(name, length, "decoder.blocks.", h.nTextLayer, decoderLayerTensors, layer, suffix)) {
        setKind(t, layerSuffixes[suffix].kind, s, wtype);
        t.index = fixedTensors + h.nAudioLayer * encoderLayerTensors + layer * decoderLayerTensors + suffix;
        return true;
    }
    return false;
}

std::string modelTensorName(const ModelHeader & h, int32_t index) {
    if (index < 0 || index >= modelTensorCount(h)) {
        return std::string();
    }
    if (index < fixedTensors) {
        return fixedNames[index];
    }
    index -= fixedTensors;
    const char * prefix = "encoder.blocks.";
    int32_t      per    = encoderLayerTensors;
    if (index >= h.nAudioLayer * encoderLayerTensors) {
        index -= h.nAudioLayer * encoderLayerTensors;
        prefix = "decoder.blocks.";
        per    = decoderLayerTensors;
    }
    return prefix + std::to_string(index / per) + "." + layerSuffixes[index % per].name;
}

const char * modelFileFault(FILE * file) {
    // The caller owns the file and closes it on every path, this throw
    // included.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[modelWalkBufferBytes]);
    int64_t                    size  = rtFileSize(file);
    const char *               fault = "the file's size cannot be read";
    if (size >= 0 && rtSeekTo(file, 0)) {
        Walker w{file, size, 0, buffer.get()};
        fault = walk(w);
    }
    clearerr(file);
    if (!rtSeekTo(file, 0) && fault == nullptr) {
        fault = "the file cannot be read again from its start";
    }
    return fault;
}

} // namespace quillet
