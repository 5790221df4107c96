// Model files against the engine's walk and the speech library behind it.
//
// Every input is a model file. The engine's walk (modelFileFault) judges it;
// every file the walk accepts is loaded from memory through whisper.cpp and
// decodes one second of audio with the engine's decode parameters, so a
// crash, sanitizer report or abort anywhere means the walk let through a
// file the library cannot take.
//
// Inputs are mutated by structure (LLVMFuzzerCustomMutator below): header
// fields, the filter block's dimensions and values, vocabulary records and
// tensor records (shapes, types, names, data, a whole consistent set), with
// plain byte mutations now and then. Seeds come from the test-model
// generator (make-model-seeds.mjs).
//
// Work limits of the fuzzer only, so that libFuzzer's time and memory
// limits flag faults rather than sizes: a file whose header asks for more
// than loadBudget bytes is walked but not loaded, one with large contexts or
// states is loaded but not decoded (decodeCheap), and a decode starts at most
// four windows. The same code paths run for the small shapes the mutator
// favours.
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

using quillet::ExpectedTensor;
using quillet::ModelHeader;

constexpr int64_t loadBudget   = int64_t(384) << 20;
constexpr size_t  samples      = 16000;  // one second
constexpr size_t  paddedTo     = 16800;  // minDecodeSamples: the engine pads short requests

// ----------------------------------------------------------------------------
// The file as structure. Parsing is lenient: whatever does not parse stays
// as trailing bytes.

struct Tensor {
    int32_t              dims = 0, nameLength = 0, type = 0;
    std::vector<int32_t> ne;
    std::string          name;
    std::vector<uint8_t> data;
};

struct Model {
    uint32_t                 magic = 0;
    int32_t                  header[11] = {};
    int32_t                  rows = 0, width = 0;
    std::vector<float>       filters;
    int32_t                  tokenCount = 0; // as stored (may disagree with tokens)
    std::vector<std::string> tokens;
    std::vector<Tensor>      tensors;
    std::vector<uint8_t>     trailing;
    int                      parsed = 0; // 0 nothing, 1 header, 2 filters, 3 vocabulary, 4 tensors
};

struct Cursor {
    const uint8_t * p;
    size_t          left;
    bool i32(int32_t & v) {
        if (left < 4) return false;
        memcpy(&v, p, 4);
        p += 4;
        left -= 4;
        return true;
    }
    bool bytes(void * dst, size_t n) {
        if (left < n) return false;
        if (n == 0) return true; // an empty input or field has null pointers, which memcpy may not take
        memcpy(dst, p, n);
        p += n;
        left -= n;
        return true;
    }
};

size_t tensorDataBytes(const Tensor & t) {
    if (t.type < 0 || t.type >= GGML_TYPE_COUNT || ggml_type_size((ggml_type) t.type) == 0) return 0;
    int64_t n = 1;
    for (int32_t e : t.ne) {
        if (e < 1 || n * e > INT32_MAX) return 0;
        n *= e;
    }
    int64_t blk = ggml_blck_size((ggml_type) t.type);
    return blk > 0 ? (size_t) (n / blk * (int64_t) ggml_type_size((ggml_type) t.type)) : 0;
}

