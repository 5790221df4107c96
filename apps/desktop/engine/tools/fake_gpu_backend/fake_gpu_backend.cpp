// Test-only ggml backend that pretends to be a GPU backend.
//
// Built as a run-time loadable ggml backend (ggml_backend_init and
// ggml_backend_score), it is copied into a test folder under the file names
// ggml_backend_load_all_from_path looks for (libggml-cuda.so,
// libggml-vulkan.so, libggml-blas.so, ...). Every copy is a separate
// library, so each keeps its own state and reads its own settings.
//
// Settings: the environment variable QUILLET_FAKE_GPU_<NAME>, where NAME is
// this copy's file name without "libggml-" and ".so", upper-cased, with
// every character other than a letter or digit turned into '_'
// (libggml-cuda.so -> QUILLET_FAKE_GPU_CUDA, libggml-cuda-x2.so ->
// QUILLET_FAKE_GPU_CUDA_X2). It is read once, when ggml loads the copy.
// Its value is a list of key=value items separated by ';':
//
//   reg=NAME     name of the backend registry (default: NAME from the file
//                name, e.g. "CUDA"); any text, e.g. "cuda0", "MTL", "Fakery"
//   devs=LIST    devices, in registry order, separated by ','; each is
//                TYPE:MODE with TYPE gpu, igpu or accel and MODE ok, fail
//                or broken (initialises, but every graph computation fails)
//                (default: "gpu:ok"; an empty list registers no device)
//   score=N      value of ggml_backend_score (default 1; 0 makes ggml skip
//                the file as "not supported on this system")
//   log=PATH     append one line per device initialisation and backend
//                release to PATH: "init <dev> ok", "init <dev> fail",
//                "free <dev>"
//   stdout=1     also print "fake_gpu_backend: <event>" on standard output
//                when the copy registers, a device initialises and a backend
//                computes its first graph, as a library's stray prints would
//
// Example: QUILLET_FAKE_GPU_CUDA="reg=CUDA;devs=gpu:fail,gpu:ok;log=/tmp/l"
// A malformed value makes the copy register nothing and say why on stderr.
//
// Devices are named <reg><index> (e.g. "CUDA0"). A device in "fail" mode
// returns no backend from ggml_backend_dev_init. A device in "ok" mode gives
// a backend that runs everything on ggml's CPU backend (looked up in the
// registry when the backend is created, since the CPU backend is loaded
// after the GPU ones), so whisper.cpp really decodes on it; with no CPU
// backend registered, initialisation fails like "fail".

#include "ggml-backend-impl.h"
#include "ggml-backend.h"
#include "ggml.h"

#include <dlfcn.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct fake_device {
    std::string                name;
    std::string                description;
    enum ggml_backend_dev_type type       = GGML_BACKEND_DEVICE_TYPE_GPU;
    bool                       init_ok    = true;
    bool                       compute_ok = true;
    ggml_backend_device        dev{};
};

struct fake_plugin {
    std::string                               env_name;
    std::string                               reg_name;
    std::string                               log_path;
    bool                                      print_stdout = false;
    int                                       score        = 1;
    std::vector<std::unique_ptr<fake_device>> devices;
    ggml_backend_reg                          reg{};
    bool                                      configured = false;
};

fake_plugin & plugin() {
    static fake_plugin p;
    return p;
}

struct fake_backend_context {
    ggml_backend_t cpu      = nullptr;
    fake_device *  device   = nullptr;
    bool           computed = false;
};

ggml_guid fake_guid = {0x71, 0x75, 0x69, 0x6c, 0x6c, 0x65, 0x74, 0x2d, 0x66, 0x61, 0x6b, 0x65, 0x2d, 0x67, 0x70, 0x75};

void log_event(const char * what, const fake_device & d, const char * outcome) {
    const std::string & path = plugin().log_path;
    if (path.empty()) return;
    if (FILE * f = std::fopen(path.c_str(), "a")) {
        std::fprintf(f, "%s %s%s%s\n", what, d.name.c_str(), outcome ? " " : "", outcome ? outcome : "");
        std::fclose(f);
    }
}

