#include "engine_main.h"
#include "accelerator_pack.h"
#include "backends.h"
#include "decode.h"
#include "engine_state.h"
#include "frame_loop.h"
#include "model_load.h"
#include "reply.h"
#include "request.h"
#include "runtime.h"

#include "ggml.h"
#include "whisper.h"

#include <cstdlib>
#include <cstring>

namespace quillet {

namespace {

// Library messages pass through unchanged, whatever their level.
void logHook(enum ggml_log_level, const char * text, void *) {
    if (text != nullptr) {
        fputs(text, stderr);
    }
    fflush(stderr);
}

} // namespace

std::string parseAcceleratorsOption(const std::vector<std::string> & args) {
    std::string dir;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--accelerators" && i + 1 < args.size()) {
            dir = args[i + 1];
            i++;
        }
    }
    return dir;
}

int engineMain(int argc, char ** argv) {
    // A process started without standard input or error would hand those
    // numbers to the first open or dup: the reply stream's copy below could
    // become descriptor 2 and carry the library's log lines. (Without
    // standard output there is no reply stream, and the dup fails.)
    rtEnsureStandardDescriptor(0);
    rtEnsureStandardDescriptor(2);
    rtIgnoreBrokenPipe();
    rtSetBinary(0);
    // Log lines end in a bare line feed on every platform, as the host
    // expects them.
    rtSetBinary(2);

    // Replies go to a private copy of the original standard output; the
    // descriptor 1 itself then points at standard error, so stray prints of
    // the libraries can never corrupt the reply channel.
    int replyFd = rtDup(1);
    if (replyFd >= 0) {
        rtDup2(2, 1);
        rtSetBinary(replyFd);
    }
    protocolOut = rtOpenWriteStream(replyFd);
    if (protocolOut == nullptr) {
        return exitNoReplies;
    }

    whisper_log_set(logHook, nullptr);
    ggml_log_set(logHook, nullptr);

    std::string accelerators = parseAcceleratorsOption(rtArguments(argc, argv));

    loadLocalBackends();
    if (!accelerators.empty()) {
        runAcceleratorPack(accelerators);
    }
    sendHello(helloBackends(listGpuDevices()));

    const char * trace   = getenv("QUILLET_WHISPER_TRACE");
    bool         traceOn = trace != nullptr && strcmp(trace, "1") == 0;

    FrameHandlers handlers{handleLoad, handleBegin, handleAudio, handleFinish, handleCancel, resetEngine};
    return runFrameLoop(stdin, handlers, traceOn);
}

} // namespace quillet