Model parse(const uint8_t * data, size_t size) {
    Model  m;
    Cursor c{data, size};
    Cursor mark = c; // start of the part being parsed: kept whole when it fails
    auto rest = [&]() {
        m.trailing.assign(mark.p, mark.p + mark.left);
        return m;
    };
    int32_t magic = 0;
    if (!c.i32(magic)) return rest();
    m.magic = (uint32_t) magic;
    mark = c;
    for (int32_t & f : m.header) {
        if (!c.i32(f)) return rest();
    }
    m.parsed = 1;
    mark = c;
    if (!c.i32(m.rows) || !c.i32(m.width)) return rest();
    if (m.rows < 0 || m.width < 0 || (m.width != 0 && (uint64_t) m.rows > c.left / 4 / (uint64_t) m.width)) {
        return rest();
    }
    int64_t n = (int64_t) m.rows * m.width;
    m.filters.resize((size_t) n);
    c.bytes(m.filters.data(), (size_t) n * 4);
    m.parsed = 2;
    mark = c;
    int32_t count = 0;
    if (!c.i32(count) || count < 0) return rest();
    std::vector<std::string> tokens;
    for (int32_t i = 0; i < count; i++) {
        int32_t len = 0;
        if (!c.i32(len) || len < 0 || (size_t) len > c.left) return rest();
        tokens.emplace_back((const char *) c.p, (size_t) len);
        c.p += len;
        c.left -= (size_t) len;
    }
    m.tokenCount = count;
    m.tokens     = std::move(tokens);
    m.parsed     = 3;
    while (c.left > 12) {
        Cursor save = c;
        Tensor t;
        c.i32(t.dims);
        c.i32(t.nameLength);
        c.i32(t.type);
        bool ok = t.dims >= 1 && t.dims <= 4 && t.nameLength >= 1;
        for (int32_t d = 0; ok && d < t.dims; d++) {
            int32_t e = 0;
            ok = c.i32(e);
            t.ne.push_back(e);
        }
        if (ok && (size_t) t.nameLength <= c.left) {
            t.name.assign((const char *) c.p, (size_t) t.nameLength);
            c.p += t.nameLength;
            c.left -= (size_t) t.nameLength;
            size_t bytes = tensorDataBytes(t);
            ok = bytes > 0 && bytes <= c.left;
            if (ok) {
                t.data.assign(c.p, c.p + bytes);
                c.p += bytes;
                c.left -= bytes;
            }
        } else {
            ok = false;
        }
        if (!ok) {
            c = save;
            break;
        }
        m.tensors.push_back(std::move(t));
    }
    m.parsed = 4;
    mark     = c;
    return rest();
}

void put32(std::vector<uint8_t> & out, int32_t v) {
    uint8_t b[4];
    memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
}

std::vector<uint8_t> serialize(const Model & m) {
    std::vector<uint8_t> out;
    put32(out, (int32_t) m.magic);
    if (m.parsed >= 1) {
        for (int32_t f : m.header) put32(out, f);
    }
    if (m.parsed >= 2) {
        put32(out, m.rows);
        put32(out, m.width);
        const uint8_t * f = (const uint8_t *) m.filters.data();
        out.insert(out.end(), f, f + m.filters.size() * 4);
    }
    if (m.parsed >= 3) {
        put32(out, m.tokenCount);
        for (const std::string & t : m.tokens) {
            put32(out, (int32_t) t.size());
            out.insert(out.end(), t.begin(), t.end());
        }
    }
    if (m.parsed >= 4) {
        for (const Tensor & t : m.tensors) {
            put32(out, t.dims);
            put32(out, t.nameLength);
            put32(out, t.type);
            for (int32_t e : t.ne) put32(out, e);
            out.insert(out.end(), t.name.begin(), t.name.end());
            out.insert(out.end(), t.data.begin(), t.data.end());
        }
    }
    out.insert(out.end(), m.trailing.begin(), m.trailing.end());
    return out;
}

ModelHeader headerOf(const Model & m) {
    ModelHeader h;
    memcpy(&h, m.header, sizeof(h));
    return h;
}

// ----------------------------------------------------------------------------
// Mutations.

using Rng = std::minstd_rand;

int32_t pick(Rng & r, std::initializer_list<int32_t> values) {
    return *(values.begin() + r() % values.size());
}

int32_t interesting(Rng & r) {
    switch (r() % 4) {
        case 0: return pick(r, {0, 1, 2, 3, 4, 7, 8, 9, 16, 31, 32, 33, 47, 48, 49, 63, 64, 65, 80, 128, 200, 201,
                                 255, 256, 384, 448, 1024, 1500, 4096, 8192, 8193, 32768, 65536});
        case 1: return pick(r, {-1, INT32_MIN, INT32_MAX, 50362, 50363, 50364, 50365, 51863, 51864, 51865, 51866,
                                 51867, 1001, 2007, 4, 5, 6, 10, 13, 14, 15, 21, 24, 25, 26, 27, 28, 99});
        case 2: return (int32_t) (r() % 64);
        default: return (int32_t) r();
    }
}

