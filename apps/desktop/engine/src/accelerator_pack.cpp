#include "accelerator_pack.h"
#include "engine_state.h"
#include "json_reader.h"
#include "runtime.h"

#include "ggml-backend.h"

#include <cstdio>
#include <cstring>

namespace quillet {

#ifdef _WIN32
const char packBackendFileName[] = "ggml-cuda.dll";
#else
const char packBackendFileName[] = "libggml-cuda.so";
#endif

std::string readPackEngine(const std::string & directory) {
    FILE * f = rtOpenForRead(directory + "/quillet-pack.json");
    if (f == nullptr) {
        return std::string();
    }
    uint8_t bytes[packManifestMaxBytes + 1];
    size_t  n = fread(bytes, 1, sizeof(bytes), f);
    fclose(f);
    if (n > packManifestMaxBytes) {
        return std::string();
    }
    JsonObject obj;
    if (!parseJsonObject(bytes, n, obj)) {
        return std::string();
    }
    const JsonValue * engine = findMember(obj, "engine");
    if (engine == nullptr || engine->kind != JsonKind::String) {
        return std::string();
    }
    return engine->text;
}

void runAcceleratorPack(const std::string & directory) {
    rtSetLibrarySearchDirectory(directory);
    std::string backendPath = directory + "/" + packBackendFileName;
    std::string engine      = readPackEngine(directory);
    if (engine.size() != strlen(engineBuildId) || memcmp(engine.data(), engineBuildId, engine.size()) != 0) {
        // The manifest text may hold a NUL; print what a C string shows of it.
        fprintf(stderr, "quillet-whisper: accelerator pack refused (engine '%s', helper '%s')\n", engine.c_str(),
                engineBuildId);
        fflush(stderr);
        return;
    }
    FILE * probe = rtOpenForRead(backendPath);
    if (probe == nullptr) {
        return;
    }
    fclose(probe);
    if (ggml_backend_load(backendPath.c_str()) == nullptr) {
        fprintf(stderr, "quillet-whisper: accelerator pack did not load\n");
        fflush(stderr);
    }
}

} // namespace quillet
