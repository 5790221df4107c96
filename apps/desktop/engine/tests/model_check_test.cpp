// The model walk's bounds as pure logic: header rules, the ftype map, the
// tensors the library expects and the memory estimate.
#include "model_check.h"

#include "ggml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using quillet::ExpectedTensor;
using quillet::ModelHeader;

// The upstream tiny model (for-tests-ggml-tiny.bin).
constexpr ModelHeader tiny = {51865, 1500, 384, 6, 4, 448, 384, 6, 4, 80, 1};
// large-v3: the largest released shape.
constexpr ModelHeader largeV3 = {51866, 1500, 1280, 20, 32, 448, 1280, 20, 32, 128, 1};

std::string faultOf(const ModelHeader & h) {
    const char * f = quillet::modelHeaderFault(h);
    return f == nullptr ? std::string() : std::string(f);
}

TEST(ModelHeader, ReleasedShapesPass) {
    EXPECT_EQ(faultOf(tiny), "");
    EXPECT_EQ(faultOf(largeV3), "");
    ModelHeader english = tiny;
    english.nVocab      = 51864;
    EXPECT_EQ(faultOf(english), "");
    ModelHeader toy = {51865, 1500, 128, 2, 2, 448, 128, 2, 3, 80, 7}; // toy-dictation-q8_0
    EXPECT_EQ(faultOf(toy), "");
}

TEST(ModelHeader, EachBoundAtItsEdge) {
    struct Row {
        const char * what;
        void (*change)(ModelHeader &);
        const char * fault; // substring; empty: accepted
    };
    const Row table[] = {
        {"n_vocab 51866", [](ModelHeader & h) { h.nVocab = 51866; }, ""},
        {"n_vocab 51867", [](ModelHeader & h) { h.nVocab = 51867; }, "n_vocab above"},
        {"n_vocab 50364", [](ModelHeader & h) { h.nVocab = 50364; }, ""},
        {"n_vocab 50363", [](ModelHeader & h) { h.nVocab = 50363; }, "n_vocab below"},
        {"n_vocab 1", [](ModelHeader & h) { h.nVocab = 1; }, "n_vocab below"},
        {"n_vocab negative", [](ModelHeader & h) { h.nVocab = INT32_MIN; }, "n_vocab below"},
        {"states differ", [](ModelHeader & h) { h.nTextState = 192; }, "differs"},
        {"state 0", [](ModelHeader & h) { h.nAudioState = h.nTextState = 0; }, "n_audio_state outside"},
        {"state 8192", [](ModelHeader & h) { h.nAudioState = h.nTextState = 8192; h.nAudioHead = h.nTextHead = 8; }, ""},
        {"state 8193", [](ModelHeader & h) { h.nAudioState = h.nTextState = 8193; h.nAudioHead = h.nTextHead = 1; }, "n_audio_state outside"},
        {"audio heads 0", [](ModelHeader & h) { h.nAudioHead = 0; }, "n_audio_head"},
        {"audio heads 5", [](ModelHeader & h) { h.nAudioHead = 5; }, "n_audio_head"},
        {"text heads 384", [](ModelHeader & h) { h.nTextHead = 384; }, ""},
        {"text heads 385", [](ModelHeader & h) { h.nTextHead = 385; }, "n_text_head"},
        {"audio layers 64", [](ModelHeader & h) { h.nAudioLayer = 64; }, ""},
        {"audio layers 65", [](ModelHeader & h) { h.nAudioLayer = 65; }, "n_audio_layer"},
        {"audio layers 0", [](ModelHeader & h) { h.nAudioLayer = 0; }, "n_audio_layer"},
        {"text layers 48", [](ModelHeader & h) { h.nTextLayer = 48; }, ""},
        {"text layers 49", [](ModelHeader & h) { h.nTextLayer = 49; }, "n_text_layer"},
        {"audio ctx 1", [](ModelHeader & h) { h.nAudioCtx = 1; }, ""},
        {"audio ctx 0", [](ModelHeader & h) { h.nAudioCtx = 0; }, "n_audio_ctx"},
        {"audio ctx 8193", [](ModelHeader & h) { h.nAudioCtx = 8193; }, "n_audio_ctx"},
        {"text ctx 7", [](ModelHeader & h) { h.nTextCtx = 7; }, ""},
        {"text ctx 6", [](ModelHeader & h) { h.nTextCtx = 6; }, "n_text_ctx"},
        {"text ctx 32768", [](ModelHeader & h) { h.nTextCtx = 32768; }, ""},
        {"text ctx 32769", [](ModelHeader & h) { h.nTextCtx = 32769; }, "n_text_ctx"},
        {"mels 1", [](ModelHeader & h) { h.nMels = 1; }, ""},
        {"mels 0", [](ModelHeader & h) { h.nMels = 0; }, "n_mels"},
        {"mels 16385", [](ModelHeader & h) { h.nMels = 16385; }, "n_mels"},
        {"ftype -1", [](ModelHeader & h) { h.ftype = -1; }, "ftype"},
        {"ftype 0 (all F32)", [](ModelHeader & h) { h.ftype = 0; }, "ftype 0"},
        {"ftype 1000 (all F32, version 1)", [](ModelHeader & h) { h.ftype = 1000; }, "ftype 0"},
        {"ftype 24 (BF16)", [](ModelHeader & h) { h.ftype = 24; }, ""},
        {"ftype 4", [](ModelHeader & h) { h.ftype = 4; }, "ftype"},
        {"ftype 99", [](ModelHeader & h) { h.ftype = 99; }, "ftype"},
        {"ftype 2007", [](ModelHeader & h) { h.ftype = 2007; }, ""},
        {"Q4_K rows of 384", [](ModelHeader & h) { h.ftype = 12; }, "blocks"},
        {"Q4_K rows of 512", [](ModelHeader & h) { h.ftype = 12; h.nAudioState = h.nTextState = 512; h.nAudioHead = h.nTextHead = 8; }, ""},
        {"Q8_0 rows of 48", [](ModelHeader & h) { h.ftype = 7; h.nAudioState = h.nTextState = 48; }, "blocks"},
    };
    for (const Row & row : table) {
        ModelHeader h = tiny;
        row.change(h);
        std::string fault = faultOf(h);
        if (row.fault[0] == 0) {
            EXPECT_EQ(fault, "") << row.what;
        } else {
            EXPECT_NE(fault.find(row.fault), std::string::npos) << row.what << ": " << fault;
        }
    }
}