// A consistent small shape: the header fields, filters and (sometimes) a
// whole set of tensors, so that the library gets files the walk accepts.
void reshape(Model & m, Rng & r, size_t maxSize) {
    int32_t heads = pick(r, {1, 2, 4});
    int32_t state = heads * pick(r, {8, 16, 32, 64}) * (r() % 4 == 0 ? 2 : 1);
    static const int32_t ftypes[] = {0, 1, 2, 3, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
                                     25, 26, 27};
    int32_t ftype = ftypes[r() % (sizeof(ftypes) / sizeof(ftypes[0]))];
    int32_t wtype = quillet::modelWeightType(ftype);
    int64_t blk   = ggml_blck_size((ggml_type) wtype);
    if (state % blk != 0) state = (int32_t) blk * pick(r, {1, 2});
    int32_t mels = pick(r, {1, 2, 8, 80});
    int32_t h[11] = {pick(r, {50364, 51000, 51864, 51865, 51866}),
                     pick(r, {1, 2, 8, 16, 32, 64}),
                     state,
                     heads,
                     pick(r, {1, 1, 2, 4}),
                     pick(r, {7, 8, 10, 12, 16, 24, 32}),
                     state,
                     pick(r, {1, 2, heads}),
                     pick(r, {1, 1, 2, 3}),
                     mels,
                     ftype + (r() % 8 == 0 ? 1000 * (int32_t) (r() % 3) : 0)};
    if (state % h[7] != 0) h[7] = 1;
    m.magic = 0x67676d6c;
    memcpy(m.header, h, sizeof(h));
    m.rows  = mels;
    m.width = quillet::modelFilterWidth;
    m.filters.assign((size_t) mels * m.width, 0.0f);
    for (float & f : m.filters) f = (float) (r() % 1000) / 4000.0f;
    if (m.parsed < 3 || m.tokens.empty()) {
        m.tokens.clear();
        for (int b = 0; b < 256; b++) m.tokens.emplace_back(1, (char) b);
        m.tokens.emplace_back(" hello");
        m.tokens.emplace_back(" world");
        m.tokenCount = (int32_t) m.tokens.size();
    }
    m.tensors.clear();
    m.trailing.clear();
    m.parsed = 4;
    (void) maxSize;
}

void fillData(std::vector<uint8_t> & d, Rng & r, int type) {
    switch (r() % 5) {
        case 0: std::fill(d.begin(), d.end(), 0); break;
        case 1: for (uint8_t & b : d) b = (uint8_t) r(); break;
        case 2: // small floats, or bytes as they come for block types
            if (type == GGML_TYPE_F32) {
                for (size_t i = 0; i + 4 <= d.size(); i += 4) {
                    float f = ((float) (r() % 2001) - 1000.0f) / 20000.0f;
                    memcpy(&d[i], &f, 4);
                }
            } else {
                for (size_t i = 0; i < d.size(); i++) d[i] = (uint8_t) (r() % 7);
            }
            break;
        case 3: // special values scattered
            for (int k = 0; k < 16 && !d.empty(); k++) {
                static const float specials[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 65504.0f};
                size_t i = (r() % d.size()) & ~(size_t) 3;
                if (i + 4 <= d.size()) memcpy(&d[i], &specials[r() % 6], 4);
            }
            break;
        default: std::fill(d.begin(), d.end(), (uint8_t) r()); break;
    }
}

// Every tensor the header calls for, with data of the expected size.
bool materialize(Model & m, Rng & r, size_t maxSize) {
    ModelHeader h = headerOf(m);
    if (quillet::modelHeaderFault(h) != nullptr) return false;
    if ((int64_t) serialize(m).size() + quillet::modelMemoryEstimate(h, true) - quillet::modelMemoryEstimate(h, false) >
        (int64_t) maxSize) {
        return false;
    }
    m.tensors.clear();
    int32_t count = quillet::modelTensorCount(h);
    for (int32_t i = 0; i < count; i++) {
        Tensor         t;
        ExpectedTensor e{};
        t.name = quillet::modelTensorName(h, i);
        quillet::modelExpectedTensor(h, t.name.data(), t.name.size(), e);
        t.dims = e.ne[2] > 1 ? 3 : e.ne[1] > 1 ? 2 : 1;
        for (int32_t d = 0; d < t.dims; d++) t.ne.push_back((int32_t) e.ne[d]);
        t.nameLength = (int32_t) t.name.size();
        t.type       = e.type;
        t.data.resize(tensorDataBytes(t));
        fillData(t.data, r, t.type);
        m.tensors.push_back(std::move(t));
    }
    m.trailing.clear();
    return serialize(m).size() <= maxSize;
}