void print_stdout(const char * what, const std::string & name) {
    if (!plugin().print_stdout) return;
    std::printf("fake_gpu_backend: %s %s\n", what, name.c_str());
    std::fflush(stdout);
}

// Name of the file this copy was loaded from, reduced to the env suffix.
std::string own_env_suffix() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&own_env_suffix), &info) || !info.dli_fname) return "";
    std::string base = info.dli_fname;
    if (auto slash = base.find_last_of('/'); slash != std::string::npos) base = base.substr(slash + 1);
    const std::string prefix = "libggml-", suffix = ".so";
    if (base.compare(0, prefix.size(), prefix) == 0) base = base.substr(prefix.size());
    if (base.size() > suffix.size() && base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0) {
        base.resize(base.size() - suffix.size());
    }
    for (char & c : base) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                                                        : '_';
    }
    return base;
}

std::vector<std::string> split(const std::string & s, char sep) {
    std::vector<std::string> out;
    size_t                   start = 0;
    while (true) {
        size_t end = s.find(sep, start);
        out.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

// Parses the settings; on error returns false and sets `error`.
bool parse_settings(const std::string & text, fake_plugin & p, std::string & error) {
    std::string devs = "gpu:ok";
    for (const std::string & item : split(text, ';')) {
        if (item.empty()) continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            error = "item without '=': " + item;
            return false;
        }
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "reg") {
            if (value.empty()) {
                error = "empty reg";
                return false;
            }
            p.reg_name = value;
        } else if (key == "devs") {
            devs = value;
        } else if (key == "score") {
            char * end = nullptr;
            long   v   = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || v < 0 || v > 1000000) {
                error = "bad score: " + value;
                return false;
            }
            p.score = static_cast<int>(v);
        } else if (key == "log") {
            p.log_path = value;
        } else if (key == "stdout") {
            p.print_stdout = value == "1";
        } else {
            error = "unknown key: " + key;
            return false;
        }
    }
    if (devs.empty()) return true;
    for (const std::string & item : split(devs, ',')) {
        size_t colon = item.find(':');
        if (colon == std::string::npos) {
            error = "device without mode: " + item;
            return false;
        }
        std::string type = item.substr(0, colon), mode = item.substr(colon + 1);
        auto        d = std::make_unique<fake_device>();
        if (type == "gpu")
            d->type = GGML_BACKEND_DEVICE_TYPE_GPU;
        else if (type == "igpu")
            d->type = GGML_BACKEND_DEVICE_TYPE_IGPU;
        else if (type == "accel")
            d->type = GGML_BACKEND_DEVICE_TYPE_ACCEL;
        else {
            error = "bad device type: " + type;
            return false;
        }
        if (mode == "ok")
            d->init_ok = true;
        else if (mode == "fail")
            d->init_ok = false;
        else if (mode == "broken")
            d->compute_ok = false;
        else {
            error = "bad device mode: " + mode;
            return false;
        }
        p.devices.push_back(std::move(d));
    }
    return true;
}

// --- backend: forwards to a CPU backend it owns ---------------------------

fake_backend_context * backend_ctx(ggml_backend_t backend) {
    return static_cast<fake_backend_context *>(backend->context);
}

const char * backend_get_name(ggml_backend_t backend) { return backend_ctx(backend)->device->name.c_str(); }

void backend_free(ggml_backend_t backend) {
    fake_backend_context * ctx = backend_ctx(backend);
    log_event("free", *ctx->device, nullptr);
    ggml_backend_free(ctx->cpu);
    delete ctx;
    delete backend;
}

ggml_status backend_graph_compute(ggml_backend_t backend, ggml_cgraph * cgraph) {
    fake_backend_context * ctx = backend_ctx(backend);
    if (!ctx->computed) {
        ctx->computed = true;
        print_stdout("compute", ctx->device->name);
    }
    if (!ctx->device->compute_ok) {
        return GGML_STATUS_FAILED;
    }
    return ggml_backend_graph_compute(backend_ctx(backend)->cpu, cgraph);
}

