#include "model_load.h"
#include "model_check.h"
#include "backends.h"
#include "engine_state.h"
#include "json_reader.h"
#include "reply.h"
#include "runtime.h"

#include "whisper.h"

#include <cstring>
#include <new>

namespace quillet {

size_t loaderRead(void * slot, void * dst, size_t n) {
    FILE * f = ((ModelFileSlot *) slot)->file;
    return f == nullptr ? 0 : fread(dst, 1, n, f);
}

bool loaderEof(void * slot) {
    FILE * f = ((ModelFileSlot *) slot)->file;
    if (f == nullptr || feof(f)) {
        return true;
    }
    int c = fgetc(f);
    if (c == EOF) {
        return true;
    }
    ungetc(c, f);
    return false;
}

void loaderClose(void * slot) {
    ModelFileSlot * s = (ModelFileSlot *) slot;
    if (s->file != nullptr) {
        fclose(s->file);
        s->file = nullptr;
    }
}

namespace {

struct LoadRequest {
    std::string modelPath;
    std::string device;
    int32_t     threads;
    int64_t     shortWindowSamples;
    int32_t     shortAudioCtx;
};

bool isDeviceWord(const std::string & d) {
    return d == "auto" || d == "metal" || d == "vulkan" || d == "cuda" || d == "cpu";
}

// Checks the load message in the order the host relies on: a wrong
// version is reported before any other member problem.
bool validateLoad(const uint8_t * payload, size_t length, LoadRequest & req, ErrorCode & error) {
    JsonObject obj;
    if (!parseJsonObject(payload, length, obj)) {
        error = ErrorCode::BadFrame;
        return false;
    }
    const JsonValue * version = findMember(obj, "version");
    if (version == nullptr || version->kind != JsonKind::Number || version->number != (double) protocolVersion) {
        error = ErrorCode::VersionMismatch;
        return false;
    }
    error = ErrorCode::BadFrame;
    if (obj.size() != 6) {
        return false;
    }
    const JsonValue * path = findMember(obj, "modelPath");
    if (path == nullptr || path->kind != JsonKind::String || path->text.empty() || path->utf16Length > 4096) {
        return false;
    }
    const JsonValue * device = findMember(obj, "device");
    if (device == nullptr || device->kind != JsonKind::String || !isDeviceWord(device->text)) {
        return false;
    }
    uint64_t threads = 0;
    uint64_t window  = 0;
    uint64_t ctx     = 0;
    if (!getUnsignedInteger(obj, "threads", threads) || threads < 1 || threads > 8) {
        return false;
    }
    if (!getUnsignedInteger(obj, "shortWindowSamples", window)) {
        return false;
    }
    if (!getUnsignedInteger(obj, "shortAudioCtx", ctx) || ctx > 1500) {
        return false;
    }
    req.modelPath          = path->text;
    req.device             = device->text;
    req.threads            = (int32_t) threads;
    req.shortWindowSamples = (int64_t) window;
    req.shortAudioCtx      = (int32_t) ctx;
    return true;
}

const GpuDevice * firstOfFamily(const std::vector<GpuDevice> & list, const char * family) {
    for (const GpuDevice & d : list) {
        if (strcmp(d.name, family) == 0) {
            return &d;
        }
    }
    return nullptr;
}

} // namespace

void handleLoad(const uint8_t * payload, size_t length) {
    LoadRequest req;
    ErrorCode   error;
    if (!validateLoad(payload, length, req, error)) {
        sendError(error);
        return;
    }

    resetEngine();
    int64_t start = monotonicNs();

    ModelFileSlot slot;
    slot.file = rtOpenForRead(req.modelPath);
    if (slot.file == nullptr) {
        sendError(ErrorCode::ModelMissing);
        return;
    }
    // Closes the file on every way out, exceptions included (the loader's
    // close has already run on the ordinary ones).
    struct SlotGuard {
        ModelFileSlot & slot;
        ~SlotGuard() { loaderClose(&slot); }
    } guard{slot};

    std::vector<GpuDevice> devices = listGpuDevices();

    const GpuDevice * chosen   = nullptr;
    bool              fallback = false;
    if (req.device == "auto") {
        static const char * const preference[] = {"cuda", "metal", "vulkan"};
        for (const char * family : preference) {
            const GpuDevice * d = firstOfFamily(devices, family);
            if (d != nullptr && probeDevice(*d)) {
                chosen = d;
                break;
            }
        }
        if (chosen == nullptr) {
            fallback = devices.empty() ? gpuFailureSimulated() : true;
        }
    } else if (req.device != "cpu") {
        const GpuDevice * d = firstOfFamily(devices, req.device.c_str());
        if (d == nullptr || !probeDevice(*d)) {
            loaderClose(&slot);
            sendError(ErrorCode::GpuUnavailable);
            return;
        }
        chosen = d;
    }

    // The speech library aborts the process instead of failing when no CPU
    // backend is registered; refuse the load while we still can.
    if (!cpuDeviceAvailable()) {
        loaderClose(&slot);
        sendError(ErrorCode::Internal);
        return;
    }

    if (const char * fault = modelFileFault(slot.file)) {
        loaderClose(&slot);
        fprintf(stderr, "quillet-whisper: model file refused: %s\n", fault);
        fflush(stderr);
        sendError(ErrorCode::ModelInvalid);
        return;
    }

    whisper_context_params cparams = whisper_context_default_params();
    cparams.use_gpu    = chosen != nullptr;
    cparams.gpu_device = chosen != nullptr ? chosen->gpuOrdinal : 0;
    cparams.flash_attn = true;

    whisper_model_loader loader;
    loader.context = &slot;
    loader.read    = loaderRead;
    loader.eof     = loaderEof;
    loader.close   = loaderClose;

    whisper_context * ctx = nullptr;
    try {
        ctx = whisper_init_with_params(&loader, cparams);
    } catch (const std::bad_alloc &) {
        loaderClose(&slot);
        sendError(ErrorCode::OutOfMemory);
        return;
    } catch (...) {
        loaderClose(&slot);
        sendError(ErrorCode::ModelInvalid);
        return;
    }
    loaderClose(&slot);
    if (ctx == nullptr) {
        sendError(ErrorCode::ModelInvalid);
        return;
    }

    engineState.context            = ctx;
    engineState.threads            = req.threads;
    engineState.shortWindowSamples = req.shortWindowSamples;
    engineState.shortAudioCtx      = req.shortAudioCtx;

    int64_t     loadMs     = (monotonicNs() - start) / 1000000;
    const char * deviceName = chosen != nullptr ? chosen->name : "cpu";
    fprintf(stderr, "quillet-whisper: loaded device=%s fallback=%d in %lld ms; %s\n", deviceName,
            fallback ? 1 : 0, (long long) loadMs, whisper_print_system_info());
    fflush(stderr);

    std::string m = "{\"type\":\"ready\",\"version\":2,\"device\":\"";
    m += deviceName;
    m += "\",\"loadMs\":";
    appendInt(m, loadMs);
    m += ",\"fallback\":";
    m += fallback ? "true" : "false";
    m += '}';
    writeLine(m);
}

} // namespace quillet
