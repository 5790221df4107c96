// Runs the whole frame loop, with the engine's real handlers, over an
// arbitrary input stream. Replies go to /dev/null.
#include "decode.h"
#include "engine_state.h"
#include "frame_loop.h"
#include "model_load.h"
#include "reply.h"
#include "request.h"

#include "ggml-backend.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ggml_log_set([](enum ggml_log_level, const char *, void *) {}, nullptr);
    ggml_backend_load_all();
    quillet::protocolOut = fopen("/dev/null", "wb");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, size_t size) {
    FILE * in = fmemopen((void *) data, size, "rb");
    if (in == nullptr) {
        return 0;
    }
    quillet::FrameHandlers handlers{quillet::handleLoad,   quillet::handleBegin,  quillet::handleAudio,
                                    quillet::handleFinish, quillet::handleCancel, quillet::resetEngine};
    int                    code = quillet::runFrameLoop(in, handlers, false);
    fclose(in);
    // Every exit path resets: nothing may survive into the next input.
    if ((code != 0 && code != 65) || quillet::requestActive || quillet::engineState.context != nullptr) {
        abort();
    }
    return 0;
}
