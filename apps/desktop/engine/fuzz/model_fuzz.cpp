// Model files against the engine's walk (modelFileFault) and the speech
// library behind it: each file the walk accepts is loaded from memory and
// decodes one second of audio as the engine decodes, so a crash, sanitizer
// report or abort anywhere means the walk let through a file the library
// cannot take. The mutator works on the file's structure, and now and then
// makes a whole consistent small model (reshape + materialize) so that the
// library gets files the walk accepts. Seeds: make-model-seeds.mjs.
// So that libFuzzer's limits flag faults rather than sizes, a file asking for
// more than loadBudget bytes is not loaded and large shapes are not decoded.
#include "decode.h"
#include "model_check.h"

#include "ggml-backend.h"
#include "ggml.h"
#include "whisper.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <random>
#include <string>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t * data, size_t size, size_t maxSize);

namespace {

using quillet::ModelHeader;

constexpr int64_t loadBudget = int64_t(384) << 20;
constexpr size_t  samples    = 16000; // one second, padded as the engine pads
constexpr int32_t ggmlMagic  = 0x67676d6c;

// The file as structure. Parsing is lenient: what does not parse is kept as
// trailing bytes, so serialize(parse(x)) is x for any x of four bytes or more.
struct Tensor {
    int32_t              dims = 0, nameLength = 0, type = 0; // as stored
    std::vector<int32_t> ne;                                 // one extent per stored dimension
    std::string          name;                               // as stored, nameLength bytes
    std::vector<uint8_t> data;                               // as many bytes as the shape and type call for
};

struct Model {
    int32_t                  magic      = 0;      // the file's first four bytes
    int32_t                  header[11] = {};     // a ModelHeader
    int32_t                  rows = 0, width = 0; // the filter block's dimensions
    std::vector<float>       filters;             // rows * width values
    int32_t                  tokenCount = 0;      // as stored, may disagree with tokens
    std::vector<std::string> tokens;              // the vocabulary's words
    std::vector<Tensor>      tensors;             // the records that parse whole
    std::vector<uint8_t>     trailing;            // whatever did not parse
    int                      parsed = 0;          // parts whole: 1 header, 2 filters, 3 vocabulary, 4 tensors
};

struct Cursor {
    const uint8_t * p;                           // the next byte
    size_t          left;                        // bytes from p to the end
    bool            take(void * dst, size_t n) { // dst null: skip
        if (left < n) return false;
        if (dst != nullptr && n != 0) memcpy(dst, p, n); // an empty input has a null pointer
        p += n, left -= n;
        return true;
    }
    bool i32(int32_t & v) { return take(&v, 4); }
};

size_t tensorDataBytes(const Tensor & t) {
    if (t.type < 0 || t.type >= GGML_TYPE_COUNT || ggml_type_size((ggml_type) t.type) == 0) return 0;
    int64_t n = 1;
    for (int32_t e : t.ne) {
        if (e < 1 || n * e > INT32_MAX) return 0;
        n *= e;
    }
    return (size_t) (n / ggml_blck_size((ggml_type) t.type) * (int64_t) ggml_type_size((ggml_type) t.type));
}

Model parse(const uint8_t * data, size_t size) {
    Model  m;
    Cursor c{data, size}, mark = c; // mark: the start of the part being parsed
    auto   rest = [&]() {
        m.trailing.assign(mark.p, mark.p + mark.left);
        return m;
    };
    if (!c.i32(m.magic) || (mark = c, !c.take(m.header, sizeof(m.header)))) return rest();
    m.parsed = 1;
    mark     = c;
    if (!c.i32(m.rows) || !c.i32(m.width) || m.rows < 0 || m.width < 0 ||
        (m.width != 0 && (uint64_t) m.rows > c.left / 4 / (uint64_t) m.width)) {
        return rest();
    }
    m.filters.resize((size_t) m.rows * (size_t) m.width);
    c.take(m.filters.data(), m.filters.size() * 4);
    m.parsed = 2;
    mark     = c;
    if (!c.i32(m.tokenCount) || m.tokenCount < 0) return rest();
    for (int32_t i = 0; i < m.tokenCount; i++) {
        int32_t len = 0;
        if (!c.i32(len) || len < 0 || (size_t) len > c.left) return rest();
        m.tokens.emplace_back((const char *) c.p, (size_t) len);
        c.take(nullptr, (size_t) len);
    }
    m.parsed = 3;
    for (;;) {
        mark = c;
        Tensor t;
        bool   ok =
            c.i32(t.dims) && c.i32(t.nameLength) && c.i32(t.type) && t.dims >= 1 && t.dims <= 4 && t.nameLength >= 1;
        t.ne.resize(ok ? (size_t) t.dims : 0);
        ok = ok && c.take(t.ne.data(), t.ne.size() * 4) && (size_t) t.nameLength <= c.left;
        if (ok) {
            t.name.assign((const char *) c.p, (size_t) t.nameLength);
            c.take(nullptr, (size_t) t.nameLength);
            size_t bytes = tensorDataBytes(t);
            ok           = bytes > 0 && bytes <= c.left;
            if (ok) t.data.resize(bytes), c.take(t.data.data(), bytes);
        }
        if (!ok) break;
        m.tensors.push_back(std::move(t));
    }
    m.parsed = 4;
    return rest();
}

void put(std::vector<uint8_t> & out, const void * p, size_t n) {
    out.insert(out.end(), (const uint8_t *) p, (const uint8_t *) p + n);
}
void put32(std::vector<uint8_t> & out, int32_t v) { put(out, &v, 4); }

std::vector<uint8_t> serialize(const Model & m) {
    std::vector<uint8_t> out;
    put32(out, m.magic);
    if (m.parsed >= 1) put(out, m.header, sizeof(m.header));
    if (m.parsed >= 2) {
        for (int32_t v : {m.rows, m.width}) put32(out, v);
        put(out, m.filters.data(), m.filters.size() * 4);
    }
    if (m.parsed >= 3) {
        put32(out, m.tokenCount);
        for (const std::string & t : m.tokens) {
            put32(out, (int32_t) t.size());
            put(out, t.data(), t.size());
        }
    }
    for (const Tensor & t : m.tensors) {
        for (int32_t v : {t.dims, t.nameLength, t.type}) put32(out, v);
        put(out, t.ne.data(), t.ne.size() * 4);
        put(out, t.name.data(), t.name.size());
        put(out, t.data.data(), t.data.size());
    }
    put(out, m.trailing.data(), m.trailing.size());
    return out;
}

using Rng = std::minstd_rand;

int32_t pick(Rng & r, std::initializer_list<int32_t> values) { return *(values.begin() + r() % values.size()); }

// Edges of the walk's bounds, the library's special token ids, and noise.
int32_t interesting(Rng & r) {
    return r() % 3 == 0 ? (int32_t) r()
                        : pick(r, {-1, 0,    1,    6,     7,     8,     32,    33,    48,        64,
                                   65, 200,  201,  448,   1500,  8192,  8193,  32768, INT32_MAX, 4,
                                   28, 1007, 2007, 50363, 50364, 51864, 51865, 51866, 51867,     INT32_MIN});
}

// A consistent small shape: header, filters and a vocabulary if there was
// none. materialize adds the tensors.
void reshape(Model & m, Rng & r) {
    int32_t heads = pick(r, {1, 2, 4});
    int32_t state = heads * pick(r, {8, 16, 32, 64});
    int32_t ftype = pick(r, {1, 2, 3, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27});
    int64_t blk   = ggml_blck_size((ggml_type) quillet::modelWeightType(ftype));
    if (state % blk != 0) state = (int32_t) blk * pick(r, {1, 2});
    int32_t mels  = pick(r, {1, 2, 8, 80});
    int32_t h[11] = {pick(r, {50364, 51864, 51865, 51866}),
                     pick(r, {1, 8, 32, 64}),
                     state,
                     heads,
                     pick(r, {1, 2}),
                     pick(r, {7, 8, 10, 16, 32}),
                     state,
                     pick(r, {1, heads}),
                     pick(r, {1, 2, 3}),
                     mels,
                     ftype + (r() % 8 == 0 ? 1000 * (int32_t) (r() % 3) : 0)};
    m.magic       = ggmlMagic;
    memcpy(m.header, h, sizeof(h));
    m.rows  = mels;
    m.width = quillet::modelFilterWidth;
    m.filters.assign((size_t) mels * m.width, 0.0f);
    for (float & f : m.filters) f = (float) (r() % 1000) / 4000.0f;
    if (m.parsed < 3 || m.tokens.empty()) {
        m.tokens.clear();
        for (int b = 0; b < 256; b++) m.tokens.emplace_back(1, (char) b);
        m.tokens.insert(m.tokens.end(), {" hello", " world"});
        m.tokenCount = (int32_t) m.tokens.size();
    }
    m.tensors.clear(), m.trailing.clear();
    m.parsed = 4;
}

// Every tensor the header calls for, with data of the expected size.
void materialize(Model & m, Rng & r, size_t maxSize) {
    ModelHeader h;
    memcpy(&h, m.header, sizeof(h));
    if (quillet::modelHeaderFault(h) != nullptr ||
        (int64_t) serialize(m).size() + quillet::modelMemoryEstimate(h, true) - quillet::modelMemoryEstimate(h, false) >
            (int64_t) maxSize) {
        return;
    }
    m.tensors.clear();
    const int fill = (int) (r() % 3); // zeros, small values in any type, or any bytes (NaNs among them)
    for (int32_t i = 0; i < quillet::modelTensorCount(h); i++) {
        Tensor                  t;
        quillet::ExpectedTensor e{};
        t.name = quillet::modelTensorName(h, i);
        quillet::modelExpectedTensor(h, t.name.data(), t.name.size(), e);
        t.dims = e.ne[2] > 1 ? 3 : e.ne[1] > 1 ? 2 : 1;
        for (int32_t d = 0; d < t.dims; d++) t.ne.push_back((int32_t) e.ne[d]);
        t.nameLength = (int32_t) t.name.size();
        t.type       = e.type;
        t.data.assign(tensorDataBytes(t), 0);
        if (fill != 0)
            for (uint8_t & b : t.data) b = (uint8_t) (fill == 1 ? r() % 7 : r());
        m.tensors.push_back(std::move(t));
    }
    m.trailing.clear();
}

void mutateVocabulary(Model & m, Rng & r) {
    switch (r() % 4) {
        case 0: m.tokenCount = r() % 2 ? interesting(r) : (int32_t) m.tokens.size() + (int32_t) (r() % 5) - 2; return;
        case 1: { // drop a token, often the " " one the library looks up
            auto it = r() % 2 ? std::find(m.tokens.begin(), m.tokens.end(), std::string(" "))
                              : m.tokens.begin() + (long) (r() % (m.tokens.size() + 1));
            if (it != m.tokens.end()) m.tokens.erase(it);
            break;
        }
        case 2: // many tokens, past n_vocab
            for (size_t n = 1 + r() % 60000; n > 0 && m.tokens.size() < 70000; n--)
                m.tokens.emplace_back(1 + r() % 6, 'a');
            break;
        default:
            m.tokens.push_back(pick(r, {0, 1, 2}) == 0 ? std::string() : r() % 2 ? "[_TT_1]" : "<|endoftext|>");
            break;
    }
    m.tokenCount = (int32_t) m.tokens.size();
}

void mutateTensors(Model & m, Rng & r, size_t maxSize) {
    if (m.tensors.empty() || r() % 4 == 0) return materialize(m, r, maxSize);
    size_t   n = m.tensors.size();
    Tensor & t = m.tensors[r() % n];
    switch (r() % 6) {
        case 0: m.tensors.erase(m.tensors.begin() + (long) (r() % n)); return;
        case 1: m.tensors.push_back(Tensor(t)); return; // stored twice
        case 2: {
            int32_t * const fields[] = {&t.dims, &t.nameLength, &t.type};
            *fields[r() % 3]         = interesting(r);
            break;
        }
        case 3:
            if (!t.ne.empty()) t.ne[r() % t.ne.size()] = r() % 2 ? interesting(r) : t.ne[0] + 1;
            break;
        case 4: t.name = r() % 2 ? "encoder.blocks.01.mlp_ln.weight" : t.name.substr(0, t.name.size() / 2); break;
        default: t.data.resize(r() % 2 ? t.data.size() / 2 : t.data.size() + 1 + r() % 64); break;
    }
    // Stated sizes agree with the record most of the time.
    if (r() % 4 != 0) {
        t.nameLength = (int32_t) t.name.size();
        if (t.dims >= 1 && t.dims <= 4) t.ne.resize((size_t) t.dims, 1);
    }
}

// A garbage model can make whisper_full seek through the audio a few frames
// at a time: windows after the fourth are not started.
bool fewWindows(whisper_context *, whisper_state *, void * count) { return ++*(int *) count <= 4; }

void decode(whisper_context * ctx, const uint8_t * data, size_t size) {
    // What the file does not choose is drawn from its bytes, so that a crash
    // reproduces.
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; i += 97) hash = (hash ^ data[i]) * 16777619u;
    std::vector<float> pcm(quillet::minDecodeSamples, 0.0f);
    for (size_t i = 0; i < samples; i++) pcm[i] = 0.3f * sinf((float) i * (0.05f + (float) (hash % 7) * 0.03f));
    static const char * const languages[] = {"en", "auto", "de", "yue"};
    const char *              language    = languages[(hash >> 3) % (whisper_is_multilingual(ctx) ? 4 : 2)];
    int32_t                   audioCtx    = (hash >> 7) % 4 == 0 ? std::min(whisper_n_audio_ctx(ctx), 64) : 0;