const ggml_backend_i backend_iface = {
    /* .get_name            = */ backend_get_name,
    /* .free                = */ backend_free,
    /* .set_tensor_async    = */ nullptr,
    /* .get_tensor_async    = */ nullptr,
    /* .set_tensor_2d_async = */ nullptr,
    /* .get_tensor_2d_async = */ nullptr,
    /* .cpy_tensor_async    = */ nullptr,
    /* .synchronize         = */ nullptr,
    /* .graph_plan_create   = */ nullptr,
    /* .graph_plan_free     = */ nullptr,
    /* .graph_plan_update   = */ nullptr,
    /* .graph_plan_compute  = */ nullptr,
    /* .graph_compute       = */ backend_graph_compute,
    /* .event_record        = */ nullptr,
    /* .event_wait          = */ nullptr,
    /* .graph_optimize      = */ nullptr,
};

bool is_fake_backend(ggml_backend_t backend) {
    return backend && ggml_guid_matches(backend->guid, &fake_guid) && backend->iface.free == backend_free;
}

// whisper.cpp sets the thread count through the registry's proc address;
// pass it on to the CPU backend underneath.
void set_n_threads(ggml_backend_t backend, int n_threads) {
    if (!is_fake_backend(backend)) return;
    ggml_backend_t     cpu     = backend_ctx(backend)->cpu;
    ggml_backend_reg_t cpu_reg = ggml_backend_dev_backend_reg(ggml_backend_get_device(cpu));
    auto               fn      = reinterpret_cast<ggml_backend_set_n_threads_t>(
        ggml_backend_reg_get_proc_address(cpu_reg, "ggml_backend_set_n_threads"));
    if (fn) fn(cpu, n_threads);
}

// --- device ----------------------------------------------------------------

fake_device * device_of(ggml_backend_dev_t dev) { return static_cast<fake_device *>(dev->context); }

const char * dev_get_name(ggml_backend_dev_t dev) { return device_of(dev)->name.c_str(); }
const char * dev_get_description(ggml_backend_dev_t dev) { return device_of(dev)->description.c_str(); }

void dev_get_memory(ggml_backend_dev_t, size_t * free, size_t * total) {
    *free  = size_t(4) << 30;
    *total = size_t(4) << 30;
}

enum ggml_backend_dev_type dev_get_type(ggml_backend_dev_t dev) { return device_of(dev)->type; }

void dev_get_props(ggml_backend_dev_t dev, ggml_backend_dev_props * props) {
    props->name        = dev_get_name(dev);
    props->description = dev_get_description(dev);
    dev_get_memory(dev, &props->memory_free, &props->memory_total);
    props->type      = dev_get_type(dev);
    props->device_id = nullptr;
    props->caps = {/* async */ false, /* host_buffer */ false, /* buffer_from_host_ptr */ false, /* events */ false};
}

ggml_backend_t dev_init_backend(ggml_backend_dev_t dev, const char *) {
    fake_device &      d       = *device_of(dev);
    ggml_backend_dev_t cpu_dev = d.init_ok ? ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU) : nullptr;
    ggml_backend_t     cpu     = cpu_dev ? ggml_backend_dev_init(cpu_dev, nullptr) : nullptr;
    if (!cpu) {
        log_event("init", d, "fail");
        return nullptr;
    }
    log_event("init", d, "ok");
    print_stdout("init", d.name);
    return new ggml_backend{
        /* .guid    = */ &fake_guid,
        /* .iface   = */ backend_iface,
        /* .device  = */ dev,
        /* .context = */ new fake_backend_context{cpu, &d},
    };
}

// Weights and activations live in ordinary host memory, which is what the
// CPU backend underneath computes on.
ggml_backend_buffer_type_t dev_get_buffer_type(ggml_backend_dev_t) { return ggml_backend_cpu_buffer_type(); }

