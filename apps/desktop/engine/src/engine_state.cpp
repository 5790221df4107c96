#include "engine_state.h"

#include "whisper.h"

#include <chrono>

namespace quillet {

// The identifier comes from build_id.cmake, which the accelerator pack build
// reads too, so an engine and its pack can never disagree by accident.
const char engineBuildId[]     = QUILLET_ENGINE_BUILD_ID_SHORT;
const char engineFullBuildId[] = QUILLET_ENGINE_BUILD_ID;
// The speech-library version the host sees is fixed by the protocol.
const char engineVersionText[] = "v1.9.5+" QUILLET_ENGINE_BUILD_ID_SHORT;

EngineState   engineState;
ActiveRequest activeRequest;
bool          requestActive = false;

void clearRequest() {
    requestActive           = false;
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
