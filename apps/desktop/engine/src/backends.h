// Where the engine's ggml backends come from and which GPU devices they
// offer: backends beside the executable, the ordered GPU device list, the
// probe that a device really initialises, and the test switch that makes
// every GPU look broken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ggml_backend_device;

namespace quillet {

struct GpuDevice {
    const char *                 name;       // "metal", "vulkan" or "cuda"
    int32_t                      gpuOrdinal; // among all GPU-kind devices, named or not
    struct ggml_backend_device * device;     // borrowed from the ggml registry
};

// The registry queries listGpuDevices relies on; tests substitute their own.
struct DeviceRegistry {
    size_t (*count)(void * user);                             // devices registered
    void * (*get)(void * user, size_t index);                 // the device at index, 0 .. count - 1
    int (*type)(void * user, void * device);                  // ggml device type
    const char * (*registryName)(void * user, void * device); // name of the backend that offers it
    void * user;                                              // handed to every query
};

DeviceRegistry ggmlDeviceRegistry();

// Directory part of an executable path: everything before the last '/' or
// '\\'; "." when there is no separator.
std::string directoryOf(const std::string & path);
std::string exeDirectory();

void loadLocalBackends();

// Family for a backend registry name, matched by prefix in any case; null
// for any other backend.
const char * gpuFamilyOf(const char * registryName);

std::vector<GpuDevice> listGpuDevices(const DeviceRegistry & registry);
std::vector<GpuDevice> listGpuDevices();

bool gpuFailureSimulated();
bool probeDevice(const GpuDevice & device);

// True when a CPU device is registered: the speech library cannot build a
// context without one.
bool cpuDeviceAvailable();

// The backends the hello line offers: each GPU family present, in a fixed
// order, then "cpu" always.
std::vector<const char *> helloBackends(const std::vector<GpuDevice> & devices);

} // namespace quillet
