// The model walk's bounds as pure logic: header rules, the ftype map, the
// tensors the library expects and the memory estimate.
#include "model_check.h"

#include "ggml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

TEST(ModelHeader, ReleasedShapesPassAndEachBoundAtItsEdge) {
    EXPECT_EQ(faultOf(largeV3), "");
    // Changes to the tiny model's header; an empty fault: accepted (the edges
    // real models reach load in model_files.test).
    using F             = int32_t ModelHeader::*;
    const F           V = &ModelHeader::nVocab, AC = &ModelHeader::nAudioCtx, AS = &ModelHeader::nAudioState,
            AH = &ModelHeader::nAudioHead, AL = &ModelHeader::nAudioLayer, TC = &ModelHeader::nTextCtx,
            TS = &ModelHeader::nTextState, TH = &ModelHeader::nTextHead, TL = &ModelHeader::nTextLayer,
            M = &ModelHeader::nMels, FT = &ModelHeader::ftype;
    struct Row {
        std::vector<std::pair<F, int32_t>> set;
        const char *                       fault; // a substring of the fault
    };
    const Row table[] = {
        {{}, ""},
        {{{V, 51867}}, "n_vocab above"},
        {{{V, 50363}}, "n_vocab below"},
        {{{V, INT32_MIN}}, "n_vocab below"},
        {{{TS, 192}}, "differs"},
        {{{AS, 0}, {TS, 0}}, "n_audio_state outside"},
        {{{AS, -384}, {TS, -384}}, "n_audio_state outside"},
        {{{AS, 8193}, {TS, 8193}, {AH, 1}, {TH, 1}}, "n_audio_state outside"},
        {{{AH, 0}}, "n_audio_head"},
        {{{AH, 5}}, "n_audio_head"},
        {{{TH, 385}}, "n_text_head"},
        {{{AL, 65}}, "n_audio_layer"},
        {{{AL, 0}}, "n_audio_layer"},
        {{{TL, 49}}, "n_text_layer"},
        {{{TL, 0}}, "n_text_layer"},
        {{{AC, 1}}, ""},
        {{{AC, 0}}, "n_audio_ctx"},
        {{{AC, 8193}}, "n_audio_ctx"},
        {{{TC, 6}}, "n_text_ctx"},
        {{{TC, 32768}}, ""},
        {{{TC, 32769}}, "n_text_ctx"},
        {{{M, 0}}, "n_mels"},
        {{{M, 16385}}, "n_mels"},
        // ftype: 0 is all F32, 1000 the same at quantization version 1, 24 BF16.
        {{{FT, 0}}, "ftype 0"},
        {{{FT, 1000}}, "ftype 0"},
        {{{FT, 24}}, ""},
        {{{FT, 4}}, "ftype"},
        // Quantized rows: Q4_K blocks of 256 do not fit 384, Q8_0 ones of 32 not 48.
        {{{FT, 12}}, "blocks"},
        {{{FT, 12}, {AS, 512}, {TS, 512}, {AH, 8}, {TH, 8}}, ""},
        {{{FT, 7}, {AS, 48}, {TS, 48}}, "blocks"},
    };
    for (const Row & row : table) {
        ModelHeader h    = tiny;
        std::string what = "tiny";
        for (const auto & [field, value] : row.set) {
            h.*field = value;
            what += ", field " + std::to_string(&(h.*field) - &h.nVocab) + " = " + std::to_string(value);
        }
        std::string fault = faultOf(h);
        if (row.fault[0] == 0) {
            EXPECT_EQ(fault, "") << what;
        } else {
            EXPECT_NE(fault.find(row.fault), std::string::npos) << what << ": " << fault;
        }
    }
}

TEST(ModelHeader, FtypeMapsLikeTheLibrary) {
    // Every ftype the walk maps gives the type ggml_ftype_to_ggml_type gives
    // (that function aborts on the rest, so only mapped values are asked).
    for (int32_t f = -2; f < 3100; f++) {
        int32_t t = quillet::modelWeightType(f);
        if (t >= 0) {
            EXPECT_EQ(t, (int32_t) ggml_ftype_to_ggml_type((enum ggml_ftype)(f % 1000))) << f;
        } else {
            int32_t r = f < 0 ? f : f % 1000;
            EXPECT_TRUE(r < 0 || r == 4 || (r >= 5 && r <= 6) || r >= 28) << f;
        }
    }
}

// The shapes themselves: every generated weighted model the process tests load
// is built from make-test-model.mjs's own table, and is refused if they differ.
TEST(ModelTensors, NamesAndSlots) {
    // A sign, a decoder-only or biasless tensor in the encoder, a trailing
    // blank (model_files.test has a layer beyond the header and a leading zero).
    const char * unknown[] = {"encoder.blocks.-1.mlp_ln.weight", "encoder.blocks.0.cross_attn.out.bias",
                              "encoder.blocks.0.attn.key.bias", "decoder.positional_embedding ", ""};
    for (const char * name : unknown) {
        ExpectedTensor t{};
        EXPECT_FALSE(quillet::modelExpectedTensor(tiny, name, strlen(name), t)) << name;
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
    // large-v3's caches and buffers fit (it carries its weights); the weightless
    // tiny test models fit with their 75 MB of weights; a weightless large-v3
    // (1.55 G parameters in F16) does not (model_files.test: an 8192-wide tiny).
    EXPECT_LT(quillet::modelMemoryEstimate(largeV3, false), quillet::modelMemoryBudget);
    EXPECT_LT(quillet::modelMemoryEstimate(tiny, true), int64_t(512) << 20);
    EXPECT_GT(quillet::modelMemoryEstimate(largeV3, true), quillet::modelMemoryBudget);
}

} // namespace
