// Checks the engine's test tools against the real libraries: the weightless
// models load and decode in whisper.cpp, and copies of the fake GPU backend
// register, fail and run as their settings say.
//
// The ggml registry is process-wide and only grows, so every test loads
// copies under its own registry names and looks only at those.

#include "ggml-backend.h"
#include "whisper.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void quiet(ggml_log_level, const char *, void *) {}

std::string makeTempDir() {
    std::string tmpl = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/quillet-tools-XXXXXX";
    if (!mkdtemp(tmpl.data())) return "";
    return tmpl;
}

void copyFile(const std::string & from, const std::string & to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
}

std::string readFile(const std::string & path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A copy of the plugin named libggml-<name>.so in its own folder, loaded with
// `settings` in the variable that copy reads.
ggml_backend_reg_t loadCopy(const std::string & dir, const std::string & name, const std::string & envSuffix,
                            const std::string & settings) {
    std::string path = dir + "/libggml-" + name + ".so";
    copyFile(QUILLET_FAKE_GPU_PLUGIN, path);
    setenv(("QUILLET_FAKE_GPU_" + envSuffix).c_str(), settings.c_str(), 1);
    return ggml_backend_load(path.c_str());
}

std::vector<ggml_backend_dev_t> devicesOf(ggml_backend_reg_t reg) {
    std::vector<ggml_backend_dev_t> out;
    for (size_t i = 0; i < ggml_backend_reg_dev_count(reg); i++) out.push_back(ggml_backend_reg_dev_get(reg, i));
    return out;
}

// Ordinal of `dev` among all GPU-kind devices of the registry, as whisper.cpp
// counts for gpu_device.
int gpuOrdinal(ggml_backend_dev_t dev) {
    int n = 0;
    for (size_t i = 0; i < ggml_backend_dev_count(); i++) {
        ggml_backend_dev_t d = ggml_backend_dev_get(i);
        auto t = ggml_backend_dev_type(d);
        if (t != GGML_BACKEND_DEVICE_TYPE_GPU && t != GGML_BACKEND_DEVICE_TYPE_IGPU) continue;
        if (d == dev) return n;
        n++;
    }
    return -1;
}

class TestTools : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        whisper_log_set(quiet, nullptr);
        // One CPU backend module, whichever variant this build made that
        // runs here; the other modules beside it stay unloaded.
        for (const auto & e : std::filesystem::directory_iterator(QUILLET_CPU_BACKEND_DIR)) {
            if (ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU)) break;
            std::string name = e.path().filename().string();
            if (name.rfind("libggml-cpu", 0) == 0 && e.path().extension() == ".so") ggml_backend_load(e.path().c_str());
        }
    }
    void SetUp() override {
        dir = makeTempDir();
        ASSERT_FALSE(dir.empty());
        ASSERT_NE(ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU), nullptr);
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
};

struct Decoded {
    bool loaded = false;
    int multilingual = -1;
    int nVocab = 0;
    int promptTokens = 0;
    int fullResult = -1;
    std::string text;
};

Decoded decode(const std::string & model, bool useGpu, int gpuDevice, const std::vector<float> & pcm) {
    Decoded r;
    whisper_context_params cp = whisper_context_default_params();
    cp.use_gpu = useGpu;
    cp.gpu_device = gpuDevice;
    cp.flash_attn = true;
    whisper_context * ctx = whisper_init_from_file_with_params(model.c_str(), cp);
    if (!ctx) return r;
    r.loaded = true;
    r.multilingual = whisper_is_multilingual(ctx);
    r.nVocab = whisper_n_vocab(ctx);
    whisper_token tokens[64];
    r.promptTokens = whisper_tokenize(ctx, "hello world Quillet", tokens, 64);
    whisper_full_params fp = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    fp.n_threads = 2;
    fp.audio_ctx = 64;
    fp.no_context = true;
    fp.suppress_nst = true;
    fp.print_progress = fp.print_realtime = fp.print_timestamps = false;
    fp.prompt_tokens = tokens;
    fp.prompt_n_tokens = r.promptTokens > 0 ? r.promptTokens : 0;
    r.fullResult = whisper_full(ctx, fp, pcm.data(), (int) pcm.size());
    for (int i = 0; i < whisper_full_n_segments(ctx); i++) r.text += whisper_full_get_segment_text(ctx, i);
    whisper_free(ctx);
    return r;
}

std::vector<float> tone() {
    std::vector<float> pcm(16800);
    for (size_t i = 0; i < pcm.size(); i++) pcm[i] = 0.3f * (float) ((i / 20) % 2 ? 1 : -1);
    return pcm;
}

TEST_F(TestTools, WeightlessModelsLoadAsEitherFamilyAndDecodeToEmptyText) {
    struct Case { const char * file; int multilingual; int nVocab; };
    for (const Case & c : {Case{"test-multilingual.bin", 1, 51865}, Case{"test-english.bin", 0, 51864}}) {
        SCOPED_TRACE(c.file);
        Decoded d = decode(std::string(QUILLET_TEST_MODELS_DIR) + "/" + c.file, false, 0, tone());
        ASSERT_TRUE(d.loaded);
        EXPECT_EQ(d.multilingual, c.multilingual);
        EXPECT_EQ(d.nVocab, c.nVocab);
        EXPECT_GT(d.promptTokens, 0);
        EXPECT_EQ(d.fullResult, 0);
        EXPECT_EQ(d.text, "");
    }
}