void mutateHeader(Model & m, Rng & r) {
    int32_t & f = m.header[r() % 11];
    switch (r() % 3) {
        case 0: f = interesting(r); break;
        case 1: f += (int32_t) (r() % 9) - 4; break;
        default: f = m.header[r() % 11]; break;
    }
}

void mutateFilters(Model & m, Rng & r) {
    switch (r() % 4) {
        case 0: m.rows = r() % 2 ? interesting(r) : m.header[9]; break;
        case 1: m.width = r() % 2 ? interesting(r) : quillet::modelFilterWidth + (int32_t) (r() % 5) - 2; break;
        case 2: { // resize the data to the stated dimensions when small
            int64_t n = (int64_t) m.rows * m.width;
            if (n >= 0 && n <= (1 << 18)) m.filters.assign((size_t) n, 0.01f);
            break;
        }
        default:
            if (!m.filters.empty()) {
                static const float specials[] = {NAN, INFINITY, -1.0f, 1e38f, 0.0f};
                m.filters[r() % m.filters.size()] = specials[r() % 5];
            }
            break;
    }
}

void mutateVocabulary(Model & m, Rng & r) {
    switch (r() % 6) {
        case 0: m.tokenCount = r() % 2 ? interesting(r) : (int32_t) m.tokens.size() + (int32_t) (r() % 5) - 2; break;
        case 1: // drop a token (often the " " one)
            if (!m.tokens.empty()) {
                auto it = r() % 2 ? std::find(m.tokens.begin(), m.tokens.end(), std::string(" "))
                                  : m.tokens.begin() + (long) (r() % m.tokens.size());
                if (it != m.tokens.end()) m.tokens.erase(it);
                m.tokenCount = (int32_t) m.tokens.size();
            }
            break;
        case 2: { // add tokens, sometimes many
            size_t n = r() % 4 == 0 ? 1 + r() % 60000 : 1 + r() % 4;
            for (size_t i = 0; i < n && m.tokens.size() < 70000; i++) {
                std::string t(1 + r() % 6, 'a');
                for (char & ch : t) ch = (char) r();
                m.tokens.push_back(t);
            }
            m.tokenCount = (int32_t) m.tokens.size();
            break;
        }
        case 3: // special-token-like and empty words
            m.tokens.push_back(pick(r, {0, 1, 2}) == 0 ? std::string() : r() % 2 ? "[_TT_1]" : "<|endoftext|>");
            m.tokenCount = (int32_t) m.tokens.size();
            break;
        case 4:
            if (!m.tokens.empty()) {
                std::string & t = m.tokens[r() % m.tokens.size()];
                if (!t.empty()) t[r() % t.size()] = (char) r();
            }
            break;
        default: m.tokens.emplace_back(" "); m.tokenCount = (int32_t) m.tokens.size(); break;
    }
}

void mutateTensors(Model & m, Rng & r, size_t maxSize) {
    if (m.tensors.empty() || r() % 4 == 0) {
        materialize(m, r, maxSize);
        return;
    }
    size_t n = m.tensors.size();
    switch (r() % 9) {
        case 0: m.tensors.erase(m.tensors.begin() + (long) (r() % n)); return;
        case 1: m.tensors.push_back(Tensor(m.tensors[r() % n])); return;
        case 2: std::swap(m.tensors[r() % n], m.tensors[r() % n]); return;
        default: break;
    }
    Tensor & t = m.tensors[r() % n];
    switch (r() % 6) {
        case 0: t.dims = r() % 2 ? interesting(r) : 1 + (int32_t) (r() % 4); break;
        case 1: if (!t.ne.empty()) t.ne[r() % t.ne.size()] = r() % 2 ? interesting(r) : t.ne[0] + 1; break;
        case 2: t.type = r() % 2 ? interesting(r) : (int32_t) (r() % GGML_TYPE_COUNT); break;
        case 3: {
            static const char * const names[] = {"encoder.blocks.01.mlp_ln.weight", "decoder.blocks.99.attn.key.weight",
                                                 "encoder.conv1.weight", "decoder.token_embedding.weight",
                                                 "decoder.blocks.0.cross_attn.out.bias", "encoder.blocks.-1.mlp.0.bias"};
            t.name = r() % 2 ? names[r() % 6] : t.name.substr(0, t.name.size() / 2);
            t.nameLength = r() % 8 == 0 ? interesting(r) : (int32_t) t.name.size();
            break;
        }
        case 4: fillData(t.data, r, t.type); break;
        default: t.data.resize(r() % 2 ? t.data.size() / 2 : t.data.size() + 1 + r() % 64); break;
    }
    // Keep the stated sizes consistent most of the time.
    if (r() % 4 != 0) {
        t.nameLength = (int32_t) t.name.size();
        if (t.dims >= 1 && t.dims <= 4) t.ne.resize((size_t) t.dims, 1);
    }
}

