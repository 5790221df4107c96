// A model file written between the walk and the library's read of it, through
// the load seam: the walk accepts the file, then the file changes before or
// while the library reads it.
#include "model_load.h"
#include "backends.h"
#include "engine_state.h"
#include "reply.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace quillet;

namespace {

// The committed toy model; cut at 1,000 bytes it ends inside the mel
// filters, and the library then builds an empty model with a made-up
// vocabulary.
const fs::path      toyModel = QUILLET_TEST_TOY_MODEL;
constexpr uintmax_t cutAt    = 1000;

fs::path           model;     // the copy being loaded
fs::file_time_type original;  // its modification time when the walk stamps it
void (*onWalked)() = nullptr; // what happens to it after the walk
void (*onRead)()   = nullptr; // what happens to it as the library closes it

void hook(LoadStep step) {
    if (void (*action)() = step == LoadStep::Walked ? onWalked : onRead) action();
}

void cut() { fs::resize_file(model, cutAt); }
void restore() {
    fs::copy_file(toyModel, model, fs::copy_options::overwrite_existing);
    fs::last_write_time(model, original);
}
// As a write of the same bytes leaves it.
void touch() { fs::last_write_time(model, original + std::chrono::seconds(1)); }
void appendAndKeepTime() {
    std::ofstream(model, std::ios::binary | std::ios::app).write("\0\0\0\0", 4);
    fs::last_write_time(model, original);
}

// The reply line to a load of `model`.
std::string load() {
    std::string payload = "{\"version\":2,\"modelPath\":\"" + model.string() +
                          "\",\"device\":\"cpu\",\"threads\":1,\"shortWindowSamples\":0,\"shortAudioCtx\":0}";
    FILE *out = tmpfile(), *previous = protocolOut;
    protocolOut = out;
    handleLoad((const uint8_t *) payload.data(), payload.size());
    protocolOut = previous;
    std::string line(256, '\0');
    rewind(out);
    line.resize(fread(&line[0], 1, line.size(), out));
    fclose(out);
    return line;
}

TEST(ModelLoad, AFileWrittenAfterTheWalkIsRefusedEvenWhenTheLibraryBuildsAModel) {
    loadLocalBackends();
    model             = fs::path(testing::TempDir()) / "quillet-model-load-toy.bin";
    modelLoadTestHook = hook;
    struct Case {
        const char * what;
        void (*walked)();
        void (*read)();
        bool refused;
    };
    const Case cases[] = {
        {"untouched", nullptr, nullptr, false},
        // Only the short reads tell: size and time are back when it closes.
        {"cut short, restored before the close", cut, restore, true},
        {"the same bytes written again", touch, nullptr, true},
        {"grown, its time put back", appendAndKeepTime, nullptr, true},
    };
    for (const Case & c : cases) {
        fs::copy_file(toyModel, model, fs::copy_options::overwrite_existing);
        original         = fs::last_write_time(model);
        onWalked         = c.walked;
        onRead           = c.read;
        std::string line = load();
        if (c.refused) {
            EXPECT_EQ(line, "{\"type\":\"error\",\"code\":\"MODEL_INVALID\"}\n") << c.what;
            EXPECT_EQ(engineState.context, nullptr) << c.what;
        } else {
            EXPECT_EQ(line.rfind("{\"type\":\"ready\",", 0), 0u) << c.what << ": " << line;
        }
        resetEngine();
    }
    modelLoadTestHook = nullptr;
    fs::remove(model);
}

} // namespace
