#include "engine_state.h"

#include "whisper.h"

#include <chrono>

namespace quillet {

const char engineBuildId[]     = "d1be6fd";
const char engineFullBuildId[] = "d1be6fde11ac6e0407606b4e42fe72d34add8037";
const char engineVersionText[] = "v1.9.5+d1be6fd";

EngineState   engineState;
ActiveRequest activeRequest;
bool          requestActive = false;

void clearRequest() {
    requestActive = false;
    activeRequest.requestId = 0;
    std::string().swap(activeRequest.language);
    std::string().swap(activeRequest.prompt);
    activeRequest.samples.release();
}

void resetEngine() {
    if (engineState.context != nullptr) {
        whisper_free(engineState.context);
        engineState.context = nullptr;
    }
    clearRequest();
}

int64_t monotonicNs() {
    return (int64_t) std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace quillet