TEST_F(TestTools, CopiesReadTheirOwnSettings) {
    ggml_backend_reg_t cuda = loadCopy(dir, "cuda", "CUDA", "reg=cuda0;devs=gpu:fail,igpu:ok,accel:ok");
    ggml_backend_reg_t vulkan = loadCopy(dir, "vulkan", "VULKAN", "reg=Vulkan");
    ggml_backend_reg_t variant = loadCopy(dir, "metal-x2", "METAL_X2", "reg=MTL;devs=");
    ASSERT_NE(cuda, nullptr);
    ASSERT_NE(vulkan, nullptr);
    ASSERT_NE(variant, nullptr);

    EXPECT_STREQ(ggml_backend_reg_name(cuda), "cuda0");
    auto cudaDevs = devicesOf(cuda);
    ASSERT_EQ(cudaDevs.size(), 3u);
    EXPECT_STREQ(ggml_backend_dev_name(cudaDevs[0]), "cuda00");
    EXPECT_EQ(ggml_backend_dev_type(cudaDevs[0]), GGML_BACKEND_DEVICE_TYPE_GPU);
    EXPECT_EQ(ggml_backend_dev_type(cudaDevs[1]), GGML_BACKEND_DEVICE_TYPE_IGPU);
    EXPECT_EQ(ggml_backend_dev_type(cudaDevs[2]), GGML_BACKEND_DEVICE_TYPE_ACCEL);
    EXPECT_EQ(ggml_backend_dev_backend_reg(cudaDevs[1]), cuda);

    EXPECT_STREQ(ggml_backend_reg_name(vulkan), "Vulkan");
    auto vulkanDevs = devicesOf(vulkan);
    ASSERT_EQ(vulkanDevs.size(), 1u);
    EXPECT_EQ(ggml_backend_dev_type(vulkanDevs[0]), GGML_BACKEND_DEVICE_TYPE_GPU);

    EXPECT_STREQ(ggml_backend_reg_name(variant), "MTL");
    EXPECT_EQ(ggml_backend_reg_dev_count(variant), 0u);
}

TEST_F(TestTools, DeviceInitFailsOrSucceedsAsConfiguredAndIsLogged) {
    std::string log = dir + "/probes.log";
    ggml_backend_reg_t reg = loadCopy(dir, "cuda", "CUDA", "reg=ProbeCUDA;devs=gpu:fail,gpu:ok;log=" + log);
    ASSERT_NE(reg, nullptr);
    auto devs = devicesOf(reg);
    ASSERT_EQ(devs.size(), 2u);
    EXPECT_EQ(ggml_backend_dev_init(devs[0], nullptr), nullptr);
    ggml_backend_t ok = ggml_backend_dev_init(devs[1], nullptr);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ggml_backend_get_device(ok), devs[1]);
    EXPECT_STREQ(ggml_backend_name(ok), "ProbeCUDA1");
    ggml_backend_free(ok);
    EXPECT_EQ(readFile(log), "init ProbeCUDA0 fail\ninit ProbeCUDA1 ok\nfree ProbeCUDA1\n");
}

TEST_F(TestTools, BadSettingsOrZeroScoreLoadNothing) {
    EXPECT_EQ(loadCopy(dir, "cuda", "CUDA", "reg=X;devs=gpu:maybe"), nullptr);
    EXPECT_EQ(loadCopy(dir, "vulkan", "VULKAN", "reg=Y;devs=tpu:ok"), nullptr);
    EXPECT_EQ(loadCopy(dir, "metal", "METAL", "reg=Z;colour=red"), nullptr);
    EXPECT_EQ(loadCopy(dir, "blas", "BLAS", "reg=W;score=0"), nullptr);
}

TEST_F(TestTools, WhisperDecodesOnAFakeDevice) {
    std::string log = dir + "/run.log";
    ggml_backend_reg_t reg = loadCopy(dir, "vulkan", "VULKAN", "reg=RunVulkan;devs=gpu:fail,igpu:ok;log=" + log);
    ASSERT_NE(reg, nullptr);
    auto devs = devicesOf(reg);
    int ordinal = gpuOrdinal(devs[1]);
    ASSERT_GE(ordinal, 0);

    Decoded d = decode(std::string(QUILLET_TEST_MODELS_DIR) + "/test-multilingual.bin", true, ordinal, tone());
    ASSERT_TRUE(d.loaded);
    EXPECT_EQ(d.fullResult, 0);
    EXPECT_EQ(d.text, "");
    EXPECT_EQ(readFile(log), "init RunVulkan1 ok\nfree RunVulkan1\n");
}

TEST_F(TestTools, LoadAllFollowsGgmlsNameOrderNotTheFolderListing) {
    // Copies named so that the directory listing and ggml's order disagree:
    // ggml tries blas before cuda before vulkan.
    for (const char * name : {"vulkan", "cuda", "blas"}) copyFile(QUILLET_FAKE_GPU_PLUGIN, dir + "/libggml-" + name + ".so");
    setenv("QUILLET_FAKE_GPU_VULKAN", "reg=OrderC", 1);
    setenv("QUILLET_FAKE_GPU_CUDA", "reg=OrderB", 1);
    setenv("QUILLET_FAKE_GPU_BLAS", "reg=OrderA", 1);
    size_t before = ggml_backend_reg_count();
    ggml_backend_load_all_from_path(dir.c_str());
    std::vector<std::string> added;
    for (size_t i = before; i < ggml_backend_reg_count(); i++) added.push_back(ggml_backend_reg_name(ggml_backend_reg_get(i)));
    EXPECT_EQ(added, (std::vector<std::string>{"OrderA", "OrderB", "OrderC"}));
}

}  // namespace
