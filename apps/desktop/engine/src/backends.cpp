#include "backends.h"
#include "runtime.h"

#include "ggml-backend.h"

#include <cstdlib>
#include <cstring>

namespace quillet {

namespace {

size_t ggmlCount(void *) { return ggml_backend_dev_count(); }

void * ggmlGet(void *, size_t index) { return ggml_backend_dev_get(index); }

int ggmlType(void *, void * device) { return (int) ggml_backend_dev_type((ggml_backend_dev_t) device); }

const char * ggmlRegistryName(void *, void * device) {
    ggml_backend_reg_t reg = ggml_backend_dev_backend_reg((ggml_backend_dev_t) device);
    return reg == nullptr ? nullptr : ggml_backend_reg_name(reg);
}

bool hasPrefixIgnoringCase(const char * text, const char * prefix) {
    for (size_t i = 0; prefix[i] != 0; i++) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = (char) (c - 'A' + 'a');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

DeviceRegistry ggmlDeviceRegistry() { return DeviceRegistry{ggmlCount, ggmlGet, ggmlType, ggmlRegistryName, nullptr}; }

std::string directoryOf(const std::string & path) {
    size_t cut = path.find_last_of("/\\");
    if (path.empty() || cut == std::string::npos) {
        return ".";
    }
    return path.substr(0, cut);
}

std::string exeDirectory() { return directoryOf(rtExecutablePath()); }

void loadLocalBackends() {
    std::string dir = exeDirectory();
    ggml_backend_load_all_from_path(dir.c_str());
}

const char * gpuFamilyOf(const char * registryName) {
    if (registryName == nullptr) {
        return nullptr;
    }
    if (hasPrefixIgnoringCase(registryName, "mtl") || hasPrefixIgnoringCase(registryName, "metal")) {
        return "metal";
    }
    if (hasPrefixIgnoringCase(registryName, "vulkan")) {
        return "vulkan";
    }
    if (hasPrefixIgnoringCase(registryName, "cuda")) {
        return "cuda";
    }
    return nullptr;
}

std::vector<GpuDevice> listGpuDevices(const DeviceRegistry & registry) {
    std::vector<GpuDevice> list;
    int32_t                counter = 0;
    // The count is asked again each time: loading may register devices late.
    for (size_t i = 0; i < registry.count(registry.user); i++) {
        void * dev  = registry.get(registry.user, i);
        int    type = registry.type(registry.user, dev);
        if (type != GGML_BACKEND_DEVICE_TYPE_GPU && type != GGML_BACKEND_DEVICE_TYPE_IGPU) {
            continue;
        }
        const char * family = gpuFamilyOf(registry.registryName(registry.user, dev));
        if (family != nullptr) {
            list.push_back(GpuDevice{family, counter, (ggml_backend_dev_t) dev});
        }
        counter++;
    }
    return list;
}

std::vector<GpuDevice> listGpuDevices() { return listGpuDevices(ggmlDeviceRegistry()); }

bool gpuFailureSimulated() {
    const char * v = getenv("QUILLET_WHISPER_TEST_FAIL_GPU");
    return v != nullptr && strcmp(v, "1") == 0;
}

bool probeDevice(const GpuDevice & device) {
    if (gpuFailureSimulated()) {
        return false;
    }
    ggml_backend_t backend = ggml_backend_dev_init(device.device, nullptr);
    if (backend == nullptr) {
        return false;
    }
    ggml_backend_free(backend);
    return true;
}

bool cpuDeviceAvailable() { return ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU) != nullptr; }

std::vector<const char *> helloBackends(const std::vector<GpuDevice> & devices) {
    static const char * const order[] = {"metal", "vulkan", "cuda"};
    std::vector<const char *> out;
    for (const char * family : order) {
        for (const GpuDevice & d : devices) {
            if (strcmp(d.name, family) == 0) {
                out.push_back(family);
                break;
            }
        }
    }
    out.push_back("cpu");
    return out;
}

} // namespace quillet