TEST(ModelHeader, FtypeMapsLikeTheLibrary) {
    // Every ftype the walk maps gives the type ggml_ftype_to_ggml_type gives
    // (that function aborts on the rest, so only mapped values are asked).
    for (int32_t f = -2; f < 3100; f++) {
        int32_t t = quillet::modelWeightType(f);
        if (t >= 0) {
            EXPECT_EQ(t, (int32_t) ggml_ftype_to_ggml_type((enum ggml_ftype) (f % 1000))) << f;
            EXPECT_GT(ggml_type_size((enum ggml_type) t), 0u) << f;
        } else {
            int32_t r = f < 0 ? f : f % 1000;
            EXPECT_TRUE(r < 0 || r == 4 || (r >= 5 && r <= 6) || r >= 28) << f;
        }
    }
}

TEST(ModelTensors, NamesShapesAndSlots) {
    EXPECT_EQ(quillet::modelTensorCount(tiny), 11 + 4 * 15 + 4 * 24);
    struct Row {
        const char * name;
        bool         known;
        int64_t      ne0, ne1, ne2;
        int32_t      type;
    };
    const Row table[] = {
        {"encoder.positional_embedding", true, 384, 1500, 1, GGML_TYPE_F32},
        {"encoder.conv1.weight", true, 3, 80, 384, GGML_TYPE_F16},
        {"encoder.conv1.bias", true, 1, 384, 1, GGML_TYPE_F32},
        {"decoder.token_embedding.weight", true, 384, 51865, 1, GGML_TYPE_F16},
        {"decoder.positional_embedding", true, 384, 448, 1, GGML_TYPE_F32},
        {"encoder.blocks.3.mlp.0.weight", true, 384, 1536, 1, GGML_TYPE_F16},
        {"encoder.blocks.0.mlp.2.weight", true, 1536, 384, 1, GGML_TYPE_F16},
        {"encoder.blocks.0.mlp.0.bias", true, 1536, 1, 1, GGML_TYPE_F32},
        {"decoder.blocks.3.cross_attn.out.bias", true, 384, 1, 1, GGML_TYPE_F32},
        {"encoder.blocks.4.mlp_ln.weight", false, 0, 0, 0, 0},
        {"encoder.blocks.03.mlp_ln.weight", false, 0, 0, 0, 0},
        {"encoder.blocks.-1.mlp_ln.weight", false, 0, 0, 0, 0},
        {"encoder.blocks.0.cross_attn.out.bias", false, 0, 0, 0, 0},
        {"encoder.blocks.0.attn.key.bias", false, 0, 0, 0, 0},
        {"decoder.positional_embedding ", false, 0, 0, 0, 0},
        {"", false, 0, 0, 0, 0},
    };
    for (const Row & row : table) {
        ExpectedTensor t{};
        bool known = quillet::modelExpectedTensor(tiny, row.name, strlen(row.name), t);
        EXPECT_EQ(known, row.known) << row.name;
        if (known) {
            EXPECT_EQ(t.ne[0], row.ne0) << row.name;
            EXPECT_EQ(t.ne[1], row.ne1) << row.name;
            EXPECT_EQ(t.ne[2], row.ne2) << row.name;
            EXPECT_EQ(t.type, row.type) << row.name;
        }
    }
    // Every slot has exactly one name, and the name leads back to the slot.
    ModelHeader h = tiny;
    h.nAudioLayer = 64;
    h.nTextLayer  = 48;
    for (int32_t i = 0; i < quillet::modelTensorCount(h); i++) {
        std::string    name = quillet::modelTensorName(h, i);
        ExpectedTensor t{};
        ASSERT_TRUE(quillet::modelExpectedTensor(h, name.data(), name.size(), t)) << name;
        EXPECT_EQ(t.index, i) << name;
    }
    EXPECT_EQ(quillet::modelTensorName(h, quillet::modelTensorCount(h)), "");
}

TEST(ModelMemory, ReleasedShapesFitTheBudget) {
    // large-v3 carries its weights; the caches and buffers alone fit.
    EXPECT_LT(quillet::modelMemoryEstimate(largeV3, false), quillet::modelMemoryBudget);
    // The weightless tiny test models fit with their weights (75 MB of them).
    EXPECT_LT(quillet::modelMemoryEstimate(tiny, true), int64_t(512) << 20);
    // A weightless large-v3 does not: 1.55 G parameters in F16.
    EXPECT_GT(quillet::modelMemoryEstimate(largeV3, true), quillet::modelMemoryBudget);
    ModelHeader wide = tiny;
    wide.nAudioState = wide.nTextState = 8192;
    EXPECT_GT(quillet::modelMemoryEstimate(wide, true), quillet::modelMemoryBudget);
}

} // namespace