    std::vector<whisper_token> tokens;
    whisper_full_params        params =
        quillet::engineDecodeParams(ctx, 1, audioCtx, language, (hash >> 5) % 2 ? "hello world" : "", tokens);
    int windows                             = 0;
    params.encoder_begin_callback           = fewWindows;
    params.encoder_begin_callback_user_data = &windows;
    if (whisper_full(ctx, params, pcm.data(), (int) pcm.size()) != 0) return;
    for (int i = 0; i < whisper_full_n_segments(ctx); i++) whisper_full_get_segment_text(ctx, i);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    auto quiet = [](enum ggml_log_level, const char *, void *) {};
    ggml_log_set(quiet, nullptr);
    whisper_log_set(quiet, nullptr);
    ggml_backend_load_all();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, size_t size) {
    FILE * f = size != 0 ? fmemopen((void *) data, size, "rb") : nullptr;
    if (f == nullptr) return 0;
    const char * fault = quillet::modelFileFault(f);
    fclose(f);
    if (fault != nullptr) return 0;
    ModelHeader h;
    memcpy(&h, data + 4, sizeof(h));
    if (quillet::modelMemoryEstimate(h, true) > loadBudget) return 0;

    whisper_context_params cparams = whisper_context_default_params();
    cparams.use_gpu                = false;
    cparams.flash_attn             = true;
    try {
        whisper_context * ctx = whisper_init_from_buffer_with_params((void *) data, size, cparams);
        if (ctx == nullptr) return 0;
        if (h.nTextCtx <= 32 && h.nAudioCtx <= 256 && h.nAudioState <= 256 && h.nAudioLayer + h.nTextLayer <= 16) {
            decode(ctx, data, size);
        }
        whisper_free(ctx);
    } catch (const std::exception & e) {
        // The engine would survive this on its own thread, but not on one of
        // the library's decoder threads: the walk should have refused it.
        fprintf(stderr, "model_fuzz: exception from the library: %s\n", e.what());
        abort();
    }
    return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t * data, size_t size, size_t maxSize, unsigned int seed) {
    Rng   r(seed);
    Model m = parse(data, size);
    if (r() % 16 == 0 || (m.parsed < 1 && r() % 2 == 0)) return LLVMFuzzerMutate(data, size, maxSize);
    for (int i = 1 + (int) (r() % 3); i > 0; i--) {
        switch (r() % 10) {
            case 0:
                reshape(m, r);
                if (r() % 2) materialize(m, r, maxSize);
                break;
            case 1:
            case 2:
            case 3: // a header field: an edge, a step, or another field's value
                if (m.parsed >= 1) {
                    // a step wraps, as the file's 32-bit field would: INT32_MAX + 1 is INT32_MIN
                    int32_t & f    = m.header[r() % 11];
                    int32_t   step = (int32_t) ((uint32_t) f + r() % 9 - 4);
                    f              = r() % 3 == 0 ? interesting(r) : r() % 2 ? step : m.header[r() % 11];
                }
                break;
            case 4:
            case 5:
            case 6:
                if (m.parsed >= 3) mutateVocabulary(m, r);
                break;
            case 7:
            case 8:
                if (m.parsed >= 3) mutateTensors(m, r, maxSize);
                break;
            default: m.trailing.resize(r() % 16, (uint8_t) r()); break;
        }
    }
    std::vector<uint8_t> out = serialize(m);
    if (r() % 8 == 0 && out.size() > 4) out.resize(4 + r() % (out.size() - 4)); // a cut anywhere
    if (out.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    if (!out.empty()) memcpy(data, out.data(), out.size());
    return out.size();
}