// ----------------------------------------------------------------------------
// Loading and decoding.

bool initialised = false;

void quietLog(enum ggml_log_level, const char *, void *) {}

// Small shapes decode in well under a second each; a garbage model can
// still make whisper_full seek through the second of audio in steps of a
// few frames, so windows beyond the fourth are not started
// (encoder_begin_callback: whisper_full then ends as after the last one).
bool decodeCheap(const ModelHeader & h) {
    return h.nTextCtx <= 32 && h.nAudioCtx <= 256 && h.nAudioState <= 256 && h.nAudioLayer + h.nTextLayer <= 16;
}

bool fewWindows(whisper_context *, whisper_state *, void * count) {
    return ++*(int *) count <= 4;
}

void decode(whisper_context * ctx, const uint8_t * data, size_t size) {
    // Choices the file does not make, drawn from its bytes so that a crash
    // reproduces.
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; i += 97) hash = (hash ^ data[i]) * 16777619u;

    std::vector<float> pcm(paddedTo, 0.0f);
    for (size_t i = 0; i < samples; i++) {
        pcm[i] = 0.3f * sinf((float) i * (0.05f + (float) (hash % 7) * 0.03f)) + (float) ((hash >> (i % 13)) & 1) * 0.01f;
    }
    static const char * const multilingual[] = {"en", "auto", "de", "yue"};
    const char * language = whisper_is_multilingual(ctx) ? multilingual[(hash >> 3) % 4] : (hash >> 3) % 2 ? "en" : "auto";
    const char * prompt   = (hash >> 5) % 2 ? "hello world" : "";

    // As the engine's handleFinish sets them.
    whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    params.n_threads        = 1;
    params.translate        = false;
    params.no_context       = true;
    params.no_timestamps    = false;
    params.single_segment   = false;
    params.print_special    = false;
    params.print_progress   = false;
    params.print_realtime   = false;
    params.print_timestamps = false;
    params.audio_ctx        = (hash >> 7) % 4 == 0 ? std::min(whisper_n_audio_ctx(ctx), 64) : 0;
    params.initial_prompt   = nullptr;
    params.language         = language;
    params.detect_language  = false;
    params.suppress_blank   = true;
    params.suppress_nst     = true;

    int windows = 0;
    params.encoder_begin_callback           = fewWindows;
    params.encoder_begin_callback_user_data = &windows;

    std::vector<whisper_token> tokens(strlen(prompt) + 1, 0);
    int count = 0;
    if (prompt[0] != 0) {
        count = std::max(0, whisper_tokenize(ctx, prompt, tokens.data(), (int) tokens.size()));
    }
    params.carry_initial_prompt = count != 0;
    params.prompt_tokens        = count != 0 ? tokens.data() : nullptr;
    params.prompt_n_tokens      = count;

    if (whisper_full(ctx, params, pcm.data(), (int) pcm.size()) == 0) {
        std::string text;
        for (int i = 0; i < whisper_full_n_segments(ctx); i++) {
            const char * segment = whisper_full_get_segment_text(ctx, i);
            text += segment != nullptr ? segment : "";
        }
    }
}

