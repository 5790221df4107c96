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

void (*modelLoadTestHook)(LoadStep step) = nullptr;

size_t loaderRead(void * slot, void * dst, size_t n) {
    ModelFileSlot * s   = (ModelFileSlot *) slot;
    size_t          got = s->file == nullptr ? 0 : fread(dst, 1, n, s->file);
    s->bytesRead += (int64_t) got;
    // The library reads past the end once, to find it; short of the end
    // the walk saw, the file was cut after the walk.
    if (got < n && s->bytesRead < s->walkedSize) {
        s->shortReads++;
    }
    return got;
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
        if (modelLoadTestHook != nullptr) {
            modelLoadTestHook(LoadStep::Read);
        }
        s->closeStamp = rtFileStamp(s->file, s->atClose);
        fclose(s->file);
        s->file = nullptr;
    }
}

const char * modelReadFault(const ModelFileSlot & slot, const FileStamp & walked) {
    if (slot.shortReads != 0) {
        return "the file ended early while the library read it";
    }
    if (!slot.closeStamp) {
        return "the file's size and modification time cannot be read after the load";
    }
    if (slot.atClose.size != walked.size || slot.atClose.modified != walked.modified) {
        return "the file was written between the check and the library's read";
    }
    return nullptr;
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

// What a successful load leaves behind.
struct Loaded {
    whisper_context * context  = nullptr; // owned by the caller from here on
    const char *      device   = "cpu";   // the device word the ready line reports
    bool              fallback = false;   // "auto" found no working GPU
};

// "auto" takes the first working family in order of preference; a named
// family must work. Returns false when the named one does not.
bool chooseDevice(const std::string & word, const std::vector<GpuDevice> & devices, const GpuDevice *& chosen,
                  bool & fallback) {
    chosen = nullptr;
    if (word == "auto") {
        static const char * const preference[] = {"cuda", "metal", "vulkan"};
        for (const char * family : preference) {
            const GpuDevice * d = firstOfFamily(devices, family);
            if (d != nullptr && probeDevice(*d)) {
                chosen = d;
                return true;
            }
        }
        fallback = devices.empty() ? gpuFailureSimulated() : true;
        return true;
    }
    if (word != "cpu") {
        const GpuDevice * d = firstOfFamily(devices, word.c_str());
        if (d == nullptr || !probeDevice(*d)) {
            return false;
        }
        chosen = d;
    }
    return true;
}

bool fail(ErrorCode & error, ErrorCode code) {
    error = code;
    return false;
}

// Every MODEL_INVALID is logged with its reason first, one line each: the
// client pairs the n-th line with the n-th refusal.
const char * const libraryRefusal = "the speech library refused the file";

bool refuseFile(ErrorCode & error, const char * why) {
    fprintf(stderr, "quillet-whisper: model file refused: %s\n", why);
    fflush(stderr);
    return fail(error, ErrorCode::ModelInvalid);
}

// Opens, checks and loads the model. The slot guard is the file's one owner:
// it closes the file on every way out, exceptions included. On failure,
// error names the reason.
bool loadModel(const LoadRequest & req, Loaded & out, ErrorCode & error) {
    ModelFileSlot slot;
    slot.file = rtOpenForRead(req.modelPath);
    if (slot.file == nullptr) {
        return fail(error, ErrorCode::ModelMissing);
    }
    struct SlotGuard {
        ModelFileSlot & slot;
        ~SlotGuard() { loaderClose(&slot); }
    } guard{slot};

    std::vector<GpuDevice> devices = listGpuDevices();
    const GpuDevice *      chosen  = nullptr;
    if (!chooseDevice(req.device, devices, chosen, out.fallback)) {
        return fail(error, ErrorCode::GpuUnavailable);
    }
    // The speech library aborts the process instead of failing when no CPU
    // backend is registered; refuse the load while we still can.
    if (!cpuDeviceAvailable()) {
        return fail(error, ErrorCode::Internal);
    }
    // Stamped before the walk, so that a write during the walk shows too.
    FileStamp walked;
    if (!rtFileStamp(slot.file, walked)) {
        return refuseFile(error, "its size and modification time cannot be read");
    }
    if (const char * fault = modelFileFault(slot.file)) {
        return refuseFile(error, fault);
    }
    slot.walkedSize = walked.size;
    if (modelLoadTestHook != nullptr) {
        modelLoadTestHook(LoadStep::Walked);
    }

    whisper_context_params cparams = whisper_context_default_params();
    cparams.use_gpu                = chosen != nullptr;
    cparams.gpu_device             = chosen != nullptr ? chosen->gpuOrdinal : 0;
    cparams.flash_attn             = true;

    whisper_model_loader loader;
    loader.context = &slot;
    loader.read    = loaderRead;
    loader.eof     = loaderEof;
    loader.close   = loaderClose;
    try {
        out.context = whisper_init_with_params(&loader, cparams);
    } catch (const std::bad_alloc &) {
        return fail(error, ErrorCode::OutOfMemory);
    } catch (...) {
        return refuseFile(error, libraryRefusal);
    }
    if (out.context == nullptr) {
        return refuseFile(error, libraryRefusal);
    }
    loaderClose(&slot); // if the library has not
    // A model re-downloaded in place while it loads: the library may have
    // read a mix of files, or zeros past a cut, and built a context anyway.
    if (const char * fault = modelReadFault(slot, walked)) {
        whisper_free(out.context);
        out.context = nullptr;
        return refuseFile(error, fault);
    }
    out.device = chosen != nullptr ? chosen->name : "cpu";
    return true;
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
    Loaded  loaded;
    if (!loadModel(req, loaded, error)) {
        sendError(error);
        return;
    }

    engineState.context            = loaded.context;
    engineState.threads            = req.threads;
    engineState.shortWindowSamples = req.shortWindowSamples;
    engineState.shortAudioCtx      = req.shortAudioCtx;

    int64_t loadMs = (monotonicNs() - start) / 1000000;
    fprintf(stderr, "quillet-whisper: loaded device=%s fallback=%d in %lld ms; %s\n", loaded.device,
            loaded.fallback ? 1 : 0, (long long) loadMs, whisper_print_system_info());
    fflush(stderr);

    std::string m = "{\"type\":\"ready\",\"version\":";
    appendInt(m, protocolVersion);
    m += ",\"device\":\"";
    m += loaded.device;
    m += "\",\"loadMs\":";
    appendInt(m, loadMs);
    m += ",\"fallback\":";
    m += loaded.fallback ? "true" : "false";
    m += '}';
    writeLine(m);
}

} // namespace quillet