bool dev_supports_op(ggml_backend_dev_t, const ggml_tensor * op) {
    ggml_backend_dev_t cpu_dev = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
    return cpu_dev && ggml_backend_dev_supports_op(cpu_dev, op);
}

bool dev_supports_buft(ggml_backend_dev_t, ggml_backend_buffer_type_t buft) { return ggml_backend_buft_is_host(buft); }

const ggml_backend_device_i device_iface = {
    /* .get_name             = */ dev_get_name,
    /* .get_description      = */ dev_get_description,
    /* .get_memory           = */ dev_get_memory,
    /* .get_type             = */ dev_get_type,
    /* .get_props            = */ dev_get_props,
    /* .init_backend         = */ dev_init_backend,
    /* .get_buffer_type      = */ dev_get_buffer_type,
    /* .get_host_buffer_type = */ nullptr,
    /* .buffer_from_host_ptr = */ nullptr,
    /* .supports_op          = */ dev_supports_op,
    /* .supports_buft        = */ dev_supports_buft,
    /* .offload_op           = */ nullptr,
    /* .event_new            = */ nullptr,
    /* .event_free           = */ nullptr,
    /* .event_synchronize    = */ nullptr,
};

// --- registry --------------------------------------------------------------

const char * reg_get_name(ggml_backend_reg_t) { return plugin().reg_name.c_str(); }
size_t       reg_get_device_count(ggml_backend_reg_t) { return plugin().devices.size(); }

ggml_backend_dev_t reg_get_device(ggml_backend_reg_t, size_t index) {
    auto & devs = plugin().devices;
    return index < devs.size() ? &devs[index]->dev : nullptr;
}

void * reg_get_proc_address(ggml_backend_reg_t, const char * name) {
    if (std::strcmp(name, "ggml_backend_set_n_threads") == 0) return reinterpret_cast<void *>(set_n_threads);
    return nullptr;
}

const ggml_backend_reg_i reg_iface = {
    /* .get_name         = */ reg_get_name,
    /* .get_device_count = */ reg_get_device_count,
    /* .get_device       = */ reg_get_device,
    /* .get_proc_address = */ reg_get_proc_address,
};

// Reads the settings once. Returns false when they are malformed.
bool configure() {
    fake_plugin & p = plugin();
    if (p.configured) return true;
    std::string suffix = own_env_suffix();
    p.env_name         = "QUILLET_FAKE_GPU_" + suffix;
    p.reg_name         = suffix.empty() ? "FAKE" : suffix;
    const char * value = std::getenv(p.env_name.c_str());
    std::string  error;
    if (!parse_settings(value ? value : "", p, error)) {
        std::fprintf(stderr, "fake_gpu_backend: %s: %s\n", p.env_name.c_str(), error.c_str());
        p.devices.clear();
        return false;
    }
    for (size_t i = 0; i < p.devices.size(); i++) {
        fake_device & d = *p.devices[i];
        d.name          = p.reg_name + std::to_string(i);
        d.description   = "fake " +
                        std::string(d.type == GGML_BACKEND_DEVICE_TYPE_IGPU    ? "integrated GPU"
                                    : d.type == GGML_BACKEND_DEVICE_TYPE_ACCEL ? "accelerator"
                                                                               : "GPU") +
                        (d.init_ok ? "" : " (fails to initialise)");
        d.dev = ggml_backend_device{device_iface, &p.reg, &d};
    }
    p.reg        = ggml_backend_reg{GGML_BACKEND_API_VERSION, reg_iface, nullptr};
    p.configured = true;
    print_stdout("registered", p.reg_name);
    return true;
}

ggml_backend_reg_t fake_reg() { return configure() ? &plugin().reg : nullptr; }

int fake_score() { return configure() ? plugin().score : 0; }

} // namespace

GGML_BACKEND_DL_IMPL(fake_reg)
GGML_BACKEND_DL_SCORE_IMPL(fake_score)