// QUILLET_MODEL_FUZZ_VERBOSE=1 prints what became of each input (to see
// how much of a corpus reaches the library).
bool verbose = false;

void report(const char * what, const char * detail = "") {
    if (verbose) {
        fprintf(stderr, "model_fuzz: %s %s\n", what, detail);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, size_t size) {
    if (!initialised) {
        ggml_log_set(quietLog, nullptr);
        whisper_log_set(quietLog, nullptr);
        ggml_backend_load_all();
        const char * v = getenv("QUILLET_MODEL_FUZZ_VERBOSE");
        verbose        = v != nullptr && strcmp(v, "1") == 0;
        initialised    = true;
    }
    if (size == 0) {
        return 0;
    }
    FILE * f = fmemopen((void *) data, size, "rb");
    if (f == nullptr) {
        return 0;
    }
    const char * fault = quillet::modelFileFault(f);
    fclose(f);
    if (fault != nullptr) {
        report("refused:", fault);
        return 0;
    }
    ModelHeader h;
    memcpy(&h, data + 4, sizeof(h));
    if (quillet::modelMemoryEstimate(h, true) > loadBudget) {
        report("accepted, over the load budget");
        return 0;
    }

    whisper_context_params cparams = whisper_context_default_params();
    cparams.use_gpu    = false;
    cparams.flash_attn = true;
    try {
        whisper_context * ctx = whisper_init_from_buffer_with_params((void *) data, size, cparams);
        if (ctx == nullptr) {
            report("accepted, refused by the library");
            return 0; // not a crash
        }
        if (decodeCheap(h)) {
            decode(ctx, data, size);
            report("accepted, loaded and decoded");
        } else {
            report("accepted, loaded, over the decode budget");
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
    Rng r(seed);
    // Plain byte mutations now and then, and for what does not parse.
    Model m = parse(data, size);
    if (r() % 16 == 0 || (m.parsed < 1 && r() % 2 == 0)) {
        return LLVMFuzzerMutate(data, size, maxSize);
    }
    int rounds = 1 + (int) (r() % 3);
    for (int i = 0; i < rounds; i++) {
        switch (r() % 12) {
            case 0: reshape(m, r, maxSize); if (r() % 2) materialize(m, r, maxSize); break;
            case 1: case 2: case 3: if (m.parsed >= 1) mutateHeader(m, r); break;
            case 4: case 5: if (m.parsed >= 2) mutateFilters(m, r); break;
            case 6: case 7: if (m.parsed >= 3) mutateVocabulary(m, r); break;
            case 8: case 9: if (m.parsed >= 3) mutateTensors(m, r, maxSize); break;
            case 10: // cut or extend the end
                if (r() % 2 && !m.trailing.empty()) m.trailing.clear();
                else m.trailing.resize(r() % 16, (uint8_t) r());
                break;
            default: m.magic = r() % 8 == 0 ? (uint32_t) r() : 0x67676d6c; break;
        }
    }
    std::vector<uint8_t> out = serialize(m);
    if (r() % 8 == 0 && out.size() > 4) {
        out.resize(4 + r() % (out.size() - 4)); // a cut anywhere
    }
    if (out.size() > maxSize) {
        return LLVMFuzzerMutate(data, size, maxSize);
    }
    if (!out.empty()) memcpy(data, out.data(), out.size());
    return out.size();
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t * data1, size_t size1, const uint8_t * data2, size_t size2,
                                            uint8_t * out, size_t maxOutSize, unsigned int seed) {
    Rng   r(seed);
    Model a = parse(data1, size1);
    Model b = parse(data2, size2);
    if (a.parsed >= 1 && b.parsed >= 1) {
        switch (r() % 4) {
            case 0: memcpy(a.header, b.header, sizeof(a.header)); break;
            case 1: a.header[r() % 11] = b.header[r() % 11]; break;
            case 2: if (b.parsed >= 3) { a.tokens = b.tokens; a.tokenCount = b.tokenCount; } break;
            default: if (b.parsed >= 4) a.tensors = b.tensors; break;
        }
    }
    std::vector<uint8_t> bytes = serialize(a);
    size_t n = std::min(bytes.size(), maxOutSize);
    if (n != 0) memcpy(out, bytes.data(), n);
    return n;
}
